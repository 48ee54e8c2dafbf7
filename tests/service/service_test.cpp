// The service as a real process, driven over CORBA on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "tests/ServiceFixture.h"
#include "tools/sim/ServiceClient.h"

using testutil::Child;
using testutil::FreePort;

namespace {

// The established connections to the service's port, by the caller's address: the bytes
// each has received and the bytes it holds unread, as the kernel counts them (`ss`).
struct Inbound {
    std::uint64_t received = 0, unread = 0;
};
std::map<std::string, Inbound> InboundConnections() {
    std::map<std::string, Inbound> out;
    FILE* p = ::popen("ss -tinH state established '( sport = :50004 )' 2>/dev/null", "r");
    if (!p) return out;
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    ::pclose(p);
    std::istringstream in(text);
    std::string peer;
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        if (line[0] != '\t' && line[0] != ' ') {
            std::string local;
            std::uint64_t unread = 0, unsent = 0;
            f >> unread >> unsent >> local >> peer;
            out[peer].unread = unread;
        } else if (auto at = line.find("bytes_received:"); at != std::string::npos) {
            out[peer].received = std::strtoull(line.c_str() + at + 15, nullptr, 10);
        }
    }
    return out;
}

class ServiceTest : public testutil::ServiceFixture {};

}  // namespace

TEST_F(ServiceTest, WithoutPreferenceFileAnswersEveryOperationAndStopsOnSigterm) {
    auto service = StartReady({{"VELLUMARK_PREFS", env.dir / "nowhere/talonib.xml"}});
    sim::ServiceClient client(testutil::ClientOrb());
    // Before the server names a backup folder.
    EXPECT_EQ(client.RedoLogIsReady("relative/x.vrl", "u", true), 10001);
    EXPECT_EQ(client.RedoLogIsReady("/a/../x.vrl", "u", true), 10001);
    // Nothing is read or moved before there is a backup folder to judge a path by.
    testutil::WriteFile(env.dir / "x.vrl", "not a redo log");
    EXPECT_EQ(client.RedoLogIsReady(env.dir / "x.vrl", "u", true), 10017);
    EXPECT_EQ(testutil::ReadFile(env.dir / "x.vrl"), "not a redo log");
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 5, false), 10017);
    EXPECT_FALSE(client.FullDBBackupIsUploaded(env.dir / "x.vdb", "u"));
    EXPECT_FALSE(client.RegisterServer("127.0.0.1", FreePort()));  // no hub there
    EXPECT_FALSE(client.SetBackupFolder("not/absolute"));
    EXPECT_TRUE(client.SetBackupFolder(env.dir / "backup"));
    EXPECT_TRUE(testutil::IsDir(env.dir / "backup/InProgress"));
    // Now a file outside the changes folder is not taken, and one inside is judged.
    EXPECT_EQ(client.RedoLogIsReady(env.dir / "x.vrl", "u", true), 10008);
    EXPECT_TRUE(testutil::IsFile(env.dir / "x.vrl"));
    testutil::MakeDirs(env.dir / "backup/Changes/Redo_1");
    testutil::WriteFile(env.dir / "backup/Changes/Redo_1/x.vrl", "not a redo log");
    EXPECT_EQ(client.RedoLogIsReady(env.dir / "backup/Changes/Redo_1/x.vrl", "u", true), 10709);
    EXPECT_TRUE(testutil::IsFile(env.dir / "backup/Rejected/x.vrl"));
    EXPECT_EQ(client.RedoLogIsReady(env.dir / "backup/Changes/Redo_1/missing.vrl", "u", true),
              10008);
    // The key stays the same across restarts, so the corbaloc text names the object.
    EXPECT_EQ(client.Address(),
              "corbaloc::127.0.0.1:50004/%ffomniINSPOA%ffIBSEventPOA%00ZAVORIdava");

    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), 0);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1", 1000));
    EXPECT_TRUE(testutil::IsFile(env.dir / "log/talonib_omniORB.txt"));
}

TEST_F(ServiceTest, SignalsMapToControlsAndEvents) {
    {
        auto service = StartReady();
        service->Signal(SIGUSR1);  // an unhandled control: the status is reported
        EXPECT_TRUE(notify.WaitFor("check 3", 5000));
        service->Signal(SIGINT);  // OS event 7: the expedited shutdown functor
        EXPECT_EQ(service->Wait(10000), 0);
    }
    auto service = StartReady();
    service->Signal(SIGQUIT);  // message 1011: the loop ends while it runs
    EXPECT_EQ(service->Wait(10000), 0);
}

// A service manager that reads nothing: its socket's queue is full when the stop comes, and
// the stop goes on without the notification rather than waiting for room.
TEST_F(ServiceTest, AStopDoesNotWaitOnANotifySocketNobodyReads) {
    auto service = StartReady();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", notify.Path().c_str());
    int queued = 0;
    while (::sendto(fd, "X=1", 3, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), sizeof a) == 3)
        ++queued;
    ::close(fd);
    ASSERT_GT(queued, 0);
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(20000), 0) << env.DebugLog();
}

TEST_F(ServiceTest, SecondInstanceIsRefused) {
    auto first = StartReady();
    auto second = Start();
    EXPECT_EQ(second->Wait(10000), 10);
    // The line names the running instance, from the process id it wrote into the lock.
    EXPECT_NE(second->Stderr().find("(process " + std::to_string(first->Pid()) + ", lock "),
              std::string::npos)
        << second->Stderr();
    Stop(first);
}

TEST_F(ServiceTest, ConnectorLinksAnswersStopNoticeAndReportsLostConnection) {
    unsigned short hubPort = FreePort();
    Child hub({VLSERVER_SIM_PATH, "hub", "--port", std::to_string(hubPort)}, {});
    ASSERT_TRUE(hub.WaitForLine("hub listening", 20000));
    auto service = StartReady();
    sim::ServiceClient client(testutil::ClientOrb());
    ASSERT_TRUE(client.RegisterServer("127.0.0.1", hubPort));
    EXPECT_TRUE(hub.WaitForLine("component link 1: DBSConnector type 14", 5000));
    EXPECT_TRUE(hub.WaitForLine("subscribe link 1: 8/2", 5000));
    EXPECT_TRUE(hub.WaitForLine("component info link 1: DBSConnector", 5000));

    hub.Write("stop-notice\n");
    EXPECT_TRUE(hub.WaitForLine("stopping notice link 1 (linkID 1)", 5000));

    // The hub forgets its links: the service notices and tells the hub.
    hub.Write("drop-links\n");
    EXPECT_TRUE(hub.WaitForLine("LostConnection", 10000));
    ASSERT_TRUE(client.RegisterServer("127.0.0.1", hubPort));
    EXPECT_TRUE(hub.WaitForLine("component link 2", 5000));
    for (const auto& l : hub.Lines()) EXPECT_EQ(l.find("component link 3"), std::string::npos);

    // Event records travel to the hub while it is linked, and to standard error too.
    ASSERT_TRUE(client.SetBackupFolder(env.dir / "backup"));
    testutil::MakeDirs(env.dir / "backup/Changes/Redo_1");
    testutil::WriteFile(env.dir / "backup/Changes/Redo_1/bad.vrl", "garbage");
    EXPECT_EQ(client.RedoLogIsReady(env.dir / "backup/Changes/Redo_1/bad.vrl", "u", true), 10709);
    EXPECT_TRUE(hub.WaitForLine("event 0x41000328 link 2", 5000));

    client.Stop();
    EXPECT_EQ(service->Wait(10000), 0);
    EXPECT_NE(service->Stderr().find("warning: [0x41000328] "), std::string::npos);
    hub.Write("quit\n");
    EXPECT_EQ(hub.Wait(10000), 0);
}

TEST_F(ServiceTest, OneCallAtATimeReachesTheServant) {
    // A fake hub that accepts and then says nothing holds RegisterServer inside the servant.
    sockaddr_in a{};
    int fd = testutil::ListenLoopback(0, &a);
    ASSERT_GE(fd, 0);
    auto service = StartReady();

    std::atomic<int> order{0};
    int registerDone = 0, verifyDone = 0;
    std::thread slow([&] {
        sim::ServiceClient c(testutil::ClientOrb());
        EXPECT_FALSE(c.RegisterServer("127.0.0.1", ntohs(a.sin_port)));
        registerDone = ++order;
    });
    int conn = ::accept(fd, nullptr, nullptr);  // the service is now inside RegisterServer
    ASSERT_GE(conn, 0);
    const auto before = InboundConnections();
    std::thread quick([&] {
        sim::ServiceClient c(testutil::ClientOrb());
        EXPECT_EQ(c.VerifyFullDBBackup("db", "u", 1, false), 10017);
        verifyDone = ++order;
    });
    // The second call has arrived once the service has read its request off a new
    // connection; it must still wait for the first.
    auto arrived = [&] {
        for (const auto& [peer, c] : InboundConnections())
            if (!before.count(peer) && c.received > 0 && c.unread == 0) return true;
        return false;
    };
    EXPECT_TRUE(testutil::Eventually(arrived, 10000))
        << "the second call never reached the service";
    EXPECT_EQ(order.load(), 0);
    ::close(conn);
    ::close(fd);
    slow.join();
    quick.join();
    // Both were answered; which client thread noticed first is the test's own scheduling.
    EXPECT_EQ(registerDone + verifyDone, 3);
    Stop(service);
}
