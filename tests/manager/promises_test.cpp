// Late logs, clocks that step back, intervals that publish nothing, restarts at bad moments.
#include <filesystem>

#include "platform/framework/IBS_Config.h"
#include "tests/manager/CycleFixture.h"

using namespace testutil;

namespace {

constexpr std::uint64_t kHour = 60 * kMinute;

using PromisesTest = CycleFixture;

}  // namespace

// A late log half applied to the next copy before a restart is applied again.
TEST_F(PromisesTest, ALateLogHalfAppliedBeforeARestartIsAppliedAgain) {
    Upload(kA, 1000);
    const std::uint64_t first = Close();
    const std::string published = CopyOf(NewestFolder(), kA);
    ASSERT_EQ(LogAt(kA, first - 5), 0);
    Close(0, false);
    std::string bytes = ReadFile(published);
    ASSERT_EQ(bytes.size(), 3u * 512);
    std::fill(bytes.begin() + 512, bytes.begin() + 1024, static_cast<char>(1001 & 0xff));
    MakeDirs(backup() + "/InProgress");
    WriteFile(CopyOf(backup() + "/InProgress", kA), bytes);
    Rebuild();
    SettleWithRetries();
    const std::string newest = CopyOf(NewestFolder(), kA);
    ASSERT_NE(newest, published);
    EXPECT_EQ(MsnOf(newest), 1001u) << "a copy with part of a log was published";
    EXPECT_EQ(ReadFile(newest).substr(512), bytes.substr(512));
}

// A log after a closed interval's logs belongs after it, whatever its end says.
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

// An interval that published nothing still bounds the clock after a restart.
TEST_F(PromisesTest, AnIntervalThatPublishedNothingStillBoundsTheClockAfterARestart) {
    Events events;
    Upload(kA, 1000);
    ASSERT_EQ(LogAt(kA), 0);
    const std::uint64_t published = Close();
    const std::uint64_t before = clock;
    ASSERT_EQ(Log(kA, true), 0);
    const std::uint64_t empty = Close();
    ASSERT_NE(Err(kA), 0);
    ASSERT_EQ(Folders(), 1) << "the interval whose every database failed got a folder";
    Rebuild();
    SettleWithRetries();
    const std::uint64_t stale = before + 500;
    ASSERT_LT(published, stale);
    ASSERT_LT(stale, empty);
    const std::string done =
        WriteDone(backup() + "/Changes/Redo_" + std::to_string(stale - 2), stale, {});
    EXPECT_EQ(Ready(done), Mirel::kErrStaleIntervalDone);
    EXPECT_EQ(events.Count(0x41000334), 1);
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

// An upload stays on its side of an interval-done file across a restart.
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

// A failed database's upload after a later interval-done file does not mend that interval.
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
                ASSERT_NE(Err(uuid), 0);
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
                    ASSERT_NE(Err(uuid), 0);
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

// Logs ending inside an interval that published nothing go on to the next, restart or not.
TEST_F(PromisesTest, LogsOfAnIntervalThatPublishedNothingGoOnToTheNextOne) {
    Upload(kA, 1000);
    Interval({kA});
    const std::uint64_t before = clock;
    ASSERT_EQ(Log(kA, true), 0);
    const std::string emptyDone = Redo() + "/IntervalDone.vid";
    Close();
    const std::string doneBytes = ReadFile(emptyDone);
    ASSERT_NE(Err(kA), 0);
    ASSERT_EQ(Folders(), 1) << "the interval whose every database failed got a folder";
    Upload(kA, 2000);
    ASSERT_EQ(LogAt(kA, before + 100), 0);
    ASSERT_EQ(LogAt(kA, before + 200), 0);
    Rebuild();
    SettleWithRetries();
    Close();
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 2002u) << "logs were left behind the upload";
    // Its interval-done file back after a power cut; a log still being written.
    const std::string emptyRedo = emptyDone.substr(0, emptyDone.rfind('/'));
    MakeDirs(emptyRedo);
    WriteFile(emptyDone, doneBytes);
    WriteFile(emptyRedo + "/still-being-written.vrl", "the header comes last");
    Rebuild();
    SettleWithRetries();
    EXPECT_EQ(UnfinishedIntervals(), "");
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 2003u);
    EXPECT_EQ(UnfinishedIntervals(), "");
}

// Of two intervals that publish nothing, only the newer keeps its interval-done file.
TEST_F(PromisesTest, OnlyTheNewestIntervalThatPublishedNothingKeepsItsIntervalDoneFile) {
    Upload(kA, 1000);
    Interval({kA});
    ASSERT_EQ(Log(kA, true), 0);
    const std::string first = Redo() + "/IntervalDone.vid";
    Close();
    ASSERT_NE(Err(kA), 0);
    EXPECT_TRUE(IsFile(first)) << "the newest interval's end is kept";
    const std::string second = Redo() + "/IntervalDone.vid";
    Close();
    EXPECT_EQ(Folders(), 1);
    EXPECT_TRUE(IsFile(second)) << "the newest interval's end is kept";
    EXPECT_FALSE(IsFile(first)) << "an older kept interval-done file outlived it";
    Upload(kA, 2000);
    Interval({kA});
    EXPECT_EQ(MsnOf(CopyOf(NewestFolder(), kA)), 2001u);
    EXPECT_FALSE(IsFile(second)) << "a later interval started: the kept file goes";
}
