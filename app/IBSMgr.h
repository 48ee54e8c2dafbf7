// The backup manager: the object the servant calls. It owns the catalogue, the intake, the
// worker pool and the interval cycle, wires them at construction, and runs the service's start, the
// server's choice of folder and the remote stop. Tests make their own, with recording ports.
#pragma once

#include <cstdint>
#include <functional>

#include "app/OffsiteCopier.h"
#include "catalogue/Catalogue.h"
#include "intake/Intake.h"
#include "platform/framework/Prefs.h"
#include "scheduler/IntervalCycle.h"
#include "workers/WorkerPool.h"

class IBSMgr {
public:
    // Everything the manager and its parts do with files goes through `env`.
    explicit IBSMgr(Mirel::Env& env);
    ~IBSMgr();
    IBSMgr(const IBSMgr&) = delete;
    IBSMgr& operator=(const IBSMgr&) = delete;

    // Remote operations (forwarded by the servant).
    bool RegisterServer(const Mirel::unistring& address, unsigned short port,
                        unsigned short extra1 = 0, unsigned short extra2 = 0) {
        Mirel::Env::Scope files(mEnv);
        return mIntake.RegisterServer(address, port, extra1, extra2);
    }
    std::int32_t SetBackupFolder(const Mirel::unistring& path);
    std::int32_t VerifyFullDBBackup(const Mirel::unistring& name, const Mirel::unistring& uuid,
                                    std::uint64_t msn, bool requireContainers) {
        Mirel::Env::Scope files(mEnv);
        return mIntake.VerifyFullDBBackup(name, uuid, msn, requireContainers);
    }
    std::int32_t RedoLogIsReady(const Mirel::unistring& pathText, const Mirel::unistring& uuid,
                                bool hasContainers) {
        Mirel::Env::Scope files(mEnv);
        return mIntake.RedoLogIsReady(pathText, uuid, hasContainers);
    }
    bool FullDBBackupIsUploaded(const Mirel::unistring& pathText, const Mirel::unistring& uuid) {
        Mirel::Env::Scope files(mEnv);
        return mIntake.FullDBBackupIsUploaded(pathText, uuid);
    }
    void Stop();
    // At process exit: ends the workers (after their current log) and the connector, and
    // waits for their threads.
    void EndThreads();

    // Start: the application's trigger and sink, which outlive the manager's threads.
    bool Init(CycleTrigger& trigger, EventSink& sink);
    // Only the ports, for a manager run without Init (tests, tools).
    void Connect(CycleTrigger* trigger, EventSink* sink) { mCat.Connect(trigger, sink); }
    void CreateWorkers(std::int32_t count) {
        Mirel::Env::Scope files(mEnv);
        mPool.Create(count);
    }

    // The restart scan, finishing a start it cut short.
    void ScanFullBackupDB();
    // The folders of the one named, and everything the catalogue held of them, forgotten;
    // a retry was for that folder's interval, and goes too.
    void ClearFolders();
    // Runs the cycle (the trigger's message, on the main thread).
    void CheckIntervals() {
        Mirel::Env::Scope files(mEnv);
        mCycle.CheckIntervals();
    }

    // True when no worker holds an item any more. An abort waits at most SetAbortWait's
    // time; a stop waits as long as it takes.
    bool StopWorkers(bool stop);
    void SetAbortWait(std::uint64_t ms) { mAbortWaitMs = ms; }
    // Each worker leaves after its current log; waits for their threads.
    void EndWorkers() {
        Mirel::Env::Scope files(mEnv);
        mPool.End();
    }

    Catalogue& Cat() { return mCat; }
    Intake& In() { return mIntake; }
    IntervalCycle& Cycle() { return mCycle; }

    // A look at the manager's state, for the application, tests and tools.
    bool FoldersReady() const { return mCat.FoldersReady(); }
    bool ServerRegistered() const { return mCat.ServerRegistered(); }
    bool RetryPending() const { return mCycle.RetryPending(); }
    bool CheckPending() const { return mCat.CheckPending(); }
    std::uint64_t GetIntervalEnd() const { return mCat.GetIntervalEnd(); }
    std::int32_t GetDatabaseError(const Mirel::unistring& uuid) {
        return mCat.GetDatabaseError(uuid);
    }
    Mirel::Directory GetBackupFolder() const { return mCat.GetBackupFolder(); }
    ServiceState& State() { return mCat.State(); }
    Mirel::Env& Files() const { return mEnv; }
    template <class F>
    void WithCatalogue(F&& f) {
        Mirel::Env::Scope files(mEnv);
        mCat.WithCatalogue(std::forward<F>(f));
    }

private:
    // Declared in this order: the parts are made after, and go before, the catalogue they
    // use.
    Mirel::Env& mEnv;
    Catalogue mCat;
    Intake mIntake;
    WorkerPool mPool;
    IntervalCycle mCycle;
    // Off the host: a thread of its own, ended before the catalogue and its state go.
    OffsiteCopier mCopier{mCat.State()};
    Talon::XMLPrefs mPrefs;
    Talon::PrefsHandle mPrefsHandle;
    std::uint64_t mAbortWaitMs = 10000;
};
