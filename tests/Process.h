// Real processes for tests (tools/sim/Process.h), the test process's ORB and the service's
// folders for a run the way systemd would start it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include <omniORB4/CORBA.h>

#include "tests/TestUtil.h"
#include "tools/sim/Process.h"

namespace testutil {

using sim::Child;
using sim::Clock;
using sim::MsLeft;
using sim::NotifySocket;

// The test process's ORB, for calls to the service (generous timeouts for slow builds).
inline CORBA::ORB_ptr ClientOrb() {
    static CORBA::ORB_var orb = [] {
        int argc = 3;
        char a0[] = "ibs-test", a1[] = "-ORBclientCallTimeOutPeriod", a2[] = "20000";
        char* argv[] = {a0, a1, a2, nullptr};
        return CORBA::ORB_init(argc, argv, "omniORB4");
    }();
    return orb.in();
}

// Polls `done` until it holds or the deadline passes: for a state another process reaches
// and tells no one about (a folder that appears, an answer that changes).
template <class F>
bool Eventually(F done, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The service in its own folders: log, run, unit folder and preferences.
class ServiceEnv {
public:
    ServiceEnv() {
        MakeDirs(dir / "log");
        MakeDirs(dir / "run");
        WriteFile(
            dir / "prefs.xml",
            "<?xml version=\"1.0\"?>\n<preferences>\n  <pref id=\"67\" type=\"int\">0</pref>\n"
            "</preferences>\n");
    }
    std::map<std::string, std::string> Env() const {
        return {{"VELLUMARK_LOG_DIR", dir / "log"},
                {"VELLUMARK_RUN_DIR", dir / "run"},
                {"VELLUMARK_PREFS", dir / "prefs.xml"},
                {"VELLUMARK_UNIT_DIR", dir / "units"},
                {"VELLUMARK_LINK_CHECK_MS", "200"},
                {"NOTIFY_SOCKET", dir / "notify"},
                {"INVOCATION_ID", ""}};
    }
    std::string DebugLog() const { return ReadFile(dir / "log/talonibDebug.log"); }
    TempDir dir;
};

// A failed soak's work folder (journal, logs, backup folder) moved where it outlives the test,
// so that a rare failure can be diagnosed; its new place, or "" when it could not be moved.
inline std::string KeepFailedSoakFolder(const std::string& folder) {
    char kept[] = "/var/tmp/ibs-soak-failed-XXXXXX";
    if (!::mkdtemp(kept) || ::rename(folder.c_str(), (std::string(kept) + "/soak").c_str()) != 0)
        return "";
    return kept;
}

}  // namespace testutil
