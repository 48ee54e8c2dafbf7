// The catalogue's side of the workers: the checkout and release of the entries they bring
// forward.
#include <chrono>

#include "catalogue/Catalogue.h"
#include "platform/support/Debug.h"

bool Catalogue::WaitForItems(std::uint64_t limitMs) {
    const std::uint64_t start = Mirel::Tick::CurrentTick();
    // The cycle's file work is waited for whatever the limit: it ends at its next copy or
    // before its rename once it sees the stop, and gave no worker an item meanwhile.
    bool fileWork = false;
    auto busyNow = [this, &fileWork] {
        Mirel::LockReentrant g(mLock);
        fileWork = mWork != FileWork::kNone;
        return mCheckedOut > 0;
    };
    bool busy = busyNow();
    while (busy && (fileWork || Mirel::Tick::CurrentTick() - start < limitMs)) {
        std::unique_lock<std::mutex> l(mIdleM);
        std::uint64_t seen = mIdleEpoch;
        l.unlock();
        busy = busyNow();
        if (!busy) break;
        l.lock();
        mIdleCv.wait_for(l, std::chrono::milliseconds(100), [&] { return mIdleEpoch != seen; });
    }
    return !busy;
}

Catalogue::FileWorkScope::FileWorkScope(Catalogue& cat, std::uint64_t key, FileWork kind)
    : mCat(cat) {
    mCat.mWork = kind;
    mCat.mWorkKey = key;
    ++mCat.mCheckedOut;
    mDepth = mCat.mLock.ReleaseAll();
}

Catalogue::FileWorkScope::~FileWorkScope() {
    mCat.mLock.Retake(mDepth);
    mCat.mWork = FileWork::kNone;
    mCat.mWorkKey = 0;
    if (mCat.mCheckedOut > 0) --mCat.mCheckedOut;
    std::lock_guard<std::mutex> l(mCat.mIdleM);
    ++mCat.mIdleEpoch;
    mCat.mIdleCv.notify_all();
}

bool Catalogue::AnyItemOwned(const DatabaseMap& databases) {
    for (const auto& [uuid, item] : databases)
        if (item.owned) return true;
    return false;
}

bool Catalogue::AnyWorkerBusy() {
    Mirel::LockReentrant g(mLock);
    auto it = CurrentInterval();
    if (it == mIntervals.end()) return false;
    return AnyItemOwned(it->second.databases);
}

DatabaseItem* Catalogue::CheckoutInProgressItem(const std::atomic<std::int32_t>* aborted) {
    Mirel::LockReentrant g(mLock);
    // Nothing goes out while a stop or a folder change waits for the workers, nor to a worker
    // told to let go: read under the lock, so a wait that saw nothing out stays true.
    // Nor while the cycle works on the interval's files without the lock.
    const bool refused =
        mStopping.load() != 0 || (aborted && aborted->load() != 0) || mWork != FileWork::kNone;
    auto it = CurrentInterval();
    // A published interval's copies are never written again.
    if (it == mIntervals.end() || !it->second.backup.IsClear()) return nullptr;
    if (refused) {
        // Work left waiting needs a check to wake the pool again once the stop is over.
        for (const auto& [uuid, item] : it->second.databases)
            if (item.lastLogMSN != 0 && !item.owned) {
                RequestIntervalCheck();
                break;
            }
        return nullptr;
    }
    for (auto& [uuid, item] : it->second.databases) {
        if (item.lastLogMSN == 0 || item.owned) continue;
        if (item.file.path.IsClear()) {
            IBS_DEBUG_WIDE(u"CheckoutInProgressItem: ***empty path for uuid '"
                           << uuid << u"', lastLogMSN " << item.lastLogMSN);
            continue;
        }
        item.owned = true;
        auto* copy = new DatabaseItem(item);
        copy->generation = mGeneration;
        ++mCheckedOut;
        return copy;
    }
    return nullptr;
}

void Catalogue::ReleaseInProgressItem(DatabaseItem* copy) {
    if (!copy) return;
    std::unique_ptr<DatabaseItem> owned(copy);
    {
        Mirel::LockReentrant g(mLock);
        if (mCheckedOut > 0) --mCheckedOut;
        auto it = CurrentInterval();
        if (copy->generation != mGeneration) {
            // The catalogue was rebuilt while the item was out: nothing of it applies now.
            IBS_DEBUG_WIDE(u"ReleaseInProgressItem: catalogue rebuilt since checkout, dropped "
                           << copy->file.path.GetUserEntryFormat());
        } else if (it != mIntervals.end()) {
            Interval& interval = it->second;
            auto found = interval.databases.find(copy->file.uuid);
            if (found == interval.databases.end()) {
                IBS_DEBUG_WIDE(u"ReleaseInProgressItem unfound item "
                               << copy->file.path.GetUserEntryFormat());
            } else if (found->second.file.path != copy->file.path) {
                IBS_DEBUG_WIDE(u"ReleaseInProgressItem item pointer mismatch, item "
                               << copy->file.path.GetUserEntryFormat() << u", found "
                               << found->second.file.path.GetUserEntryFormat());
                // The entry moved on while it was out; its results no longer apply, but it
                // must not stay owned, or the cycle would wait for it for ever.
                found->second.owned = false;
                found->second.lastLogMSN = 0;
            } else {
                DatabaseItem& entry = found->second;
                entry.owned = false;
                entry.lastLogMSN = 0;
                entry.file.msn = copy->file.msn;
                entry.file.endUTC = copy->file.endUTC;
                entry.pristine = entry.pristine && copy->pristine;
                entry.err = copy->err;
                entry.mustCheck = copy->mustCheck;  // cleared once its bytes passed
                entry.computed = copy->computed;
                entry.computedId = copy->computedId;
            }
            if (copy->detached) {
                // The older copy brought forward is the in-progress copy now; its last-good
                // name went once its bytes passed, and its item goes with it.
                auto older = mIntervals.find(copy->checkInterval);
                if (older != mIntervals.end() && older != it) {
                    auto item = older->second.databases.find(copy->file.uuid);
                    if (item != older->second.databases.end())
                        DeleteDatabaseItem(older->second, item->second);
                    // An interval left with nothing goes, with its folders.
                    if (older->second.databases.empty()) DropInterval(copy->checkInterval);
                }
                if (found != interval.databases.end()) found->second.detach = false;
            }
            if (!AnyItemOwned(interval.databases)) RequestIntervalCheck();
        }
    }
    std::lock_guard<std::mutex> l(mIdleM);
    ++mIdleEpoch;
    mIdleCv.notify_all();
}
