// What an operator sees on the host while the server's event hub is linked: the journal (a
// socket of the test's, where the service's own mount namespace puts journald's), systemd's
// status line, and standard error in the foreground.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/ServiceFixture.h"
#include "tools/sim/ServiceClient.h"
#include "tools/sim/Workload.h"

using testutil::Child;

namespace {

// journald's socket: every datagram is taken as it comes (a sender waits while the queue
// is full, as with the real one).
class JournalSocket {
public:
    JournalSocket() {
        mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", (dir / "socket").c_str());
        if (::bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("bind journal socket");
        mReader = std::thread([this] {
            char buf[65536];
            for (ssize_t n; (n = ::recv(mFd, buf, sizeof buf, 0)) > 0;) {
                std::lock_guard<std::mutex> g(mM);
                mEntries.emplace_back(buf, static_cast<std::size_t>(n));
                mCv.notify_all();
            }
        });
    }
    ~JournalSocket() {
        ::shutdown(mFd, SHUT_RDWR);
        mReader.join();
        ::close(mFd);
    }
    // The first entry that holds every one of `lines` (each a whole field line).
    std::string WaitFor(const std::vector<std::string>& lines, int timeoutMs) {
        std::unique_lock<std::mutex> l(mM);
        std::string found;
        mCv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
            for (const auto& e : mEntries) {
                bool all = true;
                for (const auto& line : lines)
                    all &= ("\n" + e).find("\n" + line + "\n") != std::string::npos;
                if (all) return found = e, true;
            }
            return false;
        });
        return found;
    }

    testutil::TempDir dir;

private:
    int mFd = -1;
    std::thread mReader;
    std::mutex mM;
    std::condition_variable mCv;
    std::vector<std::string> mEntries;
};

class JournalTest : public testutil::ServiceFixture {
protected:
    // The service as systemd starts it, in a mount namespace where journald's socket is the
    // test's.
    std::unique_ptr<Child> StartUnderSystemd() {
        auto environment = env.Env();
        environment["INVOCATION_ID"] = "0123456789abcdef0123456789abcdef";
        return std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation", "private",
                                     "/bin/sh", "-c",
                                     "mount -t tmpfs none /run && mkdir -p /run/systemd/journal "
                                     "&& mount --bind \"$0\" /run/systemd/journal && exec \"$1\"",
                                     journal.dir.path(), TALONIB_PATH},
            environment);
    }
    // A database fails while the hub is linked: its log cannot be applied.
    void FailADatabase(sim::ServiceClient& client, unsigned short hubPort) {
        ASSERT_TRUE(client.RegisterServer("127.0.0.1", hubPort));
        ASSERT_TRUE(client.SetBackupFolder(backup()));
        sim::WorkloadOptions opt;
        opt.seed = 61;
        opt.databases = 2;
        server = std::make_unique<sim::Workload>(backup(), opt, *announcer);
        ASSERT_TRUE(server->Upload());
        ASSERT_EQ(server->WriteIntervalLogs(), 0);
        ASSERT_EQ(server->CloseInterval(), 0);
        ASSERT_TRUE(server->WaitForLastGood(20000));
        ASSERT_EQ(server->WriteCorruptLog(1), 0);
        ASSERT_EQ(server->WriteIntervalLogs({1}), 0);
        server->Forget(1);
        ASSERT_EQ(server->CloseInterval(), 0);
    }

    JournalSocket journal;
    std::unique_ptr<sim::CorbaAnnouncer> announcer;
    std::unique_ptr<sim::Workload> server;
};

}  // namespace

TEST_F(JournalTest, UnderSystemdEveryRecordReachesTheJournalWithItsDatabaseAndTheHubItsCopy) {
    unsigned short hubPort = testutil::FreePort();
    Child hub({VLSERVER_SIM_PATH, "hub", "--port", std::to_string(hubPort)}, {});
    ASSERT_TRUE(hub.WaitForLine("hub listening", 20000));
    auto service = StartUnderSystemd();
    ASSERT_TRUE(notify.WaitFor("READY=1", 20000)) << service->Stderr(5000);
    EXPECT_NE(journal.WaitFor({"PRIORITY=5", "SYSLOG_IDENTIFIER=talonib"}, 10000), "");

    sim::ServiceClient client(testutil::ClientOrb());
    announcer = std::make_unique<sim::CorbaAnnouncer>(client);
    FailADatabase(client, hubPort);
    ASSERT_FALSE(HasFatalFailure());
    const std::string uuid = server->Db(1).UuidText();
    // The failed database, with its identity as fields, though the hub is linked.
    EXPECT_NE(journal.WaitFor({"VELLUMARK_EVENT=0x41000331", "VELLUMARK_DATABASE_UUID=" + uuid,
                               "VELLUMARK_DATABASE_NAME=db1.vdb", "PRIORITY=4"},
                              20000),
              "");
    // The hub hears the log that could not be applied, then notification 21 for the failed
    // database.
    EXPECT_TRUE(hub.WaitForLine("event 0x4100031f", 20000));
    EXPECT_TRUE(hub.WaitForLine("notification 21 link 1 (0, 0) targets: " + uuid, 20000));
    ASSERT_TRUE(server->WaitForLastGood(20000));
    EXPECT_EQ(server->VerifyAll(), "");

    client.Stop();
    EXPECT_EQ(service->Wait(20000), 0);
    hub.Write("quit\n");
    EXPECT_EQ(hub.Wait(10000), 0);
}
