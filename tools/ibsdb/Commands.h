// The operator's commands of ibsdb. Each writes its report to `out` (text, or one JSON
// document) and returns an exit code of Exit (Common.h).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "tools/ibsdb/Offsite.h"

namespace ibsdb {

struct StatusOptions {
    std::string backup;
    bool json = false;
    std::uint64_t warnLag = 2ull * 3600 * 1000000;   // 2h
    std::uint64_t critLag = 24ull * 3600 * 1000000;  // 1d
    // A wait the service reports (or a closed interval it has not taken up) is a warning at
    // once and critical past this.
    std::uint64_t critWait = 3600ull * 1000000;  // 1h
    // A warning when the newest point off the host (as the last push recorded) is this far
    // behind the newest here.
    std::uint64_t warnOffsiteLag = 24ull * 3600 * 1000000;  // 1d
    // A closed interval the service has not started after this long is waiting.
    std::uint64_t startGrace = 60ull * 1000000;
    std::uint64_t now = 0;  // 0: the clock
};
int Status(const StatusOptions& o, std::ostream& out);

struct VerifyOptions {
    std::string path;  // a last-good folder or a backup folder
    bool json = false;
};
int Verify(const VerifyOptions& o, std::ostream& out);

struct ListOptions {
    ListOptions() = default;
    ListOptions(std::string backupFolder, bool asJson)
        : backup(std::move(backupFolder)), json(asJson) {}
    std::string backup;
    bool json = false;
    RemoteOptions remote;  // with credentials: the points off the host too
};
// Every restore point, newest first: interval end, databases, sizes, whether whole (List.cpp).
int List(const ListOptions& o, std::ostream& out);

struct RestoreOptions {
    std::string backup;
    std::string to;
    std::vector<std::string> databases;  // names (relative path, file name or base name) or UUIDs
    std::uint64_t at = UINT64_MAX;       // newest copy whose interval ended at or before
    std::string atFolder;                // or the copies in this last-good folder
    bool force = false;
    bool progress = false;  // a progress line on standard error
    bool json = false;      // one JSON document instead of the lines
};
int Restore(const RestoreOptions& o, std::ostream& out);

struct CheckOptions {
    std::string backup;
    bool json = false;
    std::string prefs;     // the preference file; "" for $VELLUMARK_PREFS or the default
    std::string unitPath;  // systemd's unit folders as $SYSTEMD_UNIT_PATH says; "" the default
    std::string host = "127.0.0.1";
    unsigned port = 50004;
};
// A pre-flight of a backup folder and the machine: one line per check (Check.cpp).
int Check(const CheckOptions& o, std::ostream& out);
// Whether `port` is in a list of ports and ranges as the kernel writes them
// ("50004,60000-60010", net.ipv4.ip_local_reserved_ports).
bool PortListed(const std::string& list, unsigned port);

struct PruneOptions {
    std::string backup;
    std::uint64_t olderThan = 0;  // set aside at least this long ago (microseconds)
    bool dryRun = false;          // say what would go, remove nothing
    std::uint64_t now = 0;        // 0: the clock
};
// Removes set-aside files older than o.olderThan from Rejected/, with their lines of
// reasons.tsv, and records the run in Rejected/pruned.tsv (Prune.cpp).
int PruneRejected(const PruneOptions& o, std::ostream& out);

struct ExpireOptions {
    std::string backup;
    std::int64_t keep = -1;       // restore points kept whole; -1: preference 82 (or 2)
    std::int64_t keepHours = -1;  // and those younger than this; -1: preference 83 (or 0)
    bool dryRun = false;          // say what would go, remove nothing
    bool json = false;
    std::string prefs;  // the preference file; "" for $VELLUMARK_PREFS or the default
};
// Applies a retention policy by hand: the newest o.keep last-good folders and those whose
// interval ended less than o.keepHours before the newest one's stay whole; the others lose
// every copy a newer good copy makes unnecessary, and go when nothing else is left. Refused
// while the service runs on the folder (Expire.cpp).
int Expire(const ExpireOptions& o, std::ostream& out);

// What single files hold (FileCommands.cpp).
int Info(const std::vector<std::string>& files);
int CheckLogs(const std::vector<std::string>& files);

}  // namespace ibsdb
