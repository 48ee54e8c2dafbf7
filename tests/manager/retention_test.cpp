// Restore points kept by a policy stay as published; a newest copy is never pruned.
#include <algorithm>
#include <filesystem>

#include "platform/framework/BackupFolder.h"
#include "platform/framework/Manifest.h"
#include "tests/manager/ManagerFixture.h"

using namespace testutil;

namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kHour = Talon::Retention::kHour;

// Every file below a folder, by relative path, with its bytes.
using Content = std::map<std::string, std::string>;
Content Read(const std::string& folder) {
    Content out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            out[fs::relative(e.path(), folder).string()] = ReadFile(e.path().string());
    return out;
}

std::vector<std::string> LastGoodFolders(const std::string& backup) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(backup))
        if (e.path().filename().string().rfind("LastGood_", 0) == 0)
            out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class RetentionTest : public ManagerTest {
protected:
    // `intervals` intervals of three databases (1 fails in the third; `pass[k]` runs the clock
    // before k); after each, the whole folders are those the policy keeps.
    void Run(const Talon::Retention& policy, int intervals,
             const std::vector<std::uint64_t>& pass = {}) {
        mgr->Cycle().SetRetention(policy);
        sim::WorkloadOptions opt = Options(41, 3);
        opt.initialPages = 8;
        opt.maxPagesPerLog = 6;
        sim::Workload server(backup(), opt, announcer);
        ASSERT_TRUE(server.Upload());
        std::vector<std::string> names;  // by interval
        std::vector<Content> published;  // by interval
        std::string db1Folder, db1Copy;
        for (int k = 0; k < intervals; ++k) {
            if (k < static_cast<int>(pass.size())) server.Pass(pass[static_cast<std::size_t>(k)]);
            if (k == 2)
                ASSERT_NO_FATAL_FAILURE(FailWithDamagedLog(server, 1));
            else
                ASSERT_NO_FATAL_FAILURE(
                    Intervals(server, 1, k > 2 ? std::vector<int>{1} : std::vector<int>{}));
            const std::vector<std::string> now = LastGoodFolders(backup());
            ASSERT_FALSE(now.empty());
            ASSERT_TRUE(names.empty() || now.back() != names.back()) << "interval " << k;
            names.push_back(now.back());
            published.push_back(Read(backup() + "/" + now.back()));
            if (k == 1) {
                db1Folder = now.back();
                db1Copy = published.back().at("db1.vdb");
            }

            const auto& ends = server.IntervalEnds();
            ASSERT_EQ(ends.size(), names.size());
            std::set<int> expected = {k};
            for (int j = 0; j < k; ++j) {
                const bool byCount = j >= k - (policy.count - 1);
                const bool byAge =
                    policy.hours > 0 && ends[static_cast<std::size_t>(j)] +
                                                static_cast<std::uint64_t>(policy.hours) * kHour >
                                            ends[static_cast<std::size_t>(k)];
                if (byCount || byAge || j == k - 1) expected.insert(j);
            }
            std::set<int> whole;
            for (int j = 0; j <= k; ++j) {
                const std::string folder = backup() + "/" + names[static_cast<std::size_t>(j)];
                if (fs::exists(folder) && Read(folder) == published[static_cast<std::size_t>(j)])
                    whole.insert(j);
            }
            EXPECT_EQ(whole, expected) << "after interval " << k;
            // What is not kept lost only copies that have newer ones.
            for (int j = 0; j <= k; ++j) {
                if (expected.count(j)) continue;
                const std::string folder = backup() + "/" + names[static_cast<std::size_t>(j)];
                const bool db1Here = names[static_cast<std::size_t>(j)] == db1Folder;
                EXPECT_EQ(fs::exists(folder), db1Here) << folder;
            }
            EXPECT_EQ(server.VerifyAll(), "") << "after interval " << k;
            if (!db1Folder.empty()) {
                // The failed database's newest good copy is where it was, byte for byte.
                EXPECT_EQ(ReadFile(backup() + "/" + db1Folder + "/db1.vdb"), db1Copy);
            }
        }
    }
};

}  // namespace

TEST_F(RetentionTest, TheDefaultKeepsTheNewestTwoFoldersWholeAsAlways) {
    Run(Talon::Retention(), 7);
    // Two whole folders, and the failed database's folder with its copy and manifest only.
    EXPECT_EQ(LastGoodFolders(backup()).size(), 3u);
}

TEST_F(RetentionTest, ACountKeepsThatManyFoldersWholeAcrossIntervals) {
    Run({4, 0}, 8);
    // Four whole, and the failed database's folder.
    EXPECT_EQ(LastGoodFolders(backup()).size(), 5u);
    // A kept folder is never the source of a move: every start linked or copied instead.
    EXPECT_EQ(mgr->Cycle().Placed(IntervalPlan::Source::kMovePg), 0u);
}

TEST_F(RetentionTest, AnAgeKeepsTheFoldersYoungerThanItWhole) {
    // Hourly, then a gap of five hours: three hours' folders, then only the count's.
    Run({2, 3}, 8, {0, kHour, kHour, kHour, kHour, 5 * kHour, kHour, kHour});
    EXPECT_EQ(LastGoodFolders(backup()).size(), 4u);
}

// A folder a stop left with only its manifest, or empty, is removed by the next interval.
TEST_F(RetentionTest, AFolderAStopLeftWithOnlyItsManifestOrNothingGoesAfterARestart) {
    sim::WorkloadOptions opt = Options(43, 2);
    sim::Workload server(backup(), opt, announcer);
    ASSERT_TRUE(server.Upload());
    ASSERT_NO_FATAL_FAILURE(Intervals(server, 4));
    const std::vector<std::string> before = LastGoodFolders(backup());
    ASSERT_EQ(before.size(), 2u);
    const std::string oldest = backup() + "/" + before[0];
    for (const auto& e : fs::directory_iterator(oldest))
        if (e.path().filename() != Talon::Manifest::sFileName) fs::remove_all(e.path());
    const std::string empty =
        backup() + "/LastGood_" +
        Talon::BackupFolder::MakeTimestamp(server.IntervalEnds()[0] - 60000000).ToUTF8();
    fs::create_directory(empty);
    // An older one the catalogue holds nothing of any more (its logs long gone).
    const std::uint64_t olderEnd = server.IntervalEnds()[0] - 120000000;
    const std::string manifestOnly =
        backup() + "/LastGood_" + Talon::BackupFolder::MakeTimestamp(olderEnd).ToUTF8();
    fs::create_directory(manifestOnly);
    ASSERT_TRUE(Talon::Manifest::Write(Mirel::Directory(Mirel::UniversalPath::Folder(manifestOnly)),
                                       olderEnd)
                    .OK());
    WriteFile(backup() + "/someone-else.txt", "mine");

    Rebuild();
    ASSERT_NO_FATAL_FAILURE(Intervals(server, 1));
    EXPECT_FALSE(fs::exists(oldest));
    EXPECT_FALSE(fs::exists(empty));
    EXPECT_FALSE(fs::exists(manifestOnly));
    EXPECT_EQ(LastGoodFolders(backup()).size(), 2u);
    EXPECT_EQ(ReadFile(backup() + "/someone-else.txt"), "mine");
    EXPECT_EQ(server.VerifyAll(), "");
}
