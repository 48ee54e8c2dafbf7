// The simulated server's checks must fail where a restore would go wrong: each case plants one
// fault in a real backup folder and expects the checker to name it, and a faultless folder
// to pass.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/TestUtil.h"
#include "tools/sim/Verify.h"

namespace fs = std::filesystem;
using namespace sim;

namespace {

constexpr std::uint64_t kMinute = 60000000;
constexpr std::uint64_t kNoon = 1767268800000000ull;  // 2026-01-01 12:00 UTC

class CheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        L.backup = tmp / "backup";
        testutil::MakeDirs(L.backup + "/Rejected");
        for (int i = 0; i < 3; ++i) {
            DbRec r;
            r.name = "db" + std::to_string(i) + ".vdb";
            r.model =
                std::make_unique<DatabaseModel>(40 + i, i == 1 ? 512 : 4096, 6, (1ull << 32) - 2);
            r.known = true;
            L.dbs.push_back(std::move(r));
        }
    }
    // Changes every database and closes an interval ending at `end`.
    void Interval(std::uint64_t end) {
        for (auto& r : L.dbs) r.model->WriteRedoLog(tmp.File("scratch.vrl"), {0, 7, 7}, 3, end, 0);
        fs::remove(tmp / "scratch.vrl");
        IntervalRec rec;
        rec.k = L.OpenInterval();
        rec.end = end;
        for (std::size_t d = 0; d < L.dbs.size(); ++d) {
            const DatabaseModel& m = *L.dbs[d].model;
            rec.states[static_cast<int>(d)] = StateOf(m.Uuid(), m.PageSize(), m.MSN(), m.Pages());
        }
        L.intervals.push_back(rec);
    }
    // Interval `minute` minutes past noon, published whole in its folder.
    std::string Published(int minute) {
        Interval(kNoon + static_cast<std::uint64_t>(minute) * kMinute);
        return Folder("LastGood_2026-01-01_120" + std::to_string(minute));
    }
    // A last-good folder holding every database as it is now, and its manifest.
    std::string Folder(const std::string& name) {
        std::string f = L.backup + "/" + name;
        testutil::MakeDirs(f);
        std::ofstream m(f + "/manifest.tsv");
        m << "# Vellumark last-good folder manifest\nversion\t1\n";
        for (const auto& r : L.dbs) {
            r.model->WriteFullCopy(Mirel::UniversalPath::FromNative(f + "/" + r.name));
            DbFile file = ReadDbFile(f + "/" + r.name);
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08x", file.fileCrc32c);
            m << "database\t" << r.name << "\t" << UuidString(file.state.uuid) << "\t"
              << file.state.msn << "\t" << file.state.pageSize << "\t" << file.state.pageCount
              << "\t" << file.size << "\t" << crc << "\n";
        }
        return f;
    }
    int Verify(int k) {
        lines.clear();
        int before = report.Total();
        Checker checker(L, report);
        checker.SetReasonGrace(std::chrono::milliseconds(0));
        checker.VerifyInterval(k, [](int) { return false; });
        return report.Total() - before;
    }
    bool Said(const std::string& category, const std::string& text) const {
        for (const auto& l : lines)
            if (l.rfind("FAIL " + category + ":", 0) == 0 && l.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::string All() const {
        std::string s;
        for (const auto& l : lines) s += l + "\n";
        return s;
    }

    testutil::TempDir tmp;
    Ledger L;
    std::vector<std::string> lines;
    Report report{[this](const std::string& l) { lines.push_back(l); }};
};

TEST_F(CheckerTest, ExactFoldersPassAndRecordTheNewestGoodCopy) {
    Interval(kNoon + 10 * 1000000);
    Folder("LastGood_2026-01-01_1200");
    Published(3);
    EXPECT_EQ(Verify(2), 0) << All();
    for (const auto& r : L.dbs) EXPECT_EQ(r.lastGood, 2);
}

TEST_F(CheckerTest, EveryWayACopyCanBeWrongIsNamed) {
    std::string old = Published(1);
    std::string f = Published(2);
    {
        std::fstream db(f + "/db0.vdb", std::ios::in | std::ios::out | std::ios::binary);
        db.seekp(8 * 4096 + 100);
        db.put('\x5a');
    }
    fs::resize_file(f + "/db1.vdb", 3 * 512);
    fs::copy_file(old + "/db2.vdb", f + "/db2.vdb", fs::copy_options::overwrite_existing);
    DatabaseModel(99, 4096, 2).WriteFullCopy(Mirel::UniversalPath::FromNative(f + "/x.vdb"));
    Verify(2);
    EXPECT_TRUE(Said("mismatch", "db0.vdb") && Said("mismatch", "page 7 differs")) << All();
    EXPECT_TRUE(Said("mismatch", "cut short")) << All();
    EXPECT_TRUE(Said("mismatch", "MSN " + std::to_string(L.intervals[0].states.at(2).msn)))
        << All();
    EXPECT_TRUE(Said("stray", "is not one of the server's")) << All();
    EXPECT_FALSE(Said("mismatch", "LastGood_2026-01-01_1201,")) << All();
}

TEST_F(CheckerTest, AMissingDatabaseOrAFolderOfNoIntervalIsNamed) {
    std::string f = Published(1);
    fs::remove(f + "/db1.vdb");
    testutil::MakeDirs(L.backup + "/LastGood_2025-12-31_2359");
    Verify(1);
    EXPECT_TRUE(Said("missing", "lacks db1.vdb")) << All();
    EXPECT_TRUE(Said("stray", "LastGood_2025-12-31_2359 stands for no interval")) << All();
    EXPECT_EQ(report.Count("missing"), 1) << All();
}

TEST_F(CheckerTest, AFolderHoldingAnotherIntervalsStatesIsNamed) {
    Interval(kNoon + 5 * kMinute + 10 * 1000000);
    std::string first = Folder("LastGood_2026-01-01_1205");
    Interval(kNoon + 5 * kMinute + 50 * 1000000);
    std::string second = Folder("LastGood_2026-01-01_1205_50.000000");
    EXPECT_EQ(Verify(2), 0) << All();
    for (auto& r : L.dbs)
        fs::copy_file(first + "/" + r.name, second + "/" + r.name,
                      fs::copy_options::overwrite_existing);
    Verify(2);
    EXPECT_EQ(report.Count("mismatch"), 3) << All();
}

TEST_F(CheckerTest, AFailedDatabaseKeepsItsNewestGoodCopy) {
    std::string first = Published(1);
    std::string second = Published(2);
    fs::remove(second + "/db2.vdb");
    L.dbs[2].reportedFailed = true;
    L.dbs[2].lastGood = 1;
    EXPECT_EQ(Verify(2), 0) << All();
    fs::remove(first + "/db2.vdb");
    Verify(2);
    EXPECT_TRUE(Said("missing", "newest good copy (interval 1) is gone")) << All();
}

TEST_F(CheckerTest, AnAcceptedLogThatIsGoneIsLost) {
    Published(1);
    Interval(kNoon + 2 * kMinute);  // not complete yet
    for (const char* name : {"pending.vrl", "gone.vrl"}) {
        FileRec f;
        f.kind = FileKind::kLog;
        f.path = L.backup + "/" + name;
        f.db = 0;
        f.interval = 2;
        f.answered = f.accepted = true;
        testutil::WriteFile(f.path, name);
        FileDigest(f.path, f.digest, f.size);
        L.files.push_back(f);
    }
    fs::remove(L.backup + "/gone.vrl");
    EXPECT_EQ(Verify(1), 1) << All();
    EXPECT_TRUE(Said("lost", "gone.vrl")) << All();
}

}  // namespace
