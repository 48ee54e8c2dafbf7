// Power loss at every durability point of the interval cycle: the server model uploads,
// writes redo logs and closes intervals; the cycle starts intervals (uploads moved in, hard
// links, copies moved out of older folders), the workers make private copies and apply
// logs, finished folders become last-good and older ones are cleaned up. The machine loses
// power at one durability point, the disk keeps what a power loss may keep, and the service
// restarts on it. Then every last-good copy must be exact, and after one more interval every
// database the service had accepted must be in the newest last-good folder at the server's
// state.
#include <cstdlib>

#include "tests/lib/PowerLoss.h"
#include "tests/manager/ManagerFixture.h"

namespace PowerLoss = Mirel::PowerLoss;
using Mirel::unistring;

namespace {

// Durability points cost real syncs: a memory file system keeps the hundreds of runs short.
const bool kOnShm = [] {
    if (testutil::IsDir("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 0);
    return true;
}();

struct Case {
    PowerLoss::Loss loss;
    int intervals;
    bool idle;  // some databases get no log in some intervals
    const char* name;
};

}  // namespace

class PowerLossCycleTest : public testutil::ManagerTest,
                           public ::testing::WithParamInterface<Case> {
protected:
    ShortRetries shortRetries{mgr};
    // What a new process starts with: an empty catalogue, no failed databases, no interval
    // end; then the start-up's own steps on the backup folder. (A folder change would wipe
    // the working folders, so the clearing is done on an empty scratch folder.)
    void RestartOn(const std::string& folder) {
        ASSERT_TRUE(mgr->In().SetupFolders(Mirel::Directory(tmp.Folder("scratch"))));
        mgr->ClearFolders();
        mgr->Cat().ClearIntervals();
        ASSERT_TRUE(mgr->In().SetupFolders(Mirel::Directory(Mirel::UniversalPath::Folder(folder))));
        mgr->ScanFullBackupDB();
        mgr->CheckIntervals();
        Settle();
    }

    // One run of the workload on a fresh backup folder, the machine going off at durability
    // point `crashAt` (0: never). Only the service's calls are crash points: the server's
    // writes and announcements happen with the machine on, so everything announced was
    // accepted. Answers the points the run passed.
    std::uint64_t Run(const std::string& folder, std::uint64_t crashAt,
                      std::unique_ptr<sim::Workload>& server) {
        const Case c = GetParam();
        EXPECT_EQ(mgr->SetBackupFolder(unistring::FromUTF8(folder)), 1);
        Settle();
        sim::WorkloadOptions opt;
        opt.seed = 5;
        opt.databases = 2;
        opt.pageSize = 1024;
        opt.initialPages = 6;
        opt.maxLogsPerInterval = 2;
        opt.maxPagesPerLog = 5;
        server = std::make_unique<sim::Workload>(folder, opt, announcer);
        disk.Start(folder, crashAt);
        {
            PowerLoss::NoCrashScope quiet(disk);
            EXPECT_TRUE(server->Upload());
        }
        for (int i = 0; i < c.intervals && !disk.Crashed(); ++i) {
            {
                PowerLoss::NoCrashScope quiet(disk);
                if (i == 2) {
                    EXPECT_TRUE(server->Upload(1));  // a new full backup mid-way
                }
                std::vector<int> skip;
                if (c.idle && i % 2) skip.push_back(i / 2 % 2);
                EXPECT_EQ(server->WriteIntervalLogs(skip), 0);
                EXPECT_EQ(server->CloseInterval(), 0);
            }
            Settle();
        }
        return disk.Points();
    }
};

TEST_P(PowerLossCycleTest, EveryLastGoodCopyIsExactAndNothingAcceptedIsLost) {
    const Case c = GetParam();
    PowerLoss::Scope run(disk);
    std::unique_ptr<sim::Workload> server;
    const std::uint64_t points = Run(tmp / "count", 0, server);
    disk.Stop();
    ASSERT_EQ(server->VerifyAll(), "");
    ASSERT_GT(points, 20u);
    // The run goes through every way of starting a copy.
    using IntervalPlan::Source;
    for (const Source how : {Source::kUpload, Source::kLinkLg, Source::kMovePg})
        EXPECT_GT(mgr->Cycle().Placed(how), 0u) << static_cast<int>(how);

    // The order of the workers' points varies between runs: go on until a run ends before
    // its crash point, and crash at its end.
    for (std::uint64_t k = 1;; ++k) {
        const std::string folder = tmp / ("run" + std::to_string(k));
        Run(folder, k, server);
        const bool crashed = disk.Crashed();
        std::string context = std::string(c.name) + ", crash " + std::to_string(k) + " at " +
                              (crashed ? disk.CrashPoint() : "the end");
        PowerLoss::Outcome out = disk.Restart(c.loss, k);
        ASSERT_TRUE(out.errors.empty()) << context << ": " << out.errors.front();
        RestartOn(folder);

        EXPECT_EQ(server->VerifyAll(), "") << context;

        // The server goes on; the next interval brings every database to its state.
        {
            PowerLoss::NoCrashScope quiet(disk);
            EXPECT_EQ(server->WriteIntervalLogs(), 0) << context;
            EXPECT_EQ(server->CloseInterval(), 0) << context;
        }
        Settle();
        std::string newest = server->NewestLastGood();
        ASSERT_FALSE(newest.empty()) << context;
        EXPECT_EQ(server->VerifyLastGood(newest), "") << context;
        int present = 0;
        for (int i = 0; i < server->Databases(); ++i)
            present += testutil::IsFile(newest + "/" + server->DbName(i));
        EXPECT_EQ(present, server->Databases()) << context;
        EXPECT_FALSE(testutil::Exists(folder + "/Rejected")) << context;
        if (HasFailure()) break;  // one crash's story is enough to read
        Mirel::Directory(Mirel::UniversalPath::Folder(tmp / ("run" + std::to_string(k - 1))))
            .DeleteAll();
        if (!crashed) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Busy, PowerLossCycleTest,
                         ::testing::Values(Case{PowerLoss::Loss::kWorst, 4, false, "worst"},
                                           Case{PowerLoss::Loss::kSeeded, 4, false, "seeded"},
                                           Case{PowerLoss::Loss::kLastWriteOnly, 4, false,
                                                "reordered"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Databases that stay idle for an interval keep a hard-linked copy nobody writes, and older
// last-good folders are cleaned up while newer copies are in progress.
INSTANTIATE_TEST_SUITE_P(Idle, PowerLossCycleTest,
                         ::testing::Values(Case{PowerLoss::Loss::kWorst, 6, true, "worst"},
                                           Case{PowerLoss::Loss::kSeeded, 6, true, "seeded"},
                                           Case{PowerLoss::Loss::kLastWriteOnly, 6, true,
                                                "reordered"}),
                         [](const auto& info) { return std::string(info.param.name); });
