#include "platform/framework/OSInterface.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/framework/AppBase.h"
#include "platform/support/Debug.h"

namespace Talon {

void OSInterface::Notify(const std::string& state) {
    ::sd_notify(0, state.c_str());
}

void OSInterface::NotifyNoWait(const std::string& state) {
    NotifyWithin(state, 0);
}

void OSInterface::NotifyWithin(const std::string& state, int timeoutMs) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::size_t n = std::strlen(path);
    if (n >= sizeof a.sun_path) return;
    std::memcpy(a.sun_path, path, n);
    if (a.sun_path[0] == '@') a.sun_path[0] = '\0';  // an abstract socket
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int flags = MSG_NOSIGNAL;
    if (timeoutMs <= 0) {
        flags |= MSG_DONTWAIT;
    } else {
        timeval t{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    }
    [[maybe_unused]] ssize_t sent = ::sendto(fd, state.data(), state.size(), flags,
                                             reinterpret_cast<const sockaddr*>(&a), size);
    ::close(fd);
}

void OSInterface::ReportStatus(unsigned long status, unsigned long checkPoint,
                               unsigned long exitCode) {
    const char* word = status == kStatusStopped    ? "stopped"
                       : status == kStatusRunning  ? "running"
                       : status == kStatusStopping ? "stopping"
                       : status == kStatusFailed   ? "failed"
                                                   : "status";
    std::string text = "STATUS=" + std::string(word) + " (status " + std::to_string(status) +
                       ", check " + std::to_string(checkPoint) + ", code " +
                       std::to_string(exitCode) + ")";
    NotifyWithin(text, kStopNotifyMs);
    MIREL_DEBUG(57, "OSInterface::ReportStatus " << text.substr(7));
}

bool OSInterface::NotifyStarted() {
    Notify("READY=1\nSTATUS=running");
    return true;
}

void OSInterface::SetOSEventFunctor(int event, EventFunctor* functor) {
    std::lock_guard<std::mutex> g(mM);
    mFunctors[event].reset(functor);
}

EventFunctor* OSInterface::GetOSEventFunctor(int event) {
    std::lock_guard<std::mutex> g(mM);
    auto it = mFunctors.find(event);
    return it == mFunctors.end() ? nullptr : it->second.get();
}

namespace {
const int kSignals[] = {SIGTERM, SIGPWR, SIGUSR1, SIGINT, SIGHUP, SIGQUIT};

sigset_t HandledSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

}  // namespace

WinOSInterface::WinOSInterface(const Mirel::unistring& serviceName) : mServiceName(serviceName) {}

WinOSInterface::~WinOSInterface() {
    StopSignalThread();
}

Error WinOSInterface::StartSignalThread(AppBase& app) {
    if (mSignalThread.joinable()) return Error();
    sigset_t set = HandledSet();
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return Error(Mirel::kErrOS);
    mSignalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
    mStopFd = ::eventfd(0, EFD_CLOEXEC);
    if (const char* limit = std::getenv("VELLUMARK_STOP_LIMIT_MS"); limit && *limit)
        mStopLimitMs = std::max(1, std::atoi(limit));
    if (mSignalFd < 0 || mStopFd < 0) return Error(Mirel::kErrOS);
    AppBase* a = &app;
    mSignalThread = std::thread([this, a] { SignalLoop(a); });
    return Error();
}

void WinOSInterface::StopSignalThread() {
    if (mSignalThread.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(mStopFd, &one, sizeof one);
        mSignalThread.join();
    }
    if (mSignalFd >= 0) ::close(mSignalFd);
    if (mStopFd >= 0) ::close(mStopFd);
    mSignalFd = mStopFd = -1;
}

void WinOSInterface::SignalLoop(AppBase* app) {
    using Clock = std::chrono::steady_clock;
    pollfd fds[2] = {{mSignalFd, POLLIN, 0}, {mStopFd, POLLIN, 0}};
    for (;;) {
        int wait = -1;
        if (mStopDeadline != Clock::time_point{}) {
            // Rounded up: poll's milliseconds must not end the wait before the deadline.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(mStopDeadline - Clock::now());
            if (left.count() <= 0) {
                // The stop was asked for and the process is still here: its main thread waits
                // in a call that does not return (a hung network file system). Ending it is
                // no worse than a crash, which the service recovers from at its next start.
                // Standard error, not the debug log: the thread that is held up may hold the
                // log's lock, or the log may lie on the file system that hangs.
                std::string line = "talonib: the stop did not finish within " +
                                   std::to_string(mStopLimitMs) +
                                   " ms (a call that does not return?); the process ends now\n";
                [[maybe_unused]] ssize_t w = ::write(2, line.data(), line.size());
                ::_exit(AppBase::kExitFailure);
            }
            wait = static_cast<int>(left.count());
        }
        int n = ::poll(fds, 2, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (n == 0) continue;
        if (fds[1].revents) return;
        signalfd_siginfo info;
        if (::read(mSignalFd, &info, sizeof info) == sizeof info)
            Dispatch(app, static_cast<int>(info.ssi_signo));
    }
}

void WinOSInterface::Dispatch(AppBase* app, int signal) {
    MIREL_DEBUG(57, "WinOSInterface: signal " << signal);
    const bool stop =
        signal == SIGTERM || signal == SIGPWR || signal == SIGINT || signal == SIGQUIT;
    if (stop && mStopDeadline == std::chrono::steady_clock::time_point{})
        mStopDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(mStopLimitMs);
    // Known at once, not only when the main loop takes the message: a start that waits
    // (for the ORB's port) gives up on it.
    if (stop) app->SetStopInitiated();
    auto control = [this](unsigned long code) {
        if (mControl) mControl(code, 0, nullptr, nullptr);
    };
    switch (signal) {
        case SIGTERM:
            control(kServiceControlStop);
            break;
        case SIGPWR:
            control(kServiceControlShutdown);
            break;
        case SIGUSR1:
            control(kServiceControlInterrogate);
            break;
        case SIGINT:
            app->PostOSEvent(kOSEventInterrupt);
            break;
        case SIGHUP:
            // The daemon convention: a rotated log is reopened, the service keeps running.
            app->ReopenLogs();
            break;
        case SIGQUIT:
            app->GetMainMsgQ().PostMsg(kMsgQuitLoop);
            break;
        default:
            break;
    }
}

bool WinOSInterface::RunningUnderServiceManager() {
    const char* id = std::getenv("INVOCATION_ID");
    return id && *id;
}

void WinOSInterface::RunServiceMain() {
    if (!mServiceMain) return;
    std::thread t([this] {
        std::u16string name = mServiceName;
        unsigned short* argv[1] = {reinterpret_cast<unsigned short*>(name.data())};
        mServiceMain(1, argv);
    });
    t.join();
}

}  // namespace Talon
