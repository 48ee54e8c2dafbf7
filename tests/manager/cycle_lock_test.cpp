// The interval cycle's file work (a start's links, copies and moves; a publication's manifest
// and rename) runs without the catalogue's lock: the server's announcements are answered
// meanwhile, and what they changed is taken into account when the work is committed.
#include <future>
#include <thread>

#include "tests/manager/CycleFixture.h"

namespace {

using testutil::kA;
using testutil::kB;
using testutil::U;

class CycleLockTest : public testutil::CycleFixture {
protected:
    // The cycle on a thread of its own, as the service's main thread runs it: every check
    // asked for, in order, until it is joined (at the end of the scope at the latest).
    static constexpr int kEnd = 4711;
    struct CycleThread {
        explicit CycleThread(CycleLockTest& t)
            : test(t), thread([&t] {
                  while (auto m = t.Queue().GetMsg(60000)) {
                      if (m->GetMsgCode() == kEnd) break;
                      if (m->GetMsgCode() == 1231) t.mgr->CheckIntervals();
                  }
              }) {}
        ~CycleThread() { Join(); }
        void Join() {
            if (!thread.joinable()) return;
            test.Queue().PostMsg(kEnd);
            thread.join();
        }
        CycleLockTest& test;
        std::thread thread;
    };

    // Announces the log on another thread and waits for the answer, at most a minute (a
    // test that would otherwise hang fails instead); false when none came.
    bool AnswerMeanwhile(std::future<std::int32_t>& answer, std::uint64_t end,
                         std::string* path = nullptr) {
        answer = std::async(std::launch::async, [this, end, path] { return LogAt(kA, end, path); });
        return answer.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    }

    std::string UploadPath() const {
        return backup() + "/Copies/u" + std::to_string(seq) + "/" + kA.substr(0, 4) + ".vdb";
    }
};

// A start held at its first link answers a log announced meanwhile, for the very interval
// it starts; the interval's copy is then brought forward by that log too.
TEST_F(CycleLockTest, ALogAnnouncedWhileTheStartLinksItsCopiesIsAnsweredAndApplied) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    ASSERT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 11}, {kB, 21}}));
    ASSERT_EQ(Log(kA), 0);  // B has no log: it is carried forward
    const std::uint64_t end = Close(0, false);

    CycleThread cycle(*this);
    std::future<std::int32_t> answer;
    testutil::Gate gate(gates, backup() + "/InProgress/");
    ASSERT_TRUE(gate.WaitHeld(60000)) << "the start linked no copy";
    ASSERT_TRUE(AnswerMeanwhile(answer, end - 1)) << "the announcement waited for the start";
    EXPECT_EQ(answer.get(), 0);
    gate.Release();
    cycle.Join();
    Settle();

    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 13}, {kB, 21}}));
    states[end][kA] = 13;
    ExpectEveryFolderExact();
    EXPECT_EQ(UnfinishedIntervals(), "");
    EXPECT_FALSE(testutil::Exists(backup() + "/Rejected"));
}

// The start fails a database whose upload cannot be moved while its other copies are still
// being linked; a log of that database announced meanwhile was taken, and goes with the
// failure (set aside, never lost, never applied); the failure stays.
TEST_F(CycleLockTest, ALogAnnouncedWhileItsDatabaseFailsInTheStartGoesWithTheFailure) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    Upload(kA, 30);
    const std::string upload = UploadPath();
    ASSERT_EQ(Log(kB), 0);
    const std::uint64_t end = Close(0, false);

    Mirel::FaultEnv::Scope disarm(faults);
    // The copies folder went to another file system: A's move fails, B's link is held.
    faults.Arm(Mirel::FsOp::kRename, upload, Mirel::kErrCrossDevice);
    CycleThread cycle(*this);
    std::future<std::int32_t> answer;
    std::string log;
    testutil::Gate gate(gates, backup() + "/InProgress/");
    ASSERT_TRUE(gate.WaitHeld(60000)) << "the start linked no copy";
    ASSERT_TRUE(AnswerMeanwhile(answer, end - 1, &log)) << "the announcement waited";
    EXPECT_EQ(answer.get(), 0) << "A had not failed yet when its log came";
    gate.Release();
    cycle.Join();
    Settle();

    EXPECT_GE(faults.Fired(), 1);
    EXPECT_EQ(mgr->GetDatabaseError(U(kA)), Mirel::kErrCopyFailed);
    EXPECT_NE(testutil::ReadFile(backup() + "/Failed.tsv").find(kA + "\t10710\t"),
              std::string::npos);
    EXPECT_FALSE(testutil::Exists(log)) << "the log announced meanwhile stayed behind";
    const std::string reasons = testutil::ReadFile(backup() + "/Rejected/reasons.tsv");
    EXPECT_NE(reasons.find(log.substr(log.rfind('/') + 1)), std::string::npos) << reasons;
    EXPECT_TRUE(testutil::Exists(upload)) << "the upload that could not be moved is kept";
    // The folder lacks A (its older copy stays where it was); B went on.
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kB, 22}}));
    EXPECT_EQ(UnfinishedIntervals(), "");
    // The failure stays: A's next log is refused until a new upload.
    msns[kA] = 31;
    EXPECT_EQ(LogAt(kA), Mirel::kErrCopyFailed);
}

// A stop while the start links its copies or the manifest is written waits for that file
// operation only: nothing is published, no retry is counted, and the stop's end finishes it.
TEST_F(CycleLockTest, AStopDuringTheStartOrTheManifestEndsTheCycleAtItsNextStep) {
    for (const std::string at : {"/InProgress/", "/InProgress/manifest.tsv"}) {
        SCOPED_TRACE(at);
        const bool start = at == "/InProgress/";
        Upload(kA, 100 + 100 * seq);
        Upload(kB, 100 + 100 * seq);
        Interval({kA, kB});
        ASSERT_EQ(Log(kA), 0);
        ASSERT_EQ(Log(kB), 0);
        const std::uint64_t end = Close(0, false);
        const std::string published = NewestFolder();
        mgr->SetAbortWait(0);
        CycleThread cycle(*this);
        {
            testutil::Gate gate(gates, backup() + at);
            ASSERT_TRUE(gate.WaitHeld(60000)) << "the cycle never got there";
            Catalogue::StopScope stopping(mgr->Cat());
            std::future<bool> stopped =
                std::async(std::launch::async, [this] { return mgr->StopWorkers(false); });
            gate.Release();
            EXPECT_TRUE(stopped.get()) << "the stop did not see the file work end";
            cycle.Join();
            EXPECT_EQ(NewestFolder(), published) << "published while a stop waited";
            if (start) {
                // A's copy was linked; B's never was.
                EXPECT_TRUE(testutil::Exists(CopyOf(backup() + "/InProgress", kA)));
                EXPECT_FALSE(testutil::Exists(CopyOf(backup() + "/InProgress", kB)));
            }
            EXPECT_EQ(UnfinishedIntervals(), " " + std::to_string(end));
            EXPECT_FALSE(mgr->RetryPending()) << "a stop is no failure of the environment";
        }
        mgr->SetAbortWait(10000);
        Settle();
        EXPECT_NE(NewestFolder(), published);
        EXPECT_EQ(Newest(), (testutil::Msns{{kA, msns[kA]}, {kB, msns[kB]}}));
        ExpectEveryFolderExact();
        EXPECT_EQ(UnfinishedIntervals(), "");
    }
}

// A log announced while its interval is published (at the rename, after the manifest) is
// answered and goes on to the next interval, recorded for a restart: neither lost nor left out.
TEST_F(CycleLockTest, ALogAnnouncedWhileItsIntervalIsPublishedGoesToTheNextInterval) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB), 0);
    const std::uint64_t end = Close(0, false);

    CycleThread cycle(*this);
    std::future<std::int32_t> answer;
    std::string log;
    testutil::Gate gate(gates, backup() + "/LastGood");
    ASSERT_TRUE(gate.WaitHeld(60000)) << "the interval was never published";
    ASSERT_TRUE(testutil::Exists(backup() + "/InProgress/manifest.tsv"));
    ASSERT_TRUE(AnswerMeanwhile(answer, end - 1, &log)) << "the announcement waited";
    EXPECT_EQ(answer.get(), 0);
    gate.Release();
    cycle.Join();
    Settle();

    // The folder holds the copies as they were when the publication began.
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 12}, {kB, 22}}));
    EXPECT_TRUE(testutil::Exists(log)) << "the log was set aside or removed";
    EXPECT_NE(testutil::ReadFile(backup() + "/UploadsAfter.tsv").find(log), std::string::npos)
        << "a restart would not know where the log went";
    // The next interval applies it.
    Interval({kB});
    EXPECT_EQ(Newest(), (std::map<std::string, std::uint64_t>{{kA, 13}, {kB, 23}}));
    ExpectEveryFolderExact();
    EXPECT_EQ(UnfinishedIntervals(), "");
    EXPECT_FALSE(testutil::Exists(backup() + "/Rejected"));
}

}  // namespace
