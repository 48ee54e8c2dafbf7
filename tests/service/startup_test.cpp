#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "tests/ServiceFixture.h"
#include "tools/sim/ServiceClient.h"

using testutil::Child;

namespace {

std::string Prefs(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<preferences>\n" + body + "</preferences>\n";
}

class StartupTest : public testutil::ServiceFixture {};

}  // namespace

TEST_F(StartupTest, PreferencesTheServiceCannotRunWithRefuseTheStart) {
    testutil::WriteFile(env.dir / "a-file", "");
    const std::string prefs = env.dir / "prefs.xml", bad = "bad preference file " + prefs;
    auto pref = [](int id, const char* type, const std::string& value) {
        return "  <pref id=\"" + std::to_string(id) + "\" type=\"" + type + "\">" + value +
               "</pref>\n";
    };
    const std::string on = pref(67, "int", "1");
    // Each refusal names the line and the preference at fault.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {on, bad + ":3: preference 67 says a backup folder is configured but preference 68"},
        {on + pref(68, "text", "srv/b"), bad + ":4: preference 68 is not an absolute path"},
        {on + pref(68, "text", env.dir / "mnt/disk/backup"),
         "the parent folder " + env.dir / "mnt/disk" + " of the backup folder"},
        {on + pref(68, "text", env.dir / "a-file"),
         "the backup folder " + env.dir / "a-file" + " is not a folder"},
        {pref(81, "int", "-1"), bad + ":3: preference 81 (the set-aside limit in bytes) must"},
        {pref(82, "int", "1"), bad + ":3: preference 82 (the restore points to keep) must"},
        {pref(84, "text", "offsite.credentials"), bad + ":3: preference 84"},
    };
    for (const auto& [body, line] : cases) {
        SCOPED_TRACE(line);
        testutil::WriteFile(prefs, Prefs(body));
        auto service = Start();
        auto code = service->Wait(20000);
        if (!code) {  // it started after all
            service->Signal(SIGKILL);
            service->Wait(10000);
        }
        EXPECT_EQ(code, 6);
        const std::string err = service->Stderr();
        EXPECT_EQ(err.rfind("talonib: " + line, 0), 0u) << err;
        EXPECT_EQ(testutil::CountOf(err, "\n"), 1u) << err;
        // Refused before anything: no lock, no folder made.
        EXPECT_FALSE(testutil::Exists(env.dir / "run/talonib.lock") ||
                     testutil::Exists(env.dir / "mnt"));
    }
    // The parent exists: the service makes the last folder only, and starts.
    testutil::MakeDirs(env.dir / "mnt/disk");
    testutil::WriteFile(prefs, Prefs(cases[2].first));
    auto service = Start();
    ASSERT_TRUE(notify.WaitFor("READY=1", 20000)) << service->Stderr(5000);
    EXPECT_TRUE(testutil::IsDir(env.dir / "mnt/disk/backup/InProgress"));
    Stop(service);
}

// Run as the unit runs it (group vellumark, UMask=0027), what it makes is the group's only.
TEST_F(StartupTest, WhatTheServiceMakesIsReadableThroughItsGroupOnly) {
    const std::string group = "4242", backup = env.dir / "backup";
    ASSERT_EQ(::chmod(env.dir.path().c_str(), 0711), 0);  // the temp folder is 0700
    Child service(
        {"/bin/sh", "-c",
         "umask 0027 && exec /usr/bin/setpriv --regid=" + group + " --clear-groups " TALONIB_PATH},
        env.Env());
    ASSERT_TRUE(notify.WaitFor("READY=1", 20000)) << service.Stderr(5000);
    Child server({VLSERVER_SIM_PATH, "run", "--backup", backup, "--work", env.dir / "sim",
                  "--intervals", "1", "--databases", "2"},
                 {});
    ASSERT_EQ(server.Wait(120000), 0) << server.Stdout() << server.Stderr();
    service.Signal(SIGTERM);
    ASSERT_EQ(service.Wait(20000), 0);

    struct stat st {};
    ASSERT_EQ(::stat(backup.c_str(), &st), 0);
    EXPECT_EQ(std::make_pair(st.st_gid, st.st_mode & 0777), std::make_pair(4242u, 0750u));
    auto status = [&](const std::string& groups) {
        Child c(
            {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--groups=" + groups,
             // The simulated server's clock is its own: judge the lag loosely.
             IBSDB_PATH, "status", backup, "--json", "--warn-lag", "3650d", "--crit-lag", "3650d"},
            {});
        auto code = c.Wait(30000);
        return std::make_pair(code ? *code : -1, c.Stdout());
    };
    auto [member, report] = status(group);
    EXPECT_EQ(member, 0) << report;
    auto j = nlohmann::json::parse(report);
    EXPECT_TRUE(j["state"] == "OK" && j["databases"].size() == 2) << report;
    // Someone outside the group reads nothing.
    auto [outsider, refused] = status("4243");
    EXPECT_EQ(outsider, 3) << refused;
}

// ibsdb check beside a running service: the port is held by it, named by its lock.
TEST_F(StartupTest, CheckSeesThePortHeldByTheService) {
    auto service = StartReady();
    sim::ServiceClient client(testutil::ClientOrb());
    ASSERT_TRUE(client.SetBackupFolder(env.dir / "backup"));
    Child check({IBSDB_PATH, "check", env.dir / "backup", "--json"},
                {{"VELLUMARK_RUN_DIR", env.dir / "run"},
                 {"VELLUMARK_PREFS", env.dir / "prefs.xml"},
                 {"SYSTEMD_UNIT_PATH", env.dir / "units"}});
    ASSERT_TRUE(check.Wait(30000).has_value());
    auto j = nlohmann::json::parse(check.Stdout());
    nlohmann::json port;
    for (const auto& c : j["checks"])
        if (c["check"] == "port") port = c;
    EXPECT_TRUE(port["state"] == "OK" && port["pid"] == service->Pid()) << port.dump();
    EXPECT_EQ(j["state"], "OK") << check.Stdout();
    Stop(service);
}

TEST(CommandLineTest, EveryProgramExitsTwoOnACommandLineItDoesNotUnderstand) {
    const std::vector<std::vector<std::string>> wrong = {
        {TALONIB_PATH, "install", "now"},
        {IBSDB_PATH, "status", "/tmp", "--crit-lag", "soon"},
        {IBSDB_PATH, "restore", "/tmp"},
        {IBSDB_PATH, "prune-rejected", "/tmp", "--older-than", "0d"},
        {VLSERVER_SIM_PATH, "run", "--no-such-option"},
    };
    testutil::TempDir units;
    for (const auto& args : wrong) {
        Child c(args,
                {{"VELLUMARK_LOG_DIR", "/nonexistent/log"}, {"VELLUMARK_UNIT_DIR", units.path()}});
        EXPECT_EQ(c.Wait(20000), 2) << args.back();
        const std::string err = c.Stderr();
        EXPECT_NE(err, "") << args.back();
        if (args[0] == IBSDB_PATH && args.size() > 3) {  // the option not understood is named
            EXPECT_NE(err.find(args[args.size() - 2]), std::string::npos) << err;
        }
    }
    EXPECT_EQ(testutil::Snapshot(units.path(), true), "");
}
