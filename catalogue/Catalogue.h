// The catalogue: what the backup folder holds (intervals, databases, redo logs, failed
// databases) and the records that keep it across a restart, under one lock. Announcements
// and the restart scan change it; the interval cycle reads and changes it under the same
// lock; the workers check items out of it.
//
// Locks, always in this order: mLock (the catalogue: the intervals with everything in them,
// the generation, the items out with workers), then mFailedLock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "catalogue/Items.h"
#include "catalogue/Ports.h"
#include "catalogue/ServiceState.h"
#include "catalogue/WorkSource.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/Events.h"
#include "platform/framework/Logger.h"
#include "platform/framework/ServiceSetup.h"
#include "platform/framework/TalonError.h"
#include "platform/support/DateTime.h"
#include "platform/support/Env.h"
#include "platform/support/Error.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Sync.h"

namespace Talon {
class Manifest;
}
class Intake;
class IntervalCycle;

using FailedList = std::map<Mirel::unistring, std::int32_t>;

class Catalogue : public WorkSource {
public:
    // The files the catalogue and the parts made with it work on (tests: their thread's).
    explicit Catalogue(Mirel::Env& env = Mirel::Env::Current());
    ~Catalogue() override = default;
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // The application's trigger and sink, which outlive every thread that reports.
    void Connect(CycleTrigger* trigger, EventSink* sink) {
        mTrigger.store(trigger);
        mSink.store(sink);
    }
    CycleTrigger* Trigger() const { return mTrigger.load(); }
    EventSink* Sink() const { return mSink.load(); }

    // Model.
    std::uint64_t GetIntervalEnd() const override { return mIntervalEnd.load(); }
    Mirel::UniversalPath GetInProgressFolderPath() const override;
    std::int32_t GetDatabaseError(const Mirel::unistring& uuid);
    // The database's failure number when the file was last written before the failure was
    // recorded (or when that moment is unknown); 0 otherwise.
    std::int32_t FailedBefore(const Mirel::unistring& uuid, const Mirel::UniversalPath& file);
    // Failed.tsv in the backup folder: the failed databases survive a restart. Save is
    // called with mFailedLock held.
    // 0, or the error of the write. `beforePublish` runs once the new list is durable under
    // its temporary name, just before it takes the list's name.
    int SaveFailedList(const std::function<void()>& beforePublish = {});
    void LoadFailedList();
    // Unwritten.tsv in the backup folder: the in-progress copies that are uploads exactly as
    // the server wrote them (moved, no log written to them), each with its inode, size and
    // modification time, so that after a restart such a copy can still be kept as held.
    // An upload is noted before it is moved (a rename keeps all three, so `copy` is noted
    // with the identity of the file `as` still at the upload's place), and forgotten,
    // durably, before a log first writes to it.
    // Many at once, in one write of the list: an interval start notes every upload it is
    // about to move before the first move. 0, or the error.
    // Each copy with what an open of its upload found.
    int NoteUnwritten(
        const std::vector<std::pair<Mirel::UniversalPath, Mirel::Os::Info>>& copySeen);
    // `seen`: the file at `as` as an open of it just found, instead of a look by path.
    int NoteUnwritten(const Mirel::UniversalPath& copy,
                      const Mirel::UniversalPath& as = Mirel::UniversalPath(),
                      const Mirel::Os::Info* seen = nullptr);        // 0, or the error
    int ForgetUnwritten(const Mirel::UniversalPath& copy) override;  // 0, or the error
    bool IsUnwritten(const Mirel::UniversalPath& copy);
    void LoadUnwrittenList();
    int ClearUnwrittenList();
    int SaveUnwrittenListLocked();
    // UploadsAfter.tsv in the backup folder: uploads accepted while an interval whose
    // interval-done file came before them was not yet published, each with the newest such
    // end. After a restart nothing else says such an upload came after that end, and it must
    // not go into that interval (the database may not even have existed then). Held under
    // mLock.
    // An upload of a failed database clears the failure when it is accepted; `cleared` keeps
    // that failure for the intervals up to `after`, which still lack the database.
    int NoteUploadAfter(const Mirel::UniversalPath& upload, std::uint64_t after,
                        const Mirel::unistring& uuid, std::int32_t cleared);
    // A redo log intake placed after an interval its end falls in (it continues a later log
    // or upload) has a line too: after a restart nothing else may say so (the upload may be
    // gone, superseded by a newer one).
    int NoteLogAfter(const Mirel::UniversalPath& log, std::uint64_t after,
                     const Mirel::unistring& uuid);
    // The end a file (upload or redo log) was recorded after; 0: none recorded.
    std::uint64_t RecordedAfter(const Mirel::UniversalPath& file);
    // The databases failed at the end of the interval ending `end`, whose failure an upload
    // after that end cleared.
    std::set<Mirel::unistring> FailedUntil(std::uint64_t end);
    void LoadUploadsAfter();
    void PruneUploadsAfter(std::uint64_t published);  // and lines whose upload is gone
    int SaveUploadsAfter();
    // Taken.tsv in the backup folder: the redo logs of intervals not yet published, each
    // appended as intake takes it (before the answer; not synced, the server's own synced
    // file stands for it meanwhile) and the whole list written anew from the catalogue by a
    // restart scan and after each publication. A restart that finds a listed log gone, its
    // changes in no copy, fails its database rather than publish it without them. Held under
    // mLock. 0, or the error.
    int NoteTaken(const std::string& folder, const std::string& name, const Mirel::unistring& uuid,
                  std::uint64_t msn);
    std::vector<Talon::TakenLog> LoadTaken();
    int SaveTaken();
    // The newest MSN a copy of the database in the catalogue is at (0: none).
    std::uint64_t NewestCopyMsn(const Mirel::unistring& uuid) const;
    // The newest end an upload accepted now must come after (0: none).
    std::uint64_t UnpublishedEnd();
    void ClearIntervals();
    void RequestIntervalCheck();
    void ReportEvent(Talon::Event code, const Mirel::unistring& t1);
    void ReportEvent(Talon::Event code, const Mirel::unistring& t1, const Mirel::unistring& t2);
    void ReportEvent(Talon::Event code, const Mirel::unistring& t1, const Mirel::unistring& t2,
                     const Mirel::unistring& t3);
    void ReportEvent(Talon::Event code, const Mirel::unistring& t1, const Mirel::unistring& t2,
                     const Mirel::unistring& t3, const Mirel::unistring& t4);
    // A record about one database: besides its texts, the journal names the database by
    // its UUID and file name.
    void ReportDatabaseEvent(Talon::Event code, const Mirel::unistring& uuid,
                             const Mirel::unistring& name,
                             std::vector<Mirel::unistring> texts) override;
    // The file name of a database's newest copy in the catalogue, else the last one known;
    // empty when none. The caller holds mLock.
    Mirel::unistring DatabaseName(const Mirel::unistring& uuid);
    void NoteDatabaseName(const Mirel::unistring& uuid, const Mirel::UniversalPath& file);
    // The interval whose key is mIntervalEnd, or end(); the caller holds mLock.
    IntervalMap::iterator CurrentInterval();

    // The catalogue keys databases by the lower-case canonical UUID text.
    static Mirel::unistring CanonicalUuid(const Mirel::unistring& text);

    // Copies and logs.
    Talon::Error DeleteFromParent(const DatabaseItem& item, const Mirel::UniversalPath& parent);
    // What the catalogue does with an older upload a newer one supersedes.
    Interval::Superseded DeleteSuperseded() {
        return
            [this](const DatabaseItem& older) { DeleteFromParent(older, mCopiesFolder.GetPath()); };
    }

    // Into the log set of database `uuid` in the interval, as it stands (the caller chose
    // the interval). False when the interval held that log already.
    bool PlaceRedoLog(Interval& interval, const Mirel::unistring& uuid, FileInfo info,
                      bool hasContainers);
    // Whether the interval holds a log of database `uuid` that the log continues but that
    // ends later than it.
    static bool FollowsLaterLogs(const Interval& interval, const Mirel::unistring& uuid,
                                 const FileInfo& log);
    // Sets a file of the changes folder aside, with the reason it is reported under, and
    // answers the move's error number (0 when it moved). A log set aside for its database's
    // failure says so beside the number. A file that was never taken (`junk`) is refused
    // with kErrRejectedFull once the set-aside folder is at its limit: event 0x41000336 says
    // so the first time.
    // Preference 81: the set-aside limit in bytes (IBS_Config::SetRejectedLimit).
    static constexpr int kRejectedLimitPref = Talon::kPrefRejectedLimit;
    enum class SetAside {
        kOwnFault,           // the file itself is at fault
        kWithItsDatabase,    // its database failed in this interval: its logs go with it
        kDatabaseHadFailed,  // announced for a database that had failed before
    };
    int MoveInvalidRedo(const Mirel::UniversalPath& path, bool report,
                        std::int32_t reason = Mirel::kErrInvalidFile,
                        SetAside cause = SetAside::kOwnFault, bool junk = false);
    static bool IsRedoFolderName(const Mirel::unistring& name);
    // The catalogue no longer counts on a log that was set aside (by path).
    void ForgetRedoLog(const Mirel::UniversalPath& path);
    // The end of the newest interval announced, started or published (0: none).
    std::uint64_t PassedIntervalEnd();

    // Housekeeping: removing what the cycle no longer needs, and recording failures.
    bool HasInProgressCopy(const DatabaseItem& item) const;
    // Removes from the in-progress folder what no item of the interval owns.
    void SweepInProgress(const Interval& current);
    // The item's line in the manifest of the last-good folder its copy lies in.
    static void SetManifestLine(DatabaseItem& item, const Talon::Manifest& manifest,
                                const Mirel::Directory& folder);
    // Removes a finished interval whose copies are all gone, with its folders.
    void DropInterval(std::uint64_t key);
    void DeleteInterval(std::uint64_t endUTC);
    bool DeleteIntervalIfEmpty(const Mirel::UniversalPath& folder, std::uint64_t endUTC);
    // An interval over (nothing to publish, nothing kept) leaves the catalogue and the disk.
    // False while it still holds a database or a last-good folder.
    bool RetireInterval(const Mirel::UniversalPath& folder, std::uint64_t key);
    void CleanupOrphanedIntervalFolders();
    void DumpIntervals();
    void DeleteDatabaseItem(Interval& interval, DatabaseItem& item);
    Mirel::Error DeleteRedoLogs(RedoLogSet& logs, std::uint64_t bound);
    Mirel::Error DeleteRedoLogFile(const Mirel::UniversalPath& path);
    // Records each failure durably, then sets the database's logs aside. Answers 0, or the
    // error that kept a failure from being recorded (nothing of that database was touched).
    // Its event goes out as the record is made; a replacement's through reportReplaced.
    // With uploadsExcuse false a waiting upload does not make the failure moot: when it is
    // not known whether the lost logs came before or after it.
    int CleanupFailedDatabases(
        std::uint64_t startKey, const FailedList& failed,
        const std::function<void(const Mirel::unistring&)>& reportReplaced = {},
        bool uploadsExcuse = true);
    // Fails the databases that may lack logs behind a link found where a redo folder was, as
    // CleanupFailedDatabases does with uploadsExcuse false. First, a database no last-good
    // folder holds has its in-progress copy put in Kept/<uuid>/ (durably): its failure would
    // otherwise remove its only copy. Answers 0, or the error that held it up; the failures
    // then wait, and nothing is started or published until RetryLinkFailures makes them.
    int FailForLink(std::uint64_t startKey, const FailedList& failed);
    // Interval `key`, emptied and the newest, leaves the catalogue but keeps its interval-done
    // file until a later interval starts: nothing else says how far the server went. Only
    // the newest such file is kept; an older one is retired.
    void KeepEmptiedIntervalDone(std::uint64_t key);
    // 0 when no failures of a link wait, else the error that still holds them up. The
    // copies waiting to be kept go first (KeepWaitingCopies).
    int RetryLinkFailures();
    // Keeps every copy of mKeepFiles (KeepCopy), in order; 0, or the error of the first that
    // could not be kept, which stays with those after it.
    int KeepWaitingCopies();
    // Moves a database's copy (and its container folder) into Kept/<uuid>/, durably; 0 or
    // the error number.
    int KeepCopy(const Mirel::UniversalPath& from, const Mirel::unistring& uuid);
    // <backup>/Kept, as the OS names it.
    std::string KeptCopiesFolder() const;
    // Whether a last-good folder holds a copy of the database; the caller holds mLock.
    bool HasLastGoodCopy(const Mirel::unistring& uuid) const;
    // An upload the catalogue holds whose file still waits in the copies folder.
    bool IsWaitingUpload(const DatabaseItem& item) const;
    // Notification 21 to the server: send a new full backup of this database.
    void NotifyFailed(const Mirel::unistring& uuid);

    // The workers' source: items go out to them and come back.
    DatabaseItem* CheckoutInProgressItem(
        const std::atomic<std::int32_t>* aborted = nullptr) override;
    void ReleaseInProgressItem(DatabaseItem* copy) override;
    // Whether a worker holds an item of the current interval.
    bool AnyWorkerBusy();
    static bool AnyItemOwned(const DatabaseMap& databases);
    // Waits until no item is out with a worker, whatever catalogue it came from, at most
    // `limitMs`; true when none is.
    bool WaitForItems(std::uint64_t limitMs);

    // While one lives (a folder change, or a stop that waits for the workers), the cycle
    // does not run and nothing wakes the workers; a check asked for meanwhile runs when the
    // last one ends.
    class StopScope {
    public:
        explicit StopScope(Catalogue& cat);
        ~StopScope();
        StopScope(const StopScope&) = delete;
        StopScope& operator=(const StopScope&) = delete;

    private:
        Catalogue& mCat;
    };

    // The cycle's long file work on the current interval (its start's copies, links and
    // moves; its publication's manifest and rename), done without the catalogue's lock so
    // that intake answers meanwhile. For its scope the interval is marked (intake and the
    // workers look), it counts as an item out (a stop or a folder change waits for it), and
    // every hold the thread has on the lock is given up; the caller holds the lock when it
    // begins, holds it again when it ends, and looks again at whatever it had looked at.
    enum class FileWork { kNone, kStarting, kPublishing };
    class FileWorkScope {
    public:
        FileWorkScope(Catalogue& cat, std::uint64_t key, FileWork kind);
        ~FileWorkScope();
        FileWorkScope(const FileWorkScope&) = delete;
        FileWorkScope& operator=(const FileWorkScope&) = delete;

    private:
        Catalogue& mCat;
        int mDepth = 0;
    };
    // What the cycle is doing to the interval `key` without the lock; the caller holds it.
    FileWork WorkOn(std::uint64_t key) const { return key == mWorkKey ? mWork : FileWork::kNone; }

    // For tests and tools: a look at the catalogue under its lock.
    template <class F>
    void WithCatalogue(F&& f) {
        Mirel::LockReentrant g(mLock);
        f(mIntervals);
    }
    bool FoldersReady() const { return mFoldersReady.load() != 0; }
    // A server registered since the folder was last named.
    bool ServerRegistered() const { return mServerRegistered.load(); }
    // A check was asked for and has not yet run to its decision.
    bool CheckPending() const { return mCheckPending.load(); }
    Mirel::Directory GetBackupFolder() const;
    // What the service is doing: the state file and systemd's status line.
    ServiceState& State() { return mState; }

    // A server registered since the folder was last named; the manager's answer to the
    // server naming its folder ends it.
    void ServerNamedFolder() { mServerRegistered.store(false); }
    // Stops and folder changes in progress: the workers are not woken meanwhile.
    bool Stopping() const { return mStopping.load() != 0; }
    void StopForGood() { ++mStopping; }
    Mirel::UniversalPath NamedFolder() const {
        Mirel::LockReentrant g(mLock);
        return mNamedFolder;
    }
    Mirel::ReentrantMutex& Lock() const { return mLock; }
    Mirel::Env& Files() const { return mEnv; }

private:
    // The intake and the cycle read and change the catalogue under its lock, as one with it.
    friend class Intake;
    friend class IntervalCycle;

    // An event record: the host's log, then the server's hub.
    void Report(Talon::Event code, const std::vector<Mirel::unistring>& texts,
                const Talon::Logger::Database* database = nullptr);

    Mirel::Env& mEnv;
    Mirel::Directory mBackupFolder;
    // The folder the service was last given, whether or not its set-up succeeded: naming it
    // again sets it up again, it is never taken for another folder (and cleared).
    Mirel::UniversalPath mNamedFolder;
    Mirel::Directory mLastGoodFolder;
    Mirel::Directory mInProgressFolder;
    Mirel::Directory mChangesFolder;
    Mirel::Directory mCopiesFolder;
    IntervalMap mIntervals;
    Mirel::UniversalPath mLastLogPath;  // the last log placed: its folder text is shared
    mutable Mirel::ReentrantMutex mLock;
    std::atomic<std::uint64_t> mIntervalEnd{0};
    FailedList mFailedDatabases;
    // Failures of a link where a redo folder was, not yet made (FailForLink).
    FailedList mLinkFailed;
    // Leftover in-progress copies, each its database's only one, still to be kept.
    std::vector<std::pair<Mirel::UniversalPath, Mirel::unistring>> mKeepFiles;
    std::uint64_t mLinkStart = 0;
    std::map<Mirel::unistring, std::uint64_t> mFailedSince;  // when each one failed
    // Uploads of failed databases the scan left for their announcement: once another upload
    // of the database is accepted, they are older states and go.
    std::map<Mirel::unistring, std::set<Mirel::UniversalPath>> mLeftUploads;
    // The newest interval, dropped with nothing to publish (every database failed), whose
    // interval-done file stays until a later interval starts: after a restart it still says
    // how far the cycle went, so a stale interval-done file is refused.
    Mirel::UniversalPath mKeptDonePath;
    std::uint64_t mKeptDoneEnd = 0;
    // The newest end an interval-done file of this folder named while in service, whatever
    // became of its interval since (dropped with every database failed, say).
    std::uint64_t mNamedEnd = 0;
    Mirel::Mutex mFailedLock;
    std::map<std::string, std::string> mUnwritten;  // in-progress path -> "ino size mtime"
    bool mUnwrittenSaved = true;                    // the file says what mUnwritten holds
    using UploadAfterLine = Talon::UploadAfter;
    std::map<std::string, UploadAfterLine> mUploadsAfter;  // by the upload's path
    Mirel::Mutex mUnwrittenLock;
    // Taken.tsv open for appends, and its path; -1 until the first note after a rewrite.
    int mTakenFd = -1;
    std::string mTakenFile;
    // The last file name seen of each database, for records once its copy is gone.
    std::map<Mirel::unistring, Mirel::unistring> mNames;
    std::mutex mNamesM;  // a leaf lock
    std::atomic<std::int32_t> mFoldersReady{0};

    // Stops and folder changes in progress: the workers are not woken meanwhile.
    std::atomic<int> mStopping{0};
    std::atomic<CycleTrigger*> mTrigger{nullptr};
    std::atomic<EventSink*> mSink{nullptr};
    // A server registered since the folder was last named (a restart of the server).
    std::atomic<bool> mServerRegistered{false};
    // A check was asked for and has not run to its decision yet.
    std::atomic<bool> mCheckPending{false};
    // Rebuilt catalogues: a worker's release from an older one is dropped.
    std::uint64_t mGeneration = 1;
    int mCheckedOut = 0;  // items out with workers, of any generation (guarded by mLock)
    // The interval the cycle works on without the lock, and how (guarded by mLock).
    FileWork mWork = FileWork::kNone;
    std::uint64_t mWorkKey = 0;
    std::mutex mIdleM;
    std::condition_variable mIdleCv;
    std::uint64_t mIdleEpoch = 0;
    ServiceState mState;
};
