// Preferences the service cannot run with, refused at start; what the unit's group and umask
// give a monitoring user; ibsdb check beside the running service.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "ibs_version.h"
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
    const std::string prefs = env.dir / "prefs.xml";
    struct Case {
        std::string body, line;
    };
    const std::vector<Case> cases = {
        {"  <pref id=\"67\" type=\"int\">0</pref>\n  <pref id=\"69\" type=\"int\">1</pref>\n",
         "bad preference file " + prefs +
             ":4: unknown preference 69; the service reads 67 (1: a backup folder is "
             "configured), 68 (its path), 80 (the allowed callers), 81 (the set-aside limit "
             "in bytes), 82 (the restore points to keep), 83 (the hours to keep restore "
             "points), 84 (the off-host repository's credentials file), 85 (the prefix of "
             "its keys) and 86 (the bytes per second the copier may send)"},
        {"  <pref id=\"67\" type=\"int\">1</pref>\n",
         "bad preference file " + prefs +
             ":3: preference 67 says a backup folder is configured but preference 68, its "
             "path, is not there"},
        {"  <pref id=\"67\" type=\"int\">1</pref>\n  <pref id=\"68\" type=\"int\">5</pref>\n",
         "bad preference file " + prefs +
             ":4: preference 68 must be of type text (the backup folder's absolute path)"},
        {"  <pref id=\"67\" type=\"int\">1</pref>\n  <pref id=\"68\" type=\"text\">  </pref>\n",
         "bad preference file " + prefs + ":4: preference 68 is not an absolute path: \"\""},
        {"  <pref id=\"67\" type=\"int\">1</pref>\n  <pref id=\"68\" type=\"text\">srv/b</pref>\n",
         "bad preference file " + prefs + ":4: preference 68 is not an absolute path: \"srv/b\""},
        {"  <pref id=\"67\" type=\"text\">yes</pref>\n",
         "bad preference file " + prefs + ":3: preference 67 must be of type int (0 or 1)"},
        {"  <pref id=\"67\" type=\"int\">1</pref>\n  <pref id=\"68\" type=\"text\">" +
             env.dir / "mnt/disk/backup</pref>\n",
         "the parent folder " + env.dir / "mnt/disk" + " of the backup folder " +
             env.dir / "mnt/disk/backup" +
             " does not exist: create it (the service creates only the backup folder itself), "
             "or correct preference 68 (" +
             prefs + ")"},
        {"  <pref id=\"67\" type=\"int\">1</pref>\n  <pref id=\"68\" type=\"text\">" +
             env.dir / "a-file</pref>\n",
         "the backup folder " + env.dir / "a-file" + " is not a folder (" + prefs + ")"},
        {"  <pref id=\"67\" type=\"int\">0</pref>\n  <pref id=\"80\" type=\"int\">0</pref>\n",
         "bad preference file " + prefs +
             ":4: preference 80 (the allowed callers) must be of type text"},
        {"  <pref id=\"67\" type=\"int\">0</pref>\n  <pref id=\"81\" type=\"int\">-1</pref>\n",
         "bad preference file " + prefs +
             ":4: preference 81 (the set-aside limit in bytes) must be a number of type int, 0 "
             "or more"},
        {"  <pref id=\"81\" type=\"text\">1 GiB</pref>\n",
         "bad preference file " + prefs +
             ":3: preference 81 (the set-aside limit in bytes) must be a number of type int, 0 "
             "or more"},
        // Fewer than two would be read as the default and keep more than asked; a text
        // would lose the restore points the operator meant to keep.
        {"  <pref id=\"82\" type=\"int\">1</pref>\n",
         "bad preference file " + prefs +
             ":3: preference 82 (the restore points to keep) must be a number of type int, 2 to "
             "100000"},
        {"  <pref id=\"82\" type=\"int\">3</pref>\n  <pref id=\"83\" type=\"text\">2d</pref>\n",
         "bad preference file " + prefs +
             ":4: preference 83 (the hours to keep restore points) must be a number of type "
             "int, 0 to 876000"},
        // A relative path would name a different file from the unit's working folder.
        {"  <pref id=\"84\" type=\"text\">offsite.credentials</pref>\n",
         "bad preference file " + prefs +
             ":3: preference 84 (the off-host repository's credentials file) must be an "
             "absolute path of type text"},
        {"  <pref id=\"85\" type=\"int\">3</pref>\n",
         "bad preference file " + prefs +
             ":3: preference 85 (the prefix of the off-host keys) must be of type text"},
        // Read as no limit instead, the copier could take the link the operator meant to share.
        {"  <pref id=\"86\" type=\"int\">-1</pref>\n",
         "bad preference file " + prefs +
             ":3: preference 86 (the bytes per second the copier may send) must be a number of "
             "type int, 0 or more"},
        {"  <pref id=\"86\" type=\"text\">10M</pref>\n",
         "bad preference file " + prefs +
             ":3: preference 86 (the bytes per second the copier may send) must be a number of "
             "type int, 0 or more"},
    };
    for (const auto& c : cases) {
        testutil::WriteFile(prefs, Prefs(c.body));
        auto service = Start();
        auto code = service->Wait(20000);
        if (!code) {  // it started after all
            service->Signal(SIGKILL);
            service->Wait(10000);
        }
        EXPECT_EQ(code, 6) << c.line;
        EXPECT_EQ(service->Stderr(), "talonib: " + c.line + "\n");
        EXPECT_NE(env.DebugLog().find("main: start refused: " + c.line), std::string::npos)
            << env.DebugLog();
        // Refused before anything: no lock, no folder made.
        EXPECT_FALSE(testutil::Exists(env.dir / "run/talonib.lock"));
        EXPECT_FALSE(testutil::Exists(env.dir / "mnt"));
    }

    // The parent exists: the service makes the last folder only, and starts.
    testutil::MakeDirs(env.dir / "mnt/disk");
    testutil::WriteFile(prefs, Prefs(cases[6].body));
    auto service = Start();
    ASSERT_TRUE(notify.WaitFor("READY=1", 20000)) << service->Stderr(5000);
    EXPECT_TRUE(testutil::IsDir(env.dir / "mnt/disk/backup/InProgress"));
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), 0);
}

// The unit runs the service as root with the group vellumark and UMask=0027: whatever the
// service makes must then be readable through the group, and by nobody else.
TEST_F(StartupTest, WhatTheServiceMakesIsReadableThroughItsGroupOnly) {
    const std::string group = "4242", backup = env.dir / "backup";
    ASSERT_EQ(::chmod(env.dir.path().c_str(), 0711), 0);  // the temp folder is 0700
    auto environment = env.Env();
    Child service(
        {"/bin/sh", "-c",
         "umask 0027 && exec /usr/bin/setpriv --regid=" + group + " --clear-groups " TALONIB_PATH},
        environment);
    ASSERT_TRUE(notify.WaitFor("READY=1", 20000)) << service.Stderr(5000);
    Child server({VLSERVER_SIM_PATH, "run", "--backup", backup, "--work", env.dir / "sim",
                  "--intervals", "1", "--databases", "2"},
                 {});
    ASSERT_EQ(server.Wait(120000), 0) << server.Stdout() << server.Stderr();
    service.Signal(SIGTERM);
    ASSERT_EQ(service.Wait(20000), 0);

    struct stat st {};
    ASSERT_EQ(::stat(backup.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 4242u);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
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
    EXPECT_EQ(j["state"], "OK");
    EXPECT_EQ(j["databases"].size(), 2u);
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
    EXPECT_EQ(port["state"], "OK") << port.dump();
    EXPECT_EQ(port["pid"], service->Pid());
    EXPECT_EQ(port["detail"],
              "127.0.0.1:50004 is held by this service: " TALONIB_PATH ", process " +
                  std::to_string(service->Pid()) + " (named in " + env.dir / "run/talonib.lock)");
    EXPECT_EQ(j["state"], "OK") << check.Stdout();
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), 0);
}

TEST(CommandLineTest, EveryProgramExitsTwoOnACommandLineItDoesNotUnderstand) {
    const std::vector<std::vector<std::string>> wrong = {
        {TALONIB_PATH, "bogus"},
        {TALONIB_PATH, "--help"},
        {IBSDB_PATH},
        {IBSDB_PATH, "frobnicate"},
        {IBSDB_PATH, "check"},
        {IBSDB_PATH, "status", "/tmp", "--crit-lag", "soon"},
        {IBSDB_PATH, "status", "/tmp", "--warn-lag", "5x"},
        {IBSDB_PATH, "status"},
        {IBSDB_PATH, "list"},
        {IBSDB_PATH, "restore", "/tmp"},
        {IBSDB_PATH, "restore", "/tmp", "--to", "/x", "--at", "yesterday"},
        {IBSDB_PATH, "prune-rejected", "/tmp"},
        {IBSDB_PATH, "prune-rejected", "/tmp", "--older-than", "30"},
        {IBSDB_PATH, "prune-rejected", "/tmp", "--older-than", "0d"},
        {IBSDB_PATH, "prune-rejected", "/tmp", "--older-than", "30x"},
        {VLSERVER_SIM_PATH},
        {VLSERVER_SIM_PATH, "run", "--no-such-option"},
        {VLSERVER_SIM_PATH, "run", "--page-sizes", "big-bigger"},
        {VLSERVER_SIM_PATH, "call", "NoSuchOperation"},
        {VLSERVER_SIM_PATH, "call", "RegisterServer", "127.0.0.1", "not-a-port"},
    };
    for (const auto& args : wrong) {
        Child c(args, {{"VELLUMARK_LOG_DIR", "/nonexistent/log"}});
        EXPECT_EQ(c.Wait(20000), 2) << args.back();
        const std::string err = c.Stderr();
        EXPECT_NE(err, "") << args.back();
        if (args[0] == IBSDB_PATH && args.size() > 3) {  // the option not understood is named
            EXPECT_NE(err.find(args[args.size() - 2]), std::string::npos) << err;
        }
    }
    for (const char* program : {TALONIB_PATH, IBSDB_PATH, VLSERVER_SIM_PATH}) {
        Child c({program, "--version"}, {});
        EXPECT_EQ(c.Wait(20000), 0) << program;
        std::string name = program;
        name = name.substr(name.rfind('/') + 1);
        EXPECT_EQ(c.Stdout(), name + " " IBS_VERSION "\n");
    }
}
