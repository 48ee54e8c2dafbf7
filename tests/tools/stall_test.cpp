// A backup that cannot go on is never "OK": ibsdb status and systemd's status line say why.
#include <sys/stat.h>
#include <utime.h>

#include <sstream>

#include "tests/Process.h"
#include "tests/manager/CycleFixture.h"
#include "tests/tools/Has.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

using namespace testutil;

namespace {

class StallTest : public CycleFixture {
protected:
    void SetUp() override {
        // The status line goes to a socket of the test's, as systemd's would.
        ::setenv("NOTIFY_SOCKET", notify.Path().c_str(), 1);
        CycleFixture::SetUp();
    }
    void TearDown() override {
        CycleFixture::TearDown();
        ::unsetenv("NOTIFY_SOCKET");
    }
    // ibsdb status at the wall clock: the state's times are the service's clock.
    int Status(std::string& text, std::uint64_t critWait = 3600ull * 1000000) {
        ibsdb::StatusOptions o;
        o.backup = backup();
        o.critWait = critWait;
        std::ostringstream out;
        int code = ibsdb::Status(o, out);
        text = out.str();
        return code;
    }
    std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

    TempDir sockets;
    NotifySocket notify{sockets / "notify"};
};

}  // namespace

TEST_F(StallTest, AFullDiskTurnsStatusWarningWithinOneRetryAndCriticalPastTheLimit) {
    Upload(kA, 10);
    Upload(kB, 20);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB), 0);
    Close();
    std::string text;
    EXPECT_EQ(Status(text), ibsdb::kOk) << text;

    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB), 0);
    // The volume is full: no copy, page or new file can be written in the backup folder.
    Mirel::FaultEnv::Scope disarm(faults);
    for (auto op : {Mirel::FsOp::kCopy, Mirel::FsOp::kWrite, Mirel::FsOp::kHardLink})
        faults.Arm(op, backup() + "/InProgress*", Mirel::kErrDiskFull);
    faults.Arm(Mirel::FsOp::kWrite, backup() + "/.ibs-*", Mirel::kErrDiskFull);
    // Retries far apart: the first still pending when looked at, however slow the machine.
    mgr->Cycle().SetRetryDelays(500, 500);
    const std::uint64_t second = Close(0, false);
    Settle();  // the cycle ran once, failed, and waits for its retry
    ASSERT_TRUE(mgr->RetryPending());
    mgr->Cycle().SetRetryDelays(2, 20);
    // The state could not be written anew: it was overwritten in place.
    EXPECT_TRUE(
        Has(ReadFile(backup() + "/State.tsv"), "wait\tenvironment\t" + std::to_string(second)));

    // What failed, where, and why.
    EXPECT_EQ(Status(text), ibsdb::kWarning) << text;
    EXPECT_TRUE(Has(FirstLine(text),
                    "/InProgress/1111.vdb failed: no space left on the backup "
                    "volume (20407), retried"));
    EXPECT_EQ(Status(text, 0), ibsdb::kCritical) << text;  // past the limit
    EXPECT_TRUE(notify.WaitFor("(20407), retry in", 5000));

    // Space comes back: the interval completes and status is OK again.
    faults.Clear();
    SettleWithRetries();
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}, {kB, 22}}));
    EXPECT_EQ(Status(text), ibsdb::kOk) << text;
    EXPECT_EQ(ReadFile(backup() + "/State.tsv").find("\nwait\t"), std::string::npos);
    EXPECT_TRUE(notify.WaitFor("; idle", 5000));
}

// An error of no known kind is tried a few times, then waits for the server's next interval.
TEST_F(StallTest, AnErrorOfNoKnownKindIsTriedAFewTimesThenWaitsForTheServersNextFile) {
    Upload(kA, 10);
    ASSERT_EQ(Log(kA), 0);
    Close();
    ASSERT_EQ(Log(kA), 0);
    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(Mirel::FsOp::kRename, backup() + "/InProgress", Mirel::kErrSystemBase + EFBIG);
    mgr->Cycle().SetRetryDelays(2, 2);
    const std::uint64_t second = Close();  // settles once no retry is pending
    EXPECT_FALSE(mgr->RetryPending());
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 11}}));
    EXPECT_TRUE(IsDir(backup() + "/InProgress"));

    std::string text;
    EXPECT_EQ(Status(text), ibsdb::kWarning) << text;
    EXPECT_TRUE(Has(FirstLine(text), ibsdb::TimeText(second) + " UTC waits: rename InProgress"));
    EXPECT_TRUE(
        notify.WaitFor("(21027), tried again when the server closes its next interval", 5000));

    // A log alone does not try again; the next interval-done file publishes both.
    faults.Clear();
    ASSERT_EQ(Log(kA), 0);
    Settle();
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 11}}));
    Close();
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 13}}));
    EXPECT_EQ(Status(text), ibsdb::kOk) << text;
}

TEST_F(StallTest, AnIntervalDoneFileFromAClockThatWentBackTurnsStatusWarning) {
    Upload(kA, 10);
    ASSERT_EQ(Log(kA), 0);
    const std::uint64_t published = Close();
    ASSERT_EQ(Log(kA), 0);
    // The server's clock went back a minute: its interval-done file closes nothing.
    EXPECT_EQ(mgr->RedoLogIsReady(U(WriteDone(Redo(), published - kMinute, {})), u"", true),
              Mirel::kErrStaleIntervalDone);
    std::string text;
    EXPECT_EQ(Status(text), ibsdb::kWarning) << text;
    EXPECT_TRUE(Has(FirstLine(text), "the server's clock went back?"));
    EXPECT_TRUE(notify.WaitFor("(the server's clock went back?)", 5000));
    // The clock is right again: the next interval publishes, the warning goes.
    Close();
    EXPECT_EQ(Status(text), ibsdb::kOk) << text;
}

TEST_F(StallTest, AClosedIntervalTheServiceDoesNotTakeUpTurnsStatusWarning) {
    Upload(kA, 10);
    ASSERT_EQ(Log(kA), 0);
    const std::uint64_t published = Close();
    // An interval-done file the service was never told of, written two minutes ago.
    const std::string done = WriteDone(Redo(), published + kMinute, {});
    std::string text;
    EXPECT_EQ(Status(text), ibsdb::kOk) << "just written: the service has a minute" << text;
    const std::time_t back = std::time(nullptr) - 120;
    utimbuf times{back, back};
    ASSERT_EQ(::utime(done.c_str(), &times), 0);
    EXPECT_EQ(Status(text), ibsdb::kWarning) << text;
    EXPECT_TRUE(Has(FirstLine(text), "interval " + ibsdb::TimeText(published + kMinute) +
                                         " UTC was closed and the service has not started it"));
}

// The documented example of a server whose clock runs ahead (docs/install.md).
TEST(ServiceStateFileTest, TheStatusLineLagIsNowMinusTheEndEvenWhenTheServerIsAhead) {
    testutil::TempDir tmp;
    ServiceState state;
    const std::uint64_t end = 1800000060000000ull;
    state.SetFolder(tmp.path(), "LastGood_2027-01-15_0801", end);
    EXPECT_TRUE(Has(state.StatusLine(end - 90000000),
                    "lag -1m 30s (the server's clock is ahead of this host's); idle"));
    state.Leave(true);
}
