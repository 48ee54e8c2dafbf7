// The catalogue's records: redo logs and database copies, databases within an interval,
// and intervals. Times are UTC microseconds; MSNs are a database's log sequence numbers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>

#include "platform/framework/Codecs.h"
#include "platform/framework/TalonError.h"
#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "platform/support/Directory.h"
#include "platform/support/Sync.h"
#include "platform/support/UniversalPath.h"
#include "platform/support/unistring.h"

inline constexpr std::uint64_t kOpenInterval = UINT64_MAX;

// Debug lines of the manager and the workers.
#define IBS_DEBUG(pieces) MIREL_DEBUG(57, pieces)
#define IBS_DEBUG_WIDE(pieces) MIREL_DEBUG_WIDE(57, pieces)

// An interval end for the debug log: its UTC date and time to the microsecond, "open" or
// "none".
inline std::string EndText(std::uint64_t end) {
    return end == kOpenInterval ? "open" : end == 0 ? "none" : Mirel::UtcText(end, 6);
}
inline constexpr std::uint64_t kMinute = 60000000;

// One redo log file. Its database is the item that holds it (the database map's key), so
// the log keeps no UUID of its own; its path shares the folder text with the other logs of
// the item in the same folder.
struct FileInfo {
    Mirel::UniversalPath path;
    std::uint64_t msn = 0;
    std::uint64_t startMSN = 0;
    std::uint64_t endUTC = 0;
    bool closed = false;

    FileInfo() = default;
    FileInfo(const Mirel::UniversalPath& p, std::uint64_t m, std::uint64_t start, std::uint64_t end,
             bool c)
        : path(p), msn(m), startMSN(start), endUTC(end), closed(c) {}

    // "FileInfo: UUID start/msn/end[ *Closed] 'path'", as the catalogue dump writes it.
    Mirel::unistring Text(const Mirel::unistring& uuid) const;
};

// A database's copy (an upload, an in-progress or a last-good copy).
struct CopyInfo {
    Mirel::UniversalPath path;
    Mirel::unistring uuid;
    std::uint64_t msn = 0;
    std::uint64_t startMSN = 0;
    std::uint64_t endUTC = 0;
    std::uint64_t reserved = 0;
    bool closed = false;

    CopyInfo() = default;
    CopyInfo(const Mirel::UniversalPath& p, const Mirel::unistring& u, std::uint64_t m)
        : path(p), uuid(u), msn(m), startMSN(m) {}

    void Clear() { *this = CopyInfo(); }
    // As FileInfo::Text, with the copy's own UUID.
    Mirel::unistring Text() const;
};

// Redo logs in MSN order, then end order; equal (msn, endUTC) is the same log.
struct RedoLogOrder {
    bool operator()(const FileInfo& a, const FileInfo& b) const {
        return a.msn != b.msn ? a.msn < b.msn : a.endUTC < b.endUTC;
    }
};
using RedoLogSet = std::set<FileInfo, RedoLogOrder>;

// A copy's line in its last-good folder's manifest: what its bytes were when published.
struct ManifestLine {
    bool known = false;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

// One database within one interval.
struct DatabaseItem {
    RedoLogSet logs;
    CopyInfo file;
    std::uint64_t lastLogMSN = 0;
    std::uint64_t prevEnd = 0;
    // A copy starts without an error (a worker's copy, a moved item).
    Mirel::FreshOnCopy<Talon::Error> err;
    bool owned = false;
    bool upload = false;
    bool pfailed = false;
    bool hasContainers = true;
    // Bringing an older copy forward failed once: the newest copy is used from now on.
    bool noShortcut = false;
    // The in-progress copy is exactly the copy it was placed from: no log has written to it
    // (false when that is not known, as for a copy found after a restart).
    bool pristine = false;
    // A failed database's copy that no log changed, kept as its newest good copy and
    // published with the interval as such.
    bool held = false;
    // A worker's copy: the catalogue generation it was checked out of.
    std::uint64_t generation = 0;
    // A copy in a last-good folder: its manifest line, and whether its bytes were found not to
    // match it (a damaged copy is never a starting copy).
    ManifestLine line;
    bool damaged = false;
    // An in-progress copy that still shares its bytes with the last-good copy `checkFrom` (of
    // the interval `checkInterval`): they are checked against `expect` before any log is
    // applied. With `detach`, the last-good name is dropped once they passed (an older copy
    // brought forward; `detached` tells the release its item goes).
    bool mustCheck = false;
    ManifestLine expect;
    Mirel::UniversalPath checkFrom;
    std::uint64_t checkInterval = 0;
    bool detach = false;
    bool detached = false;
    // What the worker read of its copy after the pass that last wrote it: the copy's manifest
    // line, good while the file keeps the identity `computedId` (Talon::EncodeFileIdentity).
    Talon::ManifestEntry computed;
    std::string computedId;

    DatabaseItem() = default;
    DatabaseItem(const Mirel::UniversalPath& path, const Mirel::unistring& uuid, std::uint64_t msn,
                 bool isUpload, bool withContainers) {
        SetFile(path, uuid, msn, isUpload, withContainers);
    }
    void SetFile(const Mirel::UniversalPath& path, const Mirel::unistring& uuid, std::uint64_t msn,
                 bool isUpload, bool withContainers) {
        file = CopyInfo(path, uuid, msn);
        upload = isUpload;
        hasContainers = withContainers;
        line = ManifestLine();
        damaged = false;
        mustCheck = false;
        detach = false;
    }
};

using DatabaseMap = std::map<Mirel::unistring, DatabaseItem>;

// One backup interval, keyed in the catalogue by its end. Read and changed only under the
// catalogue's lock.
class Interval {
public:
    Mirel::UniversalPath donePath;
    std::uint64_t mDoneUTC = 0;
    Mirel::Directory backup;
    DatabaseMap databases;
    // Every database the interval's folder is to hold has its copy in the in-progress
    // folder; until then the folder must not become a last-good folder.
    bool placed = false;

    Interval() = default;
    Interval(const Mirel::UniversalPath& done, std::uint64_t end) : donePath(done), mDoneUTC(end) {}

    // Full and short forms; the short form records an upload (no base folder). An older
    // upload of the database this one supersedes is handed to `superseded`, whose file it
    // is to delete.
    using Superseded = std::function<void(const DatabaseItem& older)>;
    bool AddDatabase(const Mirel::UniversalPath& path, const Mirel::UniversalPath& base,
                     bool hasContainers, const Superseded& superseded);
    bool AddDatabase(const Mirel::UniversalPath& path, bool hasContainers,
                     const Superseded& superseded) {
        return AddDatabase(path, Mirel::UniversalPath(), hasContainers, superseded);
    }
};

using IntervalMap = std::map<std::uint64_t, Interval>;
