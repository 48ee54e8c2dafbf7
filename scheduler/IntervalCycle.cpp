// The interval cycle: complete the current interval when every copy has caught up, then
// start the next one. Runs on the main thread only.
#include "catalogue/IBSMgr.h"
#include "platform/support/Debug.h"

namespace {
// A copy has caught up when it is not behind the last log of its set.
bool CaughtUp(const DatabaseItem& item) {
    if (item.logs.empty()) return true;
    const FileInfo& last = *item.logs.rbegin();
    return item.file.msn > last.msn ||
           (item.file.msn == last.msn && item.file.endUTC >= last.endUTC);
}
}  // namespace

void IBSMgr::CheckIntervals() {
    Mirel::LockReentrant g(mLock);
    if (AnyWorkerBusy()) return;
    if (!mFoldersReady.load()) return;
    if (!CompleteInterval()) {
        WakeWorkers();
        return;
    }
    auto candidate = mIntervals.end();
    auto current = mIntervals.find(mIntervalEnd.load());
    if (current != mIntervals.end()) {
        candidate = current->second.backup.IsClear() ? current : std::next(current);
    } else {
        candidate = mIntervals.begin();
    }
    while (candidate != mIntervals.end()) {
        if (candidate->first == kOpenInterval) return;
        mIntervalEnd.store(candidate->first);
        bool fatal = false;
        if (StartInterval(fatal)) {
            WakeWorkers();
            return;
        }
        if (fatal) return;
        auto found = mIntervals.lower_bound(mIntervalEnd.load());
        if (found != mIntervals.end() && found->first == mIntervalEnd.load()) {
            candidate = std::next(found);
            if (found->second.backup.IsClear())
                DeleteIntervalIfEmpty(found->second.donePath, mIntervalEnd.load());
        } else {
            candidate = found;
        }
    }
}

bool IBSMgr::CompleteInterval() {
    Mirel::LockReentrant g(mLock);
    bool result = true;
    if (mIntervalEnd.load() == 0) return true;
    if (!mInProgressFolder.Exists()) return true;
    DumpIntervals();
    FailedList failed;
    auto it = mIntervals.find(mIntervalEnd.load());
    if (it != mIntervals.end() && it->second.backup.IsClear()) {
        Interval& interval = it->second;
        Mirel::LockReentrant il(interval.lock);
        for (auto& [uuid, item] : interval.databases) {
            if (item.pfailed && item.logs.empty()) continue;
            if (item.file.path.IsClear()) continue;
            if (item.err.OK() && !CaughtUp(item)) {
                item.lastLogMSN = item.logs.rbegin()->msn;
                result = false;
            }
            if (!item.err.OK()) {
                failed[uuid] = item.err.GetError();
                DeleteFromParent(item, mInProgressFolder.GetPath());
            }
            if (item.prevEnd != 0 && item.file.endUTC >= item.prevEnd) {
                while (!item.logs.empty() && item.logs.begin()->endUTC <= item.prevEnd)
                    item.logs.erase(item.logs.begin());
                item.prevEnd = 0;
            }
        }
        if (result) {
            if (mInProgressFolder.IsEmpty())
                mInProgressFolder.Delete();
            else
                result = RenameInProgressToLastGood(interval).OK();
        }
    }
    CleanupFailedDatabases(it, failed);
    return result;
}
