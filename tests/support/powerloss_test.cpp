// The power-loss recorder on call sequences whose outcome after a crash is known.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "platform/support/Directory.h"
#include "platform/support/File.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/lib/PowerLoss.h"

namespace Os = Mirel::Os;
namespace PowerLoss = Mirel::PowerLoss;
using Mirel::FsOp;
using testutil::TempDir;

namespace {

// Writes `text` at `off` through the OS layer; syncs the file when asked.
void Put(const std::string& path, const std::string& text, bool sync, std::uint64_t off = 0,
         bool truncate = true) {
    int fd = -1;
    ASSERT_EQ(Os::OpenWrite(path, true, truncate, fd), 0) << path;
    ASSERT_EQ(Os::PWriteAll(fd, text.data(), text.size(), off, path), 0);
    ASSERT_EQ(sync ? Os::SyncFile(fd, path) : 0, 0);
    Os::Close(fd);
}

std::string Get(const std::string& path) {
    if (testutil::IsFile(path)) return testutil::ReadFile(path);
    return testutil::IsDir(path) ? "<folder>" : testutil::Exists(path) ? "<other>" : "<missing>";
}

class PowerLossTest : public ::testing::Test {
protected:
    static std::string N(const char* prefix, std::uint64_t i) { return prefix + std::to_string(i); }
    PowerLoss::Outcome Reboot(PowerLoss::Loss loss = PowerLoss::Loss::kWorst,
                              std::uint64_t seed = 0) {
        PowerLoss::Outcome out = disk.Restart(loss, seed);
        EXPECT_EQ(out.errors, std::vector<std::string>());
        return out;
    }
    // Each "path=text": the path below the folder holds the text, or is "<missing>".
    void ExpectFiles(const std::vector<std::string>& want) {
        for (const auto& w : want)
            EXPECT_EQ(Get(r + w.substr(0, w.find('='))), w.substr(w.find('=') + 1)) << w;
    }
    void Empty() { Mirel::Directory(tmp.Folder()).DeleteContents(); }
    TempDir tmp;
    const std::string r = tmp.path();
    // The test's own disk, behind its own fault seam: its thread's Env.
    PowerLoss::Disk disk;
    Mirel::FaultEnv faults{disk};
    Mirel::Env::Scope files{faults};
    PowerLoss::Scope run{disk};  // a failed assertion never leaves a run recording
};

}  // namespace

TEST_F(PowerLossTest, WorstCaseKeepsOnlyWhatWasMadeDurable) {
    for (auto [f, text] : {std::pair{"/old", "old content"}, {"/old2", "second"}, {"/cfg", "v1"}})
        Put(r + f, text, true);
    testutil::MakeDirs(r + "/lg");
    ASSERT_EQ(Os::SyncDir(r), 0);

    disk.Start(r);
    Put(r + "/a", "synced and linked", true);
    ASSERT_EQ(Os::SyncDir(r), 0);
    Put(r + "/old", "new", false);  // truncated and rewritten, never synced
    ASSERT_EQ(Os::CreateDir(r + "/sub"), 0);
    Put(r + "/c", "folder synced, file not", false);
    ASSERT_EQ(Os::SyncDir(r), 0);
    ASSERT_EQ(Os::Rename(r + "/old2", r + "/lg/moved"), 0);  // synced by the rename
    Put(r + "/cfg.tmp", "v2", true);
    ASSERT_EQ(Os::Replace(r + "/cfg.tmp", r + "/cfg"), 0);
    // After the last folder syncs:
    Put(r + "/b", "synced, folder not", true);
    Put(r + "/sub/f", "in a folder never synced", true);
    ASSERT_EQ(Os::DeleteFile(r + "/a"), 0);  // the file comes back
    EXPECT_FALSE(disk.Crashed());

    PowerLoss::Outcome out = Reboot();
    ExpectFiles({"/a=synced and linked", "/b=<missing>", "/old=old content", "/sub/f=<missing>",
                 "/c=", "/lg/moved=second", "/old2=<missing>", "/cfg=v2", "/cfg.tmp=<missing>"});
    EXPECT_TRUE(out.entriesLost >= 3 && out.writesLost >= 2);
    // The run is over: nothing is recorded or refused any more.
    Put(r + "/after", "x", false);
    EXPECT_EQ(Get(r + "/after"), "x");
}

// A batch pays one sync per folder; nothing is durable before its flush, which reports a failure.
TEST_F(PowerLossTest, DeferredFolderSyncsMakeABatchOfMovesDurableOnlyAtTheFlush) {
    for (const char* d : {"/from", "/to"}) testutil::MakeDirs(r + d);
    for (int i = 0; i < 5; ++i) Put(r + N("/from/f", i), "x", true);
    ASSERT_EQ(Os::SyncDir(r + "/from"), 0);
    ASSERT_EQ(Os::SyncDir(r), 0);

    disk.Start(r);
    {
        Os::DeferredDirSyncs batch;
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(Os::Rename(r + N("/from/f", i), r + N("/to/f", i)), 0);
        EXPECT_EQ((std::pair{disk.Points(), batch.Pending()}), std::pair(0ul, 8ul));
        {
            // A scope inside gathers its own moves and makes them durable at its end.
            Os::DeferredDirSyncs inner;
            ASSERT_EQ(Os::Rename(r + "/from/f4", r + "/f4"), 0);
        }
        EXPECT_EQ((std::pair{disk.Points(), batch.Pending()}), std::pair(2ul, 8ul));
    }
    EXPECT_EQ(disk.Points(), 4u) << "one sync per folder";
    // Outside a batch each move syncs at once again.
    ASSERT_EQ(Os::Rename(r + "/to/f0", r + "/f0"), 0);
    EXPECT_EQ(disk.Points(), 6u);
    Reboot();
    ExpectFiles({"/to/f1=x", "/to/f2=x", "/to/f3=x", "/f0=x", "/f4=x"});

    // Cut off before its flush, the batch's moves are all undone.
    disk.Start(r);
    {
        Os::DeferredDirSyncs batch;
        for (int i = 1; i < 4; ++i)
            ASSERT_EQ(Os::Rename(r + N("/to/f", i), r + N("/from/f", i)), 0);
        Reboot();
        EXPECT_EQ(batch.Flush(), 0);  // the machine is back: the syncs work
    }
    ExpectFiles({"/to/f1=x", "/to/f2=x", "/to/f3=x", "/from/f1=<missing>", "/from/f2=<missing>",
                 "/from/f3=<missing>"});

    // A folder sync that fails is the flush's answer.
    Os::DeferredDirSyncs batch;
    ASSERT_EQ(Os::Rename(r + "/to/f1", r + "/from/f1"), 0);
    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(FsOp::kSync, r + "/to", Mirel::kErrIO);
    EXPECT_EQ((std::pair{batch.Flush(), batch.Pending()}), std::pair(Mirel::kErrIO + 0, 0ul));
}

// Emptied, removed folders are made durable by their parent's sync; at every crash point each
// file is in exactly one place and a folder that comes back is empty.
TEST_F(PowerLossTest, AFolderABatchEmptiedAndRemovedIsMadeDurableByItsParentsSync) {
    const std::vector<std::string> from = {r + "/up/u0/f", r + "/up/u1/f", r + "/up/u2/deep/f"};
    auto run = [&](std::uint64_t crashAt) {
        Empty();
        for (const char* d : {"/up/u0", "/up/u1", "/up/u2/deep", "/to"}) testutil::MakeDirs(r + d);
        for (const auto& f : from) Put(f, "x", true);
        Put(r + "/up/u1/stays", "y", true);
        for (const char* d : {"/up/u0", "/up/u1", "/up/u2/deep", "/up/u2", "/up", "/to", ""})
            ASSERT_EQ(Os::SyncDir(r + d), 0);
        disk.Start(r, crashAt);
        Os::DeferredDirSyncs batch;
        for (std::size_t i = 0; i < from.size(); ++i)
            ASSERT_EQ(Os::Rename(from[i], r + N("/to/f", i)), 0);
        EXPECT_EQ(batch.Pending(), 6u);
        ASSERT_EQ(Os::RemoveDir(r + "/up/u0"), 0);
        ASSERT_EQ(Os::RemoveDir(r + "/up/u2/deep/"), 0);
        ASSERT_EQ(Os::RemoveDir(r + "/up/u2"), 0);
        EXPECT_NE(Os::RemoveDir(r + "/up/u1"), 0);  // not empty: its own sync stays
        EXPECT_EQ(disk.Points(), 0u);
        batch.Flush();
    };
    run(0);
    EXPECT_EQ(disk.Points(), 3u) << "to, up and up/u1";
    Reboot();
    ExpectFiles({"/to/f0=x", "/to/f1=x", "/to/f2=x", "/up/u0=<missing>", "/up/u1/f=<missing>",
                 "/up/u2=<missing>", "/up/u1/stays=y"});

    for (std::uint64_t k = 1; k <= 3; ++k) {
        SCOPED_TRACE(N("crash ", k));
        run(k);
        EXPECT_TRUE(disk.Crashed());
        Reboot();
        for (std::size_t i = 0; i < from.size(); ++i) {
            EXPECT_NE(Get(from[i]) == "x", Get(r + N("/to/f", i)) == "x") << from[i];
        }
        for (const char* d : {"/up/u0", "/up/u2/deep"}) {
            if (testutil::Exists(r + d) && !testutil::IsFile(r + d + "/f")) {
                EXPECT_TRUE(testutil::List(r + d, Mirel::kListFiles, 1).empty()) << d;
            }
        }
    }
}

TEST_F(PowerLossTest, EntryChangesAreUndoneWhereLaterRenamesTookTheirFolders) {
    for (const char* d : {"/d/e", "/lg"}) testutil::MakeDirs(r + d);
    for (auto [f, text] : {std::pair{"/d/x", "x"}, {"/d/e/y", "y"}, {"/lg/db", "database"}})
        Put(r + f, text, true);

    disk.Start(r, 6);  // the last point: the rename's source folder
    // Deleted inside a folder then renamed durably: back in the folder under its new name.
    ASSERT_EQ(Os::DeleteFile(r + "/d/x"), 0);
    ASSERT_EQ(Os::DeleteFile(r + "/d/e/y"), 0);
    ASSERT_EQ(Os::RemoveDir(r + "/d/e"), 0);
    ASSERT_EQ(Os::Rename(r + "/d", r + "/renamed"), 0);
    // A hard link never synced, and the original deleted durably: nothing is left.
    ASSERT_EQ(Os::CreateDir(r + "/ip"), 0);
    ASSERT_EQ(Os::HardLink(r + "/lg/db", r + "/ip/db"), 0);
    ASSERT_EQ(Os::DeleteFile(r + "/lg/db"), 0);
    ASSERT_EQ(Os::SyncDir(r + "/lg"), 0);
    // A durable rename makes the creation it builds on durable, its folder never synced.
    Put(r + "/fresh", "fresh", true);
    EXPECT_EQ(Os::RenameDurable(r + "/fresh", r + "/lg/kept"), Mirel::kErrIO);
    EXPECT_EQ(disk.CrashPoint(), "sync folder " + r);

    Reboot();
    ExpectFiles({"/renamed/x=x", "/renamed/e/y=y", "/ip/db=<missing>", "/lg/db=<missing>",
                 "/lg/kept=fresh", "/fresh=<missing>", "/d=<missing>"});
}

TEST_F(PowerLossTest, CrashAtAPointTurnsTheMachineOffBelowTheFolder) {
    TempDir outside;
    // Three files, each written, synced and linked in: six durability points.
    auto workload = [&](std::uint64_t crashAt) {
        Empty();
        disk.Start(r, crashAt);
        int rc = 0;
        for (int i = 0; i < 3; ++i) {
            std::string p = r + N("/f", i);
            int fd = -1;
            rc = Os::OpenWrite(p, true, true, fd);
            if (rc == 0) rc = Os::PWriteAll(fd, "data", 4, 0, p);
            if (rc == 0) rc = Os::SyncFile(fd, p);
            Os::Close(fd);
            if (rc == 0) rc = Os::SyncDir(r);
        }
        PowerLoss::NoCrashScope quiet(disk);
        return Os::SyncDir(r);  // not a point
    };
    workload(0);
    const std::uint64_t points = disk.Points();
    disk.Stop();
    ASSERT_EQ(points, 6u);

    for (std::uint64_t k = 1; k <= points; ++k) {
        SCOPED_TRACE(N("k=", k));
        int last = workload(k);
        ASSERT_TRUE(disk.Crashed());
        EXPECT_EQ(disk.CrashPoint(),
                  k % 2 ? "sync file " + r + N("/f", (k - 1) / 2) : "sync folder " + r);
        // Every later call below the folder fails; elsewhere the machine is not ours.
        EXPECT_EQ(last, Mirel::kErrIO);
        Os::Info info;
        std::vector<Os::DirEntry> entries;
        EXPECT_EQ((std::pair{Os::Stat(r + "/f0", info), Os::ListDir(r, entries)}),
                  std::pair(Mirel::kErrIO + 0, Mirel::kErrIO + 0));
        Put(outside / "free", "y", true);
        EXPECT_EQ(Get(outside / "free"), "y");

        Reboot();
        // Exactly the files whose data and folder entry were both synced survive, whole.
        for (std::uint64_t i = 0; i < 3; ++i)
            EXPECT_EQ(Get(r + N("/f", i)), 2 * i + 2 < k ? "data" : "<missing>") << i;
    }
}

TEST_F(PowerLossTest, SeededLossesLieBetweenTheWorstCaseAndNoLossAndRepeatWithTheirSeed) {
    const std::string durable(2000, 'd');
    // Three overlapping unsynced writes; every sector must end as one of them.
    const std::vector<std::pair<std::uint64_t, std::string>> writes = {
        {100, std::string(1500, '1')}, {900, std::string(1800, '2')}, {0, std::string(700, '3')}};
    // The files and which new files survived ('+') or not ('-').
    auto once = [&](std::uint64_t seed) -> std::pair<std::string, std::string> {
        Empty();
        Put(r + "/db", durable, true);
        disk.Start(r);
        for (const auto& [off, text] : writes) Put(r + "/db", text, false, off, false);
        for (int i = 0; i < 6; ++i) Put(r + N("/n", i), "whole", true);
        Put(r + "/m", std::string(3000, 'm'), false);  // a second file's writes draw on the seed
        std::string final = Get(r + "/db");
        Reboot(PowerLoss::Loss::kSeeded, seed);
        // Byte by byte: the durable content, one of the writes that covered the byte, or a
        // hole (zeros) past the durable end where a later sector was kept.
        std::string got = Get(r + "/db");
        EXPECT_TRUE(got.size() >= durable.size() && got.size() <= final.size()) << got.size();
        for (std::size_t p = 0; p < got.size(); ++p) {
            bool ok = got[p] == (p < durable.size() ? 'd' : '\0');
            for (const auto& [off, text] : writes)
                ok = ok || (p >= off && p < off + text.size() && got[p] == text[0]);
            if (!ok) {
                ADD_FAILURE() << "seed " << seed << " byte " << p << " is " << int(got[p]);
                break;
            }
        }
        std::string fate;
        for (int i = 0; i < 6; ++i) {
            std::string n = Get(r + N("/n", i));
            EXPECT_TRUE(n == "whole" || n == "<missing>") << n;  // a new file is whole or absent
            fate += n == "whole" ? '+' : '-';
        }
        return {got + "|" + Get(r + "/m"), fate};
    };
    std::set<std::string> files, fates;
    for (std::uint64_t seed = 1; seed <= 40 && !HasFailure(); ++seed) {
        auto [got, fate] = once(seed);
        files.insert(got);
        fates.insert(fate);
    }
    // The seed decides: many outcomes, and the same one again for the same seed.
    EXPECT_GT(files.size(), 5u);
    EXPECT_GT(fates.size(), 5u);
    EXPECT_EQ(once(7), once(7));
}

TEST_F(PowerLossTest, EveryKindOfCallMeetsTheFaultSeam) {
    const std::string f = r + "/f";
    Put(f, "0123456789", true);
    Mirel::FaultEnv::Scope disarm(faults);
    int fd = -1;
    faults.Arm(FsOp::kOpenRead, f, Mirel::kErrAccessDenied, 1);
    EXPECT_EQ(Os::OpenRead(f, fd), Mirel::kErrAccessDenied);
    ASSERT_EQ(Os::OpenRead(f, fd), 0);
    char buf[4];
    std::size_t got = 0;
    faults.Arm(FsOp::kRead, f, Mirel::kErrIO, 1);
    EXPECT_EQ(Os::PReadAll(fd, buf, sizeof buf, 0, got, f), Mirel::kErrIO);
    Os::Close(fd);

    faults.Arm(FsOp::kStat, f, Mirel::kErrIO, 1);
    EXPECT_EQ((std::pair{Mirel::File(tmp.File("f")).Exists(), Mirel::File(tmp.File("f")).Exists()}),
              std::pair(false, true));

    faults.Arm(FsOp::kList, r, Mirel::kErrIO, 1);
    std::vector<Mirel::UniversalPath> found;
    Mirel::BuildUniversalPathListFunctor all(found, Mirel::kListFiles, false);
    EXPECT_EQ(Mirel::Directory(tmp.Folder()).ProcessFiles(all, 1).GetError(), Mirel::kErrIO);
    EXPECT_TRUE(found.empty());

    ASSERT_EQ(Os::OpenWrite(f, false, false, fd), 0);
    faults.Arm(FsOp::kTruncate, f, Mirel::kErrDiskFull, 1);
    faults.Arm(FsOp::kLock, f, Mirel::kErrFileLocked, 1);
    EXPECT_EQ((std::tuple{Os::Truncate(fd, 100, f), Os::Lock(fd, f), Os::Lock(fd, f)}),
              std::make_tuple(Mirel::kErrDiskFull + 0, Mirel::kErrFileLocked + 0, 0));
    Os::Close(fd);
    EXPECT_EQ(Get(f), "0123456789");  // nothing reached the disk

    faults.Arm(FsOp::kStat, r, Mirel::kErrIO, 1);
    const Mirel::Directory d(tmp.Folder());
    EXPECT_EQ((std::pair{d.IsWriteable(true), d.IsWriteable(true)}), std::pair(false, true));
}

TEST_F(PowerLossTest, CopiesAndAFolderRenameAreWholeOrAbsentAtEveryPoint) {
    const std::string a(3000, 'A'), b(5000, 'B'), c(3000, 'C');
    // Link and copy into a new folder, the link made private and rewritten, another link, and
    // the folder renamed into place.
    auto workload = [&](std::uint64_t crashAt) {
        Empty();
        testutil::MakeDirs(r + "/LG");
        Put(r + "/LG/db", a, true);
        Put(r + "/LG/db2", b, true);
        Os::SyncDir(r + "/LG");
        disk.Start(r, crashAt);
        Mirel::Directory ip(tmp.Folder("IP"));
        Mirel::File link(tmp.File("IP/db"));
        if (!ip.CreateIfNotExists().OK() || !link.MakeHardLink(tmp.File("LG/db")).OK() ||
            !Mirel::File(tmp.File("LG/db2")).Copy(tmp.File("IP/db2")).OK() ||
            !link.Copy(tmp.File("IP/db.tmp")).OK() ||
            !Mirel::File(tmp.File("IP/db.tmp")).ReplaceFile(tmp.File("IP/db")).OK())
            return;
        int fd = -1;
        if (Os::OpenWrite(r + "/IP/db", false, false, fd) != 0) return;
        int rc = Os::PWriteAll(fd, c.data(), c.size(), 0, r + "/IP/db");
        if (rc == 0) rc = Os::SyncFile(fd, r + "/IP/db");
        Os::Close(fd);
        // A database nobody writes stays a hard link; only the rename makes it durable.
        if (rc == 0)
            rc = Mirel::File(tmp.File("IP/db3")).MakeHardLink(tmp.File("LG/db2")).GetError();
        if (rc == 0) ip.Rename(u"LG2");
    };
    workload(0);
    const std::uint64_t points = disk.Points();
    disk.Stop();
    ASSERT_TRUE(Get(r + "/LG2/db") == c);
    ASSERT_GE(points, 6u);

    auto whole = [&](const std::string& rel, const std::string& want, bool orMissing) {
        std::string got = Get(r + rel);
        EXPECT_TRUE(got == want || (orMissing && got == "<missing>")) << rel;
    };
    for (std::uint64_t k = 1; k <= points + 1; ++k) {
        for (std::uint64_t seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE(N("crash ", k) + N(" seed ", seed));
            workload(k);
            Reboot(seed ? PowerLoss::Loss::kSeeded : PowerLoss::Loss::kWorst, k * 10 + seed);
            // What the new folder was built from never changes.
            whole("/LG/db", a, false);
            whole("/LG/db2", b, false);
            // Complete under its final name; before, each copy whole or absent.
            if (testutil::IsDir(r + "/LG2")) {
                EXPECT_FALSE(testutil::Exists(r + "/IP"));
                whole("/LG2/db", c, false);
                whole("/LG2/db2", b, false);
                whole("/LG2/db3", b, false);
            } else if (testutil::IsDir(r + "/IP")) {
                whole("/IP/db2", b, true);
                whole("/IP/db.tmp", a, true);
            }
            if (HasFailure()) return;
        }
    }
}
