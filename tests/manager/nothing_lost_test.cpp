// What a server that breaks its rules, or a host that changes under the service, must not
// cost: a folder named again after its set-up failed, an upload that cannot be moved, two
// uploads in one folder, a database re-created under its old name, names at the length
// limit, and a first log that fails right after an upload.
#include <chrono>
#include <filesystem>
#include <functional>

#include <sys/time.h>

#include "platform/support/DateTime.h"
#include "tests/lib/PowerLoss.h"
#include "tests/manager/CycleFixture.h"

using Mirel::unistring;
using testutil::Events;
using testutil::kA;
using testutil::kB;
using testutil::kC;
using testutil::U;
using testutil::WriteDb;
using testutil::WriteLog;

namespace {

class NothingLostTest : public testutil::CycleFixture {
protected:
    // What a new process starts with, then the start's own set-up of the backup folder.
    bool Restart() {
        while (Queue().GetMsg(0)) {
        }
        EXPECT_TRUE(mgr->In().SetupFolders(Mirel::Directory(tmp.Folder("scratch"))));
        mgr->ClearFolders();
        mgr->Cat().ClearIntervals();
        return mgr->In().SetupFolders(Mirel::Directory(Mirel::UniversalPath::Folder(backup())));
    }
    // A restart on the folder as it is, and the cycle run until it settles.
    bool Rebuilt() {
        if (!Restart()) return false;
        mgr->ScanFullBackupDB();
        mgr->CheckIntervals();
        SettleWithRetries();
        return true;
    }
    // The interval is made: kA did not fail, nothing was set aside, its newest copy is at
    // `msn`, and every folder holds the state its interval ended with.
    void MadeWithNothingLost(std::uint64_t msn) {
        Close();
        EXPECT_EQ(mgr->GetDatabaseError(U(kA)), 0);
        EXPECT_FALSE(testutil::Exists(backup() + "/Rejected")) << "nothing was set aside";
        EXPECT_EQ(Newest()[kA], msn);
        ExpectEveryFolderExact();
    }
    // An empty backup folder, as a new process finds it, and a server that starts over.
    void FreshFolder() {
        msns.clear();
        states.clear();
        ASSERT_EQ(Mirel::Directory(Mirel::UniversalPath::Folder(backup())).DeleteAll().GetError(),
                  0);
        ASSERT_TRUE(Restart());
        mgr->ScanFullBackupDB();
    }
    // The server's steps (never crash points themselves) with the machine going off at the
    // service's durability point k, then a restart on what a killed process leaves. Answers
    // where it was killed; empty when the run ended before point k.
    std::string KillAt(std::uint64_t k, const std::function<void()>& server) {
        disk.Start(backup(), k);
        {
            Mirel::PowerLoss::NoCrashScope quiet(disk);
            server();
        }
        Settle();
        const std::string where =
            disk.Crashed() ? "killed at point " + std::to_string(k) + ": " + disk.CrashPoint()
                           : std::string();
        disk.Restart(Mirel::PowerLoss::Loss::kKeepAll);
        EXPECT_TRUE(Rebuilt()) << where;
        return where;
    }
};

}  // namespace

TEST_F(NothingLostTest, AFolderWhoseSetUpFailedIsSetUpAgainWhenNamedAgainAndLosesNothing) {
    Upload(kA, 10);
    Interval({kA});
    Upload(kA, 20);  // accepted: an upload, its log and the interval's end wait
    ASSERT_EQ(Log(kA), 0);
    Close(0, false);
    const std::string ip = backup() + "/InProgress";
    if (testutil::IsDir(ip)) {
        ASSERT_EQ(Mirel::Os::RemoveDir(ip), 0);
    }
    {
        // The volume refuses the in-progress folder at the start.
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kCreateDir, ip, Mirel::kErrAccessDenied);
        ASSERT_FALSE(Restart());
    }
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"a", U(kA), 21, false), Mirel::kErrFoldersNotReady);
    // The server is told 10017 and names the same folder: it is set up again, not cleared.
    ASSERT_EQ(mgr->SetBackupFolder(U(backup() + "/")), 1);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"a", U(kA), 21, false), 0);
    SettleWithRetries();
    EXPECT_EQ(Newest()[kA], 21u);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"a", U(kA), 21, false), 0);
    ExpectEveryFolderExact();
}

TEST_F(NothingLostTest, AnUploadThatCannotBeMovedFailsItsDatabaseVisiblyAndIsNeverWritten) {
    Events events;
    Upload(kA, 10);
    Interval({kA});
    const std::string upload = WriteDb(backup() + "/Copies/ub/b.vdb", kB, 20);
    const std::string bytes = testutil::ReadFile(upload);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(upload), U(kB)));
    msns[kB] = 20;
    ASSERT_EQ(Log(kB), 0);
    ASSERT_EQ(Log(kA), 0);
    {
        // The copies folder went to another file system under the service.
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kRename, upload, Mirel::kErrCrossDevice);
        Close();
    }
    EXPECT_EQ(testutil::ReadFile(upload), bytes) << "logs applied inside the copies folder";
    EXPECT_EQ(mgr->GetDatabaseError(U(kB)), Mirel::kErrCopyFailed);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"b", U(kB), 21, false), Mirel::kErrCopyFailed);
    EXPECT_NE(testutil::ReadFile(backup() + "/Failed.tsv").find(kB + "\t10710\t"),
              std::string::npos);
    EXPECT_EQ(events.Count(0x41000331), 1);
    EXPECT_EQ(events.Count(0x41000317), 1);
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}}));
    // Its log was set aside, not lost; the upload waits where it is and still serves.
    EXPECT_NE(testutil::ReadFile(backup() + "/Rejected/reasons.tsv").find("\t10710\t"),
              std::string::npos);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(upload), U(kB)));
    msns[kB] = 20;
    Interval({kB});
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}, {kB, 21}}));
    ExpectEveryFolderExact();
}

// The start chooses again when a copy it made turns out damaged: a database that failed in
// the first choice (its upload could not be moved) keeps that failure, not a later "no copy"
// (10711), which would let a restart take its upload, its only copy, for an older state.
TEST_F(NothingLostTest, AFailureOfTheFirstChoiceSurvivesTheSecond) {
    Upload(kA, 10);
    Interval({kA});
    std::string folder;
    Newest(&folder);
    testutil::FlipByte(backup() + "/" + folder + "/1111.vdb", 700, 0x04);
    const std::string upload = WriteDb(backup() + "/Copies/ub/b.vdb", kB, 20);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(upload), U(kB)));
    msns[kB] = 20;
    ASSERT_EQ(Log(kB), 0);
    ASSERT_EQ(Log(kA), 0);
    {
        // A's copy is made (not linked) at the start and found damaged there; B's upload
        // cannot leave Copies/.
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kHardLink, backup() + "/InProgress/*", Mirel::kErrTooManyFiles, 1);
        faults.Arm(Mirel::FsOp::kRename, upload, Mirel::kErrCrossDevice);
        Close();
    }
    EXPECT_EQ(mgr->GetDatabaseError(U(kB)), Mirel::kErrCopyFailed);
    ASSERT_TRUE(Restart());
    mgr->ScanFullBackupDB();
    EXPECT_TRUE(testutil::IsFile(upload)) << "B's only copy was deleted";
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(upload), U(kB)));
    msns[kB] = 20;
    Interval({kB});
    EXPECT_EQ(Newest()[kB], 21u);
}

TEST_F(NothingLostTest, TwoUploadsInOneFolderAreBothKept) {
    const std::string a = WriteDb(backup() + "/Copies/both/a.vdb", kA, 10);
    const std::string b = WriteDb(backup() + "/Copies/both/sub/b.vdb", kB, 20);
    testutil::WriteFile(backup() + "/Copies/both/notes.txt", "the server's own");
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(a), U(kA)));
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(b), U(kB)));
    msns[kA] = 10;
    msns[kB] = 20;
    Interval({kA, kB});
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 11}, {kB, 21}}));
    EXPECT_EQ(mgr->GetDatabaseError(U(kB)), 0);
    // Only the service's own files left the folder.
    EXPECT_EQ(testutil::ReadFile(backup() + "/Copies/both/notes.txt"), "the server's own");
    EXPECT_FALSE(testutil::Exists(backup() + "/Copies/both/sub"));
    Interval({kA, kB});
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}, {kB, 22}}));
    ExpectEveryFolderExact();
}

namespace {

// A database dropped and re-created under the same file name: a new UUID, a new upload.
struct Recreated {
    const char* name;
    std::string old, fresh;
    bool restart;  // the new copy was already in the in-progress folder when the service died
    // The old database was uploaded once more just before the drop: two uploads claim the
    // name in one interval, the old one written first.
    bool oldUploads = false;
};

class ReplacedDatabaseTest : public NothingLostTest,
                             public ::testing::WithParamInterface<Recreated> {};

}  // namespace

TEST_P(ReplacedDatabaseTest, TheNewUploadOwnsTheNameAndTheOldCopyStays) {
    const Recreated r = GetParam();
    Events events;
    const std::string first = WriteDb(backup() + "/Copies/u1/sales.vdb", r.old, 10);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(first), U(r.old)));
    msns[r.old] = 10;
    ASSERT_EQ(Log(r.old), 0);
    Close();
    ASSERT_EQ(Log(r.old), 0);
    Close();
    std::string oldFolder;
    ASSERT_EQ(Newest(&oldFolder), (std::map<std::string, std::uint64_t>{{r.old, 12}}));
    ASSERT_EQ(Log(r.old), 0);  // its last changes before the drop
    std::string oldUpload, oldBytes;
    if (r.oldUploads) {
        oldUpload = WriteDb(backup() + "/Copies/u0/sales.vdb", r.old, 13);
        oldBytes = testutil::ReadFile(oldUpload);
        ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(oldUpload), U(r.old)));
        // Written a second before the new database's upload.
        std::filesystem::last_write_time(
            oldUpload, std::filesystem::last_write_time(oldUpload) - std::chrono::seconds(1));
    }
    msns[r.fresh] = 50;
    if (r.restart) {
        // The new upload was moved into the in-progress folder, then the service died.
        WriteDb(backup() + "/InProgress/sales.vdb", r.fresh, 50);
        ASSERT_EQ(Log(r.fresh), 0);
        Close(0, false);
        ASSERT_TRUE(Rebuilt());
    } else {
        const std::string second = WriteDb(backup() + "/Copies/u2/sales.vdb", r.fresh, 50);
        ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(second), U(r.fresh)));
        ASSERT_EQ(Log(r.fresh), 0);
        Close();
    }
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{r.fresh, 51}}));
    EXPECT_EQ(events.Count(0x41000332), 1);
    EXPECT_EQ(events.Last(0x41000332),
              (std::vector<unistring>{u"sales.vdb", U(r.old), U(r.fresh)}));
    EXPECT_EQ(mgr->GetDatabaseError(U(r.fresh)), 0);
    EXPECT_EQ(mgr->GetDatabaseError(U(r.old)), Mirel::kErrReplaced);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"old", U(r.old), 12, false), Mirel::kErrReplaced);
    // Its later logs are refused and set aside; nothing of it is lost.
    EXPECT_EQ(Log(r.old), Mirel::kErrReplaced);
    const std::string reasons = testutil::ReadFile(backup() + "/Rejected/reasons.tsv");
    EXPECT_EQ(std::count(reasons.begin(), reasons.end(), '\n'), 2) << reasons;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Log(r.fresh), 0);
        Close();
    }
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{r.fresh, 54}}));
    const testutil::DbId kept = testutil::DbInfo(backup() + "/" + oldFolder + "/sales.vdb");
    EXPECT_EQ(kept.uuid, U(r.old)) << "the old database's newest copy was pruned";
    EXPECT_EQ(kept.msn, 12u);
    if (r.oldUploads) {
        EXPECT_EQ(testutil::ReadFile(oldUpload), oldBytes) << "the old upload";
    }
    ExpectEveryFolderExact();
}

INSTANTIATE_TEST_SUITE_P(, ReplacedDatabaseTest,
                         ::testing::Values(Recreated{"NewSortsAfter", kA, kB, false},
                                           Recreated{"NewSortsFirst", kB, kA, false},
                                           Recreated{"FoundByTheRestartScan", kA, kB, true},
                                           Recreated{"AfterAnUploadOfTheOld", kA, kB, false, true},
                                           Recreated{"AfterAnUploadOfTheOldSortingAfter", kB, kA,
                                                     false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The server's clock stepped back a few seconds within an interval: a log ending early
// continues one that ends after the next interval-done file. It belongs after that
// interval with the log it continues, not in it with a gap in its chain (10721), and a
// restart before that interval is made keeps the two together.
TEST_F(NothingLostTest, ALogContinuingOneAfterTheIntervalEndStaysAfterItWhateverItsEndSays) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "a restart before the interval is made" : "no restart");
        FreshFolder();
        Upload(kA, 10);
        ASSERT_EQ(Log(kA), 0);
        const std::uint64_t first = Close();
        const std::string ahead =
            WriteLog(Redo(), "ahead.vrl", kA, 11, 12, first + 50 * 1000000ull);
        ASSERT_EQ(mgr->RedoLogIsReady(U(ahead), U(kA), true), 0);
        const std::string back = WriteLog(Redo(), "back.vrl", kA, 12, 13, first + 10 * 1000000ull);
        ASSERT_EQ(mgr->RedoLogIsReady(U(back), U(kA), true), 0);
        clock = first + 10 * 1000000ull;
        Close(first + 20 * 1000000ull, !restart);  // A has no log of this interval: still at 11
        msns[kA] = 13;
        if (restart) {
            ASSERT_TRUE(Rebuilt());
        }
        MadeWithNothingLost(13u);
        if (HasFailure()) break;
    }
}

// The server's clock stepped back after an upload that came after an interval-done file: a
// log continuing that upload ends before the interval the upload came after, which is still
// to be made. It is the upload's, not that interval's: the interval's folder must hold the
// state at its end, not the log's; and a restart's scan must still apply it to the upload,
// never file it before the upload and set it aside as a log nothing can start.
TEST_F(NothingLostTest, ALogContinuingALaterUploadIsAppliedAfterItWhateverItsEndSays) {
    struct Row {
        const char* what;
        std::uint64_t upload, back;
        bool restart;
    } rows[] = {
        {"an upload at another MSN, then a restart", 50, 5 * kMinute, true},
        {"an upload at the interval's own end", 12, 5 * 1000000ull, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        FreshFolder();
        Upload(kA, 10);
        Interval({kA});
        ASSERT_EQ(Log(kA), 0);
        const std::uint64_t second = Close(0, false);  // its folder is still to be made
        Upload(kA, r.upload);                          // after that interval's end
        const std::string log =
            WriteLog(Redo(), "back.vrl", kA, r.upload, r.upload + 1, second - r.back);
        msns[kA] = r.upload + 1;
        if (r.restart) {
            ASSERT_TRUE(Rebuilt());
        }
        EXPECT_EQ(mgr->RedoLogIsReady(U(log), U(kA), true), 0);
        if (!r.restart) SettleWithRetries();
        MadeWithNothingLost(r.upload + 1);
        if (HasFailure()) break;
    }
}

// The same, and then a newer upload at the log's end takes the earlier upload's place (at its
// path or another) and the service restarts: nothing is left that says the log came after
// the interval's end but the service's own record of where it put it.
TEST_F(NothingLostTest, ALogContinuingALaterUploadStaysAfterItThroughANewerUploadAndARestart) {
    for (const bool samePath : {true, false}) {
        SCOPED_TRACE(samePath ? "the newer upload at the same path" : "at another path");
        FreshFolder();
        Upload(kA, 10);
        Interval({kA});
        ASSERT_EQ(Log(kA), 0);
        const std::uint64_t second = Close(0, false);  // its folder is still to be made
        const std::string path = backup() + "/Copies/later/a.vdb";
        ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(WriteDb(path, kA, 12)), U(kA)));
        const std::string log = WriteLog(Redo(), "back.vrl", kA, 12, 13, second - 5 * 1000000ull);
        {
            // Unrecorded, the placement would not survive a restart: not taken.
            Mirel::FaultEnv::Scope disarm(faults);
            faults.Arm(Mirel::FsOp::kSync, backup() + "/.ibs-*", Mirel::kErrIO, 1);
            EXPECT_EQ(mgr->RedoLogIsReady(U(log), U(kA), true), Mirel::kErrIO);
        }
        ASSERT_EQ(mgr->RedoLogIsReady(U(log), U(kA), true), 0);
        const std::string newer = samePath ? path : backup() + "/Copies/newer/a.vdb";
        ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(WriteDb(newer, kA, 13)), U(kA)));
        msns[kA] = 13;
        ASSERT_TRUE(Rebuilt());
        MadeWithNothingLost(13u);
        if (HasFailure()) break;
    }
}

// A new process whose folder cannot be set up at start (a read-only volume): the server
// registers, then names the folder again. It must hear of every database that waits for an
// upload, or a notification a kill lost before the restart never comes.
TEST_F(NothingLostTest, AServerThatRegisteredBeforeTheSetUpHearsOfEveryFailedDatabase) {
    Upload(kA, 10);
    ASSERT_EQ(Log(kA, true), 0);
    Close();
    ASSERT_EQ(mgr->GetDatabaseError(U(kA)), Mirel::kErrInvalidFile);
    // The first process is gone as a kill leaves it: its folder untouched.
    testutil::QueueTrigger trigger2;
    testutil::RecordingSink sink2;
    IBSMgr fresh{faults};
    fresh.Connect(&trigger2, &sink2);
    {
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kOpenWrite, backup() + "*", Mirel::kErrAccessDenied);
        faults.Arm(Mirel::FsOp::kCreateDir, backup() + "*", Mirel::kErrAccessDenied);
        EXPECT_NE(fresh.SetBackupFolder(U(backup())), 1);
    }
    ASSERT_TRUE(fresh.RegisterServer(u"127.0.0.1", 1));
    EXPECT_TRUE(sink2.Failed().empty());
    EXPECT_EQ(fresh.SetBackupFolder(U(backup())), 1);
    EXPECT_EQ(sink2.Failed(), std::vector<std::string>{kA});
    fresh.SetBackupFolder(u"");
}

// A kill anywhere in the interval that replaces a database: whatever the restart finds
// recorded, the replacement is reported (more than once is allowed, never not at all).
TEST_F(NothingLostTest, AKillAnywhereInAReplacementStillReportsIt) {
    Mirel::PowerLoss::Scope run(disk);
    for (std::uint64_t k = 1;; ++k) {
        FreshFolder();
        Events events(&disk);
        const std::string first = WriteDb(backup() + "/Copies/u1/sales.vdb", kA, 10);
        ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(first), U(kA)));
        msns[kA] = 10;
        Interval({kA});
        const std::string where = KillAt(k, [&] {
            const std::string second = WriteDb(backup() + "/Copies/u2/sales.vdb", kB, 50);
            EXPECT_TRUE(mgr->FullDBBackupIsUploaded(U(second), U(kB)));
            msns[kB] = 50;
            EXPECT_EQ(Log(kB), 0);
            Close(0, false);
        });
        ASSERT_EQ(Log(kB), 0) << where;
        Close();
        EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kB, 52}})) << where;
        EXPECT_EQ(mgr->GetDatabaseError(U(kA)), Mirel::kErrReplaced) << where;
        EXPECT_GE(events.Count(0x41000332), 1) << where;
        EXPECT_EQ(events.Last(0x41000332), (std::vector<unistring>{u"sales.vdb", U(kA), U(kB)}))
            << where;
        if (HasFailure() || where.empty()) break;
    }
}

// The new database's upload cannot be moved, and the environment cuts that start short
// before it reaches the old database: the start is tried again without the new upload's
// claim, and the old database, which the server no longer has, must still not be carried
// into the name.
TEST_F(NothingLostTest, ARecreatedDatabaseWhoseUploadCannotMoveStillEndsTheOldOne) {
    const std::string old = "cccccccc-3333-4333-8333-333333333333";  // chosen after the others
    const std::string first = WriteDb(backup() + "/Copies/u1/sales.vdb", old, 10);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(first), U(old)));
    msns[old] = 10;
    ASSERT_EQ(Log(old), 0);
    Close();
    ASSERT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{old, 11}}));
    const std::string fresh = WriteDb(backup() + "/Copies/u2/sales.vdb", kA, 50);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(fresh), U(kA)));
    const std::string other = WriteDb(backup() + "/Copies/u3/b.vdb", kB, 20);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(other), U(kB)));
    {
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kRename, fresh, Mirel::kErrCrossDevice);
        faults.Arm(Mirel::FsOp::kRename, other, Mirel::kErrIO, 1);
        Close();
    }
    EXPECT_EQ(mgr->GetDatabaseError(U(kA)), Mirel::kErrCopyFailed);
    EXPECT_EQ(mgr->GetDatabaseError(U(old)), Mirel::kErrReplaced);
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kB, 20}}));
}

// The server's names are blind to case: a new database uploaded as "Sales.VDB" replaces the
// "sales.vdb" it had, though the two are different files here.
TEST_F(NothingLostTest, ANameThatDiffersOnlyInCaseIsTheSameName) {
    const std::string first = WriteDb(backup() + "/Copies/u1/sales.vdb", kB, 10);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(first), U(kB)));
    msns[kB] = 10;
    Interval({kB});
    const std::string second = WriteDb(backup() + "/Copies/u2/Sales.VDB", kA, 50);
    ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(second), U(kA)));
    msns[kA] = 50;
    Interval({kA});
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 51}}));
    EXPECT_EQ(mgr->GetDatabaseError(U(kB)), Mirel::kErrReplaced);
}

TEST_F(NothingLostTest, NamesAtTheLengthLimitAreStoredOrRefusedAtIntake) {
    Events events;
    // Database names of 250 to 255 bytes: the service adds ".rc" for a container folder.
    std::map<std::string, std::string> accepted;  // UUID -> name
    for (std::size_t length = 250; length <= 255; ++length) {
        char uuid[40];
        std::snprintf(uuid, sizeof uuid, "%08zx-0000-4000-8000-000000000000", 0x44440000 + length);
        const std::string name = std::string(length - 4, 'n') + ".vdb";
        const std::string folder = backup() + "/Copies/n" + std::to_string(length);
        // Written under a short name and renamed, as a server whose own tools fit would.
        WriteDb(folder + "/short.vdb", uuid, 10);
        ASSERT_EQ(Mirel::Os::Rename(folder + "/short.vdb", folder + "/" + name), 0);
        const bool taken = mgr->FullDBBackupIsUploaded(U(folder + "/" + name), U(uuid));
        EXPECT_EQ(taken, length <= 252) << length;
        if (taken) {
            accepted[uuid] = name;
            msns[uuid] = 10;
        } else {
            EXPECT_TRUE(testutil::IsFile(folder + "/" + name)) << "left where it is";
        }
    }
    EXPECT_EQ(events.Count(0x41000313), 3);
    ASSERT_EQ(accepted.size(), 3u);
    // Applied to the upload, carried forward as a link, made private, carried as a copy
    // where no link can be made, and made private again.
    auto logAll = [&] {
        for (const auto& [uuid, name] : accepted) ASSERT_EQ(Log(uuid), 0);
    };
    logAll();
    Close();
    Close();
    logAll();
    Close();
    {
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kHardLink, backup() + "/InProgress*", Mirel::kErrLinkNotSupported);
        Close();
    }
    logAll();
    Close();
    auto newest = Newest();
    for (const auto& [uuid, name] : accepted) {
        EXPECT_EQ(mgr->GetDatabaseError(U(uuid)), 0) << name.size();
        EXPECT_EQ(newest[uuid], 13u) << name.size();
    }
    ExpectEveryFolderExact();
    // Redo log names: a set-aside log may need "<name>.<n>.rc" in Rejected/.
    const std::string& some = accepted.begin()->first;
    for (std::size_t length : {246, 247, 255}) {
        const std::string name = std::string(length - 4, 'l') + ".vrl";
        const std::uint64_t from = msns[some];
        const std::string log = WriteLog(Redo(), name, some, from, from + 1, clock += 1000);
        const std::int32_t answer = mgr->RedoLogIsReady(U(log), U(some), true);
        if (length <= 246) {
            EXPECT_EQ(answer, 0);
            msns[some] = from + 1;
        } else {
            EXPECT_EQ(answer, Mirel::kErrNameTooLong) << length;
            EXPECT_TRUE(testutil::IsFile(log)) << "left where it is";
            ASSERT_EQ(Mirel::Os::DeleteFile(log), 0);
        }
    }
    Close();
    EXPECT_EQ(Newest()[some], 14u);
}

TEST_F(NothingLostTest, AnUploadWhoseFirstLogFailsIsKeptAndPublishedAsHeld) {
    Events events;
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    Upload(kB, 30);  // a new full backup of B, and a database C seen for the first time
    Upload(kC, 40);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB, true), 0);  // records checked before anything is written: 10709
    ASSERT_EQ(Log(kC, true), 0);
    Close();
    std::string held;
    EXPECT_EQ(Newest(&held), (std::map<std::string, std::uint64_t>{{kA, 12}, {kB, 30}, {kC, 40}}));
    for (const auto& uuid : {kB, kC}) {
        EXPECT_EQ(mgr->GetDatabaseError(U(uuid)), Mirel::kErrInvalidFile);
        EXPECT_EQ(mgr->VerifyFullDBBackup(u"x", U(uuid), msns[uuid], false),
                  Mirel::kErrInvalidFile);
    }
    EXPECT_EQ(events.Count(0x41000331), 2);
    Talon::Manifest m;
    ASSERT_TRUE(Talon::Manifest::Read(
                    Mirel::Directory(Mirel::UniversalPath::Folder(backup() + "/" + held)), m)
                    .OK());
    std::map<std::string, bool> state;
    for (const auto& e : m.entries) state[e.path] = e.held;
    EXPECT_EQ(state, (std::map<std::string, bool>{
                         {"1111.vdb", false}, {"2222.vdb", true}, {"3333.vdb", true}}));
    // Not carried forward, never pruned while it is the newest copy.
    for (int i = 0; i < 3; ++i) {
        Interval({kA});
        EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 13u + i}}));
    }
    EXPECT_TRUE(testutil::IsFile(backup() + "/" + held + "/2222.vdb"));
    EXPECT_TRUE(testutil::IsFile(backup() + "/" + held + "/3333.vdb"));
    Upload(kC, 50);
    Interval({kC, kA});
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 16}, {kC, 51}}));
    ExpectEveryFolderExact();
}

TEST_F(NothingLostTest, ACopyALogHasChangedIsNeverKept) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    std::string first;
    Newest(&first);
    Upload(kB, 30);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB), 0);  // applied: the copy is no longer the upload
    ASSERT_EQ(Log(kB, true), 0);
    Close();
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}}));
    EXPECT_EQ(mgr->GetDatabaseError(U(kB)), Mirel::kErrInvalidFile);
    EXPECT_TRUE(testutil::IsFile(backup() + "/" + first + "/2222.vdb")) << "its older copy stays";
    ExpectEveryFolderExact();
}

TEST_F(NothingLostTest, AHeldUploadIsPublishedBeforeItsFailureIsRecordedAndSurvivesARestart) {
    Upload(kA, 10);
    Interval({kA});
    Upload(kB, 30);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB, true), 0);
    {
        // The failure cannot be written; the folder holding B's upload is published anyway.
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kWrite, backup() + "/Failed.tsv*", Mirel::kErrDiskFull);
        Close(0, false);
        Settle();
    }
    std::string held;
    EXPECT_EQ(Newest(&held), (std::map<std::string, std::uint64_t>{{kA, 12}, {kB, 30}}));
    EXPECT_FALSE(testutil::Exists(backup() + "/Failed.tsv"));
    // The service dies before it records the failure; after the restart the failing log
    // fails again, the failure is recorded, and the upload stays where it was published.
    ASSERT_TRUE(Restart());
    mgr->ScanFullBackupDB();
    mgr->CheckIntervals();
    Interval({kA});
    EXPECT_EQ(mgr->GetDatabaseError(U(kB)), Mirel::kErrInvalidFile);
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 13}}));
    EXPECT_TRUE(testutil::IsFile(backup() + "/" + held + "/2222.vdb"));
    ExpectEveryFolderExact();
}

TEST_F(NothingLostTest, AnUploadMovedBeforeARestartIsStillHeldWhenItsFirstLogFails) {
    Upload(kA, 10);
    Interval({kA});
    Upload(kB, 30);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB, true), 0);
    {
        // The upload is moved into the in-progress folder, but no log gets to it: opening it
        // fails (the disk, tried again later), and the service dies meanwhile.
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kOpenWrite, backup() + "/InProgress/2222.vdb", Mirel::kErrDiskFull);
        Close(0, false);
        Settle();
        ASSERT_TRUE(testutil::IsFile(backup() + "/InProgress/2222.vdb"));
    }
    ASSERT_TRUE(Rebuilt());
    // The restart still knows the copy for the upload as written: it is kept, as held.
    EXPECT_EQ(mgr->GetDatabaseError(U(kB)), Mirel::kErrInvalidFile);
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}, {kB, 30}}));
    EXPECT_FALSE(testutil::Exists(backup() + "/Unwritten.tsv"));
    ExpectEveryFolderExact();
}

// A kill between writing a list aside and renaming it into place leaves its temporary file;
// the next start removes what a service process left of its own, and nothing else.
TEST_F(NothingLostTest, AStartRemovesTheTemporaryFilesOfAnEarlierRunOnly) {
    Upload(kA, 10);
    Interval({kA});
    const std::string own = ".ibs-" + std::to_string(::getpid()) + "-999999999.tmp";
    const std::vector<std::string> stale = {".ibs-4194999-2.tmp", "Failed.tsv.tmp"};
    const std::vector<std::string> kept = {own, ".ibs-notes.tmp", ".ibs-12-x.tmp", "plan.tmp"};
    for (const auto& name : stale) testutil::WriteFile(backup() + "/" + name, "half a list");
    for (const auto& name : kept) testutil::WriteFile(backup() + "/" + name, "someone's");
    ASSERT_TRUE(Restart());
    for (const auto& name : stale) EXPECT_FALSE(testutil::Exists(backup() + "/" + name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(testutil::IsFile(backup() + "/" + name)) << name;
}

// A kill came after a failure was recorded and before its logs were set aside, with the
// failing log in the interval still to be made. Left in the catalogue, the new upload at its
// end would take it for superseded and delete it. A log written before the failure and not
// yet announced goes aside with it and is answered as if it were still there; one written
// after the failure is the announcement's to refuse.
TEST_F(NothingLostTest, ARestartSetsAsideTheLogsOfADatabaseThatFailedWhereverTheyLie) {
    Upload(kA, 10);
    Interval({kA});
    ASSERT_EQ(Log(kA, true), 0);
    const std::string name = "l" + std::to_string(seq) + ".vrl";
    Close(0, false);
    auto touch = [](const std::string& path, std::int64_t us) {
        const timeval tv[2] = {{static_cast<time_t>(us / 1000000), 0},
                               {static_cast<time_t>(us / 1000000), 0}};
        ASSERT_EQ(::utimes(path.c_str(), tv), 0);
    };
    const auto since = static_cast<std::int64_t>(Mirel::DateTime::NowUTC());
    const std::string early = WriteLog(Redo(), "early.vrl", kA, 12, 13, clock += 1000);
    const std::string late = WriteLog(Redo(), "late.vrl", kA, 13, 14, clock += 1000);
    touch(early, since - 5000000);
    touch(late, since + 5000000);
    testutil::WriteFile(backup() + "/Failed.tsv",
                        kA + "\t10709\t" + std::to_string(since) + "\tinvalid file\n");
    ASSERT_TRUE(Rebuilt());
    EXPECT_TRUE(testutil::Exists(backup() + "/Rejected/" + name)) << name << " is gone";
    EXPECT_TRUE(testutil::Exists(backup() + "/Rejected/early.vrl"));
    EXPECT_TRUE(testutil::Exists(late)) << "set aside before its announcement";
    EXPECT_EQ(mgr->RedoLogIsReady(U(early), U(kA), true), Mirel::kErrInvalidFile + 0);
    EXPECT_EQ(mgr->RedoLogIsReady(U(late), U(kA), true), Mirel::kErrInvalidFile + 0);
    EXPECT_TRUE(testutil::Exists(backup() + "/Rejected/late.vrl"));
    Upload(kA, 12);  // the server's state: the failing log's end
    SettleWithRetries();
    Close();
    EXPECT_TRUE(testutil::Exists(backup() + "/Rejected/" + name)) << name << " is gone";
    EXPECT_EQ(Newest()[kA], 12u);
}

// A kill at any moment of a database's failure (the record, the notification, the set-aside
// of its logs): after the restart and the server's new upload, the failing log is set aside,
// never deleted, and the upload is the database's newest copy.
TEST_F(NothingLostTest, AKillAnywhereInAFailureKeepsTheFailingLogSetAside) {
    Mirel::PowerLoss::Scope run(disk);
    for (std::uint64_t k = 1;; ++k) {
        FreshFolder();
        Upload(kA, 10);
        Interval({kA});
        std::string name;
        const std::string where = KillAt(k, [&] {
            EXPECT_EQ(Log(kA, true), 0);
            name = "l" + std::to_string(seq) + ".vrl";
            Close(0, false);
        });
        Close();  // killed before the failure was recorded: it fails again
        EXPECT_EQ(mgr->GetDatabaseError(U(kA)), Mirel::kErrInvalidFile) << where;
        Upload(kA, 12);  // the server's state: the failing log's end
        Interval({kA});
        EXPECT_TRUE(testutil::Exists(backup() + "/Rejected/" + name))
            << where << ": " << name << " is gone";
        EXPECT_EQ(Newest()[kA], 13u) << where;
        if (HasFailure() || where.empty()) break;
    }
}

// A kill at any moment of the start that moves an upload whose first log then fails: the
// upload, the database's only copy, is published as held whatever the restart finds (moved
// or not, noted as unwritten or not).
TEST_F(NothingLostTest, AKillAnywhereInTheMoveKeepsAnUploadWhoseFirstLogFails) {
    Mirel::PowerLoss::Scope run(disk);
    for (std::uint64_t k = 1;; ++k) {
        FreshFolder();
        Events events(&disk);
        Upload(kA, 10);
        Interval({kA});
        const std::string where = KillAt(k, [&] {
            Upload(kB, 30);
            EXPECT_EQ(Log(kA), 0);
            EXPECT_EQ(Log(kB, true), 0);
            Close(0, false);
        });
        // A kill before the failure was recorded: it fails again in the next interval.
        ASSERT_EQ(Log(kA), 0) << where;
        Close();
        bool held = false;
        for (const auto& d :
             Talon::BackupFolder(u"LastGood").GetList(Mirel::UniversalPath::Folder(backup()))) {
            const testutil::DbId id = testutil::DbInfo(d.MakeUniversalPath(u"2222.vdb"));
            held |= id.uuid == U(kB) && id.msn == 30;
        }
        EXPECT_TRUE(held) << where << ": the upload, B's only copy, is gone";
        EXPECT_EQ(mgr->GetDatabaseError(U(kB)), Mirel::kErrInvalidFile) << where;
        EXPECT_EQ(events.Last(0x41000331),
                  (std::vector<unistring>{U(kB), unistring::NumToString(Mirel::kErrInvalidFile)}))
            << where;
        if (HasFailure() || where.empty()) break;
    }
}

// C is new: no folder holds it, and once a log has changed its upload in the in-progress
// folder, that copy is the only one there is. A later log that fails C must not delete it:
// it is kept in Kept/ (never published), before the failure is recorded, and a keep that
// cannot be made holds the cycle until it can. A folder that holds C again lets it go.
TEST_F(NothingLostTest, ANewDatabasesOnlyCopyIsKeptWhenALaterLogFailsIt) {
    Events events;
    Upload(kA, 10);
    Interval({kA});
    Upload(kC, 40);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kC), 0);  // applied: the copy is no longer the upload
    ASSERT_EQ(Log(kC, true), 0);
    {
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(Mirel::FsOp::kCreateDir, backup() + "/Kept*", Mirel::kErrDiskFull);
        Close(0, false);
        Settle();
        EXPECT_EQ(mgr->GetDatabaseError(U(kC)), 0) << "recorded before its copy was kept";
        EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 11}}));
        EXPECT_GE(events.Count(0x41000330), 1) << "the held cycle is said";
    }
    SettleWithRetries();
    EXPECT_EQ(mgr->GetDatabaseError(U(kC)), Mirel::kErrInvalidFile);
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}}));
    const auto kept = testutil::List(backup() + "/Kept/" + kC);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(MsnOf(kept[0].Native()), 41u);  // its upload and the log that applied
    for (const auto& f : AllFolders()) EXPECT_FALSE(testutil::IsFile(CopyOf(f, kC))) << f;
    // A restart keeps it too, and a new upload brings C back.
    ASSERT_TRUE(Rebuilt());
    EXPECT_EQ(testutil::List(backup() + "/Kept/" + kC).size(), 1u);
    Upload(kC, 50);
    Interval({kA, kC});
    EXPECT_EQ(Newest()[kC], 51u);
    ASSERT_TRUE(Rebuilt());
    EXPECT_FALSE(testutil::Exists(backup() + "/Kept/" + kC));
    ExpectEveryFolderExact();
}
