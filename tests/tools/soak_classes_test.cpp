// Short soaks of the real world's classes that run between kills: each clean, and its class
// shown to have happened (one that never fires finds nothing).
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "tests/Process.h"
#include "tests/tools/Has.h"

namespace {

struct SoakResult {
    std::string out;
    int exit = -1;
    // rounds, kills, crashes, verified, mismatches, lost, leftovers, other failures
    std::vector<int> row = std::vector<int>(8, -1);
    std::string realWorld;  // the table's "real world: ..." line
};

SoakResult RunSoak(const std::vector<std::string>& args) {
    testutil::TempDir work;
    std::vector<std::string> argv = {IBS_SOAK_PATH, "--quiet", "--work", work / "soak"};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::Child soak(argv, {});
    SoakResult r;
    r.out = soak.Stdout();
    r.exit = soak.Wait(60000).value_or(-1);
    auto header = r.out.find("\nrounds ");
    if (header != std::string::npos) {
        std::istringstream row(r.out.substr(r.out.find('\n', header + 1) + 1));
        for (int& v : r.row) row >> v;
    }
    auto line = r.out.find("\nreal world: ");
    if (line != std::string::npos)
        r.realWorld = r.out.substr(line + 1, r.out.find('\n', line + 1) - line - 1);
    // A rare failure is diagnosed from the soak's journal and logs: they outlive the test.
    if (r.exit != 0) {
        const std::string kept = testutil::KeepFailedSoakFolder(work / "soak");
        if (!kept.empty()) r.out += "\nthe soak's work folder is kept in " + kept + "\n";
    }
    return r;
}

// How often the table says `name=` happened; -1 when it does not name it.
int Happened(const SoakResult& r, const std::string& name) {
    auto at = r.realWorld.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::atoi(r.realWorld.c_str() + at + name.size() + 2);
}

void ExpectClean(SoakResult r, int rounds) {
    EXPECT_GT(r.row[3], 0) << r.out;  // verified
    r.row[3] = 0;
    r.row.push_back(r.exit);
    EXPECT_EQ(r.row, (std::vector<int>{rounds, rounds, 0, 0, 0, 0, 0, 0, 0})) << r.out;
}

}  // namespace

// The server moves a redo folder whose logs were announced out of the backup folder and
// leaves a link; the databases behind it fail and come back with a new upload, and nothing
// outside the backup folder is touched.
TEST(SoakRealWorld, RedoFolderSwappedForALink) {
    SoakResult r = RunSoak({"--rounds", "6", "--seed", "3", "--real-world-classes=redolink",
                            "--timeout", "20", "--sim-arg=--real-world-rate=0.6"});
    ExpectClean(r, 6);
    EXPECT_GT(Happened(r, "redolink"), 0) << "the link never happened:\n" << r.out;
}

// Between kills, an operator's ibsdb expire, itself killed at a random moment: kept points
// verify, newest copies stay, and the next expiry ends where an unkilled one ends.
TEST(SoakRealWorld, ExpiryKilledPartway) {
    SoakResult r = RunSoak(
        {"--rounds", "12", "--seed", "5", "--real-world-classes=expire", "--timeout", "20"});
    ExpectClean(r, 12);
    EXPECT_GT(Happened(r, "expire"), 0) << "no expiry ran:\n" << r.out;
    EXPECT_TRUE(Has(r.out, "real-world expire: "));
}
