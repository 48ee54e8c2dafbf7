// The base of the tests that run talonib as a process (TALONIB_PATH names it).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/Process.h"

namespace testutil {

// A test of talonib as a process in its own folders, told its state on a socket of the test's.
class ServiceFixture : public ::testing::Test {
protected:
    std::string backup() const { return env.dir / "backup"; }
    // Preferences that name `folder` as the backup folder, with `more` preference lines.
    void NameBackupFolder(const std::string& more = "", std::string folder = "") {
        if (folder.empty()) folder = backup();
        WriteFile(env.dir / "prefs.xml",
                  "<?xml version=\"1.0\"?>\n<preferences>\n"
                  "  <pref id=\"67\" type=\"int\">1</pref>\n"
                  "  <pref id=\"68\" type=\"text\">" +
                      folder + "</pref>\n" + more + "</preferences>\n");
    }
    // talonib with `args`, `extra` added to its environment; not waited for.
    std::unique_ptr<Child> Start(std::vector<std::string> args = {},
                                 const std::map<std::string, std::string>& extra = {}) {
        args.insert(args.begin(), TALONIB_PATH);
        auto environment = env.Env();
        for (auto& [k, v] : extra) environment[k] = v;
        return std::make_unique<Child>(args, environment);
    }
    // Started and ready for calls.
    std::unique_ptr<Child> StartReady(const std::map<std::string, std::string>& extra = {}) {
        auto c = Start({}, extra);
        EXPECT_TRUE(notify.WaitFor("READY=1", 30000)) << env.DebugLog();
        return c;
    }
    // SIGTERM: a clean stop.
    void Stop(std::unique_ptr<Child>& service) {
        service->Signal(SIGTERM);
        EXPECT_EQ(service->Wait(30000), 0);
        service.reset();
    }

    ServiceEnv env;
    NotifySocket notify{env.dir / "notify"};
};

}  // namespace testutil
