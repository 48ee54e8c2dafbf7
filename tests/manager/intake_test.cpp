// What the service takes, what it leaves where it is, and what a folder change may delete.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "platform/framework/Manifest.h"
#include "platform/support/Env.h"
#include "tests/manager/Files.h"
#include "tests/manager/ManagerFixture.h"

using Mirel::unistring;
using namespace testutil;

namespace {

constexpr std::uint64_t kEnd = 1800000000000000ull;

// What a file or folder holds, links included, so a test can say "untouched".
std::string Fingerprint(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        return "link to " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return S_ISDIR(st.st_mode) ? "folder:" + Snapshot(path) : "file " + ReadFile(path);
}

// `path` moved to `aside`, a link to `target` in its place.
void SwapForLink(const std::string& path, const std::string& aside, const std::string& target) {
    ASSERT_EQ(std::rename(path.c_str(), aside.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
}

// The MSNs of the logs in the catalogue, in order.
std::vector<std::uint64_t> TakenMsns(IBSMgr* mgr) {
    std::vector<std::uint64_t> msns;
    mgr->WithCatalogue([&](IntervalMap& intervals) {
        for (const auto& [end, interval] : intervals)
            for (const auto& [uuid, item] : interval.databases)
                for (const FileInfo& log : item.logs) msns.push_back(log.msn);
    });
    std::sort(msns.begin(), msns.end());
    return msns;
}

}  // namespace

TEST_F(ManagerTest, RedoLogIsReadyMovesNothingButARegularFileOfARedoFolder) {
    Events events;
    TempDir outside;
    WriteFile(outside / "precious.txt", "mine");
    std::string redo = backup() + "/Changes/Redo_1";
    std::string good = WriteLog(redo, "a.vrl", kA, 1, 2, kEnd - 5);
    std::string lg = backup() + "/LastGood_2026-01-01_0000";
    WriteDb(lg + "/db.vdb", kA, 1);
    ASSERT_EQ(::symlink((outside / "precious.txt").c_str(), (redo + "/link.vrl").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), (backup() + "/Changes/Redo_9").c_str()), 0);
    WriteFile(outside / "inside.vrl", "not a log");
    WriteDone(backup() + "/Changes", kEnd, {});  // directly in Changes/, not in a redo folder

    const std::vector<std::string> hostile = {
        lg,                                       // the newest last-good folder
        backup() + "/Changes",                    // the changes folder with its accepted logs
        redo,                                     // a redo folder
        outside / "precious.txt",                 // someone's file elsewhere
        redo + "/link.vrl",                       // a link in a redo folder
        backup() + "/Changes/Redo_9/inside.vrl",  // through a redo folder that is a link
        backup() + "/Changes/IntervalDone.vid",   // an interval-done file outside a redo folder
        backup() + "/Copies",                     // the copies folder
        backup() + "/Changes/Redo_1/missing.vrl",
    };
    auto all = [&] {
        std::string s = Fingerprint(outside.path()) + "\n";
        for (const auto& p : hostile) s += p + ": " + Fingerprint(p) + "\n";
        return s + (Exists(backup() + "/Rejected") ? "Rejected/" : "");
    };
    const std::string before = all();
    for (const auto& p : hostile) {
        EXPECT_EQ(Ready(p, kA), Mirel::kErrFileNotTaken) << p;
        EXPECT_EQ(Ready(p), Mirel::kErrFileNotTaken) << p;
    }
    EXPECT_EQ(all(), before);
    EXPECT_EQ(events.Count(0x41000328), 0);
    EXPECT_EQ(mgr->RedoLogIsReady(u"relative/a.vrl", U(kA), true), Mirel::kErrBadPathFormat);

    // The second guard: set-aside itself refuses anything but a file of the changes folder.
    for (const auto& p : {Mirel::UniversalPath::Folder(lg),
                          Mirel::UniversalPath::FromNative(outside / "precious.txt"),
                          Mirel::UniversalPath::FromNative(redo + "/link.vrl")})
        mgr->Cat().MoveInvalidRedo(p, true);
    EXPECT_EQ(all(), before);

    EXPECT_EQ(Ready(good, kA), 0);
}

// An announced log swapped for a link while it is taken is never read through the link.
TEST_F(ManagerTest, ALogSwappedWhileItIsTakenIsNeverReadThroughALink) {
    TempDir outside;
    const std::string changes = backup() + "/Changes";
    WriteLog(outside.path(), "a.vrl", kA, 1, 3, kEnd - 4);
    WriteLog(outside / "dir", "b.vrl", kA, 1, 4, kEnd - 3);
    const std::string outsideBefore = Fingerprint(outside.path());
    const std::string log = WriteLog(changes + "/Redo_1", "a.vrl", kA, 1, 2, kEnd - 5);
    const std::string log2 = WriteLog(changes + "/Redo_2", "b.vrl", kA, 1, 2, kEnd - 5);
    // The log itself becomes a link to a sound log elsewhere: refused as a link is.
    swapBeforeUse.Set(log, [&] { SwapForLink(log, changes + "/Redo_1/moved", outside / "a.vrl"); });
    EXPECT_EQ(Ready(log, kA), Mirel::kErrFileNotTaken);
    EXPECT_TRUE(swapBeforeUse.Swapped() && TakenMsns(mgr).empty());
    EXPECT_EQ(Fingerprint(log), "link to " + (outside / "a.vrl"));
    EXPECT_FALSE(Exists(backup() + "/Rejected"));
    // Its redo folder swapped for a link: the log of the folder checked is read.
    swapBeforeUse.Set(
        log2, [&] { SwapForLink(changes + "/Redo_2", changes + "/Redo_2x", outside / "dir"); });
    EXPECT_EQ(Ready(log2, kA), 0);
    EXPECT_TRUE(swapBeforeUse.Swapped());
    EXPECT_EQ(TakenMsns(mgr), std::vector<std::uint64_t>{2});
    EXPECT_EQ(Fingerprint(outside.path()), outsideBefore);
}

// A redo folder kept open is used again only while its path still names it, without a link.
TEST_F(ManagerTest, AKeptRedoFolderIsUsedAgainOnlyWhileItsPathStillNamesIt) {
    TempDir outside;
    const std::string changes = backup() + "/Changes", redo = changes + "/Redo_1";
    EXPECT_EQ(Ready(WriteLog(redo, "a.vrl", kA, 1, 2, kEnd - 9), kA), 0);

    // Moved away, a link in its place: not taken through the link.
    WriteLog(redo, "b.vrl", kA, 2, 3, kEnd - 8);
    WriteLog(outside / "dir", "b.vrl", kA, 2, 3, kEnd - 8);
    SwapForLink(redo, changes + "/Redo_1x", outside / "dir");
    const std::string outsideBefore = Fingerprint(outside.path());
    EXPECT_EQ(Ready(redo + "/b.vrl", kA), Mirel::kErrFileNotTaken);
    EXPECT_EQ(Fingerprint(outside.path()), outsideBefore);

    // A real folder made again under the name: its log is found there.
    ASSERT_EQ(::unlink(redo.c_str()), 0);
    EXPECT_EQ(Ready(WriteLog(redo, "c.vrl", kA, 2, 3, kEnd - 7), kA), 0);
    // Removed and made again between two announcements (it may even get the old inode number).
    ASSERT_EQ(std::rename((redo + "/c.vrl").c_str(), (outside / "c.vrl").c_str()), 0);
    ASSERT_EQ(::rmdir(redo.c_str()), 0);
    EXPECT_EQ(Ready(WriteLog(redo, "d.vrl", kA, 3, 4, kEnd - 6), kA), 0);

    // The changes folder swapped for a link to itself: nothing taken through it.
    WriteLog(redo, "e.vrl", kA, 4, 5, kEnd - 5);
    SwapForLink(changes, backup() + "/Changes2", backup() + "/Changes2");
    EXPECT_EQ(Ready(redo + "/e.vrl", kA), Mirel::kErrFileNotTaken);
    EXPECT_EQ(TakenMsns(mgr), (std::vector<std::uint64_t>{2, 3, 4}));
}

TEST_F(ManagerTest, UnsoundFilesAreSetAsideWithTheirReason) {
    std::string redo = backup() + "/Changes/Redo_1";
    // A log of A announced as M's: taken under M it would never be applied to A.
    std::string wrong = WriteLog(redo, "a.vrl", kA, 1, 2, kEnd - 5);
    EXPECT_EQ(Ready(wrong, kC), Mirel::kErrLogWrongDatabase);
    EXPECT_TRUE(IsFile(backup() + "/Rejected/a.vrl"));
    // The same database in upper case is the same database.
    std::string upper = WriteLog(redo, "b.vrl", kA, 1, 2, kEnd - 4);
    std::string shouted = kA;
    for (auto& c : shouted) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(Ready(upper, shouted), 0);
    // Interval ends no last-good folder can name stop every later interval: invalid.
    for (std::uint64_t end : {std::uint64_t{0}, Talon::IBS_Config::kEndOfTime}) {
        std::string done =
            WriteDone(backup() + "/Changes/Redo_" + std::to_string(end + 2), end, {});
        EXPECT_EQ(Ready(done), Mirel::kErrInvalidFile) << end;
        EXPECT_FALSE(Exists(done));
    }
    // A log with records that leaves the MSN where it is would never be applied.
    EXPECT_EQ(Ready(WriteLog(redo, "still.vrl", kA, 5, 5, kEnd - 3, false, true), kA),
              Mirel::kErrInvalidFile);
    // A file that is not named as a redo log is not one the scan would find again.
    WriteFile(redo + "/notes.txt", "x");
    EXPECT_EQ(Ready(redo + "/notes.txt", kA), Mirel::kErrFileNotTaken);
    EXPECT_TRUE(IsFile(redo + "/notes.txt"));
    const std::string reasons = ReadFile(backup() + "/Rejected/reasons.tsv");
    for (const char* line : {"a.vrl\t10720\t", "IntervalDone.vid\t10709\t", "still.vrl\t10709\t"})
        EXPECT_NE(reasons.find(line), std::string::npos) << reasons;
}

TEST_F(ManagerTest, UploadsAreWholeRegularDatabaseFilesOfTheCopiesFolder) {
    Events events;
    TempDir outside;
    WriteDb(outside / "db.vdb", kA, 1);
    const std::string outsideBefore = Fingerprint(outside.path());
    ASSERT_EQ(::symlink(outside.path().c_str(), (backup() + "/Copies/evil").c_str()), 0);
    EXPECT_FALSE(Up(backup() + "/Copies/evil/db.vdb", kA));
    EXPECT_FALSE(Up(outside / "db.vdb", kA));
    // Not a database file name, a truncated copy, another database than announced.
    WriteDb(backup() + "/Copies/u1/db.bin", kA, 1);
    EXPECT_FALSE(Up(backup() + "/Copies/u1/db.bin", kA));
    std::string cut = WriteDb(backup() + "/Copies/u2/db.vdb", kA, 1, 70);
    ASSERT_EQ(::truncate(cut.c_str(), 20 * 512), 0);
    EXPECT_FALSE(Up(cut, kA));
    std::string other = WriteDb(backup() + "/Copies/u3/db.vdb", kC, 1);
    EXPECT_FALSE(Up(other, kA));
    EXPECT_EQ(events.Count(0x41000313), 5);
    EXPECT_TRUE(Up(WriteDb(backup() + "/Copies/u4/db.VDB", kA, 1), kA));
    // Nothing of the refused files moved, and a whole interval never touches the outside.
    std::string done = WriteDone(backup() + "/Changes/Redo_1", kEnd, {});
    ASSERT_EQ(Ready(done), 0);
    Settle();
    EXPECT_TRUE(IsFile(backup() + "/Copies/u1/db.bin"));
    EXPECT_TRUE(IsFile(cut));
    EXPECT_EQ(Fingerprint(outside.path()), outsideBefore);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db", U(kA), 1, false), 0);
}

TEST_F(ManagerTest, TheScanKeepsWhatTheServerIsWritingAndWhatItAnnounced) {
    ASSERT_TRUE(Up(WriteDb(backup() + "/Copies/u/db.vdb", kA, 10), kA));
    // A log whose header is not written yet (the server writes it last).
    std::string redo = backup() + "/Changes/Redo_1";
    MakeDirs(redo);
    WriteFile(redo + "/being-written.vrl", std::string(700, '\0'));
    // A taken tag that is no valid header does not make it a taken log.
    const std::string junk(128, 'x');
    const bool tags = ::setxattr((redo + "/being-written.vrl").c_str(), "user.vellumark.taken",
                                 junk.data(), junk.size(), 0) == 0;
    Rebuild();
    EXPECT_TRUE(IsFile(redo + "/being-written.vrl"));
    EXPECT_FALSE(Exists(backup() + "/Rejected"));
    std::string log = WriteLog(redo, "a.vrl", kA, 10, 11, kEnd - 5);
    // A tag that cannot be set does not refuse the log; one taken is tagged.
    faults.Arm(Mirel::FsOp::kTag, log, Mirel::kErrDiskFull, 1);
    ASSERT_EQ(Ready(log, kA), 0);
    char tag[256];
    EXPECT_LT(::getxattr(log.c_str(), "user.vellumark.taken", tag, sizeof tag), 0);
    ASSERT_EQ(Ready(log, kA), 0);
    if (tags) {
        EXPECT_EQ(::getxattr(log.c_str(), "user.vellumark.taken", tag, sizeof tag), 52);
    }
    ASSERT_EQ(Ready(WriteDone(redo, kEnd, {})), 0);
    Settle();
    EXPECT_EQ(Err(kA), 0);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db", U(kA), 11, false), 0);
    EXPECT_TRUE(Exists(backup() + "/Copies") &&
                Mirel::Directory(Mirel::UniversalPath::Folder(backup() + "/Copies")).IsEmpty());
    // When it is announced, a log that never got its header is judged, and set aside.
    EXPECT_EQ(Ready(redo + "/being-written.vrl", kA), Mirel::kErrInvalidFile);
    EXPECT_TRUE(IsFile(backup() + "/Rejected/being-written.vrl"));
}

// A file the scan took that its announcement refused is forgotten: its database does not fail.
TEST_F(ManagerTest, AFileTheScanTookAndItsAnnouncementRefusedIsForgotten) {
    ASSERT_TRUE(Up(WriteDb(backup() + "/Copies/u/db.vdb", kA, 1), kA));
    ASSERT_EQ(Ready(WriteDone(backup() + "/Changes/Redo_1", kEnd, {})), 0);
    Settle();
    ASSERT_EQ(mgr->VerifyFullDBBackup(u"db", U(kA), 1, false), 0);
    std::string redo = backup() + "/Changes/Redo_2";
    std::string stray = WriteLog(redo, "stray.vrl", kA, 5, 6, kEnd + 5);
    Rebuild();
    EXPECT_EQ(Ready(stray, kC), Mirel::kErrLogWrongDatabase);
    EXPECT_TRUE(IsFile(backup() + "/Rejected/stray.vrl"));
    ASSERT_EQ(Ready(WriteDone(redo, kEnd + 10, {})), 0);
    Settle();
    EXPECT_EQ(Err(kA), 0);
    EXPECT_TRUE(IsFile(NewestLastGood(backup()) + "/db.vdb"));
}

TEST_F(ManagerTest, AFolderChangeNeverDestroysWhatItCannotReplace) {
    TempDir outside;
    ASSERT_TRUE(Up(WriteDb(backup() + "/Copies/u/db.vdb", kA, 1), kA));
    std::string redo = backup() + "/Changes/Redo_1";
    std::string log = WriteLog(redo, "a.vrl", kA, 1, 2, kEnd - 5);
    ASSERT_EQ(Ready(log, kA), 0);
    WriteFile(backup() + "/precious.txt", "mine");
    WriteFile(outside / "file", "x");

    // New folders that cannot be set up: the old one stays in service with all it holds.
    Mirel::FaultEnv::Scope disarm(faults);
    const std::vector<std::string> unusable = {
        "/" + std::string(5000, 'a'),  // too long
        outside / "file/backup",       // a component that is a file
        outside / "full",              // no space for its sub-folders
    };
    faults.Arm(Mirel::FsOp::kCreateDir, outside / "full/*", Mirel::kErrDiskFull);
    for (const auto& p : unusable) {
        EXPECT_EQ(mgr->SetBackupFolder(U(p)), 0) << p.substr(0, 80);
        EXPECT_TRUE(mgr->FoldersReady() && IsFile(log) && IsFile(backup() + "/Copies/u/db.vdb"));
    }
    faults.Clear();
    EXPECT_FALSE(Exists(outside / "full/Changes"));  // what the probe made is gone
    // The same folder through a link and with a trailing slash is the same folder: kept.
    ASSERT_EQ(::symlink(backup().c_str(), (outside / "alias").c_str()), 0);
    EXPECT_EQ(mgr->SetBackupFolder(U(outside / "alias")), 1);
    EXPECT_EQ(mgr->SetBackupFolder(U(backup() + "/")), 1);
    EXPECT_TRUE(IsFile(log));
    ASSERT_EQ(Ready(WriteDone(redo, kEnd, {})), 0);
    Settle();
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db", U(kA), 2, false), 0);

    // A real change deletes only the service's own files.
    MakeDirs(redo);
    WriteFile(redo + "/junk.vrl", "junk");
    ASSERT_EQ(Ready(redo + "/junk.vrl", kA), Mirel::kErrInvalidFile);
    ASSERT_EQ(mgr->SetBackupFolder(U(tmp / "other")), 1);
    EXPECT_EQ(ReadFile(backup() + "/precious.txt"), "mine");
    EXPECT_TRUE(IsFile(backup() + "/Rejected/junk.vrl"));
    EXPECT_FALSE(Exists(backup() + "/Changes"));
    EXPECT_FALSE(Exists(backup() + "/Copies"));
    EXPECT_NE(NewestLastGood(backup()), "");
    // A folder without last-good folders keeps its user's files too.
    WriteFile(tmp / "other/notes.txt", "n");
    ASSERT_EQ(mgr->SetBackupFolder(U(backup())), 1);
    EXPECT_EQ(ReadFile(tmp / "other/notes.txt"), "n");
}

TEST_F(ManagerTest, PlantedLinksAndForeignFilesAtEveryWorkingFolderAreUntouched) {
    TempDir outside;
    WriteDb(outside / "db.vdb", kA, 1);
    WriteFile(outside / "log.vrl", "not mine");
    MakeDirs(outside / "dir");
    WriteFile(outside / "dir/keep", "keep");
    // Links wherever the service lists, moves or deletes, and files of someone else's.
    for (const char* folder : {"Changes/Redo_1", "Copies/up", "InProgress", "Rejected"})
        MakeDirs(backup() + "/" + folder);
    const std::vector<std::pair<std::string, std::string>> links = {
        {backup() + "/InProgress/link.vdb", outside / "db.vdb"},
        {backup() + "/InProgress/dir", outside / "dir"},
        {backup() + "/Changes/link", outside / "dir"},
        {backup() + "/Changes/Redo_1/link.vrl", outside / "log.vrl"},
        {backup() + "/Changes/Redo_2", outside / "dir"},
        {backup() + "/Copies/link", outside / "dir"},
        {backup() + "/Copies/up/link.vdb", outside / "db.vdb"},
        {backup() + "/Rejected/link", outside / "dir"},
    };
    for (const auto& [link, target] : links) ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    WriteFile(backup() + "/precious.txt", "mine");
    const std::string outsideBefore = Fingerprint(outside.path());

    sim::Workload server(backup(), Options(9, 2), announcer);
    ASSERT_TRUE(server.Upload());
    for (const auto& [link, target] : links) {
        Ready(link, kA);
        Up(link, kA);
    }
    for (int i = 0; i < 3; ++i) {
        Intervals(server);
        const std::string latest = NewestLastGood(backup());
        if (i == 0 && !latest.empty()) {
            WriteFile(latest + "/notes.txt", "about this copy");
            ASSERT_EQ(::symlink((outside / "db.vdb").c_str(), (latest + "/z.vdb").c_str()), 0);
        }
        Rebuild();
        Settle();
    }
    EXPECT_EQ(server.VerifyAll(), "");
    ASSERT_EQ(mgr->SetBackupFolder(U(tmp / "elsewhere")), 1);
    ASSERT_EQ(mgr->SetBackupFolder(u""), 1);
    EXPECT_EQ(Fingerprint(outside.path()), outsideBefore);
    EXPECT_EQ(ReadFile(backup() + "/precious.txt"), "mine");
    // Its folder lost its copies, not the user's file.
    EXPECT_EQ(CountOf(Snapshot(backup()), "/notes.txt="), 1u);
}

// A FIFO wherever the scan reads: never waited for, left in place, nothing set aside.
TEST_F(ManagerTest, TheScanLeavesFifosWhereTheyAreAndNeverWaitsForThem) {
    for (const std::string place :
         {"Changes/Redo_1/a.vrl", "Changes/Redo_1/IntervalDone.vid", "Copies/u/db.vdb",
          "InProgress/db.vdb", "LastGood_2026-01-01_0000/db.vdb",
          "LastGood_2026-01-01_0000/manifest.tsv", "Failed.tsv", "Unwritten.tsv",
          "UploadsAfter.tsv", "State.tsv"}) {
        Events events;
        const std::string folder = tmp / ("b" + std::to_string(std::hash<std::string>()(place)));
        // An interval to finish, so that the in-progress folder is read too.
        WriteDone(folder + "/Changes/Redo_0", kEnd, {});
        const std::string lg = folder + "/LastGood_2026-01-01_0000";
        WriteDb(lg + "/other.vdb", kC, 1);
        const bool manifest = place.find("manifest") != std::string::npos;
        const Mirel::Directory lgDir(Mirel::UniversalPath::Folder(lg));
        ASSERT_TRUE(manifest || Talon::Manifest::Write(lgDir, 1767225600000000ull).OK());
        const std::string fifo = folder + "/" + place;
        ASSERT_TRUE(MakeFifo(fifo)) << place;
        std::int32_t result = 0;
        EXPECT_TRUE(FinishesWithin(5000, {fifo}, [&] { result = mgr->SetBackupFolder(U(folder)); }))
            << place << " blocked the scan";
        EXPECT_EQ(result, 1) << place;
        if (const bool log = place == "Changes/Redo_1/a.vrl"; log || place == "Copies/u/db.vdb") {
            EXPECT_TRUE(FinishesWithin(5000, {fifo}, [&] {
                result = log ? Ready(fifo, kA) : Up(fifo, kA);
            })) << "the announcement blocked";
            EXPECT_EQ(result, log ? Mirel::kErrFileNotTaken : 0);
        }
        // What no item owns in the in-progress folder goes, unopened; the state file is written
        // aside and renamed over the name, never opened.
        const bool gone = place.rfind("InProgress/", 0) == 0, replaced = place == "State.tsv";
        EXPECT_EQ(std::make_tuple(Exists(fifo), IsFile(fifo), IsFifo(fifo)),
                  std::make_tuple(!gone, replaced, !gone && !replaced))
            << place;
        EXPECT_EQ(events.Count(0x41000328), 0) << place;
        EXPECT_FALSE(Exists(folder + "/Rejected")) << place;
        // A copy whose manifest cannot be read has no line to check it against.
        EXPECT_EQ(mgr->VerifyFullDBBackup(u"other", U(kC), 1, false),
                  manifest ? Mirel::kErrCopyDamaged : 0)
            << place;
    }
}

// Past the set-aside limit junk is answered 10729 and stays; the limit's event comes once.
TEST_F(ManagerTest, PastTheSetAsideLimitJunkIsRefusedWhereItIs) {
    struct Restore {
        ~Restore() {
            Talon::IBS_Config::SetRejectedLimit(Talon::IBS_Config::kDefaultRejectedLimit);
        }
    } restore;
    constexpr std::uint64_t kLimit = 48 * 1024;
    Talon::IBS_Config::SetRejectedLimit(kLimit);
    Events events;
    const std::string redo = backup() + "/Changes/Redo_1";
    MakeDirs(redo);
    std::vector<std::int32_t> answers;
    for (int i = 0; i < 12; ++i) {
        std::string junk = redo + "/junk" + std::to_string(i) + ".vrl";
        WriteFile(junk, std::string(5000, 'z'));
        answers.push_back(Ready(junk, kA));
        if (answers.back() == Mirel::kErrRejectedFull) {
            EXPECT_TRUE(IsFile(junk));
        }
    }
    const auto refused = std::count(answers.begin(), answers.end(), Mirel::kErrRejectedFull);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), Mirel::kErrInvalidFile) + refused, 12);
    EXPECT_EQ(refused, 7);  // five files of two blocks and the reasons' block fit in 48 KiB
    EXPECT_EQ(events.Count(0x41000336), 1);
    EXPECT_LE(
        Talon::IBS_Config::CountRejected(Mirel::Directory(Mirel::UniversalPath::Folder(backup()))),
        kLimit);
    // An interval-done file that is no such file is refused the same way.
    std::string done = redo + "/IntervalDone.vid";
    WriteFile(done, std::string(5000, 'g'));
    EXPECT_EQ(Ready(done), Mirel::kErrRejectedFull);
    EXPECT_TRUE(IsFile(done));
    EXPECT_EQ(events.Count(0x41000336), 1);
}
