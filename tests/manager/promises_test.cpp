// The promises against a server that breaks its rules and a service that goes down at a bad
// moment: late logs, clocks that step back, intervals that publish nothing.
#include <filesystem>

#include "platform/framework/IBS_Config.h"
#include "tests/manager/CycleFixture.h"

using testutil::Events;
using testutil::U;
using testutil::WriteDone;

namespace {

const std::string kA = "aaaaaaaa-1111-4111-8111-111111111111";
const std::string kB = "bbbbbbbb-2222-4222-8222-222222222222";
constexpr std::uint64_t kHour = 60 * kMinute;

using PromisesTest = testutil::CycleFixture;

}  // namespace

// A late log (ending inside a published interval) is taken, and the service goes down while the
// next interval's in-progress copy holds part of it (pages written, header not yet).
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

// The server's clock steps back an hour: its interval-done file, ending before what is
// published, is set aside with a reason and an event; its logs wait for a valid one.
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
    EXPECT_EQ(events.Count(0x41000334), 1);
    SettleWithRetries();
    const std::string before = NewestFolder();
    EXPECT_EQ(MsnOf(CopyOf(before, kA)), 1002u);

    // The clock is right again: the logs that waited go with the next interval.
    clock = published + kMinute;
    Interval({kA});
    EXPECT_NE(NewestFolder(), before);
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 1005u);
}

// The clock goes back while an interval is closed but not yet started: a log continuing the
// chain after that interval's logs belongs after it, whatever its end says.
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

// An interval whose every database failed publishes nothing; after a restart, an
// interval-done file ending before it is still stale.
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

// A new database's upload announced after an interval-done file whose interval is not yet
// published is no part of that interval; one announced before it is; a restart changes
// neither, though nothing in the upload tells which came first.
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

// A database fails in an interval (published already, or held up by the environment); its
// new upload comes after a later interval-done file and clears the failure. That interval,
// however finished, still lacks the database: it never gets the older copy carried forward,
// and the next interval starts from the upload.
TEST_F(PromisesTest, AFailedDatabasesUploadAfterAnIntervalDoneFileDoesNotMendThatInterval) {
    int n = 0;
    for (const bool held : {false, true})
        for (const bool restart : {false, true}) {
            SCOPED_TRACE(std::string(held ? "failed in the held interval" : "failed before") +
                         (restart ? ", restarted" : ""));
            const std::string uuid = "d" + std::to_string(n++) + kB.substr(2);
            const std::string a = "e" + std::to_string(n) + kB.substr(2);
            Upload(uuid, 1000);
            Upload(a, 1000);
            ASSERT_EQ(LogAt(uuid), 0);
            ASSERT_EQ(LogAt(a), 0);
            Close();
            ASSERT_EQ(Log(uuid, true), 0);
            ASSERT_EQ(LogAt(a), 0);
            if (!held) {
                Close();
                ASSERT_NE(mgr->GetDatabaseError(U(uuid)), 0);
                ASSERT_FALSE(std::filesystem::exists(CopyOf(NewestFolder(), uuid)));
                ASSERT_EQ(LogAt(a), 0);
            }
            const std::string before = NewestFolder();
            {
                // The other database's copy cannot be written: the interval waits.
                Mirel::FaultEnv::Scope disarm(faults);
                if (held) {
                    faults.Arm(Mirel::FsOp::kWrite,
                               backup() + "/InProgress/" + a.substr(0, 4) + "*",
                               Mirel::kErrDiskFull);
                }
                Close(0, false);
                if (held) {
                    Settle();
                    ASSERT_NE(mgr->GetDatabaseError(U(uuid)), 0);
                    ASSERT_EQ(NewestFolder(), before) << "published while a copy was unwritten";
                }
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

// An interval publishes nothing (every database failed); a new upload's logs, from a clock that
// stepped back, end inside it. After a restart they go on with the upload to the next interval,
// and after another, no interval is left that nothing would finish.
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

// Of two intervals in a row that publish nothing, only the newer keeps its interval-done
// file (it says how far the cycle went).
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
