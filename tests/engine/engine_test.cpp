#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <set>

#include "platform/engine/Formats.h"
#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/support/Env.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/lib/PowerLoss.h"
#include "tools/sim/ServerWriters.h"

using namespace Mirel;
using sim::PageImage;
using sim::PageMap;
using sim::RedoLogWriter;
using sim::WriteDatabaseFile;
using namespace testutil;

namespace {

constexpr std::uint32_t kPage = 1024;

PageImage RandomPage(std::mt19937_64& rng) {
    PageImage p(kPage);
    for (auto& b : p) b = static_cast<std::uint8_t>(rng());
    return p;
}

// The server's view: what every page holds at each MSN.
struct Model {
    Format::Uuid uuid = UuidText::Generate();
    std::uint64_t msn = 100;
    PageMap pages;
};

// Writes a log of `n` random page images (some repeated, some new pages) and folds it into
// the model.
Error WriteLog(const UniversalPath& path, Model& m, std::mt19937_64& rng, int n, bool closed) {
    RedoLogWriter w;
    if (Error e = w.Open(path, m.uuid, kPage, m.msn); !e.OK()) return e;
    for (int i = 0; i < n; ++i) {
        std::uint64_t page = rng() % 40;
        PageImage img = RandomPage(rng);
        if (Error e = w.AddPage(page, img.data()); !e.OK()) return e;
        m.pages[page] = img;
    }
    m.msn += 1 + rng() % 5;
    return w.Finish(m.msn, 1700000000000000ull + m.msn, closed);
}

void ExpectMatches(const UniversalPath& dbPath, const Model& m) {
    HBFile db(dbPath);
    ASSERT_TRUE(db.Open(HBFile::kPermRead).OK());
    const std::uint64_t count = m.pages.empty() ? 0 : m.pages.rbegin()->first + 1;
    EXPECT_EQ(std::make_tuple(db.GetMSN(), db.GetUUID(), db.GetPageCount()),
              std::make_tuple(m.msn, UuidText::ToText(m.uuid), count));
    PageImage buf(kPage), zero(kPage, 0);
    for (std::uint64_t n = 0; n < count; ++n) {
        ASSERT_TRUE(db.ReadPage(n, buf.data()).OK());
        auto it = m.pages.find(n);
        EXPECT_EQ(buf, it == m.pages.end() ? zero : it->second) << "page " << n;
    }
}

Error Apply(const UniversalPath& dbPath, const UniversalPath& logPath) {
    HBFile db(dbPath);
    db.SetOpeningFlags(0x110);
    if (Error e = db.Open(HBFile::kPermReadWrite); !e.OK()) return e;
    HBLogFile log(logPath);
    if (Error e = log.Open(HBLogFile::kPermRead); !e.OK()) return e;
    Error e = db.ApplyLog(log);
    Error c = db.Close();
    return e.OK() ? c : e;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { HBEngine::Startup(true, 65536, nullptr, nullptr); }
    void TearDown() override { faults.Clear(); }
    // A database at `name` holding `pages` random pages.
    Model Db(int pages = 1, const std::string& name = "db.vdb") {
        Model m;
        for (int i = 0; i < pages; ++i) m.pages[static_cast<std::uint64_t>(i)] = RandomPage(rng);
        EXPECT_TRUE(WriteDatabaseFile(tmp.File(name), m.uuid, kPage, m.msn, m.pages).OK());
        return m;
    }
    std::string DbBytes() { return ReadFile(tmp / "db.vdb"); }
    // The test's own fault seam in front of its own disk that can lose power: its thread's Env.
    PowerLoss::Disk disk;
    Mirel::FaultEnv faults{disk};
    Mirel::Env::Scope files{faults};
    TempDir tmp;
    std::mt19937_64 rng{12345};
};

}  // namespace

// A damaged or foreign log, or one cut short or gone bad after its open (also in an arena block
// holding the last pass's records), is an error of that log, never a signal; only the checked
// bytes are written.
TEST_F(EngineTest, DamagedForeignOrChangingLogsAreRefusedAndOnlyCheckedBytesAreWritten) {
    Model m = Db(), next = m;
    const std::string pristine = DbBytes();
    ASSERT_TRUE(WriteLog(tmp.File("l.vrl"), next, rng, 40, false).OK());
    const std::string good = ReadFile(tmp / "l.vrl");
    const std::uint64_t rec = Format::kLogHeaderSize;
    const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> damage = {
        {"truncated", [&](const std::string& p) { ::truncate(p.c_str(), good.size() - 7); }},
        {"trailing bytes", [&](const std::string& p) { WriteFile(p, good + "x"); }},
        {"header bit flip", [](const std::string& p) { FlipByte(p, 40, 0x40); }},
        {"wrong magic", [](const std::string& p) { FlipByte(p, 0, 0x40); }},
        {"record data",
         [&](const std::string& p) { FlipByte(p, rec + 4 * (16 + kPage) + 100, 0x40); }},
        {"record page number", [&](const std::string& p) { FlipByte(p, rec + 1, 0x40); }},
    };
    for (const auto& [name, hurt] : damage) {
        SCOPED_TRACE(name);
        WriteFile(tmp / "bad.vrl", good);
        hurt(tmp / "bad.vrl");
        EXPECT_EQ(Apply(tmp.File("db.vdb"), tmp.File("bad.vrl")).GetError(), kErrInvalidFile);
        EXPECT_EQ(DbBytes(), pristine);
    }
    // Another database's log, and this one's starting past an MSN the file lacks.
    Model other, gap = m;
    other.msn = m.msn;
    gap.msn += 50;
    ASSERT_TRUE(WriteLog(tmp.File("other.vrl"), other, rng, 2, false).OK());
    ASSERT_TRUE(WriteLog(tmp.File("gap.vrl"), gap, rng, 2, false).OK());
    EXPECT_EQ(Apply(tmp.File("db.vdb"), tmp.File("other.vrl")).GetError(), kErrLogWrongDatabase);
    EXPECT_EQ(Apply(tmp.File("db.vdb"), tmp.File("gap.vrl")).GetError(), kErrLogChainBreak);
    EXPECT_EQ(DbBytes(), pristine);
    // The good log still applies afterwards, and a second time refuses as a chain break.
    ASSERT_TRUE(Apply(tmp.File("db.vdb"), tmp.File("l.vrl")).OK());
    ExpectMatches(tmp.File("db.vdb"), next);
    EXPECT_EQ(Apply(tmp.File("db.vdb"), tmp.File("l.vrl")).GetError(), kErrLogChainBreak);

    RecordArena arena;
    // One pass over a fresh copy of both files; `change` runs between the log's open and its
    // application.
    auto pass = [&](RecordArena* a, const std::function<void(HBLogFile&)>& change) {
        WriteFile(tmp / "db.vdb", pristine);
        WriteFile(tmp / "l.vrl", good);
        HBFile db(tmp.File("db.vdb"));
        db.SetOpeningFlags(0x110);
        EXPECT_TRUE(db.Open(HBFile::kPermReadWrite).OK());
        HBLogFile log(tmp.File("l.vrl"), a);
        EXPECT_TRUE(log.Open(HBLogFile::kPermRead).OK());
        change(log);
        Error e = db.ApplyLog(log);
        db.Close();
        log.Close(false);
        arena.Rewind(SIZE_MAX);
        return e.GetError();
    };
    auto cut = [&](HBLogFile&) {
        ASSERT_EQ(::truncate((tmp / "l.vrl").c_str(), Format::kLogHeaderSize + 10), 0);
    };
    auto badSector = [&](HBLogFile&) { faults.Arm(FsOp::kRead, tmp / "l.vrl", kErrIO, 1); };
    // Rewritten after its check: the checked images are the ones written.
    auto rewritten = [&](HBLogFile& log) {
        ASSERT_TRUE(log.VerifyRecords().OK());
        for (std::uint64_t r = 0; r < 40; ++r)
            FlipByte(tmp / "l.vrl", Format::kLogHeaderSize + r * (16 + kPage) + 16 + 7);
    };
    for (RecordArena* a : {static_cast<RecordArena*>(nullptr), &arena}) {
        SCOPED_TRACE(a ? "arena" : "own memory");
        ASSERT_EQ(pass(a, [](HBLogFile&) {}), kErrNone);
        ExpectMatches(tmp.File("db.vdb"), next);
        EXPECT_EQ(pass(a, cut), kErrInvalidFile);
        EXPECT_EQ(DbBytes(), pristine);
        EXPECT_EQ(pass(a, badSector), kErrIO);
        EXPECT_EQ(DbBytes(), pristine);
        ASSERT_EQ(pass(a, rewritten), kErrNone);
        ExpectMatches(tmp.File("db.vdb"), next);
    }
    // Its redo folder swapped for a link: the records are never read through it.
    ASSERT_EQ(::mkdir((tmp / "real").c_str(), 0755), 0);
    ASSERT_EQ(::rename((tmp / "l.vrl").c_str(), (tmp / "real/l.vrl").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "real").c_str(), (tmp / "redo").c_str()), 0);
    HBLogFile log(tmp.File("redo/l.vrl"));
    EXPECT_EQ(log.Open(HBLogFile::kPermRead).GetError(), kErrIsALink);
    ASSERT_EQ(::unlink((tmp / "redo").c_str()), 0);
    ASSERT_EQ(::rename((tmp / "real").c_str(), (tmp / "redo").c_str()), 0);
    EXPECT_TRUE(log.Open(HBLogFile::kPermRead).OK());
}

TEST(RecordArenaTest, BlocksNeverOverlapAreReusedAndWhatIsNotKeptGoesBack) {
    constexpr std::size_t kRange = 1 << 20;
    RecordArena arena(kRange);
    // Blocks 4 and 7 do not fit in the range left: allocated on their own, not the one after.
    const std::vector<std::size_t> sizes = {1,      4096, 5000,   300000, 2 * kRange,
                                            400000, 0,    400000, 100};
    const std::set<std::size_t> own = {4, 7};
    auto take = [&](std::vector<std::uint8_t*>& blocks, bool fill) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            blocks.push_back(arena.Take(sizes[i]));
            ASSERT_NE(blocks.back(), nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks.back()) % 4096, 0u) << i;
            if (fill) std::memset(blocks.back(), static_cast<int>(i + 1), sizes[i]);
        }
        for (std::size_t i = 0, n; fill && i < sizes.size(); ++i)
            if ((n = sizes[i]) != 0) {
                const std::uint8_t* b = blocks[i];
                EXPECT_TRUE(b[0] == i + 1 && b[n / 2] == i + 1 && b[n - 1] == i + 1) << i;
            }
    };
    std::vector<std::uint8_t*> first, second, third;
    take(first, true);
    const std::size_t inRange = 16384 + 303104 + 401408 + 4096 + 4096;
    EXPECT_EQ(arena.Held(), inRange + 2 * kRange + 401408);

    // The same pass again takes the same memory of the range: nothing new from the system.
    arena.Rewind(SIZE_MAX);
    EXPECT_EQ(arena.Held(), inRange);
    take(second, true);
    for (std::size_t i = 0; i < sizes.size(); ++i)
        EXPECT_TRUE(own.count(i) || second[i] == first[i]) << i;

    // Kept: the first two blocks' pages hold what was written; the rest reads as zeros.
    arena.Rewind(8192);
    EXPECT_EQ(arena.Held(), 8192u);
    take(third, false);
    EXPECT_EQ((std::vector<int>{third[0][0], third[1][4095], third[3][0], third[8][0]}),
              (std::vector<int>{1, 2, 0, 0}));
    arena.Release();
    EXPECT_EQ(arena.Held(), 0u);
}

// Each log of a pass is checked whole when queued; applied, every page goes out and is synced
// once, and only then does the header move to the last log's MSN.
TEST_F(EngineTest, APassChecksEveryLogFirstAndWritesEachPageOnceBeforeOneHeader) {
    MakeDirs(tmp / "db");
    Model m = Db(8, "db/db.vdb");
    const std::uint64_t startMsn = m.msn;
    std::set<std::uint64_t> touched;
    std::vector<std::string> logs;
    for (int i = 0; i < 3; ++i) {
        logs.push_back(tmp / ("l" + std::to_string(i) + ".vrl"));
        ASSERT_TRUE(WriteLog(UniversalPath::FromNative(logs.back()), m, rng, 30, false).OK());
        HBLogFile log(UniversalPath::FromNative(logs.back()));
        ASSERT_TRUE(log.Open(HBLogFile::kPermRead).OK() && log.VerifyRecords().OK());
        for (std::uint64_t r = 0; r < log.RecordCount(); ++r) touched.insert(log.RecordPage(r));
    }
    ASSERT_LT(touched.size(), 90u);  // pages rewritten within the pass
    WriteFile(tmp / "bad.vrl", ReadFile(logs[1]));
    FlipByte(tmp / "bad.vrl", Format::kLogHeaderSize + 20, 0x40);
    Model other;
    ASSERT_TRUE(WriteLog(tmp.File("other.vrl"), other, rng, 2, false).OK());

    std::vector<std::unique_ptr<HBLogFile>> open;
    auto openLog = [&](const std::string& path) -> HBLogFile& {
        open.push_back(std::make_unique<HBLogFile>(UniversalPath::FromNative(path)));
        EXPECT_TRUE(open.back()->Open(HBLogFile::kPermRead).OK()) << path;
        return *open.back();
    };
    const std::string dbPath = tmp / "db/db.vdb";
    const std::string before = ReadFile(dbPath);
    HBFile db(UniversalPath::FromNative(dbPath));
    db.SetOpeningFlags(0x110);
    ASSERT_TRUE(db.Open(HBFile::kPermReadWrite).OK());
    // Each refusal (log, error, logs queued before) leaves the pass as it was; the chain is
    // checked against the pass's MSN.
    for (const auto& [log, error, queued] : std::vector<std::tuple<std::string, int, std::size_t>>{
             {logs[1], kErrLogChainBreak, 0},
             {tmp / "other.vrl", kErrLogWrongDatabase, 0},
             {logs[0], kErrLogChainBreak, 1},
             {tmp / "bad.vrl", kErrInvalidFile, 1},
             {logs[2], kErrLogChainBreak, 1}}) {
        SCOPED_TRACE(log);
        if (queued == 1 && db.QueuedLogs() == 0) {
            ASSERT_TRUE(db.QueueLog(openLog(logs[0])).OK());
        }
        const int got = db.QueueLog(openLog(log)).GetError();
        EXPECT_EQ(std::pair(got, db.QueuedLogs()), std::pair(error, queued));
    }
    ASSERT_TRUE(db.QueueLog(openLog(logs[1])).OK());
    ASSERT_TRUE(db.QueueLog(openLog(logs[2])).OK());
    EXPECT_EQ(std::pair(db.PassMSN(), db.GetMSN()), std::pair(m.msn, startMsn));
    EXPECT_EQ(ReadFile(dbPath), before);  // queued, nothing written

    // A stop before or during the pass writes no header.
    std::atomic<std::int32_t> abort{1};
    EXPECT_EQ(db.ApplyPass(&abort).GetError(), kErrAborted);
    EXPECT_TRUE(db.QueuedLogs() == 0 && ReadFile(dbPath) == before);

    // The power fails at the pass's first durability point: every page once, no header.
    PowerLoss::Scope run(disk);
    for (const auto& l : logs) ASSERT_TRUE(db.QueueLog(openLog(l)).OK());
    disk.Start(tmp / "db", 1);
    EXPECT_EQ(db.ApplyPass().GetError(), kErrIO);
    PowerLoss::Outcome out = disk.Restart(PowerLoss::Loss::kWorst);
    std::vector<std::string> pages;
    for (std::uint64_t page : touched)
        pages.push_back("write to " + dbPath + " at " + std::to_string((page + 1) * kPage) + ", " +
                        std::to_string(kPage) + " bytes");
    std::sort(out.lost.begin(), out.lost.end());
    std::sort(pages.begin(), pages.end());
    EXPECT_EQ(out.lost, pages);
    EXPECT_EQ(out.writesLost, touched.size());
    db.Close();
    EXPECT_EQ(ReadFile(dbPath), before);

    // Without a crash the pass costs two durability points: the pages, then the header.
    ASSERT_TRUE(db.Open(HBFile::kPermReadWrite).OK());
    for (const auto& l : logs) ASSERT_TRUE(db.QueueLog(openLog(l)).OK());
    disk.Start(tmp / "db");
    ASSERT_TRUE(db.ApplyPass().OK());
    ASSERT_TRUE(db.Close().OK());
    EXPECT_EQ(disk.Points(), 2u);
    disk.Stop();
    ExpectMatches(tmp.File("db/db.vdb"), m);
}

TEST_F(EngineTest, ADamagedDatabaseFileIsNotADatabase) {
    Model m;
    for (std::uint64_t n : {0, 5, 69}) m.pages[n] = RandomPage(rng);
    ASSERT_TRUE(WriteDatabaseFile(tmp.File("db.vdb"), m.uuid, kPage, m.msn, m.pages).OK());
    const std::string good = DbBytes();
    const off_t whole = 71 * kPage;  // the header block and 70 pages
    auto cut = [&](off_t size) { ASSERT_EQ(::truncate((tmp / "db.vdb").c_str(), size), 0); };
    // A header outside its generation's slot, or without a next generation (or whose next has
    // none), would have an update overwrite the current header or write one no open takes.
    auto header = [&](int slot, std::uint64_t generation) {
        Format::DbHeader h;
        h.pageSize = kPage;
        h.uuid = m.uuid;
        h.msn = m.msn + 1;
        h.pageCount = 70;
        h.generation = generation;
        std::uint8_t buf[Format::kDbSlotSize];
        Format::EncodeDbHeader(h, buf);
        int fd = ::open((tmp / "db.vdb").c_str(), O_RDWR);
        ASSERT_EQ(::pwrite(fd, buf, sizeof buf, static_cast<off_t>(Format::kDbSlotOffset[slot])),
                  static_cast<ssize_t>(sizeof buf));
        ::close(fd);
    };
    auto bothTorn = [&] {
        for (int i : {0, 1}) FlipByte(tmp / "db.vdb", Format::kDbSlotOffset[i] + 33, 0x40);
    };
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"not a database", [&] { WriteFile(tmp / "db.vdb", std::string(5000, 'j')); }},
        {"cut by a byte", [&] { cut(whole - 1); }},
        {"header block only", [&] { cut(kPage); }},
        {"both slots torn", bothTorn},
        {"slot 0 generation 1", [&] { header(0, 1); }},
        {"slot 0 generation 7", [&] { header(0, 7); }},
        {"slot 1 generation 2", [&] { header(1, 2); }},
        {"slot 1 last generation", [&] { header(1, UINT64_MAX); }},
        {"slot 0 generation before the last", [&] { header(0, UINT64_MAX - 1); }},
    };
    for (const auto& [name, damage] : cases) {
        SCOPED_TRACE(name);
        WriteFile(tmp / "db.vdb", good);
        damage();
        HBFile db(tmp.File("db.vdb"));
        EXPECT_EQ(db.Open(HBFile::kPermRead).GetError(), kErrInvalidFile);
        EXPECT_EQ(db.Open(HBFile::kPermReadWrite).GetError(), kErrInvalidFile);
    }
    // A longer file is fine: pages past the count are the next log's to claim.
    WriteFile(tmp / "db.vdb", good);
    cut(whole + 3 * kPage);
    HBFile db(tmp.File("db.vdb"));
    EXPECT_TRUE(db.Open(HBFile::kPermRead).OK());
    EXPECT_EQ(db.GetPageCount(), 70u);
}

TEST_F(EngineTest, APageBeyondTheLargestFileOffsetIsInvalid) {
    Model m = Db();
    const std::string before = DbBytes();
    const PageImage img = RandomPage(rng);
    auto writeLog = [&](std::uint64_t page) {
        RedoLogWriter w;
        ASSERT_TRUE(w.Open(tmp.File("far.vrl"), m.uuid, kPage, m.msn).OK());
        ASSERT_TRUE(w.AddPage(1, img.data()).OK());
        ASSERT_TRUE(w.AddPage(page, img.data()).OK());
        ASSERT_TRUE(w.Finish(m.msn + 1, 1, true).OK());
    };
    // Page n ends at (n + 2) * P, which must fit a signed 64-bit file offset.
    const std::uint64_t firstBeyond = static_cast<std::uint64_t>(INT64_MAX) / kPage - 1;
    for (std::uint64_t page : {firstBeyond, UINT64_MAX / kPage - 2}) {
        writeLog(page);
        HBLogFile log(tmp.File("far.vrl"));
        ASSERT_TRUE(log.Open(HBLogFile::kPermRead).OK());
        EXPECT_EQ(log.VerifyRecords().GetError(), kErrInvalidFile) << page;
        log.Close(false);
        EXPECT_EQ(Apply(tmp.File("db.vdb"), tmp.File("far.vrl")).GetError(), kErrInvalidFile);
        EXPECT_TRUE(DbBytes() == before) << "the database changed";
        ASSERT_EQ(::unlink((tmp / "far.vrl").c_str()), 0);
    }
    // A far page inside that range is a page like any other: the file grows sparse to hold it.
    const std::uint64_t far = 1u << 20;
    writeLog(far);
    ASSERT_TRUE(Apply(tmp.File("db.vdb"), tmp.File("far.vrl")).OK());
    m.pages[1] = img;
    m.pages[far] = img;
    m.msn += 1;
    HBFile db(tmp.File("db.vdb"));
    ASSERT_TRUE(db.Open(HBFile::kPermRead).OK());
    EXPECT_EQ(std::pair(db.GetPageCount(), db.GetMSN()), std::pair(far + 1, m.msn));
    PageImage buf(kPage);
    for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{1}, far}) {
        ASSERT_TRUE(db.ReadPage(n, buf.data()).OK());
        EXPECT_EQ(buf, m.pages[n]) << n;
    }
}

TEST_F(EngineTest, ContainerChangesTravelWithTheLogAndWritersAndLocksRefuseMisuse) {
    Model m = Db(0);
    MakeDirs(tmp / "db.vdb.rc");
    MakeDirs(tmp / "l.vrl.rc/sub");
    for (const auto& [f, text] : {std::pair{"db.vdb.rc/old", "old"},
                                  {"db.vdb.rc/keep", "keep"},
                                  {"l.vrl.rc/old", "new"},
                                  {"l.vrl.rc/sub/c1", "c1"}})
        WriteFile(tmp / f, text);
    ASSERT_TRUE(WriteLog(tmp.File("l.vrl"), m, rng, 1, false).OK());
    ASSERT_TRUE(Apply(tmp.File("db.vdb"), tmp.File("l.vrl")).OK());
    for (const auto& [f, text] : {std::pair{"old", "new"}, {"keep", "keep"}, {"sub/c1", "c1"}})
        EXPECT_EQ(ReadFile(tmp / "db.vdb.rc/" + f), text);
    EXPECT_EQ(WriteDatabaseFile(tmp.File("db.vdb"), m.uuid, kPage, m.msn, m.pages).GetError(),
              kErrAlreadyExists);
    HBFile a(tmp.File("db.vdb")), b(tmp.File("db.vdb"));
    a.SetOpeningFlags(0x110);
    b.SetOpeningFlags(0x110);
    ASSERT_TRUE(a.Open(HBFile::kPermReadWrite).OK());
    EXPECT_EQ(b.Open(HBFile::kPermReadWrite).GetError(), kErrFileLocked);
    EXPECT_EQ(b.GetError().GetError(), kErrFileLocked);
    a.Close();
    EXPECT_TRUE(b.Open(HBFile::kPermReadWrite).OK());
    b.Close();
    HBEngine::Shutdown();
    EXPECT_EQ(Apply(tmp.File("db.vdb"), tmp.File("l.vrl")).GetError(), kErrEngineNotStarted);
}

// (The checksum's documented values: contract_test.) A log whose MSN goes backwards is none,
// whatever its checksum.
TEST(FormatTest, AChecksumGoesOnFromAnEarlierOneAndAnMsnThatGoesBackIsRefused) {
    EXPECT_EQ(Format::Crc32c("56789", 5, Format::Crc32c("1234", 4)), 0xE3069283u);
    Format::LogHeader h, back;
    h.uuid = UuidText::Generate();
    h.startMSN = 5;
    h.msn = 4;
    std::uint8_t buf[Format::kLogHeaderSize];
    Format::EncodeLogHeader(h, buf);
    EXPECT_FALSE(Format::DecodeLogHeader(buf, back));
}
