// What the simulated server knows: its databases, the state of each at every interval end,
// and every file it wrote with what the service answered. Checks of the backup folder are
// made against it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/sim/DatabaseModel.h"
#include "tools/sim/RawDb.h"
#include "tools/sim/RealWorld.h"

namespace sim {

// Where the service's event records stood at a moment: how many the hub had received, and
// how long the service's system log was (records no hub took go there).
struct EventMark {
    std::size_t hub = 0;
    std::uint64_t systemLog = 0;
};

struct DbRec {
    std::string name;  // file name of its uploads, e.g. "db3.vdb"
    std::unique_ptr<DatabaseModel> model;
    bool known = false;       // the service accepted an upload of it
    int uploadInterval = 0;   // the interval its newest accepted upload belongs to
    bool badPending = false;  // an invalid log of it was accepted since its last upload
    int badInterval = 0;
    std::string badLog;           // what is wrong: "log <path> is invalid", ...
    bool reportedFailed = false;  // notification 21 arrived and no upload since
    int failedAt = 0;             // the interval it was reported failed in
    bool needsUpload = false;     // the server owes the service a new full backup of it
    int lastGood = 0;             // newest interval whose newest folder held it exactly
    int idleUntil = 0;            // no logs up to this interval
    // When notification 21 came.
    std::chrono::steady_clock::time_point noticeAt;
    // The state of every upload written, by MSN: what a held copy may be.
    std::map<std::uint64_t, DbState> uploaded;
    // Real world.
    bool retired = false;  // dropped by the server; a new database took its file name
    int retiredAt = 0;     // the first interval it was no longer in
    int replaces = -1;     // the database it took the file name of
    // Dropped, but the upload that takes its name was taken away with its file system
    // before the service met it: the service still has this database under the name, and
    // carries it until the next upload of the new one.
    bool replacementPending = false;
    bool replacedLogSent = false;
    bool replacedEventDue = false;  // an event must report the replacement
    EventMark eventsBefore;         // the service's events when it was replaced
    bool hostFault = false;  // the host spoilt its copy or upload: it may fail, until an upload
    int heldInterval = 0;    // its upload, no log applied, is its newest good copy there
    DbState heldState;
    // It failed while a link stood where a redo folder was: it owes no other event, and its
    // newest good copy may be a waiting upload or a copy in Kept/<uuid>/. Until an upload.
    bool linkFailed = false;
    // Failed for a link, then uploaded again before the notification came: the folders of
    // the intervals up to this one may lack it.
    int linkExcusedUntil = 0;
    // When the server asked the service to take its newest accepted upload (UTC
    // microseconds): a failure Failed.tsv dates before it is the one that upload answered.
    std::uint64_t uploadAskedAt = 0;
};

enum class FileKind {
    kLog,      // a redo log of the database's chain
    kUpload,   // a full backup
    kDone,     // an interval-done file
    kBogus,    // a file that must be set aside (an invalid log or interval-done file)
    kForeign,  // a file a hostile call named: it must stay exactly where it is
};

struct FileRec {
    FileKind kind = FileKind::kLog;
    std::string path;
    int db = -1;
    std::uint64_t startMSN = 0, msn = 0, endUTC = 0;
    int interval = 0;  // the interval that was open when it was written (it belongs to)
    bool answered = false;
    int answer = 0;            // RedoLogIsReady's number, or 1/0 for FullDBBackupIsUploaded
    bool accepted = false;     // answered 0 (a log) or true (an upload), or found taken
    std::vector<int> reasons;  // bogus files: the reasons.tsv numbers that are right
    bool afterBreak = false;   // written while its database's chain was broken (failing)
    std::uint64_t digest = 0, size = 0;
    bool settled = false;  // its fate is known and was checked
    std::string fate;
};

struct IntervalRec {
    int k = 0;
    std::uint64_t end = 0;
    std::map<int, DbState> states;  // every database the service knows, at the end
};

struct Ledger {
    std::string backup;
    std::vector<DbRec> dbs;
    std::vector<IntervalRec> intervals;  // intervals[k - 1] is interval k
    std::vector<FileRec> files;
    // Event 0x41000328 as the hub received it: where a set-aside file went -> its reason.
    std::map<std::string, int> setAsideEvents;
    // Last-good copies whose bytes the host changed: no manifest may certify them, and they
    // are not the service's doing. Known by their file, not their inode number: once a
    // changed file is gone, a new file may get its number.
    struct Damaged : ChangedFile {
        int db = -1;
        int flippedAt = 0;       // the interval after which it changed
        EventMark eventsBefore;  // the service's events then
        bool eventDue = false, eventChecked = false;
        int dueAt = 0;      // the interval that had to start from it
        bool gone = false;  // no longer anywhere in the backup folder
    };
    std::vector<Damaged> damaged;
    const Damaged* DamagedFile(const std::string& path) const {
        for (const auto& d : damaged)
            if (!d.gone && IsChangedFile(d, path)) return &d;
        return nullptr;
    }

    // Interval k of database d may have had to start from a copy the host changed (every
    // other copy may be changed too, or not connect), and an upload of a later interval
    // already waits: the service may leave d out of k and set aside its logs of k without
    // asking for another upload.
    bool StartSpoilt(int d, int k) const {
        if (d < 0 || dbs[static_cast<std::size_t>(d)].uploadInterval <= k) return false;
        for (const auto& x : damaged)
            if (x.db == d && x.dueAt == k) return true;
        return false;
    }

    // A redo folder a local user moved out of the backup folder, leaving a symbolic link in
    // its place to a copy of it: what lies outside (where it went, where the link leads)
    // is never the service's to change.
    struct Link {
        std::string folder;   // where the redo folder was, now the link
        std::string outside;  // the run's own folder holding both
        std::string snapshot;
        int at = 0;  // the interval it happened in
        EventMark eventsBefore;
        // The databases with an accepted log behind it, no upload since: they must fail.
        std::map<int, std::vector<std::string>> logs;
        // Of those, the ones whose copy the host had spoilt: they may fail for that first,
        // and then never read a log.
        std::set<int> spoilt;
        bool judged = false;
    };
    std::vector<Link> links;

    int OpenInterval() const { return static_cast<int>(intervals.size()) + 1; }
    const IntervalRec* Interval(int k) const {
        return k >= 1 && k <= static_cast<int>(intervals.size())
                   ? &intervals[static_cast<std::size_t>(k - 1)]
                   : nullptr;
    }
    bool Active(int d) const { return !dbs[static_cast<std::size_t>(d)].retired; }
    // The service has it: known, and not dropped (or its replacement not met yet).
    bool Held(int d) const {
        const DbRec& r = dbs[static_cast<std::size_t>(d)];
        return r.known && (!r.retired || r.replacementPending);
    }
    int DbOf(const UuidBytes& uuid) const {
        for (std::size_t i = 0; i < dbs.size(); ++i)
            if (dbs[i].model->Uuid() == uuid) return static_cast<int>(i);
        return -1;
    }
    int DbOf(const std::string& uuidText) const {
        for (std::size_t i = 0; i < dbs.size(); ++i)
            if (dbs[i].model->UuidText() == uuidText) return static_cast<int>(i);
        return -1;
    }
    std::string DbLabel(int d) const {
        return d < 0 ? "?"
                     : dbs[static_cast<std::size_t>(d)].name + " (" +
                           dbs[static_cast<std::size_t>(d)].model->UuidText() + ")";
    }
};

}  // namespace sim
