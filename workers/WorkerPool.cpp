// The worker pool and the checkout and release of catalogue entries.
#include "catalogue/IBSMgr.h"
#include "platform/support/Debug.h"
#include "workers/TalonIBWorker.h"

void IBSMgr::CreateWorkers(std::int32_t count) {
    if (count < 1) return;
    for (std::int32_t i = 0; i < count; ++i) {
        auto* worker = new TalonIBWorker();
        mWorkers.push_back(worker);
        worker->Start(false);
    }
}

void IBSMgr::WakeWorkers() {
    for (TalonIBWorker* w : mWorkers) {
        w->ClearAbort();
        w->PostWork();
    }
}

void IBSMgr::StopWorkers(bool stop) {
    for (TalonIBWorker* w : mWorkers) {
        if (stop)
            w->PostQuit();
        else
            w->SetAbort();
    }
    std::uint64_t start = Mirel::Tick::CurrentTick();
    std::uint64_t waited = 0;
    while (AnyWorkerBusy() && waited < 10) {
        Mirel::Thread::Sleep(1000);
        waited = Mirel::Tick::DiffSecs(start);
    }
    IBS_DEBUG("StopWorkers: waited " << waited << " seconds for workers to "
                                     << (stop ? "Stop" : "Abort") << ", result "
                                     << (AnyWorkerBusy() ? 0 : 1));
}

bool IBSMgr::AnyItemOwned(const DatabaseMap& databases) {
    for (const auto& [uuid, item] : databases)
        if (item.owned) return true;
    return false;
}

bool IBSMgr::AnyWorkerBusy() {
    Mirel::LockReentrant g(mLock);
    auto it = CurrentInterval();
    if (it == mIntervals.end()) return false;
    Mirel::LockReentrant il(it->second.lock);
    return AnyItemOwned(it->second.databases);
}

DatabaseItem* IBSMgr::CheckoutInProgressItem() {
    Mirel::LockReentrant g(mLock);
    auto it = CurrentInterval();
    if (it == mIntervals.end()) return nullptr;
    Mirel::LockReentrant il(it->second.lock);
    for (auto& [uuid, item] : it->second.databases) {
        if (item.lastLogMSN == 0 || item.owned) continue;
        if (item.file.path.IsClear()) {
            IBS_DEBUG_WIDE(u"CheckoutInProgressItem: ***empty path for uuid '"
                           << uuid << u"', lastLogMSN " << item.lastLogMSN);
            continue;
        }
        item.owned = true;
        return new DatabaseItem(item);
    }
    return nullptr;
}

void IBSMgr::ReleaseInProgressItem(DatabaseItem* copy) {
    if (!copy) return;
    std::unique_ptr<DatabaseItem> owned(copy);
    Mirel::LockReentrant g(mLock);
    auto it = CurrentInterval();
    if (it == mIntervals.end()) return;
    Interval& interval = it->second;
    Mirel::LockReentrant il(interval.lock);
    auto found = interval.databases.find(copy->file.uuid);
    if (found == interval.databases.end()) {
        IBS_DEBUG_WIDE(u"ReleaseInProgressItem unfound item "
                       << copy->file.path.GetUserEntryFormat());
    } else if (found->second.file.path != copy->file.path) {
        IBS_DEBUG_WIDE(u"ReleaseInProgressItem item pointer mismatch, item "
                       << copy->file.path.GetUserEntryFormat() << u", found "
                       << found->second.file.path.GetUserEntryFormat());
        // The entry moved on while it was out; its results no longer apply, but it must not
        // stay owned, or the cycle would wait for it for ever.
        found->second.owned = false;
        found->second.lastLogMSN = 0;
    } else {
        DatabaseItem& entry = found->second;
        entry.owned = false;
        entry.lastLogMSN = 0;
        entry.file.msn = copy->file.msn;
        entry.file.endUTC = copy->file.endUTC;
        entry.err = copy->err;
    }
    if (!AnyItemOwned(interval.databases)) RequestIntervalCheck();
}
