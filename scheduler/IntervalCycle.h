// The interval cycle: complete the current interval when every copy has caught up, publish
// it, and start the next one. Decides with IntervalPlan, places the starting copies in the
// in-progress folder, wakes the workers. Runs on the main thread only, under the catalogue's
// lock, which it lets go of for its long file work (Catalogue::FileWorkScope).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "catalogue/Catalogue.h"
#include "platform/framework/Retention.h"
#include "scheduler/IntervalPlan.h"

namespace Mirel {
class RetryTimer;
}
class WorkerPool;

class IntervalCycle {
public:
    IntervalCycle(Catalogue& catalogue, WorkerPool& pool, Mirel::Env& env);
    ~IntervalCycle();
    IntervalCycle(const IntervalCycle&) = delete;
    IntervalCycle& operator=(const IntervalCycle&) = delete;

    void CheckIntervals();
    bool CompleteInterval();
    // What a start did: whether workers have work now, and what cut it short (OK when every
    // database got its starting copy or its failure). A start cut short is tried again.
    struct Started {
        bool work = false;
        Mirel::Error cutShort;
    };
    Started StartInterval();
    bool HasPlacedCopies(const Interval& interval) const;
    void RemoveUnchainedLogs(DatabaseItem& item);
    // Pruning: removes the older copies no interval can start from any more (the plan's
    // choice) and answers the intervals left with nothing, by key, with their redo folders.
    std::map<std::uint64_t, Mirel::UniversalPath> CleanupObsoleteItems(std::uint64_t current);
    // The state, the status line and the journal learn of a published interval.
    void ReportPublished(const Interval& interval);

    // A failure of the environment: the cycle comes back after a growing delay. One of no
    // known kind (an errno without a number of its own) is not retried for ever: after a
    // few tries the cycle waits for the server's next interval-done file.
    void ScheduleRetry(const Mirel::Error& error);
    static constexpr int kUnknownRetries = 3;
    void RetrySucceeded();
    void SetRetryDelays(std::uint64_t firstMs, std::uint64_t maxMs) {
        mRetryFirstMs = firstMs;
        mRetryMaxMs = maxMs;
    }
    bool RetryPending() const;
    // Preferences 82 and 83: the restore points kept whole (docs/service.md, "Pruning").
    void SetRetention(const Talon::Retention& retention) { mRetention = retention; }
    const Talon::Retention& GetRetention() const { return mRetention; }
    // The timer ends: nothing fires into a cycle that is going.
    void CancelRetries();

    // How many starting copies each kind of source has given since the cycle was made.
    std::uint64_t Placed(IntervalPlan::Source source) const {
        auto it = mPlaced.find(source);
        return it == mPlaced.end() ? 0 : it->second;
    }

    // The workers look for work, unless a stop or a folder change waits for them.
    void WakeWorkers();

    // Copies into the in-progress folder, and its publication.
    // `linked`: the copy is a hard link of the source (not a copy made instead).
    Mirel::Error MakeInProgressHardLinks(const DatabaseItem& sourceItem,
                                         const Mirel::UniversalPath& sourceFolder,
                                         bool withContainers, bool* linked = nullptr);
    // The folder, relative to the in-progress folder, an upload of the copies folder goes
    // to; false when it lies outside the copies folder.
    bool UploadFolder(const Mirel::UniversalPath& upload, Mirel::UniversalPath& relDir) const;
    // Where an upload goes in the in-progress folder (clear: nowhere).
    Mirel::UniversalPath UploadTarget(const Mirel::UniversalPath& upload) const;
    // With `emptied`, the upload folders the move leaves empty are named there for the caller
    // to remove once the move is durable, instead of being removed at once. `owned`: the
    // upload as the start found it when it made it the service's own (and noted it).
    Mirel::Error MoveUploadToInProgress(DatabaseItem& item,
                                        std::vector<Mirel::UniversalPath>* emptied = nullptr,
                                        const Mirel::Os::Info* owned = nullptr);
    // Removes the folders of `emptied` that are empty, and their parents up to the copies
    // folder.
    void RemoveEmptiedUploadFolders(const std::vector<Mirel::UniversalPath>& emptied);
    Talon::Error RenameInProgressToLastGood(Interval& interval);

private:
    // A start, step by step (StartInterval.cpp).
    struct StartState;
    void BeginStart(StartState& s);
    void FailReplaced(StartState& s, const std::vector<IntervalPlan::Choice>& choices);
    // A starting copy's file work: planned under the lock (what it needs, copied), done
    // without it, its outcome committed under it again.
    struct Placement {
        IntervalPlan::Choice c;
        bool upload = false, hasContainers = true;
        DatabaseItem item;      // the upload to move
        Mirel::Os::Info owned;  // what making it the service's own found
        DatabaseItem pg, lg;
        Mirel::UniversalPath pgFolder, lgFolder;
        // The outcome.
        bool done = false, success = false, moved = false, linked = false;
        bool pgDamaged = false, lgDamaged = false;
        std::uint64_t from = 0;  // the interval whose copy was linked
        IntervalPlan::Source used = IntervalPlan::Source::kNone;
        Mirel::Error copy;
    };
    void PlanChoice(StartState& s, const IntervalPlan::Choice& c, std::vector<Placement>& work);
    // Makes the uploads about to move the service's own and notes them, in the file work.
    void NoteUploadsUnwritten(std::vector<Placement>& work);
    void DoPlacement(Placement& p, std::vector<Mirel::UniversalPath>& emptied);
    void CommitPlacement(StartState& s, Placement& p);
    void FinishStart(StartState& s);
    // A completion, step by step.
    struct CompleteState;
    void TakeOutcomes(CompleteState& s);
    void DropMergedLogs(IntervalMap::iterator current, const Mirel::unistring& uuid,
                        DatabaseItem& item);
    void Publish(CompleteState& s);
    // Logs announced while the interval `key` was published (its items' logs not in
    // `before`) go on to the interval still to come, as if announced just after it.
    void MoveLateLogsOn(std::uint64_t key, const std::map<Mirel::unistring, RedoLogSet>& before);

    Mirel::Error CreateDestinationFolder(const Mirel::UniversalPath& relDir,
                                         const Mirel::unistring& baseName, Mirel::Directory& dest);
    static void MakeOwn(const Mirel::UniversalPath& file, Mirel::Os::Info* seen = nullptr);
    Mirel::Error MoveFileIntoInProgress(const Mirel::UniversalPath& src,
                                        const Mirel::Directory& dest, bool withContainers,
                                        Mirel::UniversalPath& moved, const Mirel::Os::Info* owned);
    // Whether a copy's container folder is there; while a start runs, an absence is taken from
    // one listing of the copy's folder (a name listed is looked at as before).
    bool HasContainers(const Mirel::UniversalPath& copy);
    // An upload's container folder: from the start's listing of the upload's folder when the
    // start moves many uploads out of it, else one look.
    bool UploadHasContainers(const Mirel::UniversalPath& upload);

    Catalogue& mCat;
    WorkerPool& mPool;
    Mirel::Env& mEnv;
    // Retrying after a failure of the environment.
    std::unique_ptr<Mirel::RetryTimer> mRetry;
    std::uint64_t mRetryDelayMs = 0;
    std::uint64_t mRetryFirstMs = 2000;
    std::uint64_t mRetryMaxMs = 300000;
    Mirel::Error mRetryError;
    int mUnknownRetries = 0;                    // in a row, of errors of no known kind
    std::atomic<std::uint64_t> mRetryDueMs{0};  // no cycle before this tick (0: none)
    std::map<IntervalPlan::Source, std::uint64_t> mPlaced;
    Talon::Retention mRetention;
    // While a start runs (and only then): the in-progress folders made or found, and the
    // names in each last-good folder copies are linked from and each in-progress folder
    // copies go to, listed once. Nothing else
    // changes either while the start runs (intake only adds to the catalogue), so a start of
    // n copies looks at each folder once instead of once per copy.
    bool mStarting = false;
    // The cycle runs from its trigger and may let go of the lock for its file work (not
    // while the restart scan, which holds the catalogue throughout, finishes a start).
    bool mMayLetGo = false;
    std::set<std::string> mStartFolders;
    std::map<std::string, std::set<std::string>> mStartListings;
    std::map<std::string, int> mStartUploads;  // the uploads the start moves, by folder
};
