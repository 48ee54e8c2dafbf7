// The backup manager in-process, with no application object: this test thread plays the
// application's main thread, taking the trigger's requests from a queue and running the
// interval cycle, as the message loop does; the sink records what would reach the server.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
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

// Holds the first hard link or move (or, with `writes`, the first write of a copy) whose path
// starts with a prefix until released: the cycle or a worker stopped in the middle of its file
// work, for as long as the test needs.
class GateEnv : public Mirel::EnvWrapper {
public:
    explicit GateEnv(Mirel::Env& target) : EnvWrapper(target) {}
    Mirel::Error PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                           const std::string& path) override {
        Hold(path, true);
        return EnvWrapper::PWriteAll(fd, buf, n, off, path);
    }
    Mirel::Error Append(int fd, const void* buf, std::size_t n, const std::string& path) override {
        Hold(path, true);
        return EnvWrapper::Append(fd, buf, n, path);
    }
    Mirel::Error PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                         const std::string& path) override {
        Hold(path, true);
        return EnvWrapper::PWriteV(fd, iov, count, off, path);
    }
    Mirel::Error HardLink(const std::string& existing, const std::string& link) override {
        Hold(link, false);
        return EnvWrapper::HardLink(existing, link);
    }
    Mirel::Error Move(const std::string& from, const std::string& to, bool replace) override {
        Hold(to, false);
        return EnvWrapper::Move(from, to, replace);
    }
    void Hold(const std::string& path, bool write) {
        std::unique_lock<std::mutex> l(m);
        // A written manifest is the cycle's own, written on the main thread.
        if (open || write != writes || path.rfind(prefix, 0) != 0 ||
            (write && path.find("/manifest.tsv") != path.npos))
            return;
        held = true;
        cv.notify_all();
        cv.wait(l, [this] { return open; });
    }
    std::mutex m;
    std::condition_variable cv;
    std::string prefix;
    bool writes = false, held = false, open = true;
};

// Closes a test's gate for a scope; it opens at the end of the scope at the latest.
class Gate {
public:
    Gate(GateEnv& gate, const std::string& prefix, bool writes = false) : gate(gate) {
        std::lock_guard<std::mutex> g(gate.m);
        gate.prefix = prefix;
        gate.writes = writes;
        gate.held = gate.open = false;
    }
    ~Gate() { Release(); }
    // False when nothing reached the gate in `ms` (the test fails rather than hangs).
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
    GateEnv& gate;
};

// Stands between the OS layer and the kernel to play a hostile user: the first time an
// operation on `path` is about to be made, `swap` runs first; with none set, it changes nothing.
class SwapBeforeUse : public Mirel::EnvWrapper {
public:
    explicit SwapBeforeUse(Mirel::Env& target) : EnvWrapper(target) {}
    void Set(const std::string& path, std::function<void()> swap) {
        std::lock_guard<std::mutex> g(mM);
        mPath = path;
        mSwap = std::move(swap);
    }
    bool Swapped() {
        std::lock_guard<std::mutex> g(mM);
        return !mSwap;
    }
    Mirel::Error Stat(const std::string& path, Mirel::Os::Info& info) override {
        Before(path);
        return EnvWrapper::Stat(path, info);
    }
    bool IsFolder(const std::string& path) override {
        Before(path);
        return EnvWrapper::IsFolder(path);
    }
    bool SameObject(const std::string& a, const std::string& b) override {
        Before(a);
        Before(b);
        return EnvWrapper::SameObject(a, b);
    }
    Mirel::Error OpenRead(const std::string& path, int& fd, Mirel::Os::Info* info,
                          bool nb) override {
        Before(path);
        return EnvWrapper::OpenRead(path, fd, info, nb);
    }
    Mirel::Error OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                            Mirel::Os::Info* info, bool nb) override {
        Before(path);
        return EnvWrapper::OpenReadAt(dirFd, name, path, fd, info, nb);
    }
    Mirel::Error CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                               bool lastIsFile) override {
        Before(root);
        return EnvWrapper::CheckRealPath(root, components, lastIsFile);
    }
    Mirel::Error OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                                int& dirFd) override {
        Before(root);
        return EnvWrapper::OpenRealFolder(root, components, dirFd);
    }
    Mirel::Error Move(const std::string& from, const std::string& to, bool replace) override {
        Before(from);
        return EnvWrapper::Move(from, to, replace);
    }

private:
    // The first call on the path runs the swap first.
    void Before(const std::string& path) {
        std::function<void()> swap;
        {
            std::lock_guard<std::mutex> g(mM);
            if (path != mPath || !mSwap) return;
            swap = std::move(mSwap);
            mSwap = nullptr;
        }
        if (swap) swap();
    }

    std::mutex mM;
    std::string mPath;
    std::function<void()> mSwap;
};

class ManagerTest : public ::testing::Test {
protected:
    // The server model's options: its seed and number of databases, the rest the model's own.
    static sim::WorkloadOptions Options(std::uint64_t seed, int databases = 4) {
        sim::WorkloadOptions o;
        o.seed = seed;
        o.databases = databases;
        return o;
    }
    QueueTrigger& Trigger() { return trigger; }
    RecordingSink& Sink() { return sink; }
    void SetUp() override {
        Mirel::gDebugger.SetLogFile(tmp.path(), "talonibDebug.log");
        if (std::getenv("IBS_TEST_DUMP_INTERVALS")) {
            Mirel::gDebugger.SetBit(57, true);
            Mirel::gDebugger.SetBit(33, true);
        }
        ASSERT_EQ(mgr->SetBackupFolder(Mirel::unistring::FromUTF8(backup())), 1);
        Settle();
    }
    void TearDown() override {
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

    // What a restart does: the catalogue rebuilt from the backup folder.
    void Rebuild() {
        mgr->RegisterServer(u"127.0.0.1", 1);
        ASSERT_EQ(mgr->SetBackupFolder(Mirel::unistring::FromUTF8(backup())), 1);
    }
    // `n` intervals of the server's logs (but those of the databases in `skip`), each run
    // until the cycle has nothing left to do.
    void Intervals(sim::Workload& server, int n = 1, const std::vector<int>& skip = {}) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(server.WriteIntervalLogs(skip), 0);
            ASSERT_EQ(server.CloseInterval(), 0);
            Settle();
        }
    }
    // Database `i`'s next log is damaged after it was written (its header still reads well)
    // and the interval closes with it: the database fails, its newest good copy stays behind.
    void FailWithDamagedLog(sim::Workload& server, int i) {
        ASSERT_EQ(server.WriteCorruptLog(i), 0);
        ASSERT_EQ(server.WriteIntervalLogs({i}), 0);
        server.Forget(i);
        ASSERT_EQ(server.CloseInterval(), 0);
        Settle();
    }

    TempDir tmp;
    // The test's own fault seam, disk that can lose power, gate and hostile user, in front of
    // the real calls: its manager and its thread work through them.
    SwapBeforeUse swapBeforeUse{Mirel::Env::Default()};
    GateEnv gates{swapBeforeUse};
    Mirel::PowerLoss::Disk disk{gates};
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
