// Starting an interval: each database gets its starting copy in the in-progress folder and
// the MSN up to which the workers apply its logs.
#include "catalogue/IBSMgr.h"
#include "platform/support/Debug.h"

namespace {

// An older item with a copy, and the interval holding it.
struct Source {
    DatabaseItem* item = nullptr;
    IntervalMap::iterator interval;
    explicit operator bool() const { return item != nullptr; }
};

}  // namespace

bool IBSMgr::HasInProgressCopy(const DatabaseItem& item) const {
    if (item.upload || item.file.path.IsClear() || !item.file.path.IsRelative()) return false;
    Mirel::UniversalPath p = item.file.path;
    p.SetAbsoluteFrom(mInProgressFolder.GetPath());
    return p.Exists();
}

bool IBSMgr::StartInterval(bool& fatal) {
    Mirel::LockReentrant g(mLock);
    bool started = false;
    auto current = mIntervals.find(mIntervalEnd.load());
    if (current == mIntervals.end() || !current->second.backup.IsClear()) return false;

    FailedList failed;
    std::map<std::uint64_t, Mirel::UniversalPath> toDrop;
    auto newestPg = mIntervals.end();
    Interval& C = current->second;
    {
        Mirel::LockReentrant cl(C.lock);
        for (auto& [uuid, X] : C.databases) {
            if (fatal) break;
            // The workers take an item up to its last log.
            auto giveWork = [&started](DatabaseItem& item) {
                if (item.logs.empty()) return;
                item.lastLogMSN = item.logs.rbegin()->msn;
                started = true;
            };
            if (HasInProgressCopy(X)) {
                // The interval was started before a restart: this copy is already here.
                giveWork(X);
                continue;
            }
            X.lastLogMSN = 0;
            X.prevEnd = 0;
            if (X.pfailed && X.logs.empty()) continue;

            Source lg, pg;
            bool tried = false;
            for (auto o = std::make_reverse_iterator(current); o != mIntervals.rend() && !pg; ++o) {
                Interval& O = o->second;
                Mirel::LockReentrant ol(O.lock);
                auto found = O.databases.find(uuid);
                if (found == O.databases.end()) continue;
                DatabaseItem& Y = found->second;
                if (Y.upload && !X.upload && !lg) {
                    X.file = Y.file;
                    X.upload = true;
                    IBS_DEBUG_WIDE(u"StartInterval: use 'old' upload from interval "
                                   << o->first << u" for " << X.file.path.GetName());
                    Y.file.path.Clear();
                    Y.upload = false;
                }
                if (!Y.file.path.IsClear()) {
                    auto oIt = std::prev(o.base());
                    if (!lg) {
                        lg = {&Y, oIt};
                    } else {
                        pg = {&Y, oIt};
                        if (newestPg == mIntervals.end() || oIt->first > newestPg->first)
                            newestPg = oIt;
                    }
                }
            }
            RemoveUnchainedLogs(X);

            std::int32_t failure = 0;
            bool success = false;
            if (X.upload) {
                IBS_DEBUG_WIDE(u"StartInterval: move upload MSN " << X.file.msn << u" to ip for "
                                                                  << X.file.path.GetName());
                if (!MoveUploadToInProgress(X, fatal)) continue;
                success = true;
            } else if (!lg) {
                failure = Mirel::kErrNoStartingCopy;
            } else {
                const DatabaseItem& L = *lg.item;
                bool connects = false;
                if (pg) {
                    const DatabaseItem& P = *pg.item;
                    connects = P.file.msn == L.file.msn ||
                               (!L.logs.empty() && P.file.msn == L.logs.begin()->startMSN) ||
                               (!X.logs.empty() && P.file.msn == X.logs.begin()->startMSN);
                }
                if (connects) {
                    const DatabaseItem& P = *pg.item;
                    IBS_DEBUG_WIDE(u"StartInterval: pg MSN " << P.file.msn
                                                             << u", Move pg to ip for "
                                                             << P.file.path.GetName());
                    if (MoveKnownGoodToInProgress(P, pg.interval->second.backup.GetPath(), fatal,
                                                  X.hasContainers)) {
                        X.file = P.file;
                        if (!L.logs.empty() && (X.logs.empty() || X.logs.begin()->startMSN !=
                                                                      L.logs.begin()->startMSN)) {
                            X.logs.insert(L.logs.begin(), L.logs.end());
                            X.prevEnd = lg.interval->second.mDoneUTC;
                        }
                        success = true;
                    } else {
                        tried = true;
                    }
                }
                if (!success) {
                    if (!X.logs.empty() && L.file.msn != X.logs.begin()->startMSN) {
                        failure = tried ? Mirel::kErrCopyFailed : Mirel::kErrNoStartingCopy;
                    } else {
                        IBS_DEBUG_WIDE(u"StartInterval: lg MSN " << L.file.msn
                                                                 << u", HardLink lg to ip for "
                                                                 << L.file.path.GetName());
                        if (MakeInProgressHardLinks(L, lg.interval->second.backup.GetPath(), fatal,
                                                    X.hasContainers)) {
                            X.file = L.file;
                            success = true;
                        } else {
                            failure = Mirel::kErrCopyFailed;
                        }
                    }
                }
            }

            if (success) {
                giveWork(X);
                if (pg) DeleteDatabaseItem(pg.interval->second, *pg.item);
                continue;
            }
            if (fatal) continue;
            IBS_DEBUG_WIDE(u"**StartInterval: item in interval, but no upload and no progress: "
                           << uuid << u", err " << failure);
            failed[uuid] = failure;
        }

        if (started) {
            auto first = mIntervals.end();
            if (newestPg != mIntervals.end()) {
                first = newestPg;
            } else if (std::distance(mIntervals.begin(), current) >= 2) {
                first = std::prev(current, 2);
            }
            if (first != mIntervals.end()) {
                for (auto o = first;; --o) {
                    if (CleanupObsoleteItems(o, current))
                        toDrop[o->second.mDoneUTC] = o->second.donePath;
                    if (o == mIntervals.begin()) break;
                }
            }
        }
    }
    CleanupFailedDatabases(current, failed);
    for (const auto& [k, p] : toDrop) {
        if (p.IsClear())
            DeleteInterval(k);
        else
            DeleteIntervalIfEmpty(p, k);
    }
    CleanupOrphanedIntervalFolders();
    return started;
}

bool IBSMgr::CleanupObsoleteItems(IntervalMap::iterator older, IntervalMap::iterator current) {
    if (older == mIntervals.end()) return false;
    Interval& O = older->second;
    Mirel::LockReentrant ol(O.lock);
    bool removed = false;
    for (auto w = O.databases.begin(); w != O.databases.end();) {
        auto next = std::next(w);
        DatabaseItem& W = w->second;
        bool covered = W.pfailed && !W.logs.empty();
        bool keep = false, decided = false;
        int c = 2147483647;
        int n = 0;
        for (auto N = std::next(older); N != mIntervals.end() && !decided; ++N, ++n) {
            if (N == current) c = n;
            if (covered) {
                keep = decided = true;
                break;
            }
            Mirel::LockReentrant nl(N->second.lock);
            auto found = N->second.databases.find(w->first);
            if (found == N->second.databases.end()) continue;
            const DatabaseItem& item = found->second;
            if (item.upload) {
                decided = true;
                keep = false;
            } else if (item.pfailed && n < 2) {
                decided = keep = true;
            } else if (n > c && !item.logs.empty()) {
                for (const FileInfo& log : item.logs) {
                    if (log.startMSN >= W.file.msn) {
                        if (log.startMSN == W.file.msn) covered = true;
                        break;
                    }
                }
            }
        }
        if (!decided) keep = covered;
        if (!keep) {
            DeleteDatabaseItem(O, W);
            removed = true;
        }
        w = next;
    }
    return O.databases.empty() || removed;
}

void IBSMgr::RemoveUnchainedLogs(DatabaseItem& item) {
    std::map<std::uint64_t, FileInfo> byEnd;
    for (const FileInfo& log : item.logs) byEnd[log.endUTC] = log;
    if (byEnd.size() < 2) return;
    auto breakPoint = byEnd.end();
    for (auto f = std::prev(byEnd.end()); f != byEnd.begin(); --f) {
        auto e = std::prev(f);
        if (e->second.closed && e->second.msn != f->second.startMSN) {
            breakPoint = f;
            break;
        }
    }
    if (breakPoint == byEnd.end()) return;
    std::set<Mirel::UniversalPath> folders;
    for (auto e = breakPoint; e != byEnd.begin();) {
        --e;
        const FileInfo& log = e->second;
        if (!log.path.IsClear() && DeleteRedoLogFile(log.path).OK()) {
            Mirel::UniversalPath folder = log.path;
            folder.SetName(Mirel::unistring());
            folders.insert(folder);
        }
        item.logs.erase(log);
    }
    for (const auto& f : folders) Mirel::Directory(f).Delete();
}
