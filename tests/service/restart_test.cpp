#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "platform/support/Os.h"
#include "tests/ServiceFixture.h"
#include "tools/sim/ServiceClient.h"

using testutil::Child;

namespace {

// Whether the process writes a file below `folder` other than the manifest (a worker's item).
bool Writing(pid_t pid, const std::string& folder) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::vector<Mirel::Os::DirEntry> fds;
    if (Mirel::Os::ListDir(proc + "/fd", fds) != 0) return false;
    for (const auto& fd : fds) {
        char target[4096];
        const ssize_t n = ::readlink((proc + "/fd/" + fd.name).c_str(), target, sizeof target);
        const std::string path(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (path.rfind(folder, 0) != 0 || path.find("/manifest.tsv") != std::string::npos) continue;
        const std::string info = testutil::ReadFile(proc + "/fdinfo/" + fd.name);
        const std::size_t at = info.find("flags:");
        if (at != std::string::npos &&
            (std::stoul(info.substr(at + 6), nullptr, 8) & O_ACCMODE) != O_RDONLY)
            return true;
    }
    return false;
}

class RestartTest : public testutil::ServiceFixture {
protected:
    void SetUp() override { NameBackupFolder(); }
    // One interval of the server's logs, until its last-good folder is there.
    void Published(sim::Workload& server, int ms = 30000) {
        ASSERT_EQ(server.WriteIntervalLogs(), 0);
        ASSERT_EQ(server.CloseInterval(), 0);
        ASSERT_TRUE(server.WaitForLastGood(ms)) << env.DebugLog();
    }

    static sim::WorkloadOptions Options(std::uint64_t pages, int pagesPerLog, std::uint64_t seed) {
        return {4, 4096, pages, 4, pagesPerLog, seed};
    }
    sim::ServiceClient client{testutil::ClientOrb()};
    sim::CorbaAnnouncer announcer{client};
};

}  // namespace

TEST_F(RestartTest, FilesThatArrivedWhileTheServiceWasDown) {
    sim::Workload server(backup(), Options(32, 24, 43), announcer);
    auto service = StartReady();
    ASSERT_TRUE(server.Upload());
    Published(server);
    // Logs of the open interval, announced before the stop, are found by the scan too.
    ASSERT_EQ(server.WriteIntervalLogs(), 0);
    Stop(service);

    // Unannounced while it is down: an upload, an interval with its interval-done file, and
    // a damaged log; the scan at start-up finds them.
    struct Silent : sim::Announcer {
        bool Upload(const std::string&, const std::string&) override { return true; }
        std::int32_t RedoLogReady(const std::string&, const std::string&) override { return 0; }
    } silent;
    server.SetAnnouncer(silent);
    testutil::MakeDirs(backup() + "/Changes/Redo_5");
    testutil::WriteFile(backup() + "/Changes/Redo_5/garbage.vrl", "not a redo log");
    ASSERT_TRUE(server.Upload(0));
    ASSERT_EQ(server.WriteIntervalLogs(), 0);
    ASSERT_EQ(server.CloseInterval(), 0);
    server.SetAnnouncer(announcer);

    service = StartReady();
    ASSERT_TRUE(server.WaitForLastGood(30000)) << env.DebugLog();
    EXPECT_EQ(server.VerifyAll(), "");
    // A log without a valid header may still be being written: judged when announced.
    EXPECT_TRUE(testutil::IsFile(backup() + "/Changes/Redo_5/garbage.vrl"));
    EXPECT_EQ(client.RedoLogIsReady(backup() + "/Changes/Redo_5/garbage.vrl",
                                    server.Db(0).UuidText(), true),
              10709);
    EXPECT_TRUE(testutil::IsFile(backup() + "/Rejected/garbage.vrl"));
    // And the service carries on.
    Published(server);
    EXPECT_EQ(server.VerifyAll(), "");
    Stop(service);
}

TEST_F(RestartTest, KilledAtRandomMomentsNeverLeavesAWrongCopy) {
    sim::Workload server(backup(), Options(256, 600, 47), announcer);
    std::mt19937 rng(4711);
    auto service = StartReady();
    ASSERT_TRUE(server.Upload());
    for (int round = 0; round < 24; ++round) {
        ASSERT_EQ(server.WriteIntervalLogs(), 0) << "round " << round;
        ASSERT_EQ(server.CloseInterval(), 0) << "round " << round;
        // The kill's moment is the point of the test, not a wait for something.
        const unsigned delayMs = rng() % 120;
        SCOPED_TRACE("round " + std::to_string(round) + ": killed " + std::to_string(delayMs) +
                     " ms after the interval's end");
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        service->Signal(SIGKILL);
        ASSERT_EQ(service->Wait(30000), 128 + SIGKILL);
        EXPECT_EQ(server.VerifyAll(), "")
            << "round " << round << ", killed " << delayMs << " ms after the interval's end";
        service = StartReady();
    }
    ASSERT_TRUE(server.WaitForLastGood(60000)) << env.DebugLog();
    EXPECT_EQ(server.VerifyAll(), "");
    Published(server, 60000);
    EXPECT_EQ(server.VerifyAll(), "");
    Stop(service);
}

TEST_F(RestartTest, NewBackupFolderWhileWorkersAreBusy) {
    sim::Workload server(backup(), Options(256, 800, 53), announcer);
    auto service = StartReady();
    ASSERT_TRUE(server.Upload());
    Published(server);
    // Intervals are closed until a worker is seen writing a copy: it holds an item.
    bool busy = false;
    for (int round = 0; round < 20 && !busy; ++round) {
        ASSERT_EQ(server.WriteIntervalLogs(), 0);
        const std::string before = server.NewestLastGood();
        ASSERT_EQ(server.CloseInterval(), 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!(busy = Writing(service->Pid(), backup() + "/InProgress/")) &&
               server.NewestLastGood() == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!busy) {
            ASSERT_TRUE(server.WaitForLastGood(30000));
        }
    }
    ASSERT_TRUE(busy) << "no worker was seen writing a copy";
    std::string other = env.dir / "other";
    ASSERT_TRUE(client.SetBackupFolder(other));
    // The old folder keeps its last-good folders and loses its working folders.
    for (const char* f : {"/Changes", "/Copies", "/InProgress"})
        EXPECT_FALSE(testutil::Exists(backup() + f)) << f;
    EXPECT_NE(server.NewestLastGood(), "");
    EXPECT_EQ(server.VerifyAll(), "");
    EXPECT_TRUE(testutil::IsDir(other + "/Changes"));
    EXPECT_TRUE(Mirel::Directory(Mirel::UniversalPath::Folder(other + "/Copies")).IsEmpty());
    // The new folder works from scratch.
    sim::Workload fresh(other, Options(256, 800, 54), announcer);
    ASSERT_TRUE(fresh.Upload());
    Published(fresh);
    EXPECT_EQ(fresh.VerifyAll(), "");
    Stop(service);
}
