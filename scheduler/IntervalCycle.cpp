// The interval cycle: complete the current interval when every copy has caught up, then
// start the next one. Runs on the main thread only.
#include <algorithm>

#include <syslog.h>

#include <cstdio>

#include "catalogue/Chain.h"
#include "platform/framework/Logger.h"
#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "platform/support/Os.h"
#include "platform/support/RetryTimer.h"
#include "scheduler/IntervalCycle.h"
#include "workers/WorkerPool.h"

namespace {
// An item that wants a copy in the interval's folder and has none yet (a log announced
// after the start, or a start cut short).
bool Unplaced(const DatabaseItem& item) {
    return item.file.path.IsClear() && !item.logs.empty() && !item.owned;
}
}  // namespace

IntervalCycle::IntervalCycle(Catalogue& catalogue, WorkerPool& pool, Mirel::Env& env)
    : mCat(catalogue), mPool(pool), mEnv(env) {}

IntervalCycle::~IntervalCycle() {
    CancelRetries();
}

void IntervalCycle::CancelRetries() {
    mRetry.reset();
}

bool IntervalCycle::RetryPending() const {
    return mRetry && mRetry->Pending();
}

void IntervalCycle::WakeWorkers() {
    // While a stop or a folder change waits for the workers, nothing may set them going.
    if (mCat.Stopping()) return;
    mPool.Wake();
}

void IntervalCycle::CheckIntervals() {
    Mirel::LockReentrant g(mCat.mLock);
    struct LetGo {
        bool& flag;
        const bool was;
        explicit LetGo(bool& f) : flag(f), was(f) { flag = true; }
        ~LetGo() { flag = was; }
    } letGo(mMayLetGo);
    if (mCat.AnyWorkerBusy()) return;
    if (!mCat.mFoldersReady.load()) return;
    // A stop or a folder change is waiting for the workers (its end asks again); a failure
    // of the environment is tried again when its delay is over (the timer asks again).
    if (mCat.Stopping()) return;
    if (mRetryDueMs.load() > Mirel::Tick::CurrentTick()) return;
    mCat.mCheckPending.store(false);
    if (!CompleteInterval()) {
        if (mRetryDueMs.load() == 0) WakeWorkers();
        return;
    }
    auto candidate = mCat.mIntervals.end();
    auto current = mCat.mIntervals.find(mCat.mIntervalEnd.load());
    if (current != mCat.mIntervals.end()) {
        candidate = current->second.backup.IsClear() ? current : std::next(current);
    } else {
        candidate = mCat.mIntervals.begin();
    }
    while (candidate != mCat.mIntervals.end()) {
        if (candidate->first == kOpenInterval) return;
        mCat.mIntervalEnd.store(candidate->first);
        const Started start = StartInterval();
        if (start.work) {
            mCat.mState.Applying(candidate->first);
            WakeWorkers();
            return;
        }
        if (!start.cutShort.OK()) return;
        auto found = mCat.mIntervals.lower_bound(mCat.mIntervalEnd.load());
        if (found != mCat.mIntervals.end() && found->first == mCat.mIntervalEnd.load()) {
            if (found->second.backup.IsClear() && HasPlacedCopies(found->second)) {
                // Nothing to apply, but copies to publish (carried forward or uploaded): the
                // interval gets its last-good folder now.
                if (!CompleteInterval()) {
                    if (mRetryDueMs.load() == 0) WakeWorkers();
                    return;
                }
                candidate = std::next(mCat.mIntervals.find(mCat.mIntervalEnd.load()));
                continue;
            }
            candidate = std::next(found);
            if (found->second.backup.IsClear()) {
                // Nothing of it is to be published: the server's failure marks go with it.
                // Logs of a database it has no copy of (taken after its start, for one whose
                // copies had all failed, with ends from a clock that went back) go on to the
                // next interval: a copy there continues from them, or leaves them behind it.
                auto& dbs = found->second.databases;
                for (auto d = dbs.begin(); d != dbs.end();) {
                    DatabaseItem& item = d->second;
                    if (item.owned || !item.file.path.IsClear()) {
                        ++d;
                        continue;
                    }
                    if (candidate != mCat.mIntervals.end()) {
                        for (const FileInfo& log : item.logs) {
                            IBS_DEBUG_WIDE(u"CheckIntervals: interval "
                                           << EndText(found->first)
                                           << u" publishes nothing; its log goes on to "
                                           << EndText(candidate->first) << u": "
                                           << log.path.GetUserEntryFormat());
                            mCat.PlaceRedoLog(candidate->second, d->first, log, item.hasContainers);
                        }
                        item.logs.clear();
                    }
                    d = item.logs.empty() ? dbs.erase(d) : std::next(d);
                }
                if (dbs.empty() &&
                    (candidate == mCat.mIntervals.end() || candidate->first == kOpenInterval)) {
                    // The newest interval keeps its interval-done file until a later one
                    // starts: no folder says how far the cycle went.
                    mCat.KeepEmptiedIntervalDone(found->first);
                } else {
                    mCat.RetireInterval(found->second.donePath, found->first);
                }
            }
        } else {
            candidate = found;
        }
    }
}

bool IntervalCycle::HasPlacedCopies(const Interval& interval) const {
    for (const auto& [uuid, item] : interval.databases)
        if (mCat.HasInProgressCopy(item)) return true;
    return false;
}

// One completion's state: the outcome of every copy, what is recorded, what is published.
struct IntervalCycle::CompleteState {
    explicit CompleteState(IntervalMap::iterator i) : it(i) {}
    IntervalMap::iterator it;  // the current interval, or the map's end
    bool result = true;        // every copy caught up and the folder published
    // Every failure of this pass, a held copy's included: recorded before anything is
    // published.
    FailedList failed;
    Mirel::Error environment;  // what keeps the interval from going on now
    Mirel::Error notKept;      // a failed database's only copy could not be kept
    Interval* publish = nullptr;
    bool restart = false;  // a starting copy is chosen again
};

namespace {
Mirel::Error RecordFailedError(int rc) {
    return Mirel::Error(rc, "record failed databases in", "Failed.tsv")
        .SetKind(Mirel::ErrorKind::kEnvironment);
}
}  // namespace

// The steps: start what is not placed yet, take every copy's outcome, record the failures,
// then choose again or publish.
bool IntervalCycle::CompleteInterval() {
    Mirel::LockReentrant g(mCat.mLock);
    // Failures a scan found for a link where a redo folder was come before anything is
    // started or published: a folder made meanwhile could lack the logs behind the link.
    if (int rc = mCat.RetryLinkFailures()) {
        ScheduleRetry(Mirel::Error(rc, "fail the databases behind a link in", "Changes")
                          .SetKind(Mirel::ErrorKind::kEnvironment));
        return false;
    }
    if (mCat.mIntervalEnd.load() == 0) return true;
    auto it = mCat.mIntervals.find(mCat.mIntervalEnd.load());
    const bool open = it != mCat.mIntervals.end() && it->second.backup.IsClear();
    if (open) {
        Interval& C = it->second;
        bool needsStart = !C.placed;
        for (const auto& [uuid, item] : C.databases) needsStart |= Unplaced(item);
        if (needsStart) {
            if (!StartInterval().cutShort.OK() || !C.placed) return false;
        }
    }
    if (!mCat.mInProgressFolder.Exists()) return true;
    mCat.DumpIntervals();
    CompleteState s(open ? it : mCat.mIntervals.end());
    if (open) TakeOutcomes(s);
    if (!s.notKept.OK()) {
        // The copy stays where it is, its failure unrecorded, and nothing is started or
        // published: the next pass tries again.
        s.publish = nullptr;
        s.result = false;
        s.restart = false;
        if (s.environment.OK()) s.environment = s.notKept;
    }
    // A failure is on disk before the folder that lacks the database is published: a crash
    // in between must not leave a last-good folder that silently misses it.
    if (int rc =
            mCat.CleanupFailedDatabases(open ? it->first : mCat.mIntervalEnd.load(), s.failed)) {
        s.publish = nullptr;
        s.result = false;
        if (s.environment.OK()) s.environment = RecordFailedError(rc);
        s.restart = false;  // the retry starts it
    }
    if (s.restart) {
        // Only once this pass's failures are recorded: a database that failed here must not
        // be placed again. No worker may have work now (the database failed instead):
        // nothing would come back to finish the interval.
        const Started start = StartInterval();
        if (!start.work && start.cutShort.OK()) mCat.RequestIntervalCheck();
    }
    if (s.publish) Publish(s);
    if (!s.environment.OK()) {
        ScheduleRetry(s.environment);
        return false;
    }
    return s.result;
}

void IntervalCycle::DropMergedLogs(IntervalMap::iterator current, const Mirel::unistring& uuid,
                                   DatabaseItem& item) {
    // A log merged from an older interval's copy (the shortcut) is one of that interval's
    // logs; a late log of that older interval, accepted into this one, is not, and stays.
    auto merged = [&](const FileInfo& log) {
        for (auto o = mCat.mIntervals.begin(); o != current; ++o) {
            auto y = o->second.databases.find(uuid);
            if (y != o->second.databases.end() && y->second.logs.count(log)) return true;
        }
        return false;
    };
    while (!item.logs.empty() && item.logs.begin()->endUTC <= item.prevEnd &&
           merged(*item.logs.begin()))
        item.logs.erase(item.logs.begin());
    item.prevEnd = 0;
}

void IntervalCycle::TakeOutcomes(CompleteState& s) {
    Interval& interval = s.it->second;
    bool replace = false;
    for (auto& [uuid, item] : interval.databases) {
        if (item.pfailed && item.logs.empty()) continue;
        // A failed item whose failure is not recorded yet comes round again.
        if (item.file.path.IsClear() && item.err.OK()) continue;
        const bool damaged = item.err.GetError() == Mirel::kErrCopyDamaged;
        if (item.err.GetError() == Mirel::kErrShortcutFailed || damaged) {
            // The older copy is dropped and the newest one linked instead; a starting copy
            // whose bytes did not match its line is never used again, and another is chosen
            // (or the database fails).
            IBS_DEBUG_WIDE(u"CompleteInterval: "
                           << uuid
                           << (damaged ? u" starts again from another copy"
                                       : u" starts again from its newest copy"));
            if (damaged) {
                auto source = mCat.mIntervals.find(item.checkInterval);
                if (source != mCat.mIntervals.end()) {
                    auto y = source->second.databases.find(uuid);
                    if (y != source->second.databases.end()) y->second.damaged = true;
                }
            }
            mCat.DeleteFromParent(item, mCat.mInProgressFolder.GetPath());
            if (item.prevEnd != 0) DropMergedLogs(s.it, uuid, item);
            item.file.Clear();
            item.lastLogMSN = 0;
            item.noShortcut |= !damaged;
            item.mustCheck = false;
            item.detach = false;
            item.err = Talon::Error();
            replace = true;
            s.result = false;
            continue;
        }
        if (item.err.Kind() == Mirel::ErrorKind::kEnvironment) {
            // The log stays and the database is not failed: the pass is tried again.
            if (item.err.GetError() != Mirel::kErrAborted) s.environment = item.err;
            item.err = Talon::Error();
        }
        if (item.err.OK() && !Chain::CaughtUp(item)) {
            if (s.environment.OK()) item.lastLogMSN = item.logs.rbegin()->msn;
            s.result = false;
        }
        if (!item.err.OK()) {
            if (item.pristine && mCat.HasInProgressCopy(item)) {
                // Recorded before the folder is published, as any failure: recorded after,
                // a crash in between would lose it for good when the failing log lies where
                // no scan reads (behind a link). The record keeps the item, its copy included.
                s.failed[uuid] = item.err.GetError();
                // No log changed it (records are checked before anything is written): it is
                // still the copy it started as, exact at its own MSN, and stays as the
                // database's newest good copy, published as such.
                if (!item.held)
                    IBS_DEBUG_WIDE(u"CompleteInterval: " << uuid << u" failed; its copy at MSN "
                                                         << item.file.msn
                                                         << u" is unchanged and kept (held)");
                item.held = true;
            } else {
                s.failed[uuid] = item.err.GetError();
                mCat.NoteDatabaseName(uuid, item.file.path);
                // Only ever a copy of the in-progress folder goes (never an upload). One no
                // last-good folder holds is its database's only copy (the server's upload,
                // rolled on by the logs that applied): kept in Kept/, never published.
                // Kept before the failure is recorded: a recorded failure never waits for
                // its copy to be kept.
                if (mCat.HasInProgressCopy(item)) {
                    if (mCat.HasLastGoodCopy(uuid)) {
                        mCat.DeleteFromParent(item, mCat.mInProgressFolder.GetPath());
                    } else {
                        Mirel::UniversalPath from = item.file.path;
                        from.SetAbsoluteFrom(mCat.mInProgressFolder.GetPath());
                        if (int rc = mCat.KeepCopy(from, uuid)) {
                            s.failed.erase(uuid);
                            if (s.notKept.OK())
                                s.notKept = Mirel::Error(rc,
                                                         "keep the only copy of a failed "
                                                         "database in",
                                                         "Kept")
                                                .SetKind(Mirel::ErrorKind::kEnvironment);
                            item.lastLogMSN = 0;
                            continue;
                        }
                    }
                }
                item.file.Clear();
            }
            item.lastLogMSN = 0;
        }
        if (item.prevEnd != 0 && item.file.endUTC >= item.prevEnd) DropMergedLogs(s.it, uuid, item);
    }
    if (replace) {
        interval.placed = false;
        s.restart = true;
    }
    if (s.result && s.environment.OK()) s.publish = &interval;
}

void IntervalCycle::Publish(CompleteState& s) {
    mCat.SweepInProgress(*s.publish);
    if (mCat.mInProgressFolder.IsEmpty()) {
        mCat.mInProgressFolder.Delete();
    } else {
        // The logs each database had as the publication began: one announced while the
        // folder was written (without the lock) is not in its copies.
        std::map<Mirel::unistring, RedoLogSet> before;
        for (const auto& [uuid, item] : s.publish->databases) before.emplace(uuid, item.logs);
        Talon::Error e = RenameInProgressToLastGood(*s.publish);
        s.result = e.OK();
        if (!s.result && e.GetError() == Mirel::kErrAborted && mCat.Stopping()) {
            // Published when the stop or the folder change is over.
            mCat.RequestIntervalCheck();
            return;
        }
        if (!s.result) s.environment = e;
        // Its copies are in a last-good folder now; a failure leaves notes that no longer
        // match any file.
        if (s.result) {
            mCat.ClearUnwrittenList();
            mCat.PruneUploadsAfter(s.publish->mDoneUTC);
            MoveLateLogsOn(s.publish->mDoneUTC, before);
            mCat.SaveTaken();
            ReportPublished(*s.publish);
        }
    }
    if (s.result) RetrySucceeded();
}

void IntervalCycle::MoveLateLogsOn(std::uint64_t key,
                                   const std::map<Mirel::unistring, RedoLogSet>& before) {
    auto published = mCat.mIntervals.find(key);
    if (published == mCat.mIntervals.end()) return;
    auto& dbs = published->second.databases;
    for (auto d = dbs.begin(); d != dbs.end();) {
        const Mirel::unistring& uuid = d->first;
        DatabaseItem& item = d->second;
        const auto was = before.find(uuid);
        std::vector<FileInfo> late;
        for (const FileInfo& log : item.logs)
            if (was == before.end() || !was->second.count(log)) late.push_back(log);
        for (const FileInfo& log : late) {
            item.logs.erase(log);
            // Where it would have gone announced just after the publication: the first
            // interval still to come, or a later one its chain says it follows.
            auto it = std::next(published);
            while (it != mCat.mIntervals.end() && !it->second.backup.IsClear()) ++it;
            while (it != mCat.mIntervals.end() && it->first != kOpenInterval &&
                   Catalogue::FollowsLaterLogs(it->second, uuid, log))
                ++it;
            if (it == mCat.mIntervals.end()) {
                IBS_DEBUG_WIDE(
                    u"Publish: no interval to come for a log announced meanwhile, "
                    u"left to the restart scan: "
                    << log.path.GetUserEntryFormat());
                continue;
            }
            if (auto later = Chain::ContinuedLater(mCat.mIntervals, it, uuid, log.startMSN);
                later != mCat.mIntervals.end())
                it = mCat.mIntervals.find(later->first);
            // A restart files logs by their end: it must find where this one went.
            if (int rc = mCat.NoteLogAfter(log.path, std::prev(it)->first, uuid))
                IBS_DEBUG_WIDE(u"Publish: could not record that a log goes after "
                               << EndText(std::prev(it)->first) << u", error " << rc << u": "
                               << log.path.GetUserEntryFormat());
            IBS_DEBUG_WIDE(u"Publish: log announced while interval "
                           << EndText(key) << u" was published goes to " << EndText(it->first)
                           << u": " << log.path.GetUserEntryFormat());
            mCat.PlaceRedoLog(it->second, uuid, log, item.hasContainers);
        }
        // An item only such logs made has nothing in the published folder.
        if (was == before.end() && item.logs.empty() && item.file.path.IsClear() && !item.upload &&
            !item.pfailed)
            d = dbs.erase(d);
        else
            ++d;
    }
}

void IntervalCycle::ReportPublished(const Interval& interval) {
    std::size_t databases = 0, logs = 0;
    std::uint64_t bytes = 0;
    for (const auto& [uuid, item] : interval.databases) {
        if (item.file.path.IsClear()) continue;
        ++databases;
        if (item.held) continue;  // none of its logs was applied
        for (const FileInfo& log : item.logs) {
            ++logs;
            bytes += mEnv.Probe(log.path.Native()).size;
        }
    }
    const std::string name = interval.backup.GetChildName().ToUTF8();
    const std::uint64_t since = mCat.mState.Published(interval.mDoneUTC, name);
    const std::uint64_t took = since ? Mirel::DateTime::NowUTC() - since : 0;
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.1f s", static_cast<double>(took) / 1e6);
    Talon::Logger::WriteLine(
        LOG_NOTICE,
        "interval " + Mirel::UtcText(interval.mDoneUTC) + " published as " + name + ": " +
            std::to_string(databases) + " database(s), " + std::to_string(logs) + " log(s), " +
            ServiceState::SizeText(bytes) + " applied, " + secs,
        {"VELLUMARK_FOLDER=" + name, "VELLUMARK_INTERVAL_END=" + std::to_string(interval.mDoneUTC),
         "VELLUMARK_DATABASES=" + std::to_string(databases),
         "VELLUMARK_LOGS=" + std::to_string(logs), "VELLUMARK_BYTES=" + std::to_string(bytes)});
}

void IntervalCycle::ScheduleRetry(const Mirel::Error& error) {
    if (!mRetry)
        mRetry = std::make_unique<Mirel::RetryTimer>([this] {
            mRetryDueMs.store(0);  // the delay is over, whatever the clocks say
            mCat.RequestIntervalCheck();
        });
    // Seconds at first, then longer, up to minutes: the environment needs time to recover
    // (space freed, a disk replaced), and the log must not fill up meanwhile.
    mRetryDelayMs = mRetryDelayMs == 0 ? mRetryFirstMs : std::min(mRetryDelayMs * 2, mRetryMaxMs);
    // An answer of no known kind is unlikely to pass by itself: after a few tries only the
    // server's next announcement (or a restart) tries again, and the status says so.
    mUnknownRetries = error.Kind() == Mirel::ErrorKind::kBug ? mUnknownRetries + 1 : 0;
    const bool giveUp = mUnknownRetries > kUnknownRetries;
    IBS_DEBUG("CheckIntervals: " << error.Text() << "; interval "
                                 << EndText(mCat.mIntervalEnd.load())
                                 << (giveUp ? " waits for the server's next interval-done file"
                                            : " tried again in " + std::to_string(mRetryDelayMs) +
                                                  " ms"));
    if (error.GetError() != mRetryError.GetError() || mUnknownRetries == kUnknownRetries + 1)
        mCat.ReportEvent(Talon::Event::kIntervalRetried,
                         Mirel::unistring::NumToString(mCat.mIntervalEnd.load()),
                         Mirel::unistring::NumToString(error.GetError()),
                         Mirel::unistring::NumToString(giveUp ? 0 : (mRetryDelayMs + 999) / 1000));
    mRetryError = error;
    mCat.mState.Waiting(mCat.mIntervalEnd.load(), error, giveUp ? 0 : mRetryDelayMs);
    if (giveUp) {
        mRetryDueMs.store(0);
        mRetry->Cancel();
        return;
    }
    mRetryDueMs.store(Mirel::Tick::CurrentTick() + mRetryDelayMs);
    mRetry->Arm(mRetryDelayMs);
}

void IntervalCycle::RetrySucceeded() {
    if (!mRetryError.OK())
        IBS_DEBUG("CheckIntervals: the environment recovered after " << mRetryError.Text());
    mRetryError = Mirel::Error();
    mUnknownRetries = 0;
    mCat.mState.Recovered();
    mRetryDelayMs = 0;
    mRetryDueMs.store(0);
    if (mRetry) mRetry->Cancel();
}
