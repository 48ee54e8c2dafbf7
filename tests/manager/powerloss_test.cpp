// Power lost at every durability point of the interval cycle: after the restart every last-good
// copy is exact, and after one more interval every accepted database is newest at its state.
#include <cstdlib>

#include "tests/lib/PowerLoss.h"
#include "tests/manager/ManagerFixture.h"

using namespace testutil;

namespace PowerLoss = Mirel::PowerLoss;
using Mirel::unistring;

namespace {

// Durability points cost real syncs: a memory file system keeps the hundreds of runs short.
const bool kOnShm = [] {
    if (IsDir("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 0);
    return true;
}();

struct Case {
    PowerLoss::Loss loss;
    int intervals;
    bool idle;  // some databases get no log in some intervals
    const char* name;
};

}  // namespace

class PowerLossCycleTest : public ManagerTest, public ::testing::WithParamInterface<Case> {
protected:
    ShortRetries shortRetries{mgr};
    // A new process's start (cleared on a scratch folder: a folder change would wipe this one).
    void RestartOn(const std::string& folder) {
        ASSERT_TRUE(mgr->In().SetupFolders(Mirel::Directory(tmp.Folder("scratch"))));
        mgr->ClearFolders();
        mgr->Cat().ClearIntervals();
        ASSERT_TRUE(mgr->In().SetupFolders(Mirel::Directory(Mirel::UniversalPath::Folder(folder))));
        mgr->ScanFullBackupDB();
        mgr->CheckIntervals();
        Settle();
    }

    // A run on a fresh folder, power lost at the service's point `crashAt` (0: never); answers the
    // points passed.
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

    // The workers' points vary between runs: go on until a run ends before its crash point.
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
            present += IsFile(newest + "/" + server->DbName(i));
        EXPECT_EQ(present, server->Databases()) << context;
        EXPECT_FALSE(Exists(folder + "/Rejected")) << context;
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

// Idle databases keep linked copies while older folders are cleaned up.
INSTANTIATE_TEST_SUITE_P(Idle, PowerLossCycleTest,
                         ::testing::Values(Case{PowerLoss::Loss::kWorst, 6, true, "worst"},
                                           Case{PowerLoss::Loss::kSeeded, 6, true, "seeded"},
                                           Case{PowerLoss::Loss::kLastWriteOnly, 6, true,
                                                "reordered"}),
                         [](const auto& info) { return std::string(info.param.name); });
