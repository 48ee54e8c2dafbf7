// Real processes: a child with pipes, waited on through a pidfd (no sleeping), and a socket
// that receives sd_notify messages as systemd would. Used by ibs-soak and the tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace sim {

using Clock = std::chrono::steady_clock;

inline int MsLeft(Clock::time_point deadline) {
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}

class Child {
public:
    // env entries are added to (or replace) this process's environment. Without pipes, the
    // child's standard error is appended to `errFile` when one is named.
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          bool pipes = true, const std::string& errFile = "") {
        int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (pipes) {
            if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
                throw std::runtime_error("pipe");
            posix_spawn_file_actions_adddup2(&fa, in[0], 0);
            posix_spawn_file_actions_adddup2(&fa, out[1], 1);
            posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        } else if (!errFile.empty()) {
            posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                             0644);
        }
        std::map<std::string, std::string> all;
        for (char** e = environ; *e; ++e) {
            std::string s = *e;
            auto eq = s.find('=');
            if (eq != std::string::npos) all[s.substr(0, eq)] = s.substr(eq + 1);
        }
        for (auto& [k, v] : env) all[k] = v;
        std::vector<std::string> envStrings;
        for (auto& [k, v] : all) envStrings.push_back(k + "=" + v);
        std::vector<char*> envp, args;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argCopy = argv;
        for (auto& a : argCopy) args.push_back(a.data());
        args.push_back(nullptr);
        // Children must not inherit blocked signals from a test thread.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&mPid, args[0], &fa, &attr, args.data(), envp.data()) != 0)
            throw std::runtime_error("cannot start " + argv[0]);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        if (pipes) {
            ::close(in[0]);
            ::close(out[1]);
            ::close(err[1]);
            mIn = in[1];
            mOut = out[0];
            mErr = err[0];
        }
        mPidFd = static_cast<int>(::syscall(SYS_pidfd_open, mPid, 0));
    }
    ~Child() {
        if (!mExit) {
            ::kill(mPid, SIGKILL);
            Wait(10000);
        }
        for (int fd : {mIn, mOut, mErr, mPidFd})
            if (fd >= 0) ::close(fd);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return mPid; }
    // For callers that wait on several things at once with poll.
    int OutFd() const { return mOut; }
    int ErrFd() const { return mErr; }
    int PidFd() const { return mPidFd; }
    void Signal(int sig) { ::kill(mPid, sig); }
    void Write(const std::string& text) {
        [[maybe_unused]] ssize_t n = ::write(mIn, text.data(), text.size());
    }

    // The exit code (128 + signal for a killed child), or nothing on timeout.
    std::optional<int> Wait(int timeoutMs) {
        if (mExit) return mExit;
        pollfd p{mPidFd, POLLIN, 0};
        if (mPidFd >= 0 && ::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        int status = 0;
        if (::waitpid(mPid, &status, 0) != mPid) return std::nullopt;
        mExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return mExit;
    }

    // Reads standard output until a line contains `text`; false on timeout or end.
    bool WaitForLine(const std::string& text, int timeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto pos = mBuffer.find('\n');
            while (pos != std::string::npos) {
                std::string line = mBuffer.substr(0, pos);
                mBuffer.erase(0, pos + 1);
                mLines.push_back(line);
                if (line.find(text) != std::string::npos) return true;
                pos = mBuffer.find('\n');
            }
            pollfd p{mOut, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs < 0 ? -1 : MsLeft(deadline)) <= 0) return false;
            char buf[4096];
            ssize_t n = ::read(mOut, buf, sizeof buf);
            if (n <= 0) return false;
            mBuffer.append(buf, static_cast<std::size_t>(n));
        }
    }
    // Until the child closes it. With a timeout (-1: none), a child that keeps it open longer
    // (one that never became ready, read for a failure message) gives what it wrote so far.
    std::string ReadAll(int fd, int timeoutMs = -1) {
        std::string all;
        char buf[4096];
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (timeoutMs >= 0 && ::poll(&p, 1, MsLeft(deadline)) <= 0)
                return all + "[still open after " + std::to_string(timeoutMs) + " ms]";
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return all;
            all.append(buf, static_cast<std::size_t>(n));
        }
    }
    std::string Stdout() { return ReadAll(mOut); }
    std::string Stderr(int timeoutMs = -1) { return ReadAll(mErr, timeoutMs); }
    const std::vector<std::string>& Lines() const { return mLines; }

private:
    pid_t mPid = -1;
    int mPidFd = -1, mIn = -1, mOut = -1, mErr = -1;
    std::optional<int> mExit;
    std::string mBuffer;
    std::vector<std::string> mLines;
};

// A datagram socket that receives sd_notify messages.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : mPath(path) {
        mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        ::unlink(path.c_str());
        if (::bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("bind notify socket");
    }
    ~NotifySocket() {
        ::close(mFd);
        ::unlink(mPath.c_str());
    }
    const std::string& Path() const { return mPath; }
    // Waits for a message containing `text`; that message and those before it are used up.
    bool WaitFor(const std::string& text, int timeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (std::size_t i = 0; i < mMessages.size(); ++i) {
                if (mMessages[i].find(text) == std::string::npos) continue;
                mMessages.erase(mMessages.begin(), mMessages.begin() + static_cast<long>(i) + 1);
                return true;
            }
            pollfd p{mFd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs < 0 ? -1 : MsLeft(deadline)) <= 0) return false;
            char buf[4096];
            ssize_t n = ::recv(mFd, buf, sizeof buf, 0);
            if (n > 0) mMessages.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }

private:
    std::string mPath;
    int mFd = -1;
    std::vector<std::string> mMessages;
};

}  // namespace sim
