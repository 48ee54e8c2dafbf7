// The simulated server's checks must name each fault planted in a real folder, and pass
// a faultless one.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "tests/TestUtil.h"
#include "tools/sim/RealWorld.h"
#include "tools/sim/Verify.h"

namespace fs = std::filesystem;
using namespace sim;

namespace {

constexpr std::uint64_t kMinute = 60000000;
constexpr std::uint64_t kNoon = 1767268800000000ull;  // 2026-01-01 12:00 UTC

Mirel::UniversalPath P(const std::string& path) {
    return Mirel::UniversalPath::FromNative(path);
}

// What the checker must say: "missing: lacks db1.vdb" a FAIL line of that category holding
// that text, "not missing: ..." none such, "missing = 1" that many lines of the category.
using Findings = std::vector<std::string>;

struct CheckerTest;
// A backup folder broken one way (its newest interval verified), and the findings.
struct BrokenFolder {
    const char* name;
    std::function<void(CheckerTest&)> plant;
    Findings said;
};

void PrintTo(const BrokenFolder& b, std::ostream* os) {
    *os << b.name;
}

struct CheckerTest : ::testing::TestWithParam<BrokenFolder> {
    void SetUp() override {
        L.backup = tmp / "backup";
        testutil::MakeDirs(L.backup + "/Rejected");
        for (int i = 0; i < 3; ++i) {
            DbRec& r = L.dbs.emplace_back();
            r.name = "db" + std::to_string(i) + ".vdb";
            r.model =
                std::make_unique<DatabaseModel>(40 + i, i == 1 ? 512 : 4096, 6, (1ull << 32) - 2);
            r.known = true;
        }
    }
    // Changes every database and closes an interval ending at `end`.
    void Interval(std::uint64_t end) {
        for (auto& r : L.dbs) r.model->WriteRedoLog(tmp.File("scratch.vrl"), {0, 7, 7}, 3, end, 0);
        fs::remove(tmp / "scratch.vrl");
        IntervalRec rec;
        rec.k = L.OpenInterval();
        rec.end = end;
        for (std::size_t d = 0; d < L.dbs.size(); ++d) rec.states[static_cast<int>(d)] = Now(d);
        L.intervals.push_back(rec);
    }
    DbState Now(std::size_t d) const {
        const DatabaseModel& m = *L.dbs[d].model;
        return StateOf(m.Uuid(), m.PageSize(), m.MSN(), m.Pages());
    }
    // Interval `minute` minutes past noon, published whole in its folder.
    std::string Published(int minute) {
        Interval(kNoon + static_cast<std::uint64_t>(minute) * kMinute);
        return Folder("LastGood_2026-01-01_120" + std::to_string(minute));
    }
    // A last-good folder of every database now and its manifest (db1's CRC off by crcError).
    std::string Folder(const std::string& name, std::uint32_t crcError = 0) {
        std::string f = L.backup + "/" + name;
        testutil::MakeDirs(f);
        std::ofstream m(f + "/manifest.tsv");
        m << "# Vellumark last-good folder manifest\nversion\t1\n";
        for (const auto& r : L.dbs) {
            r.model->WriteFullCopy(P(f + "/" + r.name));
            const DbFile file = ReadDbFile(f + "/" + r.name);
            const DbState& s = file.state;
            m << "database\t" << r.name << "\t" << UuidString(s.uuid) << "\t" << s.msn << "\t"
              << s.pageSize << "\t" << s.pageCount << "\t"
              << Size(file, r.name == "db1.vdb" ? crcError : 0) << "\n";
        }
        return f;
    }
    // A manifest line's size and CRC-32C of `file`.
    static std::string Size(const DbFile& file, std::uint32_t crcError = 0) {
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08x", file.fileCrc32c + crcError);
        return std::to_string(file.size) + "\t" + crc;
    }
    // An accepted file (digest of onDisk when given); valid until the next is added.
    FileRec& Accepted(FileKind kind, const std::string& path, int db, int interval,
                      const std::string& onDisk = "") {
        FileRec f;
        f.kind = kind;
        f.path = path;
        f.db = db;
        f.interval = interval;
        f.answered = f.accepted = true;
        if (!onDisk.empty()) FileDigest(onDisk, f.digest, f.size);
        L.files.push_back(f);
        return L.files.back();
    }
    // db0's copy at `path` changed on disk by the host in interval 1, as the ledger records it.
    void Rot(const std::string& path) {
        DatabaseModel::FlipBit(path, 2 * 4096 + 9, 2);
        Ledger::Damaged x;
        ASSERT_TRUE(RecordChangedFile(path, x));
        x.db = 0;
        x.flippedAt = 1;
        L.damaged.push_back(x);
    }
    int Verify(int k) {
        lines.clear();
        int before = report.Total();
        Checker checker(L, report);
        checker.SetReasonGrace(std::chrono::milliseconds(0));
        checker.VerifyInterval(k, [](int) { return false; });
        return report.Total() - before;
    }
    // Verify(k) (0: the lines so far) gives each of the findings (and of `also`).
    ::testing::AssertionResult Finds(int k, Findings said) {
        if (k > 0) Verify(k);
        said.insert(said.end(), also.begin(), also.end());
        for (std::string f : said) {
            const bool no = f.rfind("not ", 0) == 0, count = f.find(" = ") != std::string::npos;
            const std::string what = f.substr(no ? 4 : 0),
                              head = "FAIL " + what.substr(0, what.find(':') + 1);
            bool ok = count && report.Count(what.substr(0, what.find(" = "))) ==
                                   std::stoi(what.substr(what.find(" = ") + 3));
            for (const auto& l : lines)
                ok |= !count && l.rfind(head, 0) == 0 &&
                      l.find(what.substr(what.find(':') + 2)) != std::string::npos;
            if (ok == no) return ::testing::AssertionFailure() << f << " in:\n" << All();
        }
        return ::testing::AssertionSuccess();
    }
    std::string All() const {
        std::string s;
        for (const auto& l : lines) s += l + "\n";
        return s;
    }

    testutil::TempDir tmp;
    Ledger L;
    std::vector<std::string> lines;
    Findings also;  // what a plant adds to its case's findings
    Report report{[this](const std::string& l) { lines.push_back(l); }};
};

const BrokenFolder kBroken[] = {
    {"ACopyChangedCutShortOrOfAnotherIntervalAndAStrayFile",
     [](CheckerTest& t) {
         const std::string old = t.Published(1), f = t.Published(2);
         DatabaseModel::FlipBit(f + "/db0.vdb", 8 * 4096 + 100, 0);
         fs::resize_file(f + "/db1.vdb", 3 * 512);
         fs::copy_file(old + "/db2.vdb", f + "/db2.vdb", fs::copy_options::overwrite_existing);
         DatabaseModel(99, 4096, 2).WriteFullCopy(P(f + "/x.vdb"));
         t.also = {"mismatch: MSN " + std::to_string(t.L.intervals[0].states.at(2).msn)};
     },
     {"mismatch: page 7 differs", "mismatch: cut short", "stray: is not one of the server's",
      "not mismatch: LastGood_2026-01-01_1201,"}},
    {"AMissingCopyAndAFolderOfNoInterval",
     [](CheckerTest& t) {
         fs::remove(t.Published(1) + "/db1.vdb");
         testutil::MakeDirs(t.L.backup + "/LastGood_2025-12-31_2359");
     },
     {"missing: lacks db1.vdb", "stray: LastGood_2025-12-31_2359 stands for no interval",
      "missing = 1"}},
    {"AFolderHoldingAnotherIntervalsStates",
     [](CheckerTest& t) {
         t.Interval(kNoon + 5 * kMinute + 10 * 1000000);
         const std::string first = t.Folder("LastGood_2026-01-01_1205");
         t.Interval(kNoon + 5 * kMinute + 50 * 1000000);
         const std::string second = t.Folder("LastGood_2026-01-01_1205_50.000000");
         EXPECT_EQ(t.Verify(2), 0) << t.All();
         for (auto& r : t.L.dbs)
             fs::copy_file(first + "/" + r.name, second + "/" + r.name,
                           fs::copy_options::overwrite_existing);
     },
     {"mismatch = 3"}},
    {"AManifestWithAWrongCrc",
     [](CheckerTest& t) {
         t.Published(1);
         t.Interval(kNoon + 2 * kMinute);
         t.Folder("LastGood_2026-01-01_1202", 1);
     },
     {"manifest: db1.vdb lacks its CRC-32C", "manifest = 1"}},
    {"AFolderWithoutItsManifest",
     [](CheckerTest& t) { fs::remove(t.Published(1) + "/manifest.tsv"); },
     {"manifest: LastGood_2026-01-01_1201 has no manifest.tsv"}},
    {"AnAcceptedLogThatIsGone",
     [](CheckerTest& t) {
         t.Published(1);
         t.Interval(kNoon + 2 * kMinute);  // not complete yet
         for (const std::string name : {"/pending.vrl", "/gone.vrl"}) {
             testutil::WriteFile(t.L.backup + name, name);
             t.Accepted(FileKind::kLog, t.L.backup + name, 0, 2, t.L.backup + name);
         }
         fs::remove(t.L.backup + "/gone.vrl");
     },
     {"lost: gone.vrl", "lost = 1"}},
};

TEST_P(CheckerTest, ABrokenFolderRaisesItsFinding) {
    GetParam().plant(*this);
    EXPECT_TRUE(Finds(NewestInterval(L), GetParam().said));
}

INSTANTIATE_TEST_SUITE_P(Faults, CheckerTest, ::testing::ValuesIn(kBroken),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CheckerTest, ExactFoldersPassAndRecordTheNewestGoodCopy) {
    Interval(kNoon + 10 * 1000000);
    Folder("LastGood_2026-01-01_1200");
    Published(3);
    EXPECT_EQ(Verify(2), 0) << All();
    for (const auto& r : L.dbs) EXPECT_EQ(r.lastGood, 2);
}

TEST_F(CheckerTest, AFailedDatabaseKeepsItsNewestGoodCopy) {
    std::string first = Published(1);
    fs::remove(Published(2) + "/db2.vdb");
    L.dbs[2].reportedFailed = true;
    L.dbs[2].lastGood = 1;
    EXPECT_EQ(Verify(2), 0) << All();
    fs::remove(first + "/db2.vdb");
    EXPECT_TRUE(Finds(2, {"missing: newest good copy (interval 1) is gone"}));
}

// No manifest may certify bytes the host changed; a copy the service made of them is its fault.
TEST_F(CheckerTest, ChangedBytesOnDiskAreJudgedByTheirManifest) {
    std::string first = Published(1);
    Rot(first + "/db0.vdb");
    EXPECT_EQ(Verify(1), 0) << All();
    std::string second = Published(2);
    fs::remove(second + "/db0.vdb");
    fs::create_hard_link(first + "/db0.vdb", second + "/db0.vdb");
    std::ofstream(second + "/manifest.tsv", std::ios::app)
        << "database\tdb0.vdb\t-\t0\t0\t0\t" << Size(ReadDbFile(second + "/db0.vdb")) << "\n";
    std::string third = Published(3);
    fs::copy_file(first + "/db0.vdb", third + "/db0.vdb", fs::copy_options::overwrite_existing);
    EXPECT_TRUE(
        Finds(3, {"manifest: certifies " + second + "/db0.vdb", "mismatch: " + third + "/db0.vdb",
                  "not mismatch: " + first + "/db0.vdb"}));
}

// Once the changed file is gone, a new copy of another database may get its inode number.
TEST_F(CheckerTest, AnInodeNumberUsedAgainIsAnotherFile) {
    std::string first = Published(1);
    Rot(first + "/db0.vdb");
    std::string second = Published(2);
    fs::remove_all(first);
    ChangedFile reused;
    ASSERT_TRUE(RecordChangedFile(second + "/db1.vdb", reused));
    L.damaged.back().dev = reused.dev;
    L.damaged.back().ino = reused.ino;
    EXPECT_EQ(Verify(2), 0) << All();
    fs::copy_file(second + "/db0.vdb", second + "/db1.vdb", fs::copy_options::overwrite_existing);
    EXPECT_TRUE(Finds(2, {"mismatch: more than one copy of db0.vdb", "missing: lacks db1.vdb"}));
}

// An upload whose first log was damaged is published as held.
TEST_F(CheckerTest, AnUploadNoLogChangedIsPublishedAsHeld) {
    Published(1);
    DbRec& r = L.dbs[1];
    r.heldInterval = r.badInterval = 2;
    r.heldState = Now(1);
    r.badPending = true;
    std::string held = tmp / "held.vdb";
    r.model->WriteFullCopy(P(held));
    Interval(kNoon + 2 * kMinute);  // the server's database moved on; the service's did not
    std::string f = Folder("LastGood_2026-01-01_1202");
    fs::copy_file(held, f + "/db1.vdb", fs::copy_options::overwrite_existing);
    EXPECT_TRUE(Finds(2, {"manifest: does not mark " + f + "/db1.vdb held", "mismatch = 0"}));
    EXPECT_EQ(L.dbs[1].lastGood, 2);
    std::string text = testutil::ReadFile(f + "/manifest.tsv");
    text.replace(text.find("version\t1"), 9, "version\t2");
    text.insert(text.find('\n', text.find("database\tdb1.vdb")), "\theld");
    testutil::WriteFile(f + "/manifest.tsv", text);
    EXPECT_TRUE(ManifestMarksHeld(ReadManifestLines(f), "db1.vdb"));
    EXPECT_FALSE(ManifestMarksHeld(ReadManifestLines(f), "db0.vdb"));
    lines.clear();
    fs::remove(f + "/db1.vdb");
    L.dbs[1].lastGood = 1;
    Checker(L, report).VerifyInterval(2, [](int) { return true; });
    EXPECT_TRUE(Finds(0, {"missing: lacks db1.vdb"}));
}

// A changed starting copy with an upload waiting: the database may be left out, its log set
// aside; with none waiting, not.
TEST_F(CheckerTest, AChangedStartingCopyWithAnUploadWaitingMayBeLeftOut) {
    std::string first = Published(1);
    ASSERT_EQ(Verify(1), 0) << All();
    Rot(first + "/db0.vdb");
    L.damaged.back().dueAt = 2;
    fs::remove(Published(2) + "/db0.vdb");
    const std::string last = L.backup + "/last.vrl";
    testutil::WriteFile(L.backup + "/Rejected/last.vrl", "log");
    Accepted(FileKind::kLog, last, 0, 2, L.backup + "/Rejected/last.vrl");
    testutil::WriteFile(L.backup + "/Rejected/reasons.tsv",
                        "# set aside\nlast.vrl\t10727\t1\t" + last + "\n");
    L.dbs[0].uploadInterval = 3;
    EXPECT_EQ(Verify(2), 0) << All();
    L.files.back().settled = false;
    L.dbs[0].uploadInterval = 1;
    EXPECT_TRUE(Finds(
        2, {"missing: LastGood_2026-01-01_1202 (interval 2) lacks db0.vdb", "setaside: last.vrl"}));
    // Its newest upload taken away by the host: another is owed, no copy can exist meanwhile.
    L.dbs[0].needsUpload = L.dbs[0].hostFault = true;
    EXPECT_TRUE(Finds(2, {"not missing: lacks db0.vdb"}));
}

// A database dropped and created again under its file name keeps its newest copy.
TEST_F(CheckerTest, AReplacedDatabaseKeepsItsNewestCopy) {
    std::string first = Published(1);
    ASSERT_EQ(Verify(1), 0) << All();
    L.dbs[2].retired = true;
    L.dbs[2].retiredAt = 2;
    Interval(kNoon + 2 * kMinute);
    L.intervals.back().states.erase(2);
    std::string second = Folder("LastGood_2026-01-01_1202");
    fs::remove(second + "/db2.vdb");
    const std::string uuid = L.dbs[2].model->UuidText();
    testutil::WriteFile(L.backup + "/Failed.tsv", uuid + "\t10726\t1\n");
    EXPECT_EQ(Verify(2), 0) << All();
    testutil::WriteFile(L.backup + "/Failed.tsv", uuid + "\t10709\t1\n");
    EXPECT_TRUE(Finds(2, {"folder: Failed.tsv lists the replaced db2.vdb"}));
    fs::remove(L.backup + "/Failed.tsv");
    fs::copy_file(first + "/db2.vdb", second + "/db2.vdb");
    EXPECT_TRUE(Finds(2, {"stray: " + second + "/db2.vdb"}));
    fs::remove(second + "/db2.vdb");
    fs::remove(first + "/db2.vdb");
    EXPECT_TRUE(Finds(2, {"missing: replaced under its name"}));
}

// An all-failed interval has no folder; the next in its minute takes the name, its end line says.
TEST_F(CheckerTest, AnIntervalWhoseEveryDatabaseFailedNeedsNoFolder) {
    Published(1);
    ASSERT_EQ(Verify(1), 0) << All();
    Interval(kNoon + 3 * kMinute + 5000000);
    for (auto& r : L.dbs) r.reportedFailed = r.needsUpload = true;
    EXPECT_EQ(Verify(2), 0) << All();
    L.dbs[1].reportedFailed = L.dbs[1].needsUpload = false;
    EXPECT_TRUE(Finds(2, {"missing: does not stand for interval 2"}));
    for (auto& r : L.dbs) r.reportedFailed = r.needsUpload = false;
    Interval(kNoon + 3 * kMinute + 40000000);
    std::ofstream(Folder("LastGood_2026-01-01_1203") + "/manifest.tsv", std::ios::app)
        << "interval-end\t" << L.intervals.back().end << "\n";
    EXPECT_EQ(NewestInterval(L), 3);
    EXPECT_EQ(Verify(3), 0) << All();
}

// An upload is never written where it lies; a restart drops only one a last-good copy holds.
TEST_F(CheckerTest, AnUploadIsNotChangedAndGoesOnlyWhenALastGoodCopyHoldsIt) {
    Published(1);
    ASSERT_EQ(Verify(1), 0) << All();
    const std::string upload = L.backup + "/Copies/up-1/db0.vdb";
    testutil::MakeDirs(L.backup + "/Copies/up-1");
    L.dbs[0].model->WriteFullCopy(P(upload));
    Accepted(FileKind::kUpload, upload, 0, 2, upload);
    const std::uint64_t held = L.dbs[0].model->MSN();
    // Newer first: neither supersedes the other.
    for (auto [name, msn] : {std::pair{"newer.vdb", held + 5}, {"same.vdb", held}}) {
        FileRec& f = Accepted(FileKind::kUpload, L.backup + "/Copies/" + name, 0, 2);
        f.startMSN = f.msn = msn;
    }
    Checker c(L, report);
    c.Account(2, true);  // the run's final accounting
    EXPECT_TRUE(Finds(0, {"changed = 0", "not lost: same.vdb", "lost: newer.vdb"}));
    DatabaseModel::FlipBit(upload, 4096 + 5, 0);
    c.Account(2, true);
    EXPECT_TRUE(Finds(0, {"changed: " + upload}));
}

TEST_F(CheckerTest, LeftoversAreFound) {
    testutil::MakeDirs(L.backup + "/InProgress");
    testutil::MakeDirs(L.backup + "/Copies/up-1");
    for (const char* f : {"InProgress/db0.vdb.part", "InProgress/db1.vdb", "Copies/up-1/db2.vdb",
                          "Copies/up-1/pending.vdb"})
        testutil::WriteFile(L.backup + "/" + f, "x");
    Accepted(FileKind::kUpload, L.backup + "/Copies/up-1/pending.vdb", 0, 1);
    EXPECT_EQ(FindLeftovers(L, false).size(), 3u);
    EXPECT_EQ(FindLeftovers(L, true).size(), 2u);  // an interval under way owns InProgress
}

TEST(LastGoodNames, BothFormsReadBackAndOrder) {
    std::uint64_t t = 0, t2 = 0;
    bool exact = false, exact2 = false;
    ASSERT_TRUE(ParseLastGoodName("LastGood_2026-01-01_1205", t, exact));
    ASSERT_TRUE(ParseLastGoodName("LastGood_2026-01-01_1205_50.123456", t2, exact2));
    EXPECT_EQ(std::tuple(t, exact, t2, exact2),
              std::tuple(kNoon + 5 * kMinute, false, kNoon + 5 * kMinute + 50123456, true));
    for (const char* bad : {"LastGood_2026-01-01_1260", "LastGood_2026-01-01_1205_5.1"})
        EXPECT_FALSE(ParseLastGoodName(bad, t, exact)) << bad;
    testutil::TempDir d;
    for (const char* n : {"LastGood_2026-01-01_1205_50.000000", "LastGood_2026-01-01_1205",
                          "LastGood_2026-01-01_1159", "InProgress"})
        testutil::MakeDirs(d / n);
    std::vector<std::string> names;
    for (const auto& f : ListLastGood(d.path())) names.push_back(f.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"LastGood_2026-01-01_1159", "LastGood_2026-01-01_1205",
                                        "LastGood_2026-01-01_1205_50.000000"}));
}

TEST(RawDb, ReadsWhatTheFormatPromisesAndRefusesTheRest) {
    testutil::TempDir d;
    DatabaseModel m(7, 1024, 0, 5000);
    m.WriteRedoLog(d.File("l.vrl"), {3, 0, 3}, 2, 1, false);  // page 1 and 2 never written
    std::string path = d / "db.vdb";
    ASSERT_TRUE(m.WriteFullCopy(d.File("db.vdb")).OK());
    DbFile f = ReadDbFile(path);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.state, StateOf(m.Uuid(), m.PageSize(), m.MSN(), m.Pages()));
    EXPECT_EQ(std::pair(f.state.pageCount, f.state.msn),
              std::pair(std::uint64_t{4}, std::uint64_t{5002}));
    DatabaseModel::FlipBit(path, 33, 0);  // a torn header slot: the file is no database
    EXPECT_FALSE(ReadDbFile(path).ok);
    EXPECT_TRUE(ReadDbFile(d / "none.vdb").missing);
}

TEST(RealWorld, ClassesAndExpectations) {
    std::set<RealWorld> got;
    ASSERT_TRUE(ParseRealWorld("late,bitrot", got));
    EXPECT_EQ(got, (std::set<RealWorld>{RealWorld::kLate, RealWorld::kBitRot}));
    ASSERT_TRUE(ParseRealWorld("all", got));
    EXPECT_EQ(got.size(), RealWorldNames().size());
    std::string bad;
    EXPECT_FALSE(ParseRealWorld("late,bitflip", got, &bad));
    EXPECT_EQ(bad, "bitflip");
    // A new refusal is none of the documented answers and no failure of the environment;
    // 10729 is left where it is: the limit is reached.
    EXPECT_EQ((std::vector<bool>{expect::NewRefusal(0), expect::NewRefusal(10720),
                                 expect::NewRefusal(20407), expect::NewRefusal(10730),
                                 expect::SetAsideRefusal(10720), expect::SetAsideRefusal(10008),
                                 expect::SetAsideRefusal(10729)}),
              (std::vector<bool>{false, false, false, true, true, false, false}));
    EXPECT_TRUE(expect::EventMatches(0, 0x41000399u, {"db 8c22 was replaced"}, {"8c22"}));
    EXPECT_FALSE(expect::EventMatches(0, expect::kSetAsideEvent, {"8c22"}, {"8c22"}));
    EXPECT_FALSE(expect::EventMatches(0x41000313u, 0x41000313u, {"other.vdb"}, {"db.vdb"}));
    const std::string name = LongName("db7-", ".vdb", 255);
    EXPECT_EQ(name.size() == 255 ? name.substr(251) : name, ".vdb");
}

}  // namespace
