// The backup manager: the one object that knows what the backup folder holds.
//
// Its operations live with the subsystem that owns them:
//   catalogue/  model, folder set-up, scan, uploads, redo intake, start/folder change/stop
//   scheduler/  the interval cycle, starting an interval, housekeeping
//   workers/    the worker pool, checkout and release, in-progress copies
//
// Locks, always in this order: mLock (catalogue), an interval's lock, mFailedLock.
#pragma once

#include <omniORB4/CORBA.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "catalogue/Catalogue.h"
#include "platform/framework/Prefs.h"
#include "platform/framework/TalonError.h"
#include "platform/support/Error.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Sync.h"

class DBSConnector;
class RetryTimer;
class TalonIBWorker;

using FailedList = std::map<Mirel::unistring, std::int32_t>;

class IBSMgr {
public:
    static IBSMgr* GetInstance();

    // Remote operations (forwarded by the servant).
    bool RegisterServer(const Mirel::unistring& address, unsigned short port,
                        unsigned short extra1 = 0, unsigned short extra2 = 0);
    std::int32_t SetBackupFolder(const Mirel::unistring& path);
    std::int32_t VerifyFullDBBackup(const Mirel::unistring& name, const Mirel::unistring& uuid,
                                    std::uint64_t msn, bool requireContainers);
    std::int32_t RedoLogIsReady(const Mirel::unistring& pathText, const Mirel::unistring& uuid,
                                bool hasContainers);
    // The catalogue keys databases by the lower-case canonical UUID text.
    static Mirel::unistring CanonicalUuid(const Mirel::unistring& text);
    bool FullDBBackupIsUploaded(const Mirel::unistring& pathText, const Mirel::unistring& uuid);
    void Stop();
    // At process exit: ends the workers (after their current log) and the connector, and
    // waits for their threads.
    void EndThreads();

    // Start.
    bool Init(CORBA::ORB_ptr orb);
    void CreateWorkers(std::int32_t count);

    // Model (catalogue/IBSMgr.cpp).
    std::uint64_t GetIntervalEnd() const { return mIntervalEnd.load(); }
    Mirel::UniversalPath GetInProgressFolderPath() const;
    std::int32_t GetDatabaseError(const Mirel::unistring& uuid);
    // Failed.tsv in the backup folder: the failed databases survive a restart. Save is
    // called with mFailedLock held.
    int SaveFailedList();  // 0, or the error of the write
    void LoadFailedList();
    void ClearIntervals();
    void RequestIntervalCheck();
    void ReportEvent(std::int32_t code, const Mirel::unistring& t1);
    void ReportEvent(std::int32_t code, const Mirel::unistring& t1, const Mirel::unistring& t2);
    void ReportEvent(std::int32_t code, const Mirel::unistring& t1, const Mirel::unistring& t2,
                     const Mirel::unistring& t3);
    void ReportEvent(std::int32_t code, const Mirel::unistring& t1, const Mirel::unistring& t2,
                     const Mirel::unistring& t3, const Mirel::unistring& t4);
    // The interval whose key is mIntervalEnd, or end(); the caller holds mLock.
    IntervalMap::iterator CurrentInterval();

    // Folder set-up (catalogue/Folders.cpp).
    bool SetupFolders(const Mirel::Directory& dir);
    void ClearFolders();
    // Whether a folder can serve as a backup folder; what it had to create for the answer
    // is taken back when it cannot.
    Mirel::Error ProbeFolder(const Mirel::UniversalPath& folder) const;
    // Where an announced file really lies below `root`, a working folder: every folder on
    // the way a real folder and the file a regular file, no symbolic link anywhere; its
    // path is then rewritten onto the service's own path of `root`. False (with the reason
    // in `error`) for anything else.
    bool ResolveInside(const Mirel::Directory& root, const Mirel::UniversalPath& path,
                       Mirel::UniversalPath& canonical, int& error) const;

    // Scan (catalogue/Scan.cpp).
    void ScanFullBackupDB();
    IntervalMap::iterator AddIntervalFolder(const Mirel::Directory& dir, std::uint64_t utc);
    IntervalMap::iterator FindIntervalWithLog(const Mirel::unistring& uuid, std::uint64_t msn);
    std::uint64_t DeleteLeadingEmptyIntervals();
    // An in-progress copy found after a restart: true when the logs that bring it forward
    // are all in the catalogue (older ones merged again as needed).
    bool ChainInProgressCopy(const Mirel::UniversalPath& file, const Mirel::unistring& uuid,
                             std::uint64_t msn, IntervalMap::iterator current);

    // Uploads (catalogue/Uploads.cpp).
    std::uint64_t FindDatabase(const Mirel::unistring& uuid, std::uint64_t msn,
                               bool requireContainers);
    Talon::Error DeleteFromParent(const DatabaseItem& item, const Mirel::UniversalPath& parent);
    // An upload the catalogue does not hold, with its containers and emptied folders.
    Talon::Error DeleteUpload(const Mirel::UniversalPath& path);

    // Redo intake (catalogue/RedoIntake.cpp).
    bool InsertRedoLog(const Mirel::UniversalPath& path, const Mirel::unistring& uuid,
                       std::uint64_t msn, std::uint64_t startMSN, std::uint64_t endUTC, bool closed,
                       bool hasContainers);
    void AddInterval(const Mirel::UniversalPath& donePath, std::uint64_t endUTC,
                     const std::vector<Mirel::unistring>* list = nullptr);
    // Sets a file of the changes folder aside, with the reason it is reported under, and
    // answers the move's error number (0 when it moved). A file that was never taken
    // (`junk`) is refused with kErrRejectedFull once the set-aside folder is at its limit:
    // event 0x41000336 says so the first time.
    // Preference 81: the set-aside limit in bytes (IBS_Config::SetRejectedLimit).
    static constexpr int kRejectedLimitPref = 81;
    int MoveInvalidRedo(const Mirel::UniversalPath& path, bool report,
                        std::int32_t reason = Mirel::kErrInvalidFile, bool junk = false);
    static bool IsRedoFolderName(const Mirel::unistring& name);

    // Interval cycle (scheduler/).
    void CheckIntervals();
    bool CompleteInterval();
    bool StartInterval(bool& fatal);
    bool HasInProgressCopy(const DatabaseItem& item) const;
    bool HasPlacedCopies(const Interval& interval) const;
    // Removes from the in-progress folder what no item of the interval owns.
    void SweepInProgress(const Interval& current);
    void RemoveUnchainedLogs(DatabaseItem& item);
    // Removes a finished interval whose copies are all gone, with its folders.
    void DropInterval(std::uint64_t key);
    // A failure of the environment: the cycle comes back after a growing delay.
    void ScheduleRetry(int error);
    void RetrySucceeded();
    void SetRetryDelays(std::uint64_t firstMs, std::uint64_t maxMs) {
        mRetryFirstMs = firstMs;
        mRetryMaxMs = maxMs;
    }
    void DeleteInterval(std::uint64_t endUTC);
    bool DeleteIntervalIfEmpty(const Mirel::UniversalPath& folder, std::uint64_t endUTC);
    void CleanupOrphanedIntervalFolders();
    void DumpIntervals();
    void DeleteDatabaseItem(Interval& interval, DatabaseItem& item);
    Mirel::Error DeleteRedoLogs(RedoLogSet& logs, std::uint64_t bound);
    Mirel::Error DeleteRedoLogFile(const Mirel::UniversalPath& path);
    // Records each failure durably, then sets the database's logs aside. Answers 0, or the
    // error that kept a failure from being recorded (nothing of that database was touched).
    int CleanupFailedDatabases(std::uint64_t startKey, const FailedList& failed);
    // Notification 21 to the server: send a new full backup of this database.
    void NotifyFailed(const Mirel::unistring& uuid);

    // Workers (workers/).
    void WakeWorkers();
    // True when no worker holds an item any more. An abort waits at most
    // SetAbortWait's time; a stop waits as long as it takes.
    bool StopWorkers(bool stop);
    void SetAbortWait(std::uint64_t ms) { mAbortWaitMs = ms; }
    bool AnyWorkerBusy();
    static bool AnyItemOwned(const DatabaseMap& databases);
    DatabaseItem* CheckoutInProgressItem();
    void ReleaseInProgressItem(DatabaseItem* copy);
    bool MakeInProgressHardLinks(const DatabaseItem& sourceItem,
                                 const Mirel::UniversalPath& sourceFolder, bool& fatal,
                                 bool withContainers);
    bool MoveKnownGoodToInProgress(const DatabaseItem& sourceItem,
                                   const Mirel::UniversalPath& sourceFolder, bool& fatal,
                                   bool withContainers);
    bool MoveUploadToInProgress(DatabaseItem& item, bool& fatal);
    Talon::Error RenameInProgressToLastGood(Interval& interval);

    // For tests and tools: a look at the catalogue under its lock.
    template <class F>
    void WithCatalogue(F&& f) {
        Mirel::LockReentrant g(mLock);
        f(mIntervals);
    }
    bool FoldersReady() const { return mFoldersReady.load() != 0; }
    bool RetryPending() const;
    Mirel::Directory GetBackupFolder() const;
    Mirel::Directory GetLastGoodFolder() const;
    const std::vector<TalonIBWorker*>& GetWorkers() const { return mWorkers; }

    static std::atomic<DBSConnector*> sDBSConnector;
    static std::atomic<bool> sServerRegistered;

private:
    IBSMgr();
    ~IBSMgr();
    bool CreateDestinationFolder(const Mirel::UniversalPath& relDir,
                                 const Mirel::unistring& baseName, bool& fatal,
                                 Mirel::Directory& dest);
    bool MoveFileIntoInProgress(const Mirel::UniversalPath& src, const Mirel::Directory& dest,
                                bool withContainers, const char* what, Mirel::UniversalPath& moved);

    Mirel::Directory mBackupFolder;
    Mirel::Directory mLastGoodFolder;
    Mirel::Directory mInProgressFolder;
    Mirel::Directory mChangesFolder;
    Mirel::Directory mCopiesFolder;
    IntervalMap mIntervals;
    mutable Mirel::ReentrantMutex mLock;
    std::atomic<std::uint64_t> mIntervalEnd{0};
    Talon::XMLPrefs mPrefs;
    Talon::PrefsHandle mPrefsHandle;
    std::vector<TalonIBWorker*> mWorkers;
    FailedList mFailedDatabases;
    std::map<Mirel::unistring, std::uint64_t> mFailedSince;  // when each one failed
    // Uploads of failed databases the scan left for their announcement: once another upload
    // of the database is accepted, they are older states and go.
    std::map<Mirel::unistring, std::set<Mirel::UniversalPath>> mLeftUploads;
    Mirel::Mutex mFailedLock;
    std::atomic<std::int32_t> mFoldersReady{0};

    // Stops and folder changes in progress: the workers are not woken meanwhile.
    std::atomic<int> mStopping{0};
    std::uint64_t mAbortWaitMs = 10000;
    // Rebuilt catalogues: a worker's release from an older one is dropped.
    std::uint64_t mGeneration = 1;
    int mCheckedOut = 0;  // items out with workers, of any generation (guarded by mLock)
    std::mutex mIdleM;
    std::condition_variable mIdleCv;
    std::uint64_t mIdleEpoch = 0;
    // The error of the last copy operation that failed (the three in-progress copies).
    int mCopyError = 0;
    // Retrying after a failure of the environment.
    std::unique_ptr<RetryTimer> mRetry;
    std::uint64_t mRetryDelayMs = 0;
    std::uint64_t mRetryFirstMs = 2000;
    std::uint64_t mRetryMaxMs = 300000;
    int mRetryError = 0;
    std::atomic<std::uint64_t> mRetryDueMs{0};  // no cycle before this tick (0: none)

    friend class Interval;
};

// Debug lines of the manager and the workers.
#define IBS_DEBUG(pieces) MIREL_DEBUG(57, pieces)
#define IBS_DEBUG_WIDE(pieces) MIREL_DEBUG_WIDE(57, pieces)
