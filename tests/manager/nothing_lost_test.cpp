// What a rule-breaking server or a changing host must not cost: accepted files, newest copies.
#include <chrono>
#include <filesystem>
#include <functional>

#include <sys/time.h>

#include "platform/support/DateTime.h"
#include "tests/manager/CycleFixture.h"

using Mirel::FsOp;
using Mirel::unistring;
using namespace testutil;

namespace {

class NothingLostTest : public CycleFixture {
protected:
    bool Restart() {
        while (Queue().GetMsg(0)) continue;
        EXPECT_TRUE(mgr->In().SetupFolders(Mirel::Directory(tmp.Folder("scratch"))));
        mgr->ClearFolders();
        mgr->Cat().ClearIntervals();
        return mgr->In().SetupFolders(Mirel::Directory(Mirel::UniversalPath::Folder(backup())));
    }
    bool Rebuilt() {
        if (!Restart()) return false;
        mgr->ScanFullBackupDB();
        mgr->CheckIntervals();
        SettleWithRetries();
        return true;
    }
    // The interval is made with kA's newest copy at `msn`, nothing failed or set aside.
    void MadeWithNothingLost(std::uint64_t msn) {
        Close();
        EXPECT_EQ(Err(kA), 0);
        EXPECT_FALSE(InBackup("Rejected")) << "nothing was set aside";
        EXPECT_EQ(Newest()[kA], msn);
        ExpectEveryFolderExact();
    }
    void FreshFolder() {
        msns.clear();
        states.clear();
        ASSERT_TRUE(Mirel::Directory(Mirel::UniversalPath::Folder(backup())).DeleteAll().OK());
        ASSERT_TRUE(Restart());
        mgr->ScanFullBackupDB();
    }
    void FirstInterval() {
        Upload(kA, 10);
        Interval({kA});
    }
    // `server` with power lost at durability point k, then a restart; "" when it ended before k.
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
    // A killed run at every durability point of `server`, each on a fresh folder whose first
    // interval holds A's upload as sales.vdb; `events` records each run from its start.
    void KillAnywhere(const std::function<void()>& server,
                      const std::function<void(const std::string&)>& after) {
        Mirel::PowerLoss::Scope run(disk);
        // A cycle that retries for ever never runs out of points: that fails, it does not hang.
        for (std::uint64_t k = 1; k <= 300; ++k) {
            FreshFolder();
            events.reset();
            events = std::make_unique<Events>(&disk);
            UploadAt(backup() + "/Copies/u1/sales.vdb", kA, 10);
            Interval({kA});
            const std::string where = KillAt(k, server);
            after(where);
            if (HasFailure() || where.empty()) return;
        }
        ADD_FAILURE() << "still not done after 300 kills";
    }
    std::unique_ptr<Events> events;
};

}  // namespace

// B, failed in the start's first choice, keeps that failure through the second.
TEST_F(NothingLostTest, AFailureOfTheFirstChoiceSurvivesTheSecond) {
    FirstInterval();
    FlipByte(NewestFolder() + "/1111.vdb", 700, 0x04);
    const std::string upload = UploadAt(backup() + "/Copies/ub/b.vdb", kB, 20);
    ASSERT_EQ(Log(kB), 0);
    ASSERT_EQ(Log(kA), 0);
    {
        // A's copy is made (not linked) and found damaged; B's upload cannot leave Copies/.
        auto disarm =
            Fault(FsOp::kHardLink, backup() + "/InProgress/*", Mirel::kErrTooManyFiles, 1);
        faults.Arm(FsOp::kRename, upload, Mirel::kErrCrossDevice);
        Close();
    }
    EXPECT_EQ(Err(kB), Mirel::kErrCopyFailed);
    ASSERT_TRUE(Restart());
    mgr->ScanFullBackupDB();
    EXPECT_TRUE(IsFile(upload)) << "B's only copy was deleted";
    ASSERT_TRUE(Up(upload, kB));
    msns[kB] = 20;
    Interval({kB});
    EXPECT_EQ(Newest()[kB], 21u);
}

TEST_F(NothingLostTest, TwoUploadsInOneFolderAreBothKept) {
    UploadAt(backup() + "/Copies/both/a.vdb", kA, 10);
    UploadAt(backup() + "/Copies/both/sub/b.vdb", kB, 20);
    WriteFile(backup() + "/Copies/both/notes.txt", "the server's own");
    Interval({kA, kB});
    EXPECT_EQ(Newest(), (Msns{{kA, 11}, {kB, 21}}));
    EXPECT_EQ(Err(kB), 0);
    EXPECT_EQ(Read("Copies/both/notes.txt"), "the server's own");
    EXPECT_FALSE(InBackup("Copies/both/sub"));
    Interval({kA, kB});
    EXPECT_EQ(Newest(), (Msns{{kA, 12}, {kB, 22}}));
    ExpectEveryFolderExact();
}

namespace {

// A database dropped and re-created under the same file name: a new UUID, a new upload.
struct Recreated {
    const char* name;
    std::string old, fresh;
    bool restart;  // the new copy was already in the in-progress folder when the service died
    // The old database was uploaded once more just before the drop, a second earlier.
    bool oldUploads = false;
};

class ReplacedDatabaseTest : public NothingLostTest,
                             public ::testing::WithParamInterface<Recreated> {};

}  // namespace

TEST_P(ReplacedDatabaseTest, TheNewUploadOwnsTheNameAndTheOldCopyStays) {
    const Recreated r = GetParam();
    Events events;
    UploadAt(backup() + "/Copies/u1/sales.vdb", r.old, 10);
    Interval({r.old});
    Interval({r.old});
    std::string oldFolder;
    ASSERT_EQ(Newest(&oldFolder), (Msns{{r.old, 12}}));
    ASSERT_EQ(Log(r.old), 0);  // its last changes before the drop
    std::string oldUpload, oldBytes;
    if (r.oldUploads) {
        oldUpload = WriteDb(backup() + "/Copies/u0/sales.vdb", r.old, 13);
        oldBytes = ReadFile(oldUpload);
        ASSERT_TRUE(Up(oldUpload, r.old));
        std::filesystem::last_write_time(
            oldUpload, std::filesystem::last_write_time(oldUpload) - std::chrono::seconds(1));
    }
    msns[r.fresh] = 50;
    if (r.restart) {
        WriteDb(backup() + "/InProgress/sales.vdb", r.fresh, 50);
        ASSERT_EQ(Log(r.fresh), 0);
        Close(0, false);
        ASSERT_TRUE(Rebuilt());
    } else {
        UploadAt(backup() + "/Copies/u2/sales.vdb", r.fresh, 50);
        ASSERT_EQ(Log(r.fresh), 0);
        Close();
    }
    EXPECT_EQ(Newest(), (Msns{{r.fresh, 51}}));
    EXPECT_EQ(events.Count(0x41000332), 1);
    EXPECT_EQ(events.Last(0x41000332),
              (std::vector<unistring>{u"sales.vdb", U(r.old), U(r.fresh)}));
    EXPECT_EQ(Err(r.fresh), 0);
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"old", U(r.old), 12, false), Mirel::kErrReplaced);
    // Its later logs are refused and set aside; nothing of it is lost.
    EXPECT_EQ(Log(r.old), Mirel::kErrReplaced);
    EXPECT_EQ(CountOf(Read("Rejected/reasons.tsv"), "\n"), 2u);
    for (int i = 0; i < 3; ++i) Interval({r.fresh});
    EXPECT_EQ(Newest(), (Msns{{r.fresh, 54}}));
    const DbId kept = DbInfo(backup() + "/" + oldFolder + "/sales.vdb");
    EXPECT_EQ(std::pair(kept.uuid, kept.msn), std::pair(U(r.old), std::uint64_t{12}))
        << "the old database's newest copy was pruned";
    if (r.oldUploads) {
        EXPECT_EQ(ReadFile(oldUpload), oldBytes) << "the old upload";
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

// A log ending early (a clock stepped back) that continues one after the interval end goes
// after it, restart or not.
TEST_F(NothingLostTest, ALogContinuingOneAfterTheIntervalEndStaysAfterItWhateverItsEndSays) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "a restart before the interval is made" : "no restart");
        FreshFolder();
        Upload(kA, 10);
        ASSERT_EQ(Log(kA), 0);
        const std::uint64_t first = Close();
        const std::string ahead =
            WriteLog(Redo(), "ahead.vrl", kA, 11, 12, first + 50 * 1000000ull);
        ASSERT_EQ(Ready(ahead, kA), 0);
        const std::string back = WriteLog(Redo(), "back.vrl", kA, 12, 13, first + 10 * 1000000ull);
        ASSERT_EQ(Ready(back, kA), 0);
        clock = first + 10 * 1000000ull;
        Close(first + 20 * 1000000ull, !restart);  // A has no log of this interval: still at 11
        msns[kA] = 13;
        ASSERT_TRUE(!restart || Rebuilt());
        MadeWithNothingLost(13u);
        if (HasFailure()) break;
    }
}

// A log continuing a later upload, ending before the interval end by a clock stepped back, is
// the upload's, through a restart and a newer upload; unrecorded, it is not taken.
TEST_F(NothingLostTest, ALogContinuingALaterUploadIsAppliedAfterItWhateverItsEndSays) {
    struct Row {
        const char* what;
        std::uint64_t upload, back;
        bool restart;
        int newer;  // 0: none; 1: at the same path; 2: at another
    } rows[] = {
        {"an upload at another MSN, then a restart", 50, 5 * kMinute, true, 0},
        {"an upload at the interval's own end", 12, 5 * 1000000ull, false, 0},
        {"a newer upload at the same path and a restart", 12, 5 * 1000000ull, true, 1},
        {"a newer upload at another path and a restart", 12, 5 * 1000000ull, true, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        FreshFolder();
        FirstInterval();
        ASSERT_EQ(Log(kA), 0);
        const std::uint64_t second = Close(0, false);
        const std::string path = backup() + "/Copies/later/a.vdb";
        if (r.newer) {
            UploadAt(path, kA, r.upload);
        } else {
            Upload(kA, r.upload);
        }
        const std::string log =
            WriteLog(Redo(), "back.vrl", kA, r.upload, r.upload + 1, second - r.back);
        msns[kA] = r.upload + 1;
        if (r.newer) {
            {
                auto disarm = Fault(FsOp::kSync, backup() + "/.ibs-*", Mirel::kErrIO, 1);
                EXPECT_EQ(Ready(log, kA), Mirel::kErrIO);
            }
            ASSERT_EQ(Ready(log, kA), 0);
            UploadAt(r.newer == 1 ? path : backup() + "/Copies/newer/a.vdb", kA, 13);
        }
        ASSERT_TRUE(!r.restart || Rebuilt());
        EXPECT_EQ(r.newer ? 0 : Ready(log, kA), 0);
        if (!r.restart) SettleWithRetries();
        MadeWithNothingLost(r.upload + 1);
        if (HasFailure()) break;
    }
}

// A server registered before the set-up succeeded hears of every failed database.
TEST_F(NothingLostTest, AServerThatRegisteredBeforeTheSetUpHearsOfEveryFailedDatabase) {
    Upload(kA, 10);
    ASSERT_EQ(Log(kA, true), 0);
    Close();
    ASSERT_EQ(Err(kA), Mirel::kErrInvalidFile);
    QueueTrigger trigger2;
    RecordingSink sink2;
    IBSMgr fresh{faults};
    fresh.Connect(&trigger2, &sink2);
    {
        auto disarm = Fault(FsOp::kOpenWrite, backup() + "*", Mirel::kErrAccessDenied);
        faults.Arm(FsOp::kCreateDir, backup() + "*", Mirel::kErrAccessDenied);
        EXPECT_NE(fresh.SetBackupFolder(U(backup())), 1);
    }
    ASSERT_TRUE(fresh.RegisterServer(u"127.0.0.1", 1));
    EXPECT_TRUE(sink2.Failed().empty());
    EXPECT_EQ(fresh.SetBackupFolder(U(backup())), 1);
    EXPECT_EQ(sink2.Failed(), std::vector<std::string>{kA});
    fresh.SetBackupFolder(u"");
}

// A kill anywhere in a replacement: it is still reported.
TEST_F(NothingLostTest, AKillAnywhereInAReplacementStillReportsIt) {
    KillAnywhere(
        [&] {
            UploadAt(backup() + "/Copies/u2/sales.vdb", kB, 50);
            EXPECT_EQ(Log(kB), 0);
            Close(0, false);
        },
        [&](const std::string& where) {
            ASSERT_EQ(Log(kB), 0) << where;
            Close();
            EXPECT_EQ(Newest(), (Msns{{kB, 52}})) << where;
            EXPECT_EQ(Err(kA), Mirel::kErrReplaced) << where;
            EXPECT_EQ(events->Last(0x41000332),
                      (std::vector<unistring>{u"sales.vdb", U(kA), U(kB)}))
                << where;
        });
}

// A start retried without the new upload's claim still ends the replaced database.
TEST_F(NothingLostTest, ARecreatedDatabaseWhoseUploadCannotMoveStillEndsTheOldOne) {
    const std::string old = "cccccccc-3333-4333-8333-333333333333";  // sorts after the others
    UploadAt(backup() + "/Copies/u1/sales.vdb", old, 10);
    ASSERT_EQ(Log(old), 0);
    Close();
    ASSERT_EQ(Newest(), (Msns{{old, 11}}));
    const std::string fresh = UploadAt(backup() + "/Copies/u2/sales.vdb", kA, 50);
    const std::string other = UploadAt(backup() + "/Copies/u3/b.vdb", kB, 20);
    {
        auto disarm = Fault(FsOp::kRename, fresh, Mirel::kErrCrossDevice);
        faults.Arm(FsOp::kRename, other, Mirel::kErrIO, 1);
        Close();
    }
    EXPECT_EQ(Err(kA), Mirel::kErrCopyFailed);
    EXPECT_EQ(Err(old), Mirel::kErrReplaced);
    EXPECT_EQ(Newest(), (Msns{{kB, 20}}));
}

// The server's names are blind to case: "Sales.VDB" replaces "sales.vdb".
TEST_F(NothingLostTest, ANameThatDiffersOnlyInCaseIsTheSameName) {
    UploadAt(backup() + "/Copies/u1/sales.vdb", kB, 10);
    Interval({kB});
    UploadAt(backup() + "/Copies/u2/Sales.VDB", kA, 50);
    Interval({kA});
    EXPECT_EQ(Newest(), (Msns{{kA, 51}}));
    EXPECT_EQ(Err(kB), Mirel::kErrReplaced);
}

// A held upload's failure is on disk before any folder is published; a restart between the
// record and the publication still publishes the upload, held, and keeps it.
TEST_F(NothingLostTest, AHeldUploadsFailureIsRecordedFirstAndItsCopySurvivesARestart) {
    FirstInterval();
    Upload(kB, 30);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB, true), 0);
    {
        auto disarm = Fault(FsOp::kWrite, backup() + "/Failed.tsv*", Mirel::kErrDiskFull);
        Close(0, false);
        Settle();
    }
    EXPECT_EQ(Newest(), (Msns{{kA, 11}})) << "published before the failure was recorded";
    {
        auto disarm = Fault(FsOp::kRename, backup() + "/InProgress", Mirel::kErrIO);
        // The retry records the failure, then cannot publish.
        for (int i = 0; i < 100 && Err(kB) == 0; ++i) {
            auto m = Queue().GetMsg(5000);
            if (!m) break;
            if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
        }
    }
    EXPECT_EQ(Err(kB), Mirel::kErrInvalidFile);
    EXPECT_EQ(Newest(), (Msns{{kA, 11}}));
    ASSERT_TRUE(Restart());
    mgr->ScanFullBackupDB();
    mgr->CheckIntervals();
    Settle();
    std::string held;
    EXPECT_EQ(Newest(&held), (Msns{{kA, 12}, {kB, 30}}));
    Talon::Manifest m;
    ASSERT_TRUE(Talon::Manifest::Read(
                    Mirel::Directory(Mirel::UniversalPath::Folder(backup() + "/" + held)), m)
                    .OK());
    const Talon::ManifestEntry* line = m.Find("2222.vdb");
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->held);
    Interval({kA});
    EXPECT_EQ(Err(kB), Mirel::kErrInvalidFile);
    EXPECT_EQ(Newest(), (Msns{{kA, 13}}));
    EXPECT_TRUE(InBackup(held + "/2222.vdb"));
    ExpectEveryFolderExact();
}

// A start removes the temporary files of an earlier service process only.
TEST_F(NothingLostTest, AStartRemovesTheTemporaryFilesOfAnEarlierRunOnly) {
    FirstInterval();
    const std::string own = ".ibs-" + std::to_string(::getpid()) + "-999999999.tmp";
    const std::vector<std::string> stale = {".ibs-4194999-2.tmp", "Failed.tsv.tmp"};
    const std::vector<std::string> kept = {own, ".ibs-notes.tmp", ".ibs-12-x.tmp", "plan.tmp"};
    for (const auto& name : stale) WriteFile(backup() + "/" + name, "half a list");
    for (const auto& name : kept) WriteFile(backup() + "/" + name, "someone's");
    ASSERT_TRUE(Restart());
    for (const auto& name : stale) EXPECT_FALSE(InBackup(name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(IsFile(backup() + "/" + name)) << name;
}

// A kill between a failure's record and its logs' set-aside: the restart sets them aside.
TEST_F(NothingLostTest, ARestartSetsAsideTheLogsOfADatabaseThatFailedWhereverTheyLie) {
    FirstInterval();
    ASSERT_EQ(Log(kA, true), 0);
    const std::string name = "Rejected/l" + std::to_string(seq) + ".vrl";
    Close(0, false);
    const auto since = static_cast<time_t>(Mirel::DateTime::NowUTC());
    const std::string early = WriteLog(Redo(), "early.vrl", kA, 12, 13, clock += 1000);
    const std::string late = WriteLog(Redo(), "late.vrl", kA, 13, 14, clock += 1000);
    for (const auto& [path, us] : {std::pair{early, since - 5000000}, {late, since + 5000000}}) {
        const timeval tv[2] = {{us / 1000000, 0}, {us / 1000000, 0}};
        ASSERT_EQ(::utimes(path.c_str(), tv), 0);
    }
    WriteFile(backup() + "/Failed.tsv",
              kA + "\t10709\t" + std::to_string(since) + "\tinvalid file\n");
    ASSERT_TRUE(Rebuilt());
    EXPECT_TRUE(InBackup(name)) << name << " is gone";
    EXPECT_TRUE(InBackup("Rejected/early.vrl"));
    EXPECT_TRUE(Exists(late)) << "set aside before its announcement";
    for (const auto& f : {early, late}) EXPECT_EQ(Ready(f, kA), Mirel::kErrInvalidFile + 0) << f;
    EXPECT_TRUE(InBackup("Rejected/late.vrl"));
    Upload(kA, 12);  // the server's state: the failing log's end
    SettleWithRetries();
    Close();
    EXPECT_TRUE(InBackup(name)) << name << " is gone";
    EXPECT_EQ(Newest()[kA], 12u);
}

// A kill anywhere in a failure: the failing log is set aside, the new upload newest.
TEST_F(NothingLostTest, AKillAnywhereInAFailureKeepsTheFailingLogSetAside) {
    std::string name;
    KillAnywhere(
        [&] {
            EXPECT_EQ(Log(kA, true), 0);
            name = "Rejected/l" + std::to_string(seq) + ".vrl";
            Close(0, false);
        },
        [&](const std::string& where) {
            Close();  // killed before the failure was recorded: it fails again
            EXPECT_EQ(Err(kA), Mirel::kErrInvalidFile) << where;
            UploadAt(backup() + "/Copies/u2/sales.vdb", kA, 12);
            Interval({kA});
            EXPECT_TRUE(InBackup(name)) << where << ": " << name << " is gone";
            EXPECT_EQ(Newest()[kA], 13u) << where;
        });
}

// A kill anywhere in the move of an upload whose first log fails: the upload is published held.
TEST_F(NothingLostTest, AKillAnywhereInTheMoveKeepsAnUploadWhoseFirstLogFails) {
    KillAnywhere(
        [&] {
            Upload(kB, 30);
            EXPECT_EQ(Log(kA), 0);
            EXPECT_EQ(Log(kB, true), 0);
            Close(0, false);
        },
        [&](const std::string& where) {
            ASSERT_EQ(Log(kA), 0) << where;
            Close();
            bool held = false;
            for (const auto& f : AllFolders()) {
                const DbId id = DbInfo(CopyOf(f, kB));
                held |= id.uuid == U(kB) && id.msn == 30;
            }
            EXPECT_TRUE(held) << where << ": the upload, B's only copy, is gone";
            EXPECT_EQ(Err(kB), Mirel::kErrInvalidFile) << where;
            EXPECT_EQ(
                events->Last(0x41000331),
                (std::vector<unistring>{U(kB), unistring::NumToString(Mirel::kErrInvalidFile)}))
                << where;
        });
}

// The same with B's redo folder swapped for a link after its log was taken: no scan finds
// the failing log again, so a kill anywhere must still leave B failed, and its upload kept.
TEST_F(NothingLostTest, AKillAnywhereInAFailureBehindALinkNeverForgetsIt) {
    TempDir outside;
    int run = 0;
    KillAnywhere(
        [&] {
            UploadAt(backup() + "/Copies/ub/b.vdb", kB, 30);
            std::string log;
            EXPECT_EQ(LogAt(kB, 0, &log), 0);
            const std::string lure = outside / ("lure" + std::to_string(++run));
            SwapForLinkToCopy(log.substr(0, log.rfind('/')), lure, lure + "-moved");
            redo = 0;
            clock += 1000;
            Close(0, false);
        },
        [&](const std::string& where) {
            Close();
            EXPECT_EQ(Err(kB), Mirel::kErrIsALink) << where;
            // Published held, kept, or still where the server wrote it.
            int copies = 0;
            for (const auto& f : AllFolders()) copies += MsnOf(f + "/b.vdb") == 30;
            for (const std::string& at : {"/Kept/" + kB, std::string("/Copies/ub")})
                for (const auto& f : List(backup() + at)) copies += MsnOf(f.Native()) == 30;
            EXPECT_EQ(copies, 1) << where << ": B's upload, its only copy";
            EXPECT_GE(events->Count(0x41000331), 1) << where;
        });
}

// New C's only copy, failed by a later log, is kept in Kept/ until a folder holds C again.
TEST_F(NothingLostTest, ANewDatabasesOnlyCopyIsKeptWhenALaterLogFailsIt) {
    Events events;
    FirstInterval();
    Upload(kC, 40);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kC), 0);
    ASSERT_EQ(Log(kC, true), 0);
    {
        auto disarm = Fault(FsOp::kCreateDir, backup() + "/Kept*", Mirel::kErrDiskFull);
        Close(0, false);
        Settle();
        EXPECT_EQ(Err(kC), 0) << "recorded before its copy was kept";
        EXPECT_EQ(Newest(), (Msns{{kA, 11}}));
        EXPECT_GE(events.Count(0x41000330), 1) << "the held cycle is said";
    }
    SettleWithRetries();
    EXPECT_EQ(Err(kC), Mirel::kErrInvalidFile);
    EXPECT_EQ(Newest(), (Msns{{kA, 12}}));
    const auto kept = List(backup() + "/Kept/" + kC);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(MsnOf(kept[0].Native()), 41u);  // its upload and the log that applied
    EXPECT_EQ(CopiesOf(kC), 0);
    ASSERT_TRUE(Rebuilt());
    EXPECT_EQ(List(backup() + "/Kept/" + kC).size(), 1u);
    Upload(kC, 50);
    Interval({kA, kC});
    EXPECT_EQ(Newest()[kC], 51u);
    ASSERT_TRUE(Rebuilt());
    EXPECT_FALSE(InBackup("Kept/" + kC));
    ExpectEveryFolderExact();
}
