// The database server's connection to the service, as a server that outlives the service
// keeps it: every call is repeated with a growing delay while the service is away, and when
// the service may have restarted the server registers again and names its backup folder
// (RegisterServer, then SetBackupFolder of the same folder) before it carries on.
#pragma once

#include <omniORB4/CORBA.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "tools/sim/EventHub.h"
#include "tools/sim/Report.h"
#include "tools/sim/ServiceClient.h"

namespace sim {

// The service stayed away longer than the server is willing to wait.
struct Unreachable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Session {
public:
    struct Options {
        std::string backup;
        std::string hubHost = "127.0.0.1";
        unsigned short hubPort = 50003;
        double patienceSecs = 120;  // how long one call may keep failing
    };
    using Clock = std::chrono::steady_clock;

    Session(ServiceClient& client, EventHubServer& hub, Options options, Report& report);

    // Runs `call` (a call on the client); see the class comment. Throws Unreachable.
    template <class F>
    auto Call(const char* what, F&& call) -> decltype(call());

    // Registers and names the backup folder; false when the folder was refused.
    bool Connect();
    // What a restarted server does: a new hub (the old links are gone), then registration
    // and the same backup folder again, named as `alias` when given (another path to it).
    bool ServerRestart(const std::string& alias = "");
    // Asks the service process the server registered with whether it is still there; after
    // a restart, connects again. Cheap enough to run before every announcement.
    void CheckAlive();
    // The service forgot its backup folder (10017): connect again before the next call.
    void MarkSuspect() { mSuspect = true; }

    // Runs after every reconnection: the server announces again what was not answered.
    void SetOnReconnect(std::function<void()> f) { mOnReconnect = std::move(f); }
    // Asked when SetBackupFolder answers false: true when the server put right what the
    // service refused for (the folder is then named again), false when it was a failure.
    void SetOnFolderRefused(std::function<bool()> f) { mOnFolderRefused = std::move(f); }
    int Reconnects() const { return mReconnects; }
    Clock::time_point LastReconnect() const { return mLastReconnect; }
    bool Registered() const { return mRegistered; }

private:
    bool Register(bool again = false);
    void Reconnect();
    static bool IsTransport(const CORBA::SystemException& e);

    ServiceClient& mClient;
    EventHubServer& mHub;
    Options mOpt;
    Report& mReport;
    std::function<void()> mOnReconnect;
    std::function<bool()> mOnFolderRefused;
    bool mSuspect = false;
    bool mInConnect = false;
    bool mRegistered = false;
    bool mFolderOk = false;
    std::string mAlias;  // the path the next reconnection names the folder by
    int mReconnects = 0;
    Clock::time_point mLastReconnect = Clock::now();
};

template <class F>
auto Session::Call(const char* what, F&& call) -> decltype(call()) {
    // Inside a reconnection a failure goes up to the loop that is reconnecting.
    if (mInConnect) return call();
    auto start = Clock::now();
    double delay = 0.02;
    for (;;) {
        try {
            CheckAlive();
            if (mSuspect) Reconnect();
            return call();
        } catch (const CORBA::SystemException& e) {
            if (!IsTransport(e)) throw;
            mSuspect = true;
        }
        double waited = std::chrono::duration<double>(Clock::now() - start).count();
        if (waited > mOpt.patienceSecs) {
            mReport.Fail("service", std::string(what) + ": no answer for " +
                                        std::to_string(static_cast<int>(waited)) + " s");
            throw Unreachable(what);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        delay = std::min(delay * 2, 1.0);
    }
}

}  // namespace sim
