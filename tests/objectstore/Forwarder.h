// A TCP forwarder on loopback between a client and the store: a store that stops (Close),
// comes back (Open), holds a request mid-way, fails every request, or is slow.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/TestUtil.h"

namespace testutil {

class Forwarder {
public:
    explicit Forwarder(unsigned short target) : mTarget(target), mPort(FreePort()) { Open(); }
    ~Forwarder() { Close(); }
    unsigned short Port() const { return mPort; }

    void Open() {
        mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = Address(mPort);
        if (::bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(mListen, 16) != 0)
            throw std::runtime_error("forwarder: bind");
        mAccept = std::thread([this] { AcceptLoop(); });
    }
    // Refuses new connections and cuts those open.
    void Close() {
        if (mListen < 0) return;
        ::shutdown(mListen, SHUT_RDWR);  // ends a blocked accept
        mAccept.join();
        ::close(mListen);
        mListen = -1;
        {
            std::lock_guard<std::mutex> g(mM);
            mClosing = true;
            for (int fd : mFds) ::shutdown(fd, SHUT_RDWR);
            mCv.notify_all();
        }
        for (auto& t : mPumps) t.join();
        mPumps.clear();
        for (int fd : mFds) ::close(fd);
        mFds.clear();
        std::lock_guard<std::mutex> g(mM);
        mClosing = false;
    }
    // Holds the client's bytes from the `n`th request starting with `line` until Release.
    void HoldAt(const std::string& line, int n) {
        std::lock_guard<std::mutex> g(mM);
        mHoldLine = line;
        mHoldAt = n;
    }
    bool WaitHeld(int timeoutMs) {
        std::unique_lock<std::mutex> l(mM);
        return mCv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return mHeld; });
    }
    void Release() {
        std::lock_guard<std::mutex> g(mM);
        mHoldLine.clear();
        mHeld = false;
        mCv.notify_all();
    }
    // Every request gets `response` (a whole HTTP answer; empty: the store's again), and
    // connections open to the store are cut so that a client keeping them meets it too.
    void Answer(const std::string& response) {
        std::lock_guard<std::mutex> g(mM);
        mAnswer = response;
        if (!response.empty())
            for (int fd : mFds) ::shutdown(fd, SHUT_RDWR);
    }
    // The answer to the first request holding `line` is cut after `bytes` bytes, and every
    // connection after closed: a store lost in mid-transfer.
    void CutReplyTo(const std::string& line, std::uint64_t bytes) {
        std::lock_guard<std::mutex> g(mM);
        mCutLine = line;
        mCutBytes = bytes;
    }
    // Each direction carries at most `bytesPerSecond` (0: no limit).
    void Slow(std::size_t bytesPerSecond) { mRate.store(bytesPerSecond); }
    int Requests() {
        std::lock_guard<std::mutex> g(mM);
        return mRequests;
    }
    // An S3 error answer with no connection kept.
    static std::string ErrorAnswer(const std::string& status, const std::string& code) {
        const std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>" + code +
                                 "</Code><Message>" + code + "</Message></Error>";
        return "HTTP/1.1 " + status +
               "\r\nContent-Type: application/xml\r\nConnection: close\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

private:
    static sockaddr_in Address(unsigned short port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    void AcceptLoop() {
        for (;;) {
            int client = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0 && errno == EINVAL) return;
            if (client < 0) continue;
            {
                std::lock_guard<std::mutex> g(mM);
                if (mCut) {
                    ::close(client);
                    continue;
                }
                if (!mAnswer.empty()) {
                    mFds.push_back(client);
                    mPumps.emplace_back([this, client, a = mAnswer] { AnswerOne(client, a); });
                    continue;
                }
            }
            int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = Address(mTarget);
            if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(client);
                ::close(server);
                continue;
            }
            std::lock_guard<std::mutex> g(mM);
            mFds.push_back(client);
            mFds.push_back(server);
            mPumps.emplace_back([this, client, server] { Pump(client, server, true); });
            mPumps.emplace_back([this, client, server] { Pump(server, client, false); });
        }
    }
    // One request read to its end (or its "Expect: 100-continue"), answered, then closed.
    void AnswerOne(int client, const std::string& answer) {
        std::string request;
        char buf[65536];
        std::size_t end = 0, body = 0;
        for (ssize_t n; (end = request.find("\r\n\r\n")) == std::string::npos;
             request.append(buf, static_cast<std::size_t>(n)))
            if ((n = ::read(client, buf, sizeof buf)) <= 0) return;
        {
            std::lock_guard<std::mutex> g(mM);
            ++mRequests;
        }
        const std::string head = request.substr(0, end);
        if (auto at = head.find("\r\nContent-Length: "); at != std::string::npos)
            body = std::stoul(head.substr(at + 18));
        if (head.find("\r\nExpect: 100-continue") != std::string::npos) body = 0;
        for (std::size_t have = request.size() - end - 4; have < body;) {
            ssize_t n = ::read(client, buf, sizeof buf);
            if (n <= 0) return;
            have += static_cast<std::size_t>(n);
        }
        if (!WriteAll(client, answer.data(), answer.size())) return;
        ::shutdown(client, SHUT_WR);
        while (::read(client, buf, sizeof buf) > 0) {
        }
    }
    void Pump(int from, int to, bool fromClient) {
        char buf[65536];
        std::string window;  // the end of what came before, for a request line cut in two
        for (;;) {
            const std::size_t rate = mRate.load();  // small chunks, each taking its time
            const std::size_t chunk =
                rate ? std::max<std::size_t>(1, std::min(sizeof buf, rate / 20)) : sizeof buf;
            ssize_t n = ::read(from, buf, chunk);
            if (n <= 0) break;
            if (rate)
                std::this_thread::sleep_for(
                    std::chrono::microseconds(static_cast<std::uint64_t>(n) * 1000000 / rate));
            std::unique_lock<std::mutex> l(mM);
            if (fromClient) {
                const std::size_t old = window.size();
                window.append(buf, static_cast<std::size_t>(n));
                auto count = [&](const std::string& what) {
                    int k = 0;
                    for (std::size_t at = old >= what.size() ? old - what.size() + 1 : 0;
                         !what.empty() && (at = window.find(what, at)) != std::string::npos; ++at)
                        ++k;
                    return k;
                };
                // Every request curl sends names its host on the line after its first.
                mRequests += count(" HTTP/1.1\r\nHost: ");
                if (!mCutArmed.count(to) && count(mCutLine)) {
                    mCutArmed[to] = 0;
                    mCutLine.clear();
                }
                if (!mHoldLine.empty()) {
                    for (int k = count(mHoldLine); k > 0; --k)
                        if (++mSeenCount == mHoldAt) mHeld = true;
                    mCv.notify_all();
                }
                if (window.size() > 4096) window.erase(0, window.size() - 4096);
                mCv.wait(l, [&] { return !mHeld || mClosing; });
                if (mClosing) break;
            } else if (auto armed = mCutArmed.find(from); armed != mCutArmed.end()) {
                const std::uint64_t room = mCutBytes - armed->second;
                if (static_cast<std::uint64_t>(n) >= room) {
                    WriteAll(to, buf, static_cast<std::size_t>(room));
                    mCut = true;
                    mCutArmed.erase(armed);
                    ::shutdown(from, SHUT_RDWR);
                    ::shutdown(to, SHUT_RDWR);
                    break;
                }
                armed->second += static_cast<std::uint64_t>(n);
            }
            l.unlock();
            if (!WriteAll(to, buf, static_cast<std::size_t>(n))) break;
        }
        ::shutdown(to, SHUT_WR);
    }
    static bool WriteAll(int fd, const char* p, std::size_t n) {
        while (n) {
            ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }

    std::atomic<std::size_t> mRate{0};
    unsigned short mTarget, mPort;
    int mListen = -1;
    std::thread mAccept;
    std::vector<std::thread> mPumps;
    std::vector<int> mFds;
    std::mutex mM;
    std::condition_variable mCv;
    bool mClosing = false, mHeld = false, mCut = false;
    std::string mHoldLine, mAnswer, mCutLine;
    int mHoldAt = 0, mSeenCount = 0, mRequests = 0;
    std::uint64_t mCutBytes = 0;
    std::map<int, std::uint64_t> mCutArmed;  // server's socket: bytes of its answer passed on
};

}  // namespace testutil
