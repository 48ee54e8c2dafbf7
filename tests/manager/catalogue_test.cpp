// The catalogue's intake, uploads, verification and in-progress copies, and the cycle on real
// folders: an abort mid-interval, the modes and container folders of copies.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>
#include <tuple>

#include "platform/framework/Manifest.h"
#include "platform/support/File.h"
#include "tests/manager/Files.h"
#include "tests/manager/ManagerFixture.h"

using Mirel::unistring;
using namespace testutil;

TEST_F(ManagerTest, RedoLogsLandInTheIntervalTheyEndIn) {
    const std::uint64_t e1 = 1800000000000000ull, e2 = e1 + 600000000;
    std::string r1 = backup() + "/Changes/Redo_1", r2 = backup() + "/Changes/Redo_2";
    // Logs collected in the open interval move with the first interval-done file.
    ASSERT_EQ(Ready(WriteLog(r1, "a1.vrl", kA, 1, 2, e1 - 5), kA), 0);
    ASSERT_EQ(Ready(WriteDone(r1, e1, {U(kB)}, "intervaldone.VID")), 0);
    ASSERT_EQ(Ready(WriteDone(r2, e2, {})), 0);
    ASSERT_EQ(Ready(WriteLog(r1, "a2.vrl", kA, 2, 3, e1), kA), 0);
    ASSERT_EQ(Ready(WriteLog(r2, "a3.vrl", kA, 3, 4, e1 + 1), kA), 0);
    std::string late = WriteLog(r2, "a4.vrl", kA, 4, 5, e2 + 1);
    ASSERT_EQ(Ready(late, kA), 0);
    ASSERT_EQ(Ready(late, kA), 0);  // announced twice: kept once
    // An interval-done file for an end that exists only changes its path.
    std::string again = WriteDone(backup() + "/Changes/Redo_3", e2, {U(kA)});
    ASSERT_EQ(Ready(again), 0);

    mgr->WithCatalogue([&](IntervalMap& intervals) {
        ASSERT_EQ(intervals.size(), 3u);
        // a1 (handed over) and a2; the list of a repeated end is not used.
        const DatabaseItem &a1 = intervals.at(e1).databases.at(U(kA)),
                           &a2 = intervals.at(e2).databases.at(U(kA));
        EXPECT_EQ(std::make_tuple(a1.logs.size(), a1.pfailed, a2.logs.size(), a2.pfailed),
                  std::make_tuple(2u, false, 1u, false));
        EXPECT_TRUE(intervals.at(e1).databases.at(U(kB)).pfailed);
        EXPECT_EQ(intervals.at(e2).donePath.Native(), again);
        const auto& open = intervals.at(kOpenInterval).databases.at(U(kA)).logs;
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(open.begin()->endUTC, e2 + 1);
    });
    std::string outside = WriteLog(tmp / "elsewhere", "x.vrl", kA, 5, 6, e2 + 9);
    EXPECT_EQ(Ready(outside, kA), Mirel::kErrFileNotTaken);
    EXPECT_TRUE(IsFile(outside));
}

TEST_F(ManagerTest, UploadsReplaceUploadsAndVerificationFindsCopies) {
    sim::Workload server(backup(), Options(5, 1), announcer);
    ASSERT_TRUE(server.Upload(0));
    std::string first = backup() + "/Copies/upload-5-1/db0.vdb";
    ASSERT_TRUE(IsFile(first));
    ASSERT_EQ(server.WriteIntervalLogs(), 0);  // the model moves on; a newer full copy follows
    ASSERT_TRUE(server.Upload(0));
    EXPECT_FALSE(Exists(backup() + "/Copies/upload-5-1"));
    unistring uuid = U(server.Db(0).UuidText());
    mgr->WithCatalogue([&](IntervalMap& intervals) {
        const DatabaseItem& item = intervals.at(kOpenInterval).databases.at(uuid);
        EXPECT_TRUE(item.upload && item.file.msn == server.Db(0).MSN());
    });
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db0", uuid, server.Db(0).MSN(), false), 0);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db0", uuid, server.Db(0).MSN() + 1000, false),
              Mirel::kErrNoFullBackup);
    // Containers required: none exist beside the copy yet.
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db0", uuid, server.Db(0).MSN(), true),
              Mirel::kErrNoFullBackup);
    MakeDirs(backup() + "/Copies/upload-5-2/db0.vdb.rc");
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db0", uuid, server.Db(0).MSN(), true), 0);
}

TEST_F(ManagerTest, InProgressCopiesAndTheirFailurePaths) {
    const auto path = [](const std::string& p) { return Mirel::UniversalPath::FromNative(p); };
    const std::string lg = backup() + "/LastGood_2026-01-01_0000", ip = backup() + "/InProgress";
    WriteDb(lg + "/a/b/db.vdb", kA, 7, 0);
    MakeDirs(lg + "/a/b/db.vdb.rc");
    WriteFile(lg + "/a/b/db.vdb.rc/c1", "container");
    DatabaseItem item(path("a/b/db.vdb"), U(kA), 7, false, true);
    const auto lgPath = Mirel::UniversalPath::Folder(lg);
    const auto links = [&] { return Mirel::File(path(ip + "/a/b/db.vdb")).GetHardLinkCount(); };
    using Kind = Mirel::ErrorKind;

    ASSERT_TRUE(mgr->Cycle().MakeInProgressHardLinks(item, lgPath, true).OK());
    EXPECT_EQ(links(), 2u);
    EXPECT_EQ(ReadFile(ip + "/a/b/db.vdb.rc/c1"), "container");
    faults.Arm(Mirel::FsOp::kDeleteFile, ip + "/a/b/db.vdb", Mirel::kErrFileLocked, 1);
    Mirel::Error e = mgr->Cycle().MakeInProgressHardLinks(item, lgPath, true);
    EXPECT_EQ(e.GetError(), Mirel::kErrFileLocked);
    // No hard links here: a private copy takes their place.
    faults.Arm(Mirel::FsOp::kHardLink, ip + "/*", Mirel::kErrLinkNotSupported);
    ASSERT_TRUE(mgr->Cycle().MakeInProgressHardLinks(item, lgPath, true).OK());
    EXPECT_EQ(links(), 1u);
    faults.Clear();

    // A folder not made cuts the start short, but a database's own folder gone fails it alone.
    for (const auto& [at, error, kind] :
         {std::tuple<std::string, int, Kind>{ip + "/a/b", Mirel::kErrPathNotFound, Kind::kData},
          {ip + "/a/b", Mirel::kErrAccessDenied, Kind::kEnvironment},
          {ip, Mirel::kErrPathNotFound, Kind::kEnvironment}}) {
        Mirel::Directory(Mirel::UniversalPath::Folder(ip)).DeleteAll();
        faults.Arm(Mirel::FsOp::kCreateDir, at, error, 1);
        e = mgr->Cycle().MakeInProgressHardLinks(item, lgPath, true);
        EXPECT_EQ(std::pair(e.GetError(), e.Kind()), std::pair(error, kind)) << at;
    }
    faults.Clear();

    // An upload at X/sub/db.vdb lands as sub/db.vdb with its containers, and X goes.
    const std::string up = backup() + "/Copies/X/sub";
    WriteDb(up + "/up.vdb", kB, 3, 0);
    MakeDirs(up + "/up.vdb.rc");
    WriteFile(up + "/up.vdb.rc/c1", "container");
    DatabaseItem upload(path(up + "/up.vdb"), u"x", 3, true, true);
    ASSERT_TRUE(mgr->Cycle().MoveUploadToInProgress(upload).OK());
    EXPECT_EQ(upload.file.path.GetUserEntryFormat(), unistring(u"sub/up.vdb"));
    EXPECT_FALSE(upload.upload);
    EXPECT_TRUE(IsFile(ip + "/sub/up.vdb"));
    EXPECT_EQ(ReadFile(ip + "/sub/up.vdb.rc/c1"), "container");
    EXPECT_FALSE(Exists(backup() + "/Copies/X"));

    // Renaming to last-good: an end with no time stamp leaves the folder in place.
    Interval bad(Mirel::UniversalPath(), UINT64_MAX - 1);
    EXPECT_EQ(mgr->Cycle().RenameInProgressToLastGood(bad).GetError(), -1);
    EXPECT_TRUE(IsDir(ip));
    Interval good(Mirel::UniversalPath(),
                  1767312000000000ull + 59999999);  // 2026-01-02 00:00:59.99
    ASSERT_TRUE(mgr->Cycle().RenameInProgressToLastGood(good).OK());
    EXPECT_TRUE(IsDir(backup() + "/LastGood_2026-01-02_0000"));
    EXPECT_EQ(good.backup.GetChildName(), unistring(u"LastGood_2026-01-02_0000"));
    EXPECT_TRUE(mgr->Cycle().RenameInProgressToLastGood(good).OK());  // nothing to rename
}

TEST_F(ManagerTest, PlantedLinksNeverLeadOutOfTheBackupFolder) {
    TempDir outside;
    WriteFile(outside / "precious.vdb", "keep");
    ASSERT_EQ(
        ::symlink((outside / "precious.vdb").c_str(), (backup() + "/Copies/link.vdb").c_str()), 0);
    EXPECT_FALSE(Up(backup() + "/Copies/link.vdb", kA));
    mgr->ScanFullBackupDB();
    // The copies folder replaced by a link under the service: the wipe removes the link.
    Mirel::Directory(Mirel::UniversalPath::Folder(backup() + "/Copies")).DeleteAll();
    ASSERT_EQ(::symlink(outside.path().c_str(), (backup() + "/Copies").c_str()), 0);
    EXPECT_EQ(mgr->SetBackupFolder(u""), 1);
    EXPECT_FALSE(Exists(backup() + "/Copies"));
    EXPECT_EQ(ReadFile(outside / "precious.vdb"), "keep");
    // Set-up refuses such a folder; never in service, it is left as it is.
    ASSERT_EQ(::symlink(outside.path().c_str(), (backup() + "/Copies").c_str()), 0);
    EXPECT_FALSE(mgr->In().SetupFolders(Mirel::Directory(Mirel::UniversalPath::Folder(backup()))));
    EXPECT_FALSE(mgr->FoldersReady());
    EXPECT_EQ(mgr->SetBackupFolder(u""), 1);
    EXPECT_TRUE(Mirel::Os::Stat(backup() + "/Copies").isLink);
    EXPECT_EQ(ReadFile(outside / "precious.vdb"), "keep");
    EXPECT_EQ(mgr->SetBackupFolder(u"relative/path"), 0);
}

TEST_F(ManagerTest, UnchainedLogsAreDropped) {
    MakeDirs(backup() + "/Changes/Redo_9");
    DatabaseItem item;
    auto add = [&](const char* name, std::uint64_t start, std::uint64_t msn, std::uint64_t end,
                   bool closed) {
        std::string p = WriteLog(backup() + "/Changes/Redo_9", name, kA, start, msn, end);
        item.logs.insert(FileInfo(Mirel::UniversalPath::FromNative(p), msn, start, end, closed));
        return p;
    };
    std::string p10 = add("l10.vrl", 1, 2, 10, true);
    std::string p20 = add("l20.vrl", 5, 6, 20, false);  // does not continue the closed log
    std::string p30 = add("l30.vrl", 6, 7, 30, false);
    mgr->Cycle().RemoveUnchainedLogs(item);
    ASSERT_EQ(item.logs.size(), 2u);
    EXPECT_EQ(item.logs.begin()->endUTC, 20u);
    EXPECT_FALSE(Exists(p10));
    EXPECT_TRUE(IsFile(p20));
}

TEST_F(ManagerTest, AnnouncementsWhileTheCatalogueIsWalked) {
    sim::WorkloadOptions opt = Options(31, 6);
    std::atomic<bool> done{false};
    std::thread walker([&] {
        while (!done.load()) {
            mgr->Cat().DumpIntervals();
            mgr->In().FindDatabase(u"nothing", 1, false);
            mgr->Cat().AnyWorkerBusy();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&, t] {
            sim::WorkloadOptions o = opt;
            o.seed = opt.seed + static_cast<std::uint64_t>(t);
            o.databases = 2;
            DirectAnnouncer a{mgr};
            sim::Workload w(backup(), o, a);
            EXPECT_TRUE(w.Upload());
            for (int i = 0; i < 3; ++i) EXPECT_EQ(w.WriteIntervalLogs(), 0);
        });
    }
    for (auto& w : writers) w.join();
    done = true;
    walker.join();
    int dbs = 0;
    mgr->WithCatalogue([&](IntervalMap& intervals) {
        dbs = static_cast<int>(intervals.at(kOpenInterval).databases.size());
    });
    EXPECT_EQ(dbs, 6);
}

// A redo folder without its interval-done file goes only with an interval its name says it
// started in: one the server may still be writing stays.
TEST_F(ManagerTest, ARedoFolderWithoutItsIntervalDoneFileGoesOnlyWithAnIntervalItStartedIn) {
    const std::uint64_t end = 1800000060000000ull;
    const std::string changes = backup() + "/Changes/";
    auto folder = [&](const std::string& name) {
        MakeDirs(changes + name);
        return Mirel::UniversalPath::Folder(changes + name);
    };
    Catalogue& cat = mgr->Cat();
    for (const auto& [stays, at] : {std::pair{"Redo_1800000060000001", end},
                                    {"Redo_1800000060000000", end},
                                    {"Redo_next", end},
                                    {"Redo_1800000059999999", std::uint64_t{0}}}) {
        EXPECT_FALSE(cat.DeleteIntervalIfEmpty(folder(stays), at)) << stays;
        EXPECT_TRUE(IsDir(changes + stays)) << stays;
    }
    // Started before the end, empty: that interval's, and it goes.
    EXPECT_TRUE(cat.DeleteIntervalIfEmpty(folder("Redo_1800000059999999"), end));
    EXPECT_FALSE(Exists(changes + "Redo_1800000059999999"));
    // With a log in it, it stays all the same.
    const Mirel::UniversalPath withLog = folder("Redo_1800000000000000");
    WriteFile(changes + "Redo_1800000000000000/l.vrl", "a log being written");
    EXPECT_FALSE(cat.DeleteIntervalIfEmpty(withLog, end));
    EXPECT_TRUE(IsFile(changes + "Redo_1800000000000000/l.vrl"));
}

namespace {

class CopyFolderTest : public ManagerTest {
protected:
    // Interval k, with A's log when `withLog` (announced with `containers`).
    void Interval(int k, bool withLog = false, bool containers = true) {
        constexpr std::uint64_t kEnd = 1800000000000000ull, kStep = 120000000ull;
        const std::string redo = backup() + "/Changes/Redo_" + std::to_string(k);
        if (withLog) {
            const std::string log = WriteLog(redo, "a.vrl", kA, k + 1, k + 2, kEnd + k * kStep);
            ASSERT_EQ(mgr->RedoLogIsReady(U(log), U(kA), containers), 0);
        }
        const std::string done = WriteDone(redo, kEnd + k * kStep + 1, {});
        ASSERT_EQ(Ready(done), 0);
        Settle();
    }
};

}  // namespace

// Every copy in a last-good folder is rw-r----- for the service, whatever its source's mode.
TEST_F(CopyFolderTest, CopiesGetTheServicesModeAndGroupWhateverTheirSourceHad) {
    const Mirel::Os::Ownership own = Talon::IBS_Config::ServiceCopyOwnership();
    // The newest copy's mode and owners, then its mode set to `set`.
    auto mode = [&](unsigned set) {
        const std::string path = NewestLastGood(backup()) + "/db.vdb";
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_EQ(::chmod(path.c_str(), set), 0);
        return std::tuple(st.st_mode & 07777, st.st_uid, st.st_gid);
    };
    const auto want = std::tuple(0640u, own.uid, own.gid);
    const std::string upload = WriteDb(backup() + "/Copies/u/db.vdb", kA, 1);
    ASSERT_EQ(::chmod(upload.c_str(), 0666), 0);
    ASSERT_TRUE(Up(upload, kA));
    Interval(0, true);
    // Each copy's mode is set to another before the next interval, as an earlier version left.
    EXPECT_EQ(mode(0666), want) << "the upload moved in";
    Interval(1, true);
    EXPECT_EQ(mode(0606), want) << "the private copy";
    Interval(2);
    EXPECT_EQ(mode(0604), want) << "the hard link";
    auto disarm =
        Fault(Mirel::FsOp::kHardLink, backup() + "/InProgress/*", Mirel::kErrLinkNotSupported);
    Interval(3);
    EXPECT_EQ(mode(0640), want) << "the copy for a link";
}

namespace {

namespace fs = std::filesystem;

using RetentionTest = ManagerTest;

}  // namespace

// A folder a stop left with only its manifest, or empty, is removed by the next interval.
TEST_F(RetentionTest, AFolderAStopLeftWithOnlyItsManifestOrNothingGoesAfterARestart) {
    sim::WorkloadOptions opt = Options(43, 2);
    sim::Workload server(backup(), opt, announcer);
    ASSERT_TRUE(server.Upload());
    ASSERT_NO_FATAL_FAILURE(Intervals(server, 4));
    const Talon::BackupFolder lastGood(u"LastGood");
    const auto backupPath = Mirel::UniversalPath::Folder(backup());
    ASSERT_EQ(lastGood.GetList(backupPath).size(), 2u);
    const std::string oldest = lastGood.GetList(backupPath)[0].GetPath().Native();
    for (const auto& e : fs::directory_iterator(oldest))
        if (e.path().filename() != Talon::Manifest::sFileName) fs::remove_all(e.path());
    // An empty one, and an older one the catalogue holds nothing of any more (its logs long gone).
    auto made = [&](std::uint64_t before) {
        const std::uint64_t end = server.IntervalEnds()[0] - before;
        const std::string f =
            backup() + "/LastGood_" + Talon::BackupFolder::MakeTimestamp(end).ToUTF8();
        fs::create_directory(f);
        return std::pair(f, Mirel::Directory(Mirel::UniversalPath::Folder(f)));
    };
    const std::string empty = made(60000000).first;
    const auto [manifestOnly, withManifest] = made(120000000);
    ASSERT_TRUE(Talon::Manifest::Write(withManifest, server.IntervalEnds()[0] - 120000000).OK());
    WriteFile(backup() + "/someone-else.txt", "mine");

    Rebuild();
    ASSERT_NO_FATAL_FAILURE(Intervals(server, 1));
    for (const std::string& f : {oldest, empty, manifestOnly}) EXPECT_FALSE(fs::exists(f)) << f;
    EXPECT_EQ(lastGood.GetList(backupPath).size(), 2u);
    EXPECT_EQ(ReadFile(backup() + "/someone-else.txt"), "mine");
    EXPECT_EQ(server.VerifyAll(), "");
}

// Uploads in one folder (their container folders come from one listing) take exactly their own
// container folders, one announced without containers none; so do their linked copies, each start.
TEST_F(CopyFolderTest, CopiesTakeExactlyTheirOwnContainerFolders) {
    const std::string folder = backup() + "/Copies/many";
    auto container = [](int i) { return "container of " + std::to_string(i); };
    for (int i = 0; i < 12; ++i) {
        char uuid[40];
        std::snprintf(uuid, sizeof uuid, "22222222-2222-4222-8222-%012d", i);
        const std::string upload = WriteDb(folder + "/sub/d" + std::to_string(i) + ".vdb", uuid, 1);
        if (i % 3 != 0) {
            MakeDirs(upload + ".rc");
            WriteFile(upload + ".rc/c", container(i));
        }
        ASSERT_TRUE(Up(upload, uuid));
    }
    const std::string a = WriteDb(folder + "/sub/a.vdb", kA, 1);
    MakeDirs(a + ".rc");
    WriteFile(a + ".rc/c", "not the database's");
    ASSERT_TRUE(Up(a, kA));
    // 0 moves the uploads in (A's log without containers), 1 and 2 link them; d0 gains a
    // container folder after each.
    std::string previous;
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        Interval(k, k == 0, false);
        const std::string lg = NewestLastGood(backup());
        ASSERT_NE(lg, previous);
        previous = lg;
        EXPECT_TRUE(IsFile(lg + "/sub/a.vdb"));
        EXPECT_FALSE(Exists(lg + "/sub/a.vdb.rc"));
        EXPECT_FALSE(Exists(folder));
        for (int i = 0; i < 12; ++i) {
            const std::string copy = lg + "/sub/d" + std::to_string(i) + ".vdb";
            EXPECT_TRUE(IsFile(copy)) << i;
            if (i % 3 != 0 || (i == 0 && k > 0)) {
                EXPECT_EQ(ReadFile(copy + ".rc/c"), container(i)) << i;
            } else {
                EXPECT_FALSE(Exists(copy + ".rc")) << i;
            }
        }
        MakeDirs(lg + "/sub/d0.vdb.rc");
        WriteFile(lg + "/sub/d0.vdb.rc/c", container(0));
    }
}
