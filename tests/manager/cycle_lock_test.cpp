// The cycle's file work runs without the catalogue's lock: announcements are answered meanwhile
// and taken into account when the work is committed.
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "tests/manager/CycleFixture.h"

namespace {

using namespace testutil;

class CycleLockTest : public CycleFixture {
protected:
    // The cycle on a thread of its own, as the main thread runs it, until joined.
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

    // With the cycle held at its first file operation under `at`, A's log ending at `end` is
    // announced on another thread; its answer, then the cycle run to its end (-1: it hung).
    std::int32_t AnswerWhileHeld(
        const std::string& at, std::uint64_t end, std::string* path = nullptr,
        const std::function<void()>& held = [] {}) {
        // Armed before the cycle runs: armed after, the cycle could pass the first operation.
        Gate gate(gates, backup() + at);
        CycleThread cycle(*this);
        EXPECT_TRUE(gate.WaitHeld(60000)) << "the cycle never got to " << at;
        held();
        auto answer =
            std::async(std::launch::async, [this, end, path] { return LogAt(kA, end, path); });
        if (answer.wait_for(std::chrono::seconds(60)) != std::future_status::ready) return -1;
        gate.Release();
        cycle.Join();
        Settle();
        return answer.get();
    }

    std::string UploadPath() const {
        return backup() + "/Copies/u" + std::to_string(seq) + "/" + kA.substr(0, 4) + ".vdb";
    }
};

// A log announced while the start links is answered and applied in the interval it starts.
TEST_F(CycleLockTest, ALogAnnouncedWhileTheStartLinksItsCopiesIsAnsweredAndApplied) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    ASSERT_EQ(Newest(), (Msns{{kA, 11}, {kB, 21}}));
    ASSERT_EQ(Log(kA), 0);  // B has no log: it is carried forward
    const std::uint64_t end = Close(0, false);

    ASSERT_EQ(AnswerWhileHeld("/InProgress/", end - 1), 0);

    EXPECT_EQ(Newest(), (Msns{{kA, 13}, {kB, 21}}));
    states[end][kA] = 13;
    ExpectEveryFolderExact();
    EXPECT_EQ(UnfinishedIntervals(), "");
    EXPECT_FALSE(Exists(backup() + "/Rejected"));
}

// A log announced while its database fails in the start goes aside with the failure.
TEST_F(CycleLockTest, ALogAnnouncedWhileItsDatabaseFailsInTheStartGoesWithTheFailure) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    Upload(kA, 30);
    const std::string upload = UploadPath();
    ASSERT_EQ(Log(kB), 0);
    const std::uint64_t end = Close(0, false);

    // The copies folder went to another file system: A's move fails, B's link is held.
    auto disarm = Fault(Mirel::FsOp::kRename, upload, Mirel::kErrCrossDevice);
    std::string log;
    ASSERT_EQ(AnswerWhileHeld("/InProgress/", end - 1, &log), 0) << "A had not failed yet";

    EXPECT_GE(faults.Fired(), 1);
    EXPECT_EQ(Err(kA), Mirel::kErrCopyFailed);
    EXPECT_NE(ReadFile(backup() + "/Failed.tsv").find(kA + "\t10710\t"), std::string::npos);
    EXPECT_FALSE(Exists(log)) << "the log announced meanwhile stayed behind";
    const std::string reasons = ReadFile(backup() + "/Rejected/reasons.tsv");
    EXPECT_NE(reasons.find(log.substr(log.rfind('/') + 1)), std::string::npos) << reasons;
    EXPECT_TRUE(Exists(upload)) << "the upload that could not be moved is kept";
    // The folder lacks A (its older copy stays where it was); B went on.
    EXPECT_EQ(Newest(), (Msns{{kB, 22}}));
    EXPECT_EQ(UnfinishedIntervals(), "");
    // The failure stays: A's next log is refused until a new upload.
    msns[kA] = 31;
    EXPECT_EQ(LogAt(kA), Mirel::kErrCopyFailed);
}

// A stop during the start's or the manifest's file work waits for that operation only: nothing
// is published, no retry counted.
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
        std::optional<Gate> gate(std::in_place, gates, backup() + at);
        CycleThread cycle(*this);
        {
            ASSERT_TRUE(gate->WaitHeld(60000)) << "the cycle never got there";
            Catalogue::StopScope stopping(mgr->Cat());
            std::future<bool> stopped =
                std::async(std::launch::async, [this] { return mgr->StopWorkers(false); });
            gate->Release();
            EXPECT_TRUE(stopped.get()) << "the stop did not see the file work end";
            cycle.Join();
            EXPECT_EQ(NewestFolder(), published) << "published while a stop waited";
            if (start) {
                // A's copy was linked; B's never was.
                EXPECT_TRUE(Exists(CopyOf(backup() + "/InProgress", kA)));
                EXPECT_FALSE(Exists(CopyOf(backup() + "/InProgress", kB)));
            }
            EXPECT_EQ(UnfinishedIntervals(), " " + std::to_string(end));
            EXPECT_FALSE(mgr->RetryPending()) << "a stop is no failure of the environment";
        }
        gate.reset();
        mgr->SetAbortWait(10000);
        Settle();
        EXPECT_NE(NewestFolder(), published);
        EXPECT_EQ(Newest(), (Msns{{kA, msns[kA]}, {kB, msns[kB]}}));
        ExpectEveryFolderExact();
        EXPECT_EQ(UnfinishedIntervals(), "");
    }
}

// A log announced while its interval is published goes to the next one, recorded for a restart.
TEST_F(CycleLockTest, ALogAnnouncedWhileItsIntervalIsPublishedGoesToTheNextInterval) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB), 0);
    const std::uint64_t end = Close(0, false);

    std::string log;
    ASSERT_EQ(AnswerWhileHeld("/LastGood", end - 1, &log,
                              [&] { EXPECT_TRUE(Exists(backup() + "/InProgress/manifest.tsv")); }),
              0);

    // The folder holds the copies as they were when the publication began.
    EXPECT_EQ(Newest(), (Msns{{kA, 12}, {kB, 22}}));
    EXPECT_TRUE(Exists(log)) << "the log was set aside or removed";
    EXPECT_NE(ReadFile(backup() + "/UploadsAfter.tsv").find(log), std::string::npos)
        << "a restart would not know where the log went";
    // The next interval applies it.
    Interval({kB});
    EXPECT_EQ(Newest(), (Msns{{kA, 13}, {kB, 23}}));
    ExpectEveryFolderExact();
    EXPECT_EQ(UnfinishedIntervals(), "");
    EXPECT_FALSE(Exists(backup() + "/Rejected"));
}

}  // namespace
