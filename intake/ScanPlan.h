// Where the restart scan puts each redo log and upload it found, decided from what it read:
// the catalogue as the last-good folders rebuilt it and what is known of each file. No disk,
// no lock; the scan applies the decisions.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "catalogue/Items.h"

namespace ScanPlan {

// What the scan read of a redo log, and what the catalogue knows of it.
struct FoundLog {
    Mirel::unistring uuid;
    std::uint64_t msn = 0, startMSN = 0, endUTC = 0;
    std::int32_t databaseError = 0;   // its database's failure, 0 when none
    std::int32_t failedBefore = 0;    // the same, only when the log was written before it
    std::uint64_t recordedAfter = 0;  // intake placed it after this end (its clock went back)
};

enum class LogAction {
    kLeave,     // stays where it is, out of the catalogue (no interval can take it)
    kSetAside,  // set aside with its failed database (`number`)
    kPlace,     // into interval `key`
};

struct LogPlace {
    LogAction action = LogAction::kLeave;
    std::int32_t number = 0;
    std::uint64_t key = 0;
    bool late = false;  // in no last-good copy, moved on to the first interval still to be made
};

// One decision per log, in order. `newestGood` is the newest interval with a last-good folder
// (0 when none).
std::vector<LogPlace> PlaceLogs(const IntervalMap& intervals, std::uint64_t newestGood,
                                const std::vector<FoundLog>& logs);

// What the scan read of an upload, and what the catalogue knows of its database.
struct FoundUpload {
    Mirel::unistring uuid;
    std::uint64_t msn = 0;
    std::int32_t databaseError = 0;
    std::uint64_t failedSince = 0;    // when its database failed, 0 when unknown
    std::uint64_t writtenUs = 0;      // the file's modification time
    std::uint64_t recordedAfter = 0;  // accepted after this interval-done file
};

enum class UploadAction {
    kLeave,   // waits where it is for an announcement, out of the catalogue
    kDelete,  // older than its database's failure: a state the failed logs started from
    kPlace,   // into interval `key`
};

struct UploadPlace {
    UploadAction action = UploadAction::kLeave;
    std::uint64_t key = 0;
    bool olderThanNewest = false;  // deleted: older than the newest last-good copy
};

// The in-progress folder's copies being resumed: their interval and databases.
struct Resumed {
    bool active = false;
    std::uint64_t key = 0;
    std::set<Mirel::unistring> withCopy;
};

// One decision per upload, in the order given (the scan sorts them by MSN: of two uploads of
// one database placed in one interval, the later one wins).
std::vector<UploadPlace> PlaceUploads(const IntervalMap& intervals, std::uint64_t newestGood,
                                      const Resumed& resumed,
                                      const std::vector<FoundUpload>& uploads);

}  // namespace ScanPlan
