// The backup manager in-process, with no application object: this test thread plays the
// application's main thread, taking the trigger's requests from a queue and running the
// interval cycle, as the message loop does; the sink records what would reach the server.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/IBSMgr.h"
#include "platform/support/Debug.h"
#include "platform/support/Env.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"
#include "platform/support/Thread.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/lib/PowerLoss.h"
#include "tools/sim/Workload.h"

namespace testutil {

class DirectAnnouncer : public sim::Announcer {
public:
    explicit DirectAnnouncer(IBSMgr* m) : mgr(m) {}
    bool Upload(const std::string& path, const std::string& uuid) override {
        return mgr->FullDBBackupIsUploaded(Mirel::unistring::FromUTF8(path),
                                           Mirel::unistring::FromUTF8(uuid));
    }
    std::int32_t RedoLogReady(const std::string& path, const std::string& uuid) override {
        return mgr->RedoLogIsReady(Mirel::unistring::FromUTF8(path),
                                   Mirel::unistring::FromUTF8(uuid), true);
    }
    IBSMgr* mgr;
};

// The manager's trigger: every request is a 1231 in this queue.
class QueueTrigger : public CycleTrigger {
public:
    static constexpr std::int32_t kCheck = 1231;
    static constexpr std::int32_t kStopped = 1224;
    void CheckIntervals() override { queue.PostMsg(kCheck); }
    void Stopped() override { queue.PostMsg(kStopped); }
    Mirel::MsgQ queue;
};

// The manager's sink: what the server's hub would have been sent.
class RecordingSink : public EventSink {
public:
    void Event(std::int32_t code, const std::vector<Mirel::unistring>&) override {
        std::lock_guard<std::mutex> g(m);
        events.push_back(code);
    }
    void DatabaseFailed(const Mirel::unistring& uuid) override {
        std::lock_guard<std::mutex> g(m);
        failed.push_back(uuid.ToUTF8());
    }
    bool LinkServer(const std::string&, unsigned short) override { return true; }
    void EndLink() override {}
    void Join() override {}
    std::vector<std::string> Failed() {
        std::lock_guard<std::mutex> g(m);
        return failed;
    }

    std::mutex m;
    std::vector<std::int32_t> events;
    std::vector<std::string> failed;
};

// Holds the first write of a copy below a folder until released: a worker stopped in the
// middle of an item, for as long as the test needs it there.
class WriteGateEnv : public Mirel::EnvWrapper {
public:
    explicit WriteGateEnv(Mirel::Env& target) : EnvWrapper(target) {}
    Mirel::Error PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                           const std::string& path) override {
        Hold(path);
        return EnvWrapper::PWriteAll(fd, buf, n, off, path);
    }
    Mirel::Error Append(int fd, const void* buf, std::size_t n, const std::string& path) override {
        Hold(path);
        return EnvWrapper::Append(fd, buf, n, path);
    }
    Mirel::Error PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                         const std::string& path) override {
        Hold(path);
        return EnvWrapper::PWriteV(fd, iov, count, off, path);
    }
    void Hold(const std::string& path) {
        std::unique_lock<std::mutex> l(m);
        // The manifest is the cycle's own, written on the main thread.
        if (open || path.rfind(prefix, 0) != 0 || path.find("/manifest.tsv") != path.npos) return;
        held = true;
        cv.notify_all();
        cv.wait(l, [this] { return open; });
    }
    std::mutex m;
    std::condition_variable cv;
    std::string prefix;
    bool held = false, open = true;
};

// Closes a test's gate for a scope; it opens at the end of the scope at the latest.
class WriteGate {
public:
    WriteGate(WriteGateEnv& gate, const std::string& prefix) : gate(gate) {
        std::lock_guard<std::mutex> g(gate.m);
        gate.prefix = prefix;
        gate.held = gate.open = false;
    }
    ~WriteGate() { Release(); }
    bool WaitHeld(int ms) {
        std::unique_lock<std::mutex> l(gate.m);
        return gate.cv.wait_for(l, std::chrono::milliseconds(ms), [this] { return gate.held; });
    }
    void Release() {
        std::lock_guard<std::mutex> g(gate.m);
        gate.open = true;
        gate.cv.notify_all();
    }

private:
    WriteGateEnv& gate;
};

class ManagerTest : public ::testing::Test {
protected:
    QueueTrigger& Trigger() { return trigger; }
    RecordingSink& Sink() { return sink; }
    void SetUp() override {
        Mirel::gDebugger.SetLogFile(tmp.path(), "talonibDebug.log");
        ASSERT_EQ(mgr->SetBackupFolder(Mirel::unistring::FromUTF8(backup())), 1);
        Settle();
    }
    void TearDown() override {
        Mirel::Faults::Clear();
        faults.Clear();
        mgr->SetBackupFolder(u"");
        while (Queue().GetMsg(0)) {
        }
    }

    std::string backup() const { return tmp / "backup"; }
    // Failures of the environment are retried after milliseconds rather than seconds.
    struct ShortRetries {
        explicit ShortRetries(IBSMgr* m) : mgr(m) { mgr->Cycle().SetRetryDelays(2, 20); }
        ~ShortRetries() { mgr->Cycle().SetRetryDelays(2000, 300000); }
        IBSMgr* mgr;
    };
    Mirel::MsgQ& Queue() { return Trigger().queue; }

    // No worker holds or waits for an item of the current interval, and no check a worker
    // asked for on its way out is still to run (seen together, under the catalogue's lock: a
    // worker releases its item and asks for the check in one step).
    bool Idle() {
        bool idle = true;
        mgr->WithCatalogue([&](IntervalMap& intervals) {
            if (mgr->CheckPending() && mgr->FoldersReady() && !mgr->RetryPending()) idle = false;
            auto it = intervals.find(mgr->GetIntervalEnd());
            if (it == intervals.end()) return;
            for (auto& [uuid, item] : it->second.databases)
                if (item.owned || item.lastLogMSN != 0) idle = false;
        });
        return idle;
    }

    // The ends of the intervals in the catalogue, but the open one, that have no last-good
    // folder ("" when none): once the cycle has settled, an interval nothing will finish.
    std::string UnfinishedIntervals() {
        std::string keys;
        mgr->WithCatalogue([&](IntervalMap& intervals) {
            for (auto& [key, interval] : intervals)
                if (key != kOpenInterval && interval.backup.IsClear())
                    keys += " " + std::to_string(key);
        });
        return keys;
    }

    // Runs the cycle for every 1231 until nothing is left to do.
    void Settle() {
        for (int rounds = 0; rounds < 100000; ++rounds) {
            while (auto m = Queue().GetMsg(0))
                if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
            if (Idle()) return;
            auto m = Queue().GetMsg(60000);
            ASSERT_NE(m, nullptr) << "the workers never reported back";
            if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
        }
    }

    // Count of files with an extension below a folder.
    static int CountFiles(const std::string& folder, const char16_t* ext) {
        std::vector<Mirel::UniversalPath> files;
        Mirel::BuildPathListExtensionFunctor f(files, ext, false);
        Mirel::Directory(Mirel::UniversalPath::Folder(folder)).ProcessFiles(f, 100);
        return static_cast<int>(files.size());
    }

    TempDir tmp;
    // The test's own fault seam in front of its own disk that can lose power and its own gate
    // of writes: its manager and its thread work through them. Behind them, the process's Env
    // (the process-wide target of the test that stands in for a hostile user).
    WriteGateEnv writeGate{Mirel::Os::ProcessEnv()};
    Mirel::PowerLoss::Disk disk{writeGate};
    Mirel::FaultEnv faults{disk};
    Mirel::Env::Scope files{faults};
    // Each test has its own manager, and its own trigger and sink, which outlive it.
    QueueTrigger trigger;
    RecordingSink sink;
    std::unique_ptr<IBSMgr> owned = [this] {
        auto m = std::make_unique<IBSMgr>(faults);
        m->Connect(&trigger, &sink);
        m->CreateWorkers(2);
        return m;
    }();
    IBSMgr* mgr = owned.get();
    DirectAnnouncer announcer{mgr};
};

}  // namespace testutil
