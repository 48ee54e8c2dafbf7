// A workload model of the database server: several databases with their own identities,
// full uploads into the copies folder, redo logs in redo folders of the changes folder,
// interval-done files closing intervals, and the exact content of every database at every
// interval end, so last-good folders can be checked page by page.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/sim/DatabaseModel.h"

namespace sim {

// How the model tells the service about a file (over CORBA, or straight to the manager).
class Announcer {
public:
    virtual ~Announcer() = default;
    virtual bool Upload(const std::string& path, const std::string& uuid) = 0;
    virtual std::int32_t RedoLogReady(const std::string& path, const std::string& uuid) = 0;
};

struct WorkloadOptions {
    int databases = 4;
    std::uint32_t pageSize = 4096;
    std::uint64_t initialPages = 32;
    int maxLogsPerInterval = 4;  // per database; at least one
    int maxPagesPerLog = 24;
    std::uint64_t seed = 1;
};

struct Snapshot {
    Mirel::Format::Uuid uuid;
    std::uint64_t msn = 0;
    sim::PageMap pages;
};

class Workload {
public:
    Workload(const std::string& backupFolder, const WorkloadOptions& options, Announcer& announcer);

    // Uploads a full copy of database i (all of them with -1). False if one was refused.
    bool Upload(int i = -1);
    // Writes and announces this interval's redo logs; every database gets at least one.
    // Returns the first result that was not 0 (0 when all were taken).
    std::int32_t WriteIntervalLogs(const std::vector<int>& skip = {});
    // Writes one redo log for database i whose records are garbled after it is written.
    std::int32_t WriteCorruptLog(int i);
    // Writes the interval-done file, announces it and remembers every database's content.
    std::int32_t CloseInterval();

    // Checks every database file in a last-good folder against the content at the end of
    // the interval the folder stands for. Empty when all match; else what differs.
    std::string VerifyLastGood(const std::string& folder) const;
    // Every last-good folder below the backup folder, checked; `checked` counts the copies.
    std::string VerifyAll(int* checked = nullptr) const;

    // The newest last-good folder ("" when there is none).
    std::string NewestLastGood() const;
    // Waits until the newest last-good folder stands for the last closed interval.
    bool WaitForLastGood(int timeoutMs) const;

    const std::vector<std::uint64_t>& IntervalEnds() const { return mEnds; }
    std::uint64_t Now() const { return mClock; }
    // Time passes on the server's clock: the next logs and interval end are that much later.
    void Pass(std::uint64_t micro) { mClock += micro; }
    int Databases() const { return static_cast<int>(mDbs.size()); }
    DatabaseModel& Db(int i) { return *mDbs[static_cast<std::size_t>(i)]; }
    std::string DbName(int i) const { return "db" + std::to_string(i) + ".vdb"; }
    std::uint64_t BytesWritten() const { return mBytes; }
    std::uint64_t LogsWritten() const { return mLogs; }
    void SetAnnouncer(Announcer& a) { mAnnouncer = &a; }
    // Stops the model from remembering database i (its copies are no longer expected).
    void Forget(int i);
    // The redo folder of the interval being written (made when first asked for).
    std::string RedoFolder();

private:
    std::string mBackup;
    WorkloadOptions mOpt;
    Announcer* mAnnouncer;
    std::mt19937_64 mRng;
    std::vector<std::unique_ptr<DatabaseModel>> mDbs;
    std::vector<bool> mForgotten;
    std::uint64_t mClock;
    std::uint64_t mRedoStart = 0;
    std::vector<std::uint64_t> mEnds;
    std::map<std::uint64_t, std::map<std::string, Snapshot>> mHistory;  // minute -> name -> copy
    // Every upload, by name and MSN: what a copy its manifest calls held must be.
    std::map<std::string, std::map<std::uint64_t, Snapshot>> mUploaded;
    std::uint64_t mBytes = 0, mLogs = 0;
    int mUploads = 0, mSeq = 0;
};

}  // namespace sim
