// The short crash soaks in the suite: SIGKILLs of the service at chosen moments under the
// demanding simulated server (and once with the real world on), after which every last-good
// folder must still be a whole, exact restore point and nothing accepted may be lost.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/Process.h"

namespace {

// Runs the soak and checks its table: rounds, kills, crashes, intervals verified,
// mismatches, lost files, leftover temporary files, other failures. Nothing wrong, every
// round a kill.
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
}

}  // namespace

TEST(Soak, TwentyKillsAtChosenMomentsLoseNothing) {
    ExpectCleanSoak({"--rounds", "20", "--seed", "1"}, 20);
}

// The real world: read-only starts, kills right after late logs, and the server's classes
// (a shared upload folder, a re-created database, long names, a clock stepping back, a
// folder change racing the interval check, bit rot, a damaged first log, Copies/ on another
// file system, a redo folder swapped for a link) and an operator's expiry killed partway. A
// few rounds: the long run is scripts/soak --real-world (docs/testing.md).
TEST(Soak, RealWorldKillsLoseNothing) {
    ExpectCleanSoak({"--rounds", "4", "--seed", "2", "--real-world", "--timeout", "15",
                     "--sim-arg=--real-world-rate=0.3"},
                    4);
}
