// Short crash soaks: after SIGKILLs at chosen moments every last-good folder is an exact
// restore point and nothing accepted is lost.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <sstream>

#include "tests/Process.h"

namespace {

// The soak's table (rounds, kills, crashes, intervals verified, mismatches, lost files,
// leftovers, other failures): every round a kill, nothing wrong.
void ExpectCleanSoak(const std::vector<std::string>& args, int rounds) {
    testutil::TempDir work;
    std::vector<std::string> argv = {IBS_SOAK_PATH, "--quiet", "--work", work / "soak"};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::Child soak(argv, {});
    std::string out = soak.Stdout();
    auto rc = soak.Wait(60000);
    ASSERT_TRUE(rc.has_value()) << out;
    auto header = out.find("\nrounds ");
    ASSERT_NE(header, std::string::npos) << out;
    std::istringstream row(out.substr(out.find('\n', header + 1) + 1));
    std::vector<int> table(8, -1);
    for (int& n : table) row >> n;
    EXPECT_EQ(table, (std::vector<int>{rounds, rounds, 0, table[3], 0, 0, 0, 0})) << out;
    EXPECT_GT(table[3], 0) << out;
    EXPECT_EQ(*rc, 0) << out;
    // A rare failure is diagnosed from the soak's journal and logs: they outlive the test.
    if (::testing::Test::HasFailure()) {
        const std::string kept = testutil::KeepFailedSoakFolder(work / "soak");
        if (!kept.empty()) ADD_FAILURE() << "the soak's work folder is kept in " << kept;
    }
}

}  // namespace

TEST(Soak, TwentyKillsAtChosenMomentsLoseNothing) {
    ExpectCleanSoak({"--rounds", "20", "--seed", "1"}, 20);
}

// A first interval emptied by a link where a redo folder was, the folder named again, a
// restart, then the server's clock stepped back: the stale interval-done file is refused,
// and no last-good folder stands for it (a seed the sweep found).
TEST(Soak, AnEmptiedFirstIntervalStillRefusesAStaleIntervalDone) {
    ExpectCleanSoak({"--rounds", "4", "--seed", "23", "--real-world", "--timeout", "15",
                     "--sim-arg=--real-world-rate=0.3"},
                    4);
}

// The real world's classes (docs/testing.md), a few rounds: the long run is scripts/soak.
TEST(Soak, RealWorldKillsLoseNothing) {
    ExpectCleanSoak({"--rounds", "4", "--seed", "2", "--real-world", "--timeout", "15",
                     "--sim-arg=--real-world-rate=0.3"},
                    4);
}
