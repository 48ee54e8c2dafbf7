// Starting an interval: each database gets its starting copy in the in-progress folder and
// the MSN up to which the workers apply its logs; databases without logs are carried
// forward; older copies nobody needs any more are pruned. The choices are IntervalPlan's.
#include <optional>

#include "catalogue/Chain.h"
#include "platform/support/Debug.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"
#include "scheduler/IntervalCycle.h"
#include "scheduler/IntervalPlan.h"

using IntervalPlan::Source;

// One start's state, from the choice of its starting copies to the record of its failures.
struct IntervalCycle::StartState {
    StartState(std::uint64_t k, Interval& c) : key(k), C(c) {}
    const std::uint64_t key;
    Interval& C;
    Started out;
    FailedList failed;
    // Databases no choice may place: failed before, or in an earlier choice of this start.
    std::set<Mirel::unistring> refused;
    std::map<Mirel::unistring, IntervalPlan::Replacement> replaced;  // by the old UUID
    bool again = false;    // a copy was found damaged: choose again without it
    bool stopped = false;  // a stop or a folder change came during the file work

    // A database that failed in an earlier choice keeps that failure: chosen again without
    // the upload it could not move, it would fail for want of a copy (10711), and a restart
    // would take that upload for a state older than the failure.
    void Fail(const Mirel::unistring& uuid, std::int32_t number) {
        failed.emplace(uuid, number);
        refused.insert(uuid);
    }
    // Work only for a copy that is behind its logs.
    void GiveWork(DatabaseItem& item) {
        if (Chain::CaughtUp(item)) return;
        item.lastLogMSN = item.logs.rbegin()->msn;
        out.work = true;
    }
};

// The steps: begin (what the last start left, who is refused), then up to three choices,
// each failing the replaced databases and placing every copy (the uploads about to move
// noted first); then the failures are recorded, older copies pruned, and a start cut
// short retried.
IntervalCycle::Started IntervalCycle::StartInterval() {
    Mirel::LockReentrant g(mCat.mLock);
    auto current = mCat.mIntervals.find(mCat.mIntervalEnd.load());
    if (current == mCat.mIntervals.end() || !current->second.backup.IsClear()) return Started();
    StartState s(current->first, current->second);
    // What the start learns of its folders holds only while it runs.
    struct Looks {
        IntervalCycle& c;
        explicit Looks(IntervalCycle& cycle) : c(cycle) { c.mStarting = true; }
        ~Looks() {
            c.mStarting = false;
            c.mStartFolders.clear();
            c.mStartListings.clear();
            c.mStartUploads.clear();
        }
    } looks(*this);
    BeginStart(s);
    s.again = true;
    for (int pass = 0; s.again && pass < 3 && s.out.cutShort.OK(); ++pass) {
        s.again = false;
        auto hasCopy = [&](const Mirel::unistring& uuid) {
            auto it = s.C.databases.find(uuid);
            return it != s.C.databases.end() && mCat.HasInProgressCopy(it->second);
        };
        const std::set<std::uint64_t> kept =
            IntervalPlan::KeptFolders(mCat.mIntervals, s.key, mRetention);
        const std::vector<IntervalPlan::Choice> choices =
            IntervalPlan::ChooseStartingCopies(mCat.mIntervals, s.key, hasCopy, s.refused, &kept);
        FailReplaced(s, choices);
        std::vector<Placement> work;
        work.reserve(choices.size());
        for (const IntervalPlan::Choice& c : choices)
            if (!s.replaced.count(c.uuid)) PlanChoice(s, c, work);
        const std::uint64_t generation = mCat.mGeneration;
        {
            // Whole-database copies and moves: without the lock when the cycle may let it go,
            // so that announcements are answered meanwhile.
            std::optional<Catalogue::FileWorkScope> unlocked;
            if (mMayLetGo && !work.empty())
                unlocked.emplace(mCat, s.key, Catalogue::FileWork::kStarting);
            // The moves' folders are synced once each when the pass's moves are done (before
            // any worker writes a moved copy). The upload folders they empty go first: the
            // copies folder's one sync then stands for theirs.
            std::vector<Mirel::UniversalPath> emptied;
            Mirel::Os::DeferredDirSyncs moves;
            NoteUploadsUnwritten(work);
            for (Placement& p : work) {
                if (unlocked && mCat.Stopping()) {
                    s.stopped = true;
                    break;
                }
                DoPlacement(p, emptied);
                if (p.copy.Kind() == Mirel::ErrorKind::kEnvironment && !p.copy.OK()) break;
            }
            RemoveEmptiedUploadFolders(emptied);
            if (int rc = moves.Flush())
                IBS_DEBUG("StartInterval: error " << Mirel::ErrorText(rc)
                                                  << " syncing the folders of the moves");
        }
        if (mCat.mGeneration != generation) {
            // The catalogue was rebuilt meanwhile: nothing of this start applies to it.
            s.out = Started();
            s.out.cutShort = Mirel::Error(Mirel::kErrAborted, "start the interval", "")
                                 .SetKind(Mirel::ErrorKind::kEnvironment);
            return s.out;
        }
        for (Placement& p : work) {
            if (!p.done) continue;
            if (!s.out.cutShort.OK()) break;
            CommitPlacement(s, p);
        }
        if (s.stopped && s.out.cutShort.OK())
            s.out.cutShort = Mirel::Error(Mirel::kErrAborted, "start the interval", "")
                                 .SetKind(Mirel::ErrorKind::kEnvironment);
    }
    if (s.out.cutShort.OK()) s.C.placed = true;
    FinishStart(s);
    return s.out;
}

void IntervalCycle::BeginStart(StartState& s) {
    if (mCat.mKeptDoneEnd != 0 && mCat.mKeptDoneEnd < s.key) {
        // A later interval says how far the cycle went now; the scan must not meet the kept
        // one before it after a restart.
        mCat.RetireInterval(mCat.mKeptDonePath, mCat.mKeptDoneEnd);
        mCat.mKeptDonePath.Clear();
        mCat.mKeptDoneEnd = 0;
    }
    {
        Mirel::LockMutex f(mCat.mFailedLock);
        for (const auto& [uuid, number] : mCat.mFailedDatabases) s.refused.insert(uuid);
    }
    // Failed at this interval's end still: the upload that cleared it came after.
    for (const Mirel::unistring& uuid : mCat.FailedUntil(s.key)) s.refused.insert(uuid);
    mCat.SweepInProgress(s.C);
    for (auto& [uuid, X] : s.C.databases) {
        if (mCat.HasInProgressCopy(X)) continue;
        X.lastLogMSN = 0;
        X.prevEnd = 0;
        RemoveUnchainedLogs(X);
    }
}

void IntervalCycle::FailReplaced(StartState& s, const std::vector<IntervalPlan::Choice>& choices) {
    // A replacement found in an earlier choice stays (its old database is refused now and
    // claims nothing any more), and is reported as its failure is recorded.
    auto writtenAt = [this](Mirel::UniversalPath upload) {
        if (upload.IsRelative()) upload.SetAbsoluteFrom(mCat.mInProgressFolder.GetPath());
        return mEnv.Probe(upload.Native()).mtimeUs;
    };
    for (const IntervalPlan::Replacement& r : IntervalPlan::ChooseReplacements(
             mCat.mIntervals, s.key, choices, mCat.mCopiesFolder.GetPath(), writtenAt))
        s.replaced.emplace(r.old, r);
    // Replaced databases first: a start cut short by the environment records the failures it
    // found, and the new database's upload may be among them (it could not be moved): it
    // claims the name no more when the start is tried again, and the old database would be
    // carried into it.
    for (const IntervalPlan::Choice& c : choices) {
        if (!s.replaced.count(c.uuid)) continue;
        // Never carried into the name the new database owns now; its newest copy stays where
        // it is, and its logs are set aside. An upload of it leaves the catalogue and waits
        // where it is, as an upload of a failed database does: taken again, it would claim
        // the name once more.
        if (c.source == Source::kUpload || c.source == Source::kOldUpload) {
            Interval& O = mCat.mIntervals.at(c.source == Source::kUpload ? s.key : c.oldUpload);
            DatabaseItem& Y = O.databases.at(c.uuid);
            IBS_DEBUG_WIDE(u"StartInterval: upload of the replaced "
                           << c.uuid << u" left where it is: " << Y.file.path.GetUserEntryFormat());
            mCat.mLeftUploads[c.uuid].insert(Y.file.path);
            Y.upload = false;
            Y.file.Clear();
            Y.file.uuid = c.uuid;
        }
        s.Fail(c.uuid, Mirel::kErrReplaced);
    }
}

void IntervalCycle::NoteUploadsUnwritten(std::vector<Placement>& work) {
    // Every upload about to move is made the service's own and noted as unwritten at once:
    // a note per upload wrote the whole list again each time. The open that makes an upload
    // the service's own gives the identity noted; each move then finds its note there and
    // has nothing more to look at.
    std::vector<std::pair<Mirel::UniversalPath, Mirel::Os::Info>> notes;
    mStartUploads.clear();  // this pass's moves only
    for (Placement& p : work) {
        if (!p.upload) continue;
        const Mirel::UniversalPath& upload = p.item.file.path;
        ++mStartUploads[Mirel::Os::ParentOf(upload.Native())];
        const Mirel::UniversalPath target = UploadTarget(upload);
        // An upload outside the copies folder is never moved, nor made the service's own.
        if (target.IsClear()) continue;
        MakeOwn(upload, &p.owned);
        if (p.owned.isFile) notes.emplace_back(target, p.owned);
    }
    if (int rc = mCat.NoteUnwritten(notes))
        IBS_DEBUG("StartInterval: error " << Mirel::ErrorText(rc)
                                          << " noting the uploads as unwritten");
}

void IntervalCycle::PlanChoice(StartState& s, const IntervalPlan::Choice& c,
                               std::vector<Placement>& work) {
    if (c.lg != 0 && c.source != Source::kUpload && c.source != Source::kOldUpload &&
        c.source != Source::kKeep) {
        // A copy without a line could never be told from a damaged one.
        DatabaseItem& lg = mCat.mIntervals.at(c.lg).databases.at(c.uuid);
        if (!lg.line.known && !lg.damaged) {
            Mirel::UniversalPath p = lg.file.path;
            p.SetAbsoluteFrom(mCat.mIntervals.at(c.lg).backup.GetPath());
            mCat.ReportDatabaseEvent(
                Talon::Event::kCopyDamaged, c.uuid, p.GetName(),
                {p.GetUserEntryFormat(), u"no line in its folder's manifest to check it against"});
            lg.damaged = true;
        }
    }
    if (c.source == Source::kNone) {
        if (c.failure != 0) {
            IBS_DEBUG_WIDE(u"**StartInterval: item in interval, but no upload and no progress: "
                           << c.uuid << u", err " << Mirel::ErrorText(c.failure));
            s.Fail(c.uuid, c.failure);
        }
        return;
    }
    DatabaseItem& X = s.C.databases[c.uuid];
    if (c.source == Source::kKeep) {
        s.GiveWork(X);
        return;
    }
    if (X.upload && c.source != Source::kUpload) {
        // Older than the database's newest copy, which starts the interval instead: nobody
        // takes it.
        IBS_DEBUG_WIDE(u"StartInterval: upload older than the newest copy superseded: "
                       << X.file.path.GetUserEntryFormat());
        mCat.DeleteSuperseded()(X);
        X.upload = false;
        X.file.Clear();
    }
    if (X.file.uuid.empty()) X.file.uuid = c.uuid;
    if (c.source == Source::kOldUpload) {
        Interval& O = mCat.mIntervals.at(c.oldUpload);
        DatabaseItem& Y = O.databases.at(c.uuid);
        X.file = Y.file;
        X.upload = true;
        X.hasContainers = Y.hasContainers;
        IBS_DEBUG_WIDE(u"StartInterval: use 'old' upload from interval " << c.oldUpload << u" for "
                                                                         << X.file.path.GetName());
        Y.file.path.Clear();
        Y.upload = false;
    }
    // What the file work needs, copied: the catalogue may change while it runs. It never reads
    // a database's logs, the bulk of an item: they stay behind.
    auto forFileWork = [](DatabaseItem& d) {
        RedoLogSet logs = std::move(d.logs);
        DatabaseItem copy = d;
        d.logs = std::move(logs);
        return copy;
    };
    Placement p;
    p.c = c;
    p.upload = X.upload;
    p.hasContainers = X.hasContainers;
    if (X.upload) {
        p.item = forFileWork(X);
    } else if (c.source == Source::kMovePg) {
        Interval& PgI = mCat.mIntervals.at(c.pg);
        p.pg = forFileWork(PgI.databases.at(c.uuid));
        p.pgFolder = PgI.backup.GetPath();
    }
    if (!X.upload && c.lg != 0 &&
        (c.source == Source::kLinkLg || c.source == Source::kCarryForward ||
         (c.source == Source::kMovePg && c.lgConnects))) {
        Interval& LgI = mCat.mIntervals.at(c.lg);
        p.lg = forFileWork(LgI.databases.at(c.uuid));
        p.lgFolder = LgI.backup.GetPath();
    }
    work.push_back(std::move(p));
}

void IntervalCycle::DoPlacement(Placement& p, std::vector<Mirel::UniversalPath>& emptied) {
    const IntervalPlan::Choice& c = p.c;
    p.done = true;
    p.used = c.source;
    bool tried = false;
    if (p.upload) {
        IBS_DEBUG_WIDE(u"StartInterval: move upload MSN " << p.item.file.msn << u" to ip for "
                                                          << p.item.file.path.GetName());
        p.copy = MoveUploadToInProgress(p.item, &emptied, &p.owned);
        p.success = p.moved = p.copy.OK();
        if (c.source != Source::kOldUpload) p.used = Source::kUpload;
    } else if (c.source == Source::kMovePg) {
        // Linked, not moved: its bytes are checked before its last-good name goes.
        IBS_DEBUG_WIDE(u"StartInterval: pg MSN " << p.pg.file.msn << u", Move pg to ip for "
                                                 << p.pg.file.path.GetName());
        p.copy = MakeInProgressHardLinks(p.pg, p.pgFolder, p.hasContainers, &p.linked);
        if (p.copy.OK()) {
            p.success = true;
            p.from = c.pg;
        } else {
            p.pgDamaged = p.copy.GetError() == Mirel::kErrCopyDamaged;
            tried = true;
        }
    }
    if (!p.success && !p.upload && p.copy.OK() &&
        (c.source == Source::kLinkLg || c.source == Source::kCarryForward ||
         (tried && c.lgConnects))) {
        IBS_DEBUG_WIDE(u"StartInterval: lg MSN "
                       << p.lg.file.msn
                       << (c.source == Source::kCarryForward ? u", carry forward lg to ip for "
                                                             : u", HardLink lg to ip for ")
                       << p.lg.file.path.GetName());
        p.copy = MakeInProgressHardLinks(p.lg, p.lgFolder, p.hasContainers, &p.linked);
        p.success = p.copy.OK();
        if (p.success) p.from = c.lg;
        p.lgDamaged = p.copy.GetError() == Mirel::kErrCopyDamaged;
        if (c.source != Source::kCarryForward) p.used = Source::kLinkLg;
    }
}

void IntervalCycle::CommitPlacement(StartState& s, Placement& p) {
    const IntervalPlan::Choice& c = p.c;
    // A copy found damaged is never a starting copy again.
    auto markDamaged = [&](std::uint64_t key) {
        auto I = mCat.mIntervals.find(key);
        if (I == mCat.mIntervals.end()) return;
        auto y = I->second.databases.find(c.uuid);
        if (y != I->second.databases.end()) y->second.damaged = true;
    };
    if (p.pgDamaged) markDamaged(c.pg);
    if (p.lgDamaged) markDamaged(c.lg);
    // The item as it is now: logs announced meanwhile are in it, and stay.
    DatabaseItem& X = s.C.databases[c.uuid];
    if (X.file.uuid.empty()) X.file.uuid = c.uuid;
    if (p.success && p.moved) {
        X.file.path = p.item.file.path;
        X.upload = false;
    } else if (p.success) {
        // A starting copy that still shares its bytes with a last-good copy: the worker
        // checks them against that copy's line before it writes (a copy made instead of a
        // link was checked while it was made).
        const DatabaseItem& Y = p.from == c.pg ? p.pg : p.lg;
        const Mirel::UniversalPath& folder = p.from == c.pg ? p.pgFolder : p.lgFolder;
        Mirel::UniversalPath src = Y.file.path;
        src.SetAbsoluteFrom(folder);
        X.file = Y.file;
        X.file.reserved = 0;
        X.checkFrom = src;
        X.checkInterval = p.from;
        X.expect = Y.line;
        X.mustCheck = p.linked;
        X.detach = p.from == c.pg && X.mustCheck;
        X.detached = false;
        if (p.from == c.pg && c.mergeLg) {
            auto LgI = mCat.mIntervals.find(c.lg);
            if (LgI != mCat.mIntervals.end()) {
                auto lg = LgI->second.databases.find(c.uuid);
                if (lg != LgI->second.databases.end())
                    X.logs.insert(lg->second.logs.begin(), lg->second.logs.end());
                X.prevEnd = LgI->second.mDoneUTC;
            }
        }
    }
    if (p.success) {
        ++mPlaced[p.used];
        // Only an upload needs keeping should its first log fail: a linked copy's original
        // stays where it is.
        X.pristine = p.moved;
        X.held = false;
        s.GiveWork(X);
        return;
    }
    if (p.copy.GetError() == Mirel::kErrCopyDamaged) {
        s.again = true;
        return;
    }
    if (p.copy.Kind() == Mirel::ErrorKind::kEnvironment) {
        // Not the database's fault: everything stays, and the start is tried again.
        s.out.cutShort = p.copy;
        return;
    }
    if (X.upload) {
        // Never applied in place, never destroyed: the upload leaves the catalogue and waits
        // where it is, as an upload of a failed database does, for the server to announce it
        // (or a newer one) again.
        IBS_DEBUG_WIDE(u"**StartInterval: upload of " << c.uuid << u" cannot be moved (error "
                                                      << p.copy.Text() << u"), left where it is: "
                                                      << X.file.path.GetUserEntryFormat());
        mCat.mLeftUploads[c.uuid].insert(X.file.path);
        X.upload = false;
        X.file.Clear();
        X.file.uuid = c.uuid;
    }
    const std::int32_t number = Mirel::kErrCopyFailed;
    IBS_DEBUG_WIDE(u"**StartInterval: item in interval, but no upload and no progress: "
                   << c.uuid << u", err " << Mirel::ErrorText(number));
    s.Fail(c.uuid, number);
}

void IntervalCycle::FinishStart(StartState& s) {
    std::map<std::uint64_t, Mirel::UniversalPath> toDrop;
    if (s.C.placed) toDrop = CleanupObsoleteItems(s.key);
    auto reportReplaced = [&](const Mirel::unistring& old) {
        auto r = s.replaced.find(old);
        if (r == s.replaced.end()) return;
        IBS_DEBUG_WIDE(u"StartInterval: database " << r->second.name.GetUserEntryFormat()
                                                   << u" replaced: " << old << u" by "
                                                   << r->second.fresh);
        mCat.ReportDatabaseEvent(Talon::Event::kDatabaseReplaced, old, r->second.name.GetName(),
                                 {r->second.name.GetUserEntryFormat(), old, r->second.fresh});
    };
    Mirel::Error& cutShort = s.out.cutShort;
    if (int rc = mCat.CleanupFailedDatabases(s.key, s.failed, reportReplaced)) {
        // Started again once the failure can be recorded; until then nothing is published.
        s.C.placed = false;
        if (cutShort.OK())
            cutShort = Mirel::Error(rc, "record failed databases in", "Failed.tsv")
                           .SetKind(Mirel::ErrorKind::kEnvironment);
    }
    for (const auto& [k, p] : toDrop) mCat.DropInterval(k);
    mCat.CleanupOrphanedIntervalFolders();
    // A start cut short is tried again later, whatever stopped it: nothing else may come
    // along to run the cycle. One a stop or a folder change cut short is asked for again
    // when that ends.
    if (s.stopped && cutShort.GetError() == Mirel::kErrAborted)
        mCat.RequestIntervalCheck();
    else if (!cutShort.OK())
        ScheduleRetry(cutShort);
}

std::map<std::uint64_t, Mirel::UniversalPath> IntervalCycle::CleanupObsoleteItems(
    std::uint64_t current) {
    Mirel::LockReentrant g(mCat.mLock);
    const Interval& C = mCat.mIntervals.at(current);
    // A log the current interval holds (a late log an in-progress copy takes again after a
    // restart) is the current interval's, whichever older item also lists it.
    std::set<Mirel::UniversalPath> needed;
    for (const auto& [uuid, item] : C.databases)
        for (const FileInfo& log : item.logs) needed.insert(log.path);
    // The restore points the policy keeps are never a source of removals.
    const std::set<std::uint64_t> kept =
        IntervalPlan::KeptFolders(mCat.mIntervals, current, mRetention);
    for (const IntervalPlan::Removal& r :
         IntervalPlan::ChoosePruning(mCat.mIntervals, current, &kept)) {
        // An older copy whose bytes an in-progress copy still shares unchecked stays until
        // the worker's check: the in-progress copy must not become private first.
        auto x = C.databases.find(r.uuid);
        if (x != C.databases.end() && x->second.mustCheck && x->second.checkInterval == r.interval)
            continue;
        Interval& O = mCat.mIntervals.at(r.interval);
        auto item = O.databases.find(r.uuid);
        if (item == O.databases.end()) continue;
        RedoLogSet& logs = item->second.logs;
        for (auto l = logs.begin(); l != logs.end();)
            l = needed.count(l->path) ? logs.erase(l) : std::next(l);
        mCat.DeleteDatabaseItem(O, item->second);
    }
    // Intervals behind the previous last-good one that hold nothing any more (pruned, or
    // their copies moved on) go, with their folders.
    std::map<std::uint64_t, Mirel::UniversalPath> emptied;
    auto P = IntervalPlan::PreviousLastGood(mCat.mIntervals, current);
    for (auto o = mCat.mIntervals.begin(); P != mCat.mIntervals.end() && o != P; ++o) {
        if (o->second.databases.empty()) emptied[o->first] = o->second.donePath;
    }
    return emptied;
}

void IntervalCycle::RemoveUnchainedLogs(DatabaseItem& item) {
    std::set<Mirel::UniversalPath> folders;
    for (const FileInfo& log : IntervalPlan::UnchainedLogs(item.logs)) {
        // They can never be applied again (the database restarted at another MSN); they
        // are set aside rather than deleted.
        if (!log.path.IsClear() && mEnv.Probe(log.path.Native()).isFile) {
            mCat.MoveInvalidRedo(log.path, false, Mirel::kErrLogChainBreak);
            Mirel::UniversalPath folder = log.path;
            folder.SetName(Mirel::unistring());
            folders.insert(folder);
        }
        item.logs.erase(log);
    }
    for (const auto& f : folders) Mirel::Directory(f).Delete();
}
