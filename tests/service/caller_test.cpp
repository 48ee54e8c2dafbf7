// Who may drive the service, with real users on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "platform/support/Listing.h"
#include "tests/ServiceFixture.h"
#include "tests/manager/Files.h"
#include "tools/sim/ServiceClient.h"

using testutil::Child;

namespace {

const std::string kA = "11111111-1111-4111-8111-111111111111";

// Runs an account command, again while another process holds the user database's lock.
void Admin(std::vector<std::string> args) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        Child c(args, {});
        if (c.Wait(30000) == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ADD_FAILURE() << "failed: " << args[0] << " " << args.back();
}

// A system group, and a user in its own group (and maybe another), made for one test.
struct ThrowawayGroup {
    explicit ThrowawayGroup(const std::string& n) : name(n + std::to_string(::getpid())) {
        Admin({"/usr/sbin/groupadd", "--system", name});
    }
    ~ThrowawayGroup() { Admin({"/usr/sbin/groupdel", name}); }
    std::string name;
};

struct ThrowawayUser {
    ThrowawayUser(const std::string& n, const std::string& group = "")
        : name(n + std::to_string(::getpid())) {
        std::vector<std::string> args = {"/usr/sbin/useradd", "--system",
                                         "--no-create-home",  "--shell",
                                         "/usr/sbin/nologin", "--user-group"};
        if (!group.empty()) args.insert(args.end(), {"--groups", group});
        args.push_back(name);
        Admin(args);
        passwd* pw = ::getpwnam(name.c_str());
        uid = pw ? pw->pw_uid : 0;
        gid = pw ? pw->pw_gid : 0;
    }
    ~ThrowawayUser() { Admin({"/usr/sbin/userdel", name}); }
    // As this user without supplementary groups: the service asks the user database.
    std::vector<std::string> As(std::vector<std::string> command) const {
        std::vector<std::string> args = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                         "--regid=" + std::to_string(gid), "--clear-groups"};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

class CallerTest : public testutil::ServiceFixture {
protected:
    void Start(const std::string& allowed = "") {
        NameBackupFolder(
            allowed.empty() ? "" : "  <pref id=\"80\" type=\"text\">" + allowed + "</pref>\n");
        service = StartReady();
    }
    // `vlserver-sim call ...`, as `user` when given; its exit code and output.
    std::pair<int, std::string> Call(const ThrowawayUser* user, std::vector<std::string> args) {
        args.insert(args.begin(), {VLSERVER_SIM_PATH, "call"});
        Child c(user ? user->As(args) : args, {});
        int rc = c.Wait(60000).value_or(-1);
        return {rc, c.Stdout() + c.Stderr()};
    }
    std::unique_ptr<Child> service;
};

}  // namespace

TEST_F(CallerTest, OnlyRootAndAllowedGroupsChangeTheService) {
    ThrowawayGroup allowed("ibsok");
    ThrowawayUser other("ibsno"), member("ibsyes", allowed.name);
    ASSERT_NE(other.uid, 0u);
    Start("@" + allowed.name);
    // Root's pending upload and log: what a stranger must not cost the server.
    sim::ServiceClient root(testutil::ClientOrb());
    std::string up = testutil::WriteDb(backup() + "/Copies/u/db.vdb", kA, 1);
    ASSERT_TRUE(root.FullDBBackupIsUploaded(up, kA));
    std::string log =
        testutil::WriteLog(backup() + "/Changes/Redo_1", "a.vrl", kA, 1, 2, 1800000000000000ull);
    ASSERT_EQ(root.RedoLogIsReady(log, kA, true), 0);
    const std::string before = testutil::Snapshot(backup(), true);

    const std::vector<std::vector<std::string>> changing = {
        {"SetBackupFolder", env.dir / "elsewhere"}, {"SetBackupFolder", ""},
        {"FullDBBackupIsUploaded", up, kA},         {"RedoLogIsReady", log, kA, "1"},
        {"RegisterServer", "127.0.0.1", "1"},       {"Stop"}};
    for (const auto& call : changing) {
        auto [rc, out] = Call(&other, call);
        EXPECT_EQ(rc, 1) << call[0] << ": " << out;
        EXPECT_NE(out.find("call failed: NO_PERMISSION"), std::string::npos) << call[0] << out;
    }
    // Asking is open to everyone.
    EXPECT_EQ(Call(&other, {"VerifyFullDBBackup", "db", kA, "1", "0"}),
              std::make_pair(0, std::string("0\n")));

    EXPECT_TRUE(testutil::Snapshot(backup(), true) == before) << "the backup folder changed";
    EXPECT_FALSE(testutil::Exists(env.dir / "elsewhere"));
    EXPECT_FALSE(service->Wait(0).has_value());

    // A member of the allowed group, and root, are answered.
    EXPECT_EQ(Call(&member, {"SetBackupFolder", backup()}),
              std::make_pair(0, std::string("true\n")));
    EXPECT_EQ(root.RedoLogIsReady(log, kA, true), 0);
    EXPECT_TRUE(testutil::Snapshot(backup(), true) == before) << "the backup folder changed";
    EXPECT_EQ(Call(&member, {"Stop"}), std::make_pair(0, std::string("stopped\n")));
    // The process ends in order: its workers and the connector's thread joined.
    EXPECT_EQ(service->Wait(30000), 0);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1", 1000));
    // One record for the first refusal, naming the caller; the other five counted at the end.
    std::string records = service->Stderr();
    EXPECT_EQ(testutil::CountOf(records, "[0x81000350]"), 2u) << records;
    EXPECT_NE(records.find("uid " + std::to_string(other.uid) + " (" + other.name + ")"),
              std::string::npos)
        << records;
    EXPECT_NE(records.find("(5 refused since the previous record)"), std::string::npos) << records;
}

// A connection of another user on the very addresses of an earlier one is judged as itself.
TEST_F(CallerTest, AConnectionOnTheAddressesOfAnEarlierOneIsJudgedAsItsOwn) {
    ThrowawayUser other("ibsport");
    Start();
    const std::string port = std::to_string(testutil::FreePort());
    auto from = [&](const std::string& user) {
        Child c({CALLER_BENCH_PATH, "from", port, user, backup()}, {});
        c.Wait(60000);
        return c.Stdout();
    };
    EXPECT_EQ(from("root"), "answered\n");
    EXPECT_EQ(from(other.name), "refused\n");
    EXPECT_EQ(from("root"), "answered\n");
}

TEST_F(CallerTest, SlowConnectionsOfOthersDoNotDelayAnAllowedCaller) {
    ThrowawayUser other("ibsslow");
    Start();
    // 200 connections sending a byte every two seconds, reopened whenever the service closes one.
    Child slow({CALLER_BENCH_PATH, "trickle", "200", other.name}, {});
    ASSERT_TRUE(slow.WaitForLine("ready", 60000));
    // Each call on a new connection, the call alone timed.
    Child probe({CALLER_BENCH_PATH, "probe", "10", backup()}, {});
    ASSERT_EQ(probe.Wait(120000), 0);
    std::istringstream lines(probe.Stdout());
    std::string line;
    for (int i = 0; i < 10 && std::getline(lines, line); ++i)
        EXPECT_LT(std::stod(line), 1000.0) << "call " << i << " took " << line << " ms";
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "answered 10");
    slow.Write("\n");
    EXPECT_EQ(slow.Wait(30000), 0);
    Stop(service);
}

TEST_F(CallerTest, FloodsOfRefusedCallsWriteALittle) {
    ThrowawayUser other("ibsflood");
    Start();
    auto size = [&] { return testutil::ReadFile(env.dir / "log/talonibDebug.log").size(); };
    std::size_t before = size();
    // A stranger's calls, refused before their 60,000-character paths are read...
    Child flood({CALLER_BENCH_PATH, "flood", "1000", "60000", other.name}, {});
    ASSERT_EQ(flood.Wait(120000), 0);
    EXPECT_EQ(flood.Stdout(), "refused 1000 answered 0 failed 0\n");
    // ... and root's announcements of files that are not there.
    sim::ServiceClient root(testutil::ClientOrb());
    std::string path = backup() + "/Changes/Redo_1/" + std::string(60000, 'p') + ".vrl";
    for (int i = 0; i < 300; ++i) ASSERT_EQ(root.RedoLogIsReady(path, kA, true), 10008);
    std::size_t grown = size() - before;
    EXPECT_LT(grown, 1300u * 30) << "bytes for 1,300 refused calls";
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(30000), 0);
    std::string records = service->Stderr();
    EXPECT_EQ(testutil::CountOf(records, "[0x81000350]"), 2u) << records;
}

TEST_F(CallerTest, MalformedMessagesLeaveAFewTraceLines) {
    Start();
    // A request whose body is garbage: the ORB traces it and closes the connection.
    const char kGarbage[] =
        "GIOP\x01\x02\x01\x00\x10\x00\x00\x00"
        "abcdefghijklmnop";
    for (int i = 0; i < 200; ++i) {
        int fd = testutil::ConnectLoopback();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, kGarbage, sizeof kGarbage - 1, 0),
                  static_cast<ssize_t>(sizeof kGarbage - 1));
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[256];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }  // until the service closes it
        ::close(fd);
    }
    Stop(service);
    // One line a message before; ten now, and the count of the rest.
    std::string trace = testutil::ReadFile(env.dir / "log/talonib_omniORB.txt");
    EXPECT_LT(testutil::CountOf(trace, "\n"), 40u) << trace;
}
