// Last-good folders a stop left unfinished (the policy's own cases: invariants_test, plan_test).
#include <algorithm>
#include <filesystem>

#include "platform/framework/BackupFolder.h"
#include "platform/framework/Manifest.h"
#include "tests/manager/ManagerFixture.h"

using namespace testutil;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> LastGoodFolders(const std::string& backup) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(backup))
        if (e.path().filename().string().rfind("LastGood_", 0) == 0)
            out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

using RetentionTest = ManagerTest;

}  // namespace

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
