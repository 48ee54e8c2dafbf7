#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <tuple>

#include "platform/framework/Manifest.h"
#include "platform/support/Env.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tools/sim/ServerWriters.h"

using Talon::Manifest;
using Talon::ManifestEntry;
using Talon::ManifestFinding;

namespace {

bool ParseManifest(const std::string& text, Manifest& out, std::string* why = nullptr) {
    out = Manifest();
    return Talon::DecodeManifest(text, out.intervalEnd, out.entries, why);
}

constexpr std::uint32_t kPage = 4096;
constexpr std::uint64_t kEnd = 1767269150123456ull;  // 2026-01-01 12:05:50.123456
constexpr std::uint64_t kMinute = 60000000;

// A database of `pages` pages whose bytes and UUID depend on `seed`.
void WriteDb(const std::string& path, std::uint8_t seed, std::uint64_t msn, int pages = 6) {
    sim::PageMap m;
    for (int p = 0; p < pages; ++p) {
        sim::PageImage img(kPage);
        for (std::size_t i = 0; i < img.size(); ++i)
            img[i] = static_cast<std::uint8_t>(seed + p * 7 + i * 13);
        m[static_cast<std::uint64_t>(p)] = img;
    }
    Mirel::Format::Uuid u{};
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = static_cast<std::uint8_t>(seed * 31 + i);
    Mirel::Directory(Mirel::UniversalPath::FromNative(path)).CreateIfNotExists();
    ASSERT_TRUE(
        sim::WriteDatabaseFile(Mirel::UniversalPath::FromNative(path), u, kPage, msn, m).OK());
}

Mirel::Directory Dir(const std::string& p) {
    return Mirel::Directory(Mirel::UniversalPath::Folder(p));
}

std::map<std::string, ManifestFinding::Result> Results(const std::vector<ManifestFinding>& fs) {
    std::map<std::string, ManifestFinding::Result> out;
    for (const auto& f : fs) out[f.path] = f.result;
    return out;
}

// Hard links of `from`'s files at the same paths below `to`.
void Link(const std::string& from, const std::string& to, const std::vector<std::string>& rels) {
    for (const auto& rel : rels) {
        testutil::MakeDirs(Mirel::Os::ParentOf(to + "/" + rel));
        ASSERT_EQ(::link((from + "/" + rel).c_str(), (to + "/" + rel).c_str()), 0) << rel;
    }
}

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteDb(folder + "/a.vdb", 1, 1001);
        WriteDb(folder + "/sub/B.VDB", 2, 2002, 3);
        testutil::MakeDirs(folder + "/a.vdb.rc/x");
        testutil::WriteFile(folder + "/a.vdb.rc/x/blob", "container bytes");
        testutil::WriteFile(folder + "/notes.txt", "not a database");
    }
    Manifest Written(const std::string& dir, std::uint64_t end = kEnd,
                     const std::set<std::string>& held = {}) {
        Manifest m;
        EXPECT_TRUE(Manifest::Write(Dir(dir), end, held).OK());
        EXPECT_TRUE(Manifest::Read(Dir(dir), m).OK());
        return m;
    }
    // Poisons the folder's manifest (a line taken over was not read again); the true lines.
    Manifest Poisoned(const std::string& dir) {
        Manifest truth, poisoned;
        EXPECT_TRUE(Manifest::Compute(Dir(dir), kEnd, truth).OK());
        poisoned = truth;
        for (auto& e : poisoned.entries) e.crc ^= 0xdeadbeef;
        testutil::WriteFile(dir + "/manifest.tsv",
                            Talon::EncodeManifest(poisoned.intervalEnd, poisoned.entries));
        return truth;
    }
    testutil::TempDir tmp;  // removed after the fault seam is gone
    Mirel::FaultEnv faults;
    Mirel::Env::Scope files{faults};
    const std::string folder = tmp / "LastGood_2026-01-01_1205", ip = tmp / "InProgress";
};

}  // namespace

TEST_F(ManifestTest, WrittenManifestDescribesEveryDatabaseAndContainerFile) {
    Manifest m = Written(folder);
    EXPECT_FALSE(testutil::Exists(folder + "/manifest.tsv.part"));
    EXPECT_EQ(m.intervalEnd, kEnd);
    ASSERT_EQ(m.entries.size(), 3u);
    const ManifestEntry *a = m.Find("a.vdb"), *b = m.Find("sub/B.VDB");
    const ManifestEntry* blob = m.Find("a.vdb.rc/x/blob");
    ASSERT_TRUE(a && b && blob);
    EXPECT_EQ(std::make_tuple(a->msn, a->pageCount, a->pageSize, a->size, b->msn, b->uuid.size()),
              std::make_tuple(1001ull, 6ull, kPage, 7ull * kPage, 2002ull, std::size_t{36}));
    EXPECT_NE(a->uuid, b->uuid);
    EXPECT_EQ(std::make_tuple(blob->kind, blob->size, blob->crc),
              std::make_tuple(ManifestEntry::kContainer, std::uint64_t{15},
                              Mirel::Format::Crc32c("container bytes", 15)));
    for (const auto& f : m.Check(Dir(folder)))
        EXPECT_EQ(f.result, ManifestFinding::kOk) << f.path << ": " << f.detail;
}

TEST_F(ManifestTest, DamagedCutAndMissingCopiesAreNamed) {
    Manifest m = Written(folder);
    // One byte in each block: the header block, every data page, and the last byte.
    const std::string db = folder + "/a.vdb";
    for (std::uint64_t off :
         {977ull, 977ull + kPage, 977ull + 2 * kPage, 977ull + 3 * kPage, 977ull + 4 * kPage,
          977ull + 5 * kPage, 977ull + 6 * kPage, 7ull * kPage - 1}) {
        testutil::FlipByte(db, off, 0x01);
        auto r = Results(m.Check(Dir(folder)));
        EXPECT_NE(r["a.vdb"], ManifestFinding::kOk) << "offset " << off;
        EXPECT_EQ(r["sub/B.VDB"], ManifestFinding::kOk);
        testutil::FlipByte(db, off, 0x01);
    }
    EXPECT_EQ(Results(m.Check(Dir(folder)))["a.vdb"], ManifestFinding::kOk);

    ASSERT_EQ(::truncate(db.c_str(), 5 * kPage), 0);
    ASSERT_EQ(::unlink((folder + "/sub/B.VDB").c_str()), 0);
    testutil::WriteFile(folder + "/a.vdb.rc/x/blob", "container bytez");
    WriteDb(folder + "/new.vdb", 9, 9);
    EXPECT_EQ(Results(m.Check(Dir(folder))), (std::map<std::string, ManifestFinding::Result>{
                                                 {"a.vdb", ManifestFinding::kNotADatabase},
                                                 {"sub/B.VDB", ManifestFinding::kMissing},
                                                 {"a.vdb.rc/x/blob", ManifestFinding::kDiffers},
                                                 {"new.vdb", ManifestFinding::kNotListed}}));
}

// (The decoder's refusals line by line: codecs_test.)
TEST_F(ManifestTest, AChangedOrCutManifestIsRefused) {
    Manifest m;
    ASSERT_TRUE(Manifest::Compute(Dir(folder), kEnd, m).OK());
    const std::string good = Talon::EncodeManifest(m.intervalEnd, m.entries);
    std::string why, changed = good;
    changed[changed.find("\t1001\t") + 1] = '2';  // MSN 1001 -> 2001
    EXPECT_FALSE(ParseManifest(changed, m, &why));
    EXPECT_NE(why.find("checksum"), std::string::npos) << why;
    EXPECT_FALSE(ParseManifest(good.substr(0, good.rfind("end\t")), m, &why));
    testutil::WriteFile(folder + "/manifest.tsv", changed);
    EXPECT_EQ(Manifest::Read(Dir(folder), m).GetError(), Mirel::kErrInvalidFile);
    EXPECT_EQ(Manifest::Read(Dir(tmp / "nowhere"), m).GetError(), Mirel::kErrPathNotFound);
}

// A copy hard-linked at its own path takes its last-good folder's line unread; one with its
// own bytes, linked from another path or from outside the last-good folders is read.
TEST_F(ManifestTest, OnlyACopyLinkedAtItsOwnPathTakesThePreviousLine) {
    const Manifest truth = Poisoned(folder);
    WriteDb(tmp / "Copies/up.vdb", 5, 5005);
    Link(folder, ip, {"a.vdb"});
    WriteDb(ip + "/sub/B.VDB", 2, 2002, 3);  // same bytes, its own inode
    ASSERT_EQ(::link((folder + "/a.vdb").c_str(), (ip + "/moved.vdb").c_str()), 0);
    ASSERT_EQ(::link((tmp / "Copies/up.vdb").c_str(), (ip + "/up.vdb").c_str()), 0);
    Manifest now = Written(ip, kEnd + kMinute);
    EXPECT_EQ(now.intervalEnd, kEnd + kMinute);
    ASSERT_EQ(now.entries.size(), 4u);
    ASSERT_TRUE(now.Find("a.vdb") && now.Find("sub/B.VDB") && now.Find("moved.vdb") &&
                now.Find("up.vdb"));
    EXPECT_EQ(std::make_tuple(now.Find("a.vdb")->crc, now.Find("sub/B.VDB")->crc,
                              now.Find("moved.vdb")->crc, now.Find("moved.vdb")->msn,
                              now.Find("up.vdb")->msn),
              std::make_tuple(truth.Find("a.vdb")->crc ^ 0xdeadbeef, truth.Find("sub/B.VDB")->crc,
                              truth.Find("a.vdb")->crc, 1001ull, 5005ull));
    EXPECT_EQ(Results(now.Check(Dir(ip))),
              (std::map<std::string, ManifestFinding::Result>{{"a.vdb", ManifestFinding::kDiffers},
                                                              {"sub/B.VDB", ManifestFinding::kOk},
                                                              {"moved.vdb", ManifestFinding::kOk},
                                                              {"up.vdb", ManifestFinding::kOk}}));
}

// A worker's line is taken while its copy keeps its identity; a changed copy is read.
TEST_F(ManifestTest, AKnownLineIsTakenOnlyWhileItsFileKeepsItsIdentity) {
    Manifest truth;
    ASSERT_TRUE(Manifest::Compute(Dir(folder), kEnd, truth).OK());
    Manifest::KnownLines known;
    for (const std::string rel : {"a.vdb", "sub/B.VDB"}) {
        const Mirel::Os::Info i = Mirel::Os::Stat(folder + "/" + rel);
        ManifestEntry e = *truth.Find(rel);
        e.crc ^= 0xdeadbeef;
        e.path = "elsewhere";
        known[rel] = {Talon::EncodeFileIdentity(i.ino, i.size, i.mtimeUs, i.mtimeNs), e};
    }
    // B changes after its line was read: one more page, so its size differs.
    ASSERT_EQ(::unlink((folder + "/sub/B.VDB").c_str()), 0);
    WriteDb(folder + "/sub/B.VDB", 2, 2003, 4);
    ASSERT_TRUE(Manifest::Write(Dir(folder), kEnd, {}, nullptr, &known).OK());
    Manifest m;
    ASSERT_TRUE(Manifest::Read(Dir(folder), m).OK());
    ASSERT_EQ(m.entries.size(), 3u);
    ASSERT_TRUE(m.Find("a.vdb") && m.Find("sub/B.VDB"));
    EXPECT_EQ(std::make_tuple(m.Find("a.vdb")->crc, m.Find("a.vdb")->msn, m.Find("sub/B.VDB")->msn),
              std::make_tuple(truth.Find("a.vdb")->crc ^ 0xdeadbeef, 1001ull, 2003ull));
    EXPECT_EQ(Results(m.Check(Dir(folder))), (std::map<std::string, ManifestFinding::Result>{
                                                 {"a.vdb", ManifestFinding::kDiffers},
                                                 {"sub/B.VDB", ManifestFinding::kOk},
                                                 {"a.vdb.rc/x/blob", ManifestFinding::kOk}}));
}

// A shared file's line is found behind a newer folder and past an unreadable manifest; its
// bytes are never read again, and a file its folder does not list is never certified.
TEST_F(ManifestTest, ASharedFileIsNeverReadAgainWhateverItHoldsNowAndNeverCertifiedUnlisted) {
    const Manifest listed = Written(folder);
    testutil::FlipByte(folder + "/a.vdb", kPage * 2 + 5, 0x01);
    ASSERT_EQ(::truncate((folder + "/sub/B.VDB").c_str(), kPage * 2), 0);
    WriteDb(folder + "/unlisted.vdb", 4, 4004);
    const std::string newer = tmp / "LastGood_2026-01-01_1206";
    WriteDb(newer + "/a.vdb", 7, 7007);
    WriteDb(newer + "/c.vdb", 3, 3003);
    Written(newer, kEnd + kMinute);
    const std::string damaged = tmp / "LastGood_2026-01-01_1207";
    Link(folder, damaged, {"sub/B.VDB"});
    testutil::WriteFile(damaged + "/manifest.tsv", "version\t2\n");

    Link(folder, ip, {"a.vdb", "sub/B.VDB", "unlisted.vdb"});
    Manifest now = Written(ip, kEnd + 2 * kMinute);
    for (const char* f : {"a.vdb", "sub/B.VDB"}) {
        ASSERT_NE(now.Find(f), nullptr) << f;
        EXPECT_EQ(now.Find(f)->crc, listed.Find(f)->crc) << f;
        EXPECT_EQ(now.Find(f)->size, listed.Find(f)->size) << f;
    }
    EXPECT_EQ(now.Find("unlisted.vdb"), nullptr);
    EXPECT_EQ(Results(now.Check(Dir(ip))), (std::map<std::string, ManifestFinding::Result>{
                                               {"a.vdb", ManifestFinding::kDiffers},
                                               {"sub/B.VDB", ManifestFinding::kNotADatabase},
                                               {"unlisted.vdb", ManifestFinding::kNotListed}}));
}

TEST_F(ManifestTest, AFailedWriteLeavesNoManifestAndNoTemporaryFile) {
    const std::string part = folder + "/manifest.tsv.part", tsv = folder + "/manifest.tsv";
    // A container file that cannot be read: nothing certifies the database without it.
    const std::pair<Mirel::FsOp, std::string> failing[] = {
        {Mirel::FsOp::kOpenWrite, part},
        {Mirel::FsOp::kWrite, part},
        {Mirel::FsOp::kSync, part},
        {Mirel::FsOp::kRead, folder + "/a.vdb.rc/x/blob"}};
    for (const auto& [op, path] : failing) {
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(op, path, Mirel::kErrDiskFull);
        EXPECT_EQ(Manifest::Write(Dir(folder), kEnd).GetError(), Mirel::kErrDiskFull) << path;
        EXPECT_FALSE(testutil::Exists(tsv));
        EXPECT_FALSE(testutil::Exists(part));
    }
    ASSERT_TRUE(Manifest::Write(Dir(folder), kEnd).OK());
    const std::string first = testutil::ReadFile(tsv);
    // Nor is a manifest read through a failing disk taken for one.
    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(Mirel::FsOp::kRead, tsv, Mirel::kErrIO, 1);
    Manifest m;
    EXPECT_EQ(Manifest::Read(Dir(folder), m).GetError(), Mirel::kErrIO);
    faults.Arm(Mirel::FsOp::kRename, tsv, Mirel::kErrIO);
    EXPECT_EQ(Manifest::Write(Dir(folder), kEnd + 1).GetError(), Mirel::kErrIO);
    EXPECT_EQ(testutil::ReadFile(tsv), first);
    EXPECT_FALSE(testutil::Exists(part));
}

TEST_F(ManifestTest, AFolderRenamedWhileCheckedIsMissingNeverDamaged) {
    Manifest m = Written(folder);
    int calls = 0;
    auto findings = m.Check(Dir(folder), [&](std::uint64_t, const std::string&) {
        if (++calls == 2) {
            ASSERT_EQ(std::rename(folder.c_str(), (tmp / "elsewhere").c_str()), 0);
        }
    });
    ASSERT_EQ(findings.size(), 3u);
    EXPECT_EQ(findings[0].result, ManifestFinding::kOk);
    for (std::size_t i = 1; i < findings.size(); ++i)
        EXPECT_EQ(findings[i].result, ManifestFinding::kMissing) << findings[i].path;
}

TEST_F(ManifestTest, AFolderGoesWithItsLastCopyNotBefore) {
    ASSERT_TRUE(Manifest::Write(Dir(folder), kEnd).OK());
    ASSERT_EQ(::unlink((folder + "/a.vdb").c_str()), 0);
    EXPECT_EQ(Manifest::DeleteFolderIfOnlyManifest(Dir(folder)).GetError(), Mirel::kErrNotEmpty);
    EXPECT_TRUE(testutil::IsFile(folder + "/manifest.tsv"));
    ASSERT_TRUE(Dir(folder + "/a.vdb.rc").DeleteAll().OK());
    ASSERT_TRUE(Dir(folder + "/sub").DeleteAll().OK());
    ASSERT_EQ(::unlink((folder + "/notes.txt").c_str()), 0);
    EXPECT_TRUE(Manifest::DeleteFolderIfOnlyManifest(Dir(folder)).OK());
    EXPECT_FALSE(testutil::Exists(folder));
}

// A failed database's held copy carried into a later folder is still not that folder's state.
// (Reading either version's lines: codecs_test.)
TEST_F(ManifestTest, HeldCopiesAreMarkedAndCarriedForward) {
    Manifest m = Written(folder, kEnd, {"sub/B.VDB"});
    EXPECT_TRUE(!m.Find("a.vdb")->held && m.Find("sub/B.VDB")->held);
    EXPECT_NE(testutil::ReadFile(folder + "/manifest.tsv").find("version\t2\n"), std::string::npos);
    const std::string next = tmp / "LastGood_2026-01-01_1206";
    Link(folder, next, {"a.vdb", "sub/B.VDB"});
    m = Written(next, kEnd + kMinute);
    EXPECT_TRUE(!m.Find("a.vdb")->held && m.Find("sub/B.VDB")->held);
}
