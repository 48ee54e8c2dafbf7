// The manager in-process: this thread plays the main thread's message loop; the sink records
// what would reach the server.
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
#include "tests/manager/Files.h"
#include "tools/sim/Workload.h"

namespace testutil {

inline const std::string kA = "11111111-1111-4111-8111-111111111111";
inline const std::string kB = "22222222-2222-4222-8222-222222222222";
inline const std::string kC = "33333333-3333-4333-8333-333333333333";

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
    void CheckIntervals() override { queue.PostMsg(kCheck); }
    void Stopped() override { queue.PostMsg(1224); }
    Mirel::MsgQ queue;
};

// The manager's sink: what the server's hub would have been sent.
class RecordingSink : public EventSink {
public:
    void Event(std::int32_t, const std::vector<Mirel::unistring>&) override {}
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
    std::vector<std::string> failed;
};

// Holds the first link or move (with `writes`: write) under a prefix until released.
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

class Gate {
public:
    Gate(GateEnv& gate, const std::string& prefix, bool writes = false) : gate(gate) {
        std::lock_guard<std::mutex> g(gate.m);
        gate.prefix = prefix;
        gate.writes = writes;
        gate.held = gate.open = false;
    }
    ~Gate() { Release(); }
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

// A hostile user: `swap` runs just before the first operation on `path`.
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
    Mirel::Error DeleteFile(const std::string& path) override {
        Before(path);
        return EnvWrapper::DeleteFile(path);
    }

private:
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
    // Retries after milliseconds, not seconds.
    struct ShortRetries {
        explicit ShortRetries(IBSMgr* m) : mgr(m) { mgr->Cycle().SetRetryDelays(2, 20); }
        ~ShortRetries() { mgr->Cycle().SetRetryDelays(2000, 300000); }
        IBSMgr* mgr;
    };
    Mirel::MsgQ& Queue() { return Trigger().queue; }

    // No worker holds an item of the current interval nor has a check still to run (one lock).
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

    // The closed intervals without a last-good folder ("" when none).
    std::string UnfinishedIntervals() {
        std::string keys;
        mgr->WithCatalogue([&](IntervalMap& intervals) {
            for (auto& [key, interval] : intervals)
                if (key != kOpenInterval && interval.backup.IsClear())
                    keys += " " + std::to_string(key);
        });
        return keys;
    }

    std::int32_t Ready(const std::string& path, const std::string& uuid = "") {
        return mgr->RedoLogIsReady(U(path), U(uuid), true);
    }
    bool Up(const std::string& path, const std::string& uuid) {
        return mgr->FullDBBackupIsUploaded(U(path), U(uuid));
    }
    std::int32_t Err(const std::string& uuid) { return mgr->GetDatabaseError(U(uuid)); }
    // Armed until the returned scope ends.
    Mirel::FaultEnv::Scope Fault(Mirel::FsOp op, const std::string& at, int error, int n = -1) {
        faults.Arm(op, at, error, n);
        return Mirel::FaultEnv::Scope(faults);
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

    // A restart: the catalogue rebuilt from the backup folder.
    void Rebuild() {
        mgr->RegisterServer(u"127.0.0.1", 1);
        ASSERT_EQ(mgr->SetBackupFolder(Mirel::unistring::FromUTF8(backup())), 1);
    }
    // `n` settled intervals of the server's logs, but those of the databases in `skip`.
    void Intervals(sim::Workload& server, int n = 1, const std::vector<int>& skip = {}) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(server.WriteIntervalLogs(skip), 0);
            ASSERT_EQ(server.CloseInterval(), 0);
            Settle();
        }
    }
    // Database `i`'s next log is damaged behind a sound header: it fails in this interval.
    void FailWithDamagedLog(sim::Workload& server, int i) {
        ASSERT_EQ(server.WriteCorruptLog(i), 0);
        ASSERT_EQ(server.WriteIntervalLogs({i}), 0);
        server.Forget(i);
        ASSERT_EQ(server.CloseInterval(), 0);
        Settle();
    }

    TempDir tmp;
    // Fault seam, power-loss disk, gate and hostile user in front of the real calls.
    SwapBeforeUse swapBeforeUse{Mirel::Env::Default()};
    GateEnv gates{swapBeforeUse};
    Mirel::PowerLoss::Disk disk{gates};
    Mirel::FaultEnv faults{disk};
    Mirel::Env::Scope files{faults};
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
