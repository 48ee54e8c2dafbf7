// The faults the simulated server plants must be the faults it claims, or its findings about
// the service mean nothing: judged here by the engine's own reader.
#include <gtest/gtest.h>

#include "platform/engine/HBLogFile.h"
#include "tests/TestUtil.h"
#include "tools/sim/DatabaseModel.h"

namespace {

int OpenHeader(const testutil::TempDir& d, const std::string& name) {
    Mirel::HBLogFile log(d.File(name));
    return log.Open(Mirel::HBLogFile::kPermHeaderOnly).GetError();
}

}  // namespace

TEST(PlantedFiles, AStrayLogIsValidButNeverContinuesTheChain) {
    testutil::TempDir d;
    sim::DatabaseModel m(5, 2048, 8, 1ull << 32);
    ASSERT_TRUE(m.WriteStrayLog(d.File("stray.vrl"), 77, 1000, 0, -1).OK());
    EXPECT_EQ(m.MSN(), 1ull << 32);  // the model did not take it
    Mirel::HBLogFile log(d.File("stray.vrl"));
    ASSERT_TRUE(log.Open(Mirel::HBLogFile::kPermRead).OK());
    EXPECT_EQ(std::pair(log.GetStartMSN(), log.GetEndUTC()),
              (std::pair<std::uint64_t, std::uint64_t>((1ull << 32) - 1000, 77)));
    EXPECT_TRUE(log.VerifyRecords().OK());
}

TEST(PlantedFiles, ADamagedHeaderOrACutLogIsNoLog) {
    testutil::TempDir d;
    sim::DatabaseModel m(6, 512, 4);
    // Every byte the header's checksum covers, after the magic and version.
    for (int b = 12; b < 72; b += 5) {
        std::string name = "h" + std::to_string(b) + ".vrl";
        ASSERT_TRUE(m.WriteStrayLog(d.File(name), 1, 10, 0, b).OK());
        EXPECT_EQ(OpenHeader(d, name), Mirel::kErrInvalidFile) << "byte " << b;
    }
    for (int cut : {1, 9}) {
        std::string name = "c" + std::to_string(cut) + ".vrl";
        ASSERT_TRUE(m.WriteStrayLog(d.File(name), 1, 10, cut, -1).OK());
        EXPECT_EQ(OpenHeader(d, name), Mirel::kErrInvalidFile) << cut;
    }
}

TEST(PlantedFiles, ALostBitInAPageLeavesTheHeaderAndBreaksTheRecord) {
    testutil::TempDir d;
    sim::DatabaseModel m(7, 4096, 4);
    ASSERT_TRUE(m.WriteRedoLog(d.File("l.vrl"), {1, 2}, 1, 5, false).OK());
    sim::DatabaseModel::FlipBit(d / "l.vrl", 128 + 16 + 4000, 6);
    Mirel::HBLogFile log(d.File("l.vrl"));
    ASSERT_TRUE(log.Open(Mirel::HBLogFile::kPermRead).OK());
    EXPECT_EQ(log.VerifyRecords().GetError(), Mirel::kErrInvalidFile);
}
