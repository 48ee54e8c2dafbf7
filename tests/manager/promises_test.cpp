// The promises against a server that breaks its rules and a service that goes down at a bad
// moment: a late log and a rebuilt catalogue, a check asked for during a folder change, an
// interval-done file from a clock that stepped back.
#include <filesystem>

#include "platform/framework/IBS_Config.h"
#include "tests/manager/CycleFixture.h"

using Mirel::unistring;
using testutil::Events;
using testutil::U;
using testutil::WriteDone;

namespace {

const std::string kA = "aaaaaaaa-1111-4111-8111-111111111111";
const std::string kB = "bbbbbbbb-2222-4222-8222-222222222222";
constexpr std::uint64_t kHour = 60 * kMinute;

using PromisesTest = testutil::CycleFixture;

}  // namespace

// A log that ends inside a published interval and that its copy does not contain is
// answered 0; the next interval-done file comes, and the service goes down before it runs
// the cycle. The catalogue rebuilt from disk must still apply it.
TEST_F(PromisesTest, ALateLogSurvivesARebuiltCatalogue) {
    Upload(kA, 1000);
    const std::uint64_t first = Close();
    ASSERT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1000u);
    std::string late;
    ASSERT_EQ(LogAt(kA, first - 5, &late), 0);
    Close(0, false);
    Rebuild();
    SettleWithRetries();
    EXPECT_EQ(Folders(), 2);
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1001u) << "the late log was left out";
    // More intervals: the log goes only once a folder holds its changes, and the chain goes on.
    for (int i = 0; i < 3; ++i) {
        Interval({kA});
    }
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1004u);
    EXPECT_FALSE(testutil::Exists(backup() + "/Rejected"));
}

// The same, with the start of the next interval cut short: its in-progress copy holds part
// of the late log (pages written, header not yet) when the service goes down.
TEST_F(PromisesTest, ALateLogHalfAppliedBeforeARestartIsAppliedAgain) {
    Upload(kA, 1000);
    const std::uint64_t first = Close();
    const std::string published = CopyOf(NewestFolder(), kA);
    ASSERT_EQ(LogAt(kA, first - 5), 0);
    Close(0, false);
    std::string bytes = testutil::ReadFile(published);
    ASSERT_EQ(bytes.size(), 3u * 512);
    std::fill(bytes.begin() + 512, bytes.begin() + 1024, static_cast<char>(1001 & 0xff));
    testutil::MakeDirs(backup() + "/InProgress");
    testutil::WriteFile(CopyOf(backup() + "/InProgress", kA), bytes);
    Rebuild();
    SettleWithRetries();
    const std::string newest = CopyOf(NewestFolder(), kA);
    ASSERT_NE(newest, published);
    EXPECT_EQ(MsnOf(newest), 1001u) << "a copy with part of a log was published";
    EXPECT_EQ(testutil::ReadFile(newest).substr(512), bytes.substr(512));
}

// A check the interval-done file asks for while a folder change waits for the workers
// returns at once; it must run when the change is over, not wait for the next trigger.
TEST_F(PromisesTest, ACheckAskedForDuringAFolderChangeRunsWhenTheChangeEnds) {
    Upload(kA, 1000);
    ASSERT_EQ(LogAt(kA), 0);
    {
        Catalogue::StopScope change(mgr->Cat());
        Close(0, false);
        bool asked = false;
        while (auto m = Queue().GetMsg(0))
            if (m->GetMsgCode() == 1231) {
                asked = true;
                mgr->CheckIntervals();
            }
        ASSERT_TRUE(asked);
        EXPECT_EQ(Folders(), 0) << "the cycle ran while the folder changed";
    }
    Settle();
    ASSERT_EQ(Folders(), 1) << "the check was lost";
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1001u);
}

// The server's clock steps back an hour: its logs and its next interval-done file end
// before what is already published. The file is refused and set aside with a reason and an
// event; the logs wait in the open interval for a valid interval-done file.
TEST_F(PromisesTest, AnIntervalDoneFileFromAClockThatWentBackIsRefusedAndItsLogsWait) {
    Events events;
    Upload(kA, 1000);
    Interval({kA});
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t published = Close();

    clock -= kHour;
    ASSERT_EQ(LogAt(kA), 0);
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t stale = (clock / kMinute + 1) * kMinute + 99;
    const std::string done = WriteDone(Redo(), stale, {});
    EXPECT_EQ(mgr->RedoLogIsReady(U(done), u"", true), Mirel::kErrStaleIntervalDone);
    EXPECT_FALSE(testutil::Exists(done));
    EXPECT_TRUE(testutil::IsFile(backup() + "/Rejected/IntervalDone.vid"));
    EXPECT_NE(testutil::ReadFile(backup() + "/Rejected/reasons.tsv").find("\t10728\t"),
              std::string::npos);
    ASSERT_EQ(events.Count(0x41000334), 1);
    EXPECT_EQ(events.Last(0x41000334)[1], unistring::NumToString(stale));
    EXPECT_EQ(events.Last(0x41000334)[2], unistring::NumToString(published));
    SettleWithRetries();
    const std::string before = NewestFolder();
    EXPECT_EQ(MsnOf(CopyOf(before, kA)), 1002u);

    // The clock is right again: the logs that waited go with the next interval.
    clock = published + kMinute;
    Interval({kA});
    EXPECT_NE(NewestFolder(), before);
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1005u);
}

// The clock goes back while an interval is closed but not yet started: a log that continues
// the chain after that interval's logs, though its time says it ends inside it, belongs after
// it. Taken into it, its changes would be published as the state at an end before them.
TEST_F(PromisesTest, ALogWrittenAfterTheClockWentBackNeverJoinsAnEarlierInterval) {
    Upload(kA, 1000);
    Interval({kA});
    const std::uint64_t before = clock;
    ASSERT_EQ(LogAt(kA), 0);  // 1001 -> 1002
    ASSERT_EQ(LogAt(kA), 0);  // 1002 -> 1003
    const std::uint64_t closed = Close(0, false);
    clock = before + 500;     // its next log ends inside the closed interval again
    ASSERT_EQ(LogAt(kA), 0);  // 1003 -> 1004, written after the interval-done file
    SettleWithRetries();
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1003u) << "a later change joined the interval";
    clock = closed + kMinute;
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1005u);
}

// The clock steps back before the database is shut down: its last log, which closed it,
// ends before the log it continues (and before the published end). It is no new start of
// the database: it continues the chain, and is applied, not set aside as unchained.
TEST_F(PromisesTest, AClosingLogFromAClockThatWentBackStillContinuesItsChain) {
    Upload(kA, 1000);
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t published = Close();
    ASSERT_EQ(LogAt(kA), 0);  // 1001 -> 1002
    const std::string last =
        testutil::WriteLog(Redo(), "closing.vrl", kA, 1002, 1003, published - 5, true);
    ASSERT_EQ(mgr->RedoLogIsReady(U(last), U(kA), true), 0);
    msns[kA] = 1003;
    Close();
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1003u) << "the closing log was left out";
    EXPECT_FALSE(testutil::Exists(backup() + "/Rejected")) << "a valid log was set aside";
    // The database starts afresh at another MSN after it was shut down: the chain goes on
    // from the new upload.
    Upload(kA, 5000);
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 5001u);
}

// An upload at the state of the newest last-good copy, sent after that copy was published,
// is a good copy of its own. The log that reaches its MSN is a late one, which a restart's
// scan files with an older interval by its end: the upload must neither take that interval's
// last-good copy's place in the catalogue nor be pruned as older than the newest copy. When
// the newest copy's bytes changed on disk, the interval starts from the upload.
TEST_F(PromisesTest, AnUploadFoundAfterARestartStandsInForADamagedCopyOfItsState) {
    Upload(kA, 1000);
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t first = Close();
    ASSERT_EQ(LogAt(kA, first - 5), 0);  // late: ends inside the published interval
    Close();
    const std::string published = CopyOf(NewestFolder(), kA);
    ASSERT_EQ(MsnOf(published), 1002u);
    testutil::FlipByte(published, 700, 0x10);  // bit rot in page 1
    Upload(kA, 1002);
    ASSERT_EQ(LogAt(kA), 0);
    Close(0, false);
    Rebuild();
    SettleWithRetries();
    EXPECT_EQ(mgr->GetDatabaseError(U(kA)), 0);
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1003u) << "no starting copy was found";
}

// The clock steps back while an interval is closed but not yet started: an interval-done file
// that ends before that interval's end (though after what is published) is stale too. Taken,
// it would make an interval before the one whose logs its own logs continue.
TEST_F(PromisesTest, AnIntervalDoneFileBeforeAnIntervalNotYetStartedIsRefused) {
    Events events;
    Upload(kA, 1000);
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t published = Close();
    const std::uint64_t before = clock;
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t closed = Close(0, false);  // announced, not started
    const std::uint64_t stale = before + 500;
    ASSERT_LT(published, stale);
    ASSERT_LT(stale, closed);
    const std::string done =
        WriteDone(backup() + "/Changes/Redo_" + std::to_string(stale - 2), stale, {});
    EXPECT_EQ(mgr->RedoLogIsReady(U(done), u"", true), Mirel::kErrStaleIntervalDone);
    EXPECT_EQ(events.Count(0x41000334), 1);
    SettleWithRetries();
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1002u);
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1003u);
}

// Every database fails in an interval: it publishes nothing, and no folder says how far the
// cycle went. After a restart, an interval-done file from a clock that went back, ending
// before that interval, is still stale.
TEST_F(PromisesTest, AnIntervalThatPublishedNothingStillBoundsTheClockAfterARestart) {
    Upload(kA, 1000);
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t published = Close();
    const std::uint64_t before = clock;
    ASSERT_EQ(Log(kA, true), 0);
    const std::uint64_t empty = Close();
    ASSERT_NE(mgr->GetDatabaseError(U(kA)), 0);
    ASSERT_EQ(Folders(), 1) << "the interval whose every database failed got a folder";
    Rebuild();
    SettleWithRetries();
    const std::uint64_t stale = before + 500;
    ASSERT_LT(published, stale);
    ASSERT_LT(stale, empty);
    const std::string done =
        WriteDone(backup() + "/Changes/Redo_" + std::to_string(stale - 2), stale, {});
    EXPECT_EQ(mgr->RedoLogIsReady(U(done), u"", true), Mirel::kErrStaleIntervalDone);
    // The cycle goes on: the new upload's interval publishes, and the kept file goes.
    Upload(kA, 2000);
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 2001u);
    bool kept = false;
    for (const auto& e : std::filesystem::directory_iterator(backup() + "/Changes")) {
        std::uint64_t end = 0;
        Talon::IBS_Config::GetIncrementalIntervalDone(
            Mirel::UniversalPath::Folder(e.path().string()), end, nullptr);
        kept |= end == empty;
    }
    EXPECT_FALSE(kept) << "the interval-done file that published nothing outlived a later one";
}

// A new database's upload, with no log yet, announced after an interval-done file whose
// interval is not yet published: it is no part of that interval (the database did not exist
// at its end). One announced before that file is. Both hold whether or not the service goes
// down in between, when nothing in the upload itself tells which came first.
TEST_F(PromisesTest, AnUploadKeepsItsSideOfAnIntervalDoneFileAcrossARestart) {
    Upload(kA, 1000);
    int n = 0;
    for (const bool before : {false, true})
        for (const bool restart : {false, true}) {
            SCOPED_TRACE(std::string(before ? "before" : "after") + " the interval-done file" +
                         (restart ? ", restarted" : ""));
            // A database of its own each time (files are named by the UUID's first four).
            const std::string uuid = "b" + std::to_string(n++) + kB.substr(2);
            Interval({kA});
            ASSERT_EQ(LogAt(kA), 0);
            if (before) Upload(uuid, 500);
            Close(0, false);  // announced, not started
            if (!before) Upload(uuid, 500);
            if (restart) Rebuild();
            SettleWithRetries();
            const std::string closed = NewestFolder();
            EXPECT_EQ(std::filesystem::exists(CopyOf(closed, uuid)), before) << closed;
            Close();
            EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), uuid)), 500u) << NewestFolder();
            EXPECT_FALSE(std::filesystem::exists(backup() + "/UploadsAfter.tsv"))
                << "a line outlived the interval it was about";
        }
}

// A failed database's new upload, announced after an interval-done file whose interval is not
// yet published: that interval still lacks the database (it was failed at its end), it never
// gets the older copy carried forward, and the next interval starts from the upload.
TEST_F(PromisesTest, AFailedDatabasesUploadAfterAnIntervalDoneFileDoesNotMendThatInterval) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "restarted" : "no restart");
        const std::string uuid = std::string(restart ? "c1" : "c0") + kB.substr(2);
        Upload(uuid, 1000);
        ASSERT_EQ(LogAt(uuid), 0);
        Close();
        ASSERT_EQ(Log(uuid, true), 0);
        Upload(kA, 100 + 10 * seq);  // something to publish in every interval
        Close();
        ASSERT_NE(mgr->GetDatabaseError(U(uuid)), 0);
        ASSERT_FALSE(std::filesystem::exists(CopyOf(NewestFolder(), uuid)));
        ASSERT_EQ(LogAt(kA), 0);
        Close(0, false);  // announced, not started
        Upload(uuid, 3000);
        if (restart) Rebuild();
        SettleWithRetries();
        EXPECT_FALSE(std::filesystem::exists(CopyOf(NewestFolder(), uuid)))
            << NewestFolder() << ": the database was failed at that interval's end";
        Close();
        EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), uuid)), 3000u) << NewestFolder();
    }
}

// A database fails in an interval that the environment then holds up; its new upload comes
// after that interval's interval-done file and clears the failure. The interval, finished
// later (after a restart, too), still lacks the database: it never gets the older copy.
TEST_F(PromisesTest, AFailureAnUploadClearedLaterStillHoldsForTheIntervalItHappenedIn) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "restarted" : "no restart");
        const std::string uuid = std::string(restart ? "d1" : "d0") + kB.substr(2);
        const std::string a = std::string(restart ? "e1" : "e0") + kB.substr(2);
        Upload(uuid, 1000);
        Upload(a, 1000);
        ASSERT_EQ(LogAt(uuid), 0);
        ASSERT_EQ(LogAt(a), 0);
        Close();
        ASSERT_EQ(Log(uuid, true), 0);
        ASSERT_EQ(LogAt(a), 0);
        const std::string before = NewestFolder();
        {
            // The other database's copy cannot be written: the interval waits.
            Mirel::FaultEnv::Scope disarm(faults);
            faults.Arm(Mirel::FsOp::kWrite, backup() + "/InProgress/" + a.substr(0, 4) + "*",
                       Mirel::kErrDiskFull);
            Close(0, false);
            Settle();
            ASSERT_NE(mgr->GetDatabaseError(U(uuid)), 0);
            ASSERT_EQ(NewestFolder(), before) << "published while a copy could not be written";
            Upload(uuid, 3000);
            if (restart) Rebuild();
        }
        SettleWithRetries();
        ASSERT_NE(NewestFolder(), before);
        EXPECT_FALSE(std::filesystem::exists(CopyOf(NewestFolder(), uuid)))
            << NewestFolder() << ": the database was failed at that interval's end";
        Close();
        EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), uuid)), 3000u) << NewestFolder();
    }
}

// Every database fails in an interval, which publishes nothing. A new upload comes, and the
// server's clock has stepped back: its next logs end before that interval's end. A restart
// brings the interval back from its kept interval-done file, with those logs in it: they go
// on with the upload to the next interval, which publishes the server's state. After another
// restart, the logs it applied are not left in an interval nothing would ever finish.
TEST_F(PromisesTest, LogsOfAnIntervalThatPublishedNothingGoOnToTheNextOne) {
    Upload(kA, 1000);
    Interval({kA});
    const std::uint64_t before = clock;
    ASSERT_EQ(Log(kA, true), 0);
    const std::string emptyDone = Redo() + "/IntervalDone.vid";
    Close();
    const std::string doneBytes = testutil::ReadFile(emptyDone);
    ASSERT_NE(mgr->GetDatabaseError(U(kA)), 0);
    ASSERT_EQ(Folders(), 1) << "the interval whose every database failed got a folder";
    Upload(kA, 2000);
    ASSERT_EQ(LogAt(kA, before + 100), 0);
    ASSERT_EQ(LogAt(kA, before + 200), 0);
    Rebuild();
    SettleWithRetries();
    Close();
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 2002u) << "logs were left behind the upload";
    // A power cut lost the deletion of its interval-done file, not the folder published since;
    // a log the server is still writing keeps its redo folder.
    const std::string emptyRedo = emptyDone.substr(0, emptyDone.rfind('/'));
    testutil::MakeDirs(emptyRedo);
    testutil::WriteFile(emptyDone, doneBytes);
    testutil::WriteFile(emptyRedo + "/still-being-written.vrl", "the header comes last");
    Rebuild();
    SettleWithRetries();
    EXPECT_EQ(UnfinishedIntervals(), "");
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 2003u);
    EXPECT_EQ(UnfinishedIntervals(), "");
}

// Two intervals in a row publish nothing (every database failed in the first, the second
// had none): only the newer one's interval-done file says how far the cycle went, and the
// older one goes at once, not at the next restart.
TEST_F(PromisesTest, OnlyTheNewestIntervalThatPublishedNothingKeepsItsIntervalDoneFile) {
    Upload(kA, 1000);
    Interval({kA});
    ASSERT_EQ(Log(kA, true), 0);
    const std::string first = Redo() + "/IntervalDone.vid";
    Close();
    ASSERT_NE(mgr->GetDatabaseError(U(kA)), 0);
    EXPECT_TRUE(testutil::IsFile(first)) << "the newest interval's end is kept";
    const std::string second = Redo() + "/IntervalDone.vid";
    Close();
    EXPECT_EQ(Folders(), 1);
    EXPECT_TRUE(testutil::IsFile(second)) << "the newest interval's end is kept";
    EXPECT_FALSE(testutil::IsFile(first)) << "an older kept interval-done file outlived it";
    Upload(kA, 2000);
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 2001u);
    EXPECT_FALSE(testutil::IsFile(second)) << "a later interval started: the kept file goes";
}
