// Starting an interval: each database gets its starting copy in the in-progress folder and
// the MSN up to which the workers apply its logs; databases without logs are carried
// forward; older copies nobody needs any more are pruned. The choices are IntervalPlan's.
#include "catalogue/IBSMgr.h"
#include "platform/support/Debug.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"
#include "scheduler/IntervalPlan.h"

using IntervalPlan::Source;

bool IBSMgr::HasInProgressCopy(const DatabaseItem& item) const {
    if (item.upload || item.file.path.IsClear() || !item.file.path.IsRelative()) return false;
    Mirel::UniversalPath p = item.file.path;
    p.SetAbsoluteFrom(mInProgressFolder.GetPath());
    return Mirel::Os::Stat(p.Native()).isFile;
}

void IBSMgr::SweepInProgress(const Interval& current) {
    if (!mInProgressFolder.Exists()) return;
    // Only what an item of the current interval owns may become part of its last-good
    // folder; anything else there is a leftover of a crash or of another interval.
    std::set<Mirel::UniversalPath> owned;
    for (const auto& [uuid, item] : current.databases)
        if (!item.upload && !item.file.path.IsClear() && item.file.path.IsRelative()) {
            Mirel::UniversalPath p = item.file.path;
            p.SetAbsoluteFrom(mInProgressFolder.GetPath());
            owned.insert(p);
        }
    // FIFOs, sockets and devices are never opened, nor renamed into a last-good folder.
    struct Listing : Mirel::BuildUniversalPathListFunctor {
        using BuildUniversalPathListFunctor::BuildUniversalPathListFunctor;
        void LeftOut(const Mirel::UniversalPath& path, int) override { others.push_back(path); }
        std::vector<Mirel::UniversalPath> others;
    };
    std::vector<Mirel::UniversalPath> files;
    Listing all(files, Mirel::kListFiles, true);
    mInProgressFolder.ProcessFiles(all, 100);
    for (const auto& f : all.others) {
        IBS_DEBUG_WIDE(u"StartInterval: removing what is no regular file "
                       << f.GetUserEntryFormat());
        f.Delete();
    }
    for (const auto& f : files) {
        if (owned.count(f)) continue;
        // A container file belongs to its database's copy.
        bool inContainer = false;
        for (const auto& o : owned) {
            const std::string root = o.Native() + ".rc/";
            inContainer |= f.Native().compare(0, root.size(), root) == 0;
        }
        if (inContainer) continue;
        IBS_DEBUG_WIDE(u"StartInterval: removing leftover " << f.GetUserEntryFormat());
        f.Delete();
    }
}

bool IBSMgr::StartInterval(bool& fatal) {
    Mirel::LockReentrant g(mLock);
    bool started = false;
    auto current = mIntervals.find(mIntervalEnd.load());
    if (current == mIntervals.end() || !current->second.backup.IsClear()) return false;
    const std::uint64_t key = current->first;
    Interval& C = current->second;

    FailedList failed;
    std::set<Mirel::unistring> refused;
    {
        Mirel::LockMutex f(mFailedLock);
        for (const auto& [uuid, number] : mFailedDatabases) refused.insert(uuid);
    }
    int environment = 0;
    std::map<std::uint64_t, Mirel::UniversalPath> toDrop;
    {
        Mirel::LockReentrant cl(C.lock);
        SweepInProgress(C);
        auto placed = [this](const DatabaseItem& item) { return HasInProgressCopy(item); };
        for (auto& [uuid, X] : C.databases) {
            if (placed(X)) continue;
            X.lastLogMSN = 0;
            X.prevEnd = 0;
            RemoveUnchainedLogs(X);
        }
        auto hasCopy = [&](const Mirel::unistring& uuid) {
            auto it = C.databases.find(uuid);
            return it != C.databases.end() && placed(it->second);
        };
        // Work only for a copy that is behind its logs.
        auto giveWork = [&started](DatabaseItem& item) {
            if (item.logs.empty()) return;
            const FileInfo& last = *item.logs.rbegin();
            if (item.file.msn > last.msn ||
                (item.file.msn == last.msn && item.file.endUTC >= last.endUTC))
                return;
            item.lastLogMSN = last.msn;
            started = true;
        };

        for (const IntervalPlan::Choice& c :
             IntervalPlan::ChooseStartingCopies(mIntervals, key, hasCopy, refused)) {
            if (fatal) break;
            if (c.source == Source::kNone) {
                if (c.failure != 0) {
                    IBS_DEBUG_WIDE(
                        u"**StartInterval: item in interval, but no upload and no progress: "
                        << c.uuid << u", err " << c.failure);
                    failed[c.uuid] = c.failure;
                }
                continue;
            }
            DatabaseItem& X = C.databases[c.uuid];
            if (c.source == Source::kKeep) {
                giveWork(X);
                continue;
            }
            if (X.file.uuid.empty()) X.file.uuid = c.uuid;
            mCopyError = 0;
            bool success = false;
            bool tried = false;
            if (c.source == Source::kOldUpload) {
                Interval& O = mIntervals.at(c.oldUpload);
                Mirel::LockReentrant ol(O.lock);
                DatabaseItem& Y = O.databases.at(c.uuid);
                X.file = Y.file;
                X.upload = true;
                X.hasContainers = Y.hasContainers;
                IBS_DEBUG_WIDE(u"StartInterval: use 'old' upload from interval "
                               << c.oldUpload << u" for " << X.file.path.GetName());
                Y.file.path.Clear();
                Y.upload = false;
            }
            if (X.upload) {
                IBS_DEBUG_WIDE(u"StartInterval: move upload MSN " << X.file.msn << u" to ip for "
                                                                  << X.file.path.GetName());
                success = MoveUploadToInProgress(X, fatal);
            } else if (c.source == Source::kMovePg) {
                Interval& PgI = mIntervals.at(c.pg);
                Interval& LgI = mIntervals.at(c.lg);
                DatabaseItem& pg = PgI.databases.at(c.uuid);
                const DatabaseItem& lg = LgI.databases.at(c.uuid);
                IBS_DEBUG_WIDE(u"StartInterval: pg MSN " << pg.file.msn << u", Move pg to ip for "
                                                         << pg.file.path.GetName());
                if (MoveKnownGoodToInProgress(pg, PgI.backup.GetPath(), fatal, X.hasContainers)) {
                    X.file = pg.file;
                    if (c.mergeLg) {
                        X.logs.insert(lg.logs.begin(), lg.logs.end());
                        X.prevEnd = LgI.mDoneUTC;
                    }
                    success = true;
                    // Its copy is gone from that folder; so is its item.
                    DeleteDatabaseItem(PgI, pg);
                } else {
                    tried = true;
                }
            }
            if (!success && !X.upload && mCopyError == 0 && !fatal &&
                (c.source == Source::kLinkLg || c.source == Source::kCarryForward ||
                 (tried && c.lgConnects))) {
                Interval& LgI = mIntervals.at(c.lg);
                const DatabaseItem& lg = LgI.databases.at(c.uuid);
                IBS_DEBUG_WIDE(u"StartInterval: lg MSN " << lg.file.msn
                                                         << (c.source == Source::kCarryForward
                                                                 ? u", carry forward lg to ip for "
                                                                 : u", HardLink lg to ip for ")
                                                         << lg.file.path.GetName());
                if (MakeInProgressHardLinks(lg, LgI.backup.GetPath(), fatal, X.hasContainers)) {
                    X.file = lg.file;
                    X.file.reserved = 0;
                    success = true;
                }
            }
            if (success) {
                giveWork(X);
                continue;
            }
            if (mCopyError != 0 && Mirel::IsEnvironmentError(mCopyError)) {
                // Not the database's fault: everything stays, and the start is tried again.
                environment = mCopyError;
                fatal = true;
                break;
            }
            if (X.upload) continue;  // no failure is recorded for an upload
            if (fatal) continue;
            const std::int32_t number = 10710;
            IBS_DEBUG_WIDE(u"**StartInterval: item in interval, but no upload and no progress: "
                           << c.uuid << u", err " << number);
            failed[c.uuid] = number;
        }
        if (!fatal) C.placed = true;

        if (C.placed) {
            for (const IntervalPlan::Removal& r : IntervalPlan::ChoosePruning(mIntervals, key)) {
                Interval& O = mIntervals.at(r.interval);
                auto item = O.databases.find(r.uuid);
                if (item != O.databases.end()) DeleteDatabaseItem(O, item->second);
            }
            // Intervals behind the previous last-good one that hold nothing any more (pruned,
            // or their copies moved on) go, with their folders.
            auto P = IntervalPlan::PreviousLastGood(mIntervals, key);
            for (auto o = mIntervals.begin(); P != mIntervals.end() && o != P; ++o) {
                Mirel::LockReentrant ol(o->second.lock);
                if (o->second.databases.empty()) toDrop[o->first] = o->second.donePath;
            }
        }
    }
    if (int rc = CleanupFailedDatabases(key, failed)) {
        // Started again once the failure can be recorded; until then nothing is published.
        C.placed = false;
        fatal = true;
        if (environment == 0) environment = rc;
    }
    for (const auto& [k, p] : toDrop) DropInterval(k);
    CleanupOrphanedIntervalFolders();
    // A start cut short is tried again later, whatever stopped it: nothing else may come
    // along to run the cycle.
    if (fatal) ScheduleRetry(environment != 0 ? environment : mCopyError != 0 ? mCopyError : -1);
    return started;
}

void IBSMgr::RemoveUnchainedLogs(DatabaseItem& item) {
    std::set<Mirel::UniversalPath> folders;
    for (const FileInfo& log : IntervalPlan::UnchainedLogs(item.logs)) {
        // They can never be applied again (the database restarted at another MSN); they
        // are set aside rather than deleted.
        if (!log.path.IsClear() && Mirel::Os::Stat(log.path.Native()).isFile) {
            MoveInvalidRedo(log.path, false, Mirel::kErrLogChainBreak);
            Mirel::UniversalPath folder = log.path;
            folder.SetName(Mirel::unistring());
            folders.insert(folder);
        }
        item.logs.erase(log);
    }
    for (const auto& f : folders) Mirel::Directory(f).Delete();
}
