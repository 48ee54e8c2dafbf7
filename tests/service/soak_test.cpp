// The short crash soak in the suite: twenty SIGKILLs of the service at chosen moments under
// the demanding simulated server, after which every last-good folder must still be a whole,
// exact restore point and nothing accepted may be lost.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/Process.h"

TEST(Soak, TwentyKillsAtChosenMomentsLoseNothing) {
    testutil::TempDir work;
    testutil::Child soak(
        {IBS_SOAK_PATH, "--rounds", "20", "--seed", "1", "--quiet", "--work", work / "soak"}, {});
    std::string out = soak.Stdout();
    auto rc = soak.Wait(60000);
    ASSERT_TRUE(rc.has_value()) << out;
    // The table: rounds, kills, crashes, intervals verified, mismatches, lost files,
    // leftover temporary files, other failures.
    auto header = out.find("\nrounds ");
    ASSERT_NE(header, std::string::npos) << out;
    std::istringstream row(out.substr(out.find('\n', header + 1) + 1));
    int rounds = -1, kills = -1, crashes = -1, verified = -1, mismatches = -1, lost = -1,
        leftovers = -1, other = -1;
    row >> rounds >> kills >> crashes >> verified >> mismatches >> lost >> leftovers >> other;
    EXPECT_EQ(rounds, 20) << out;
    EXPECT_EQ(kills, 20) << out;
    EXPECT_GT(verified, 0) << out;
    EXPECT_EQ(crashes, 0) << out;
    EXPECT_EQ(mismatches, 0) << out;
    EXPECT_EQ(lost, 0) << out;
    EXPECT_EQ(leftovers, 0) << out;
    EXPECT_EQ(other, 0) << out;
    EXPECT_EQ(*rc, 0) << out;
}
