// The real world: a database server that breaks its rules and a host that changes under the
// service. The simulated server and the invariant model both generate these classes of
// trouble, and both judge the service by what is stated here, once: the answers and events
// the service gives for each are still being settled, so a change of them is a change of
// this file only.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

enum class RealWorld {
    kSetup,      // a folder whose set-up failed at start, named again by the server
    kXdev,       // Copies/ on another file system than the backup folder
    kShared,     // two databases' uploads in one Copies/<upload>/ folder
    kRecreate,   // a database dropped and re-created under its old file name (a new UUID),
                 // half the time with its letters' case changed (the same name to the server)
    kLongName,   // database and log file names of 250 to 255 bytes
    kLate,       // a log ending inside a published interval, a restart right after the next
                 // interval-done file
    kClockBack,  // the server's clock steps back: earlier ends for logs and interval-done files
    kRace,       // a folder change racing the interval check
    kBitRot,     // a byte of a last-good copy changes on disk
    kFirstLog,   // the first log after an upload is damaged, before its announcement or after
    kExpire,     // an operator's expiry of restore points, killed at a random moment
    kRedoLink,   // a redo folder swapped for a symbolic link after its logs were announced
};

// "setup", "xdev", "shared", "recreate", "longname", "late", "clockback", "race", "bitrot",
// "firstlog", "expire", "redolink", in that order.
const std::vector<std::string>& RealWorldNames();
const char* RealWorldName(RealWorld c);
// "all", or names separated by commas. False (with the first unknown name) for anything else.
bool ParseRealWorld(const std::string& list, std::set<RealWorld>& out, std::string* bad = nullptr);

// What the service must do, where more than one number would do.
namespace expect {

// (7) An interval-done file whose end is not after the newest interval end the service
// knows: refused with this answer and set aside with it as its reason. 0: any answer that
// has no other meaning (NewRefusal).
constexpr int kStaleIntervalDone = 10728;
// (4) A redo log of a database that a new upload under its file name replaced: refused with
// this answer and set aside. 0: any refusal that sets the file aside (SetAsideRefusal).
constexpr int kReplacedDatabaseLog = 10726;
// (4) The event that reports the replacement. 0: any event that names the replaced UUID.
constexpr std::uint32_t kReplacedEvent = 0x41000332u;
// (9) The event that reports a damaged copy met as a starting copy. 0: any event that names
// the database (its UUID or its file name).
constexpr std::uint32_t kDamagedCopyEvent = 0x41000333u;
// (10) A copy no log changed, kept as the database's newest good copy, is listed in its
// last-good folder's manifest of this version with this mark (the others with kCurrentMark).
constexpr int kHeldManifestVersion = 2;
constexpr const char* kHeldMark = "held";
constexpr const char* kCurrentMark = "current";
// (12) A log whose redo folder became a symbolic link before a worker read it cannot be read:
// its database fails with this event (a log it cannot apply). 0: any event that names the
// database.
constexpr std::uint32_t kUnreadableLogEvent = 0x4100031fu;
// Set-aside files are reported with this event (texts: where it went, the reason).
constexpr std::uint32_t kSetAsideEvent = 0x41000328u;
// A refused upload is reported with this event (texts: the file name, the path).
constexpr std::uint32_t kUploadRefusedEvent = 0x41000313u;

// An answer that means nothing else yet: not 0, none of the documented refusals, not a
// failure of the environment.
bool NewRefusal(int answer);
// (12) A database failed for a link where a redo folder was: a scan found the link (20307), or
// a log after the hidden ones no longer continued its copy (10721).
bool LinkFailure(int number);
// A refusal after which the file is set aside (not "not taken", not "no backup folder", not
// "the set-aside folder is at its limit").
bool SetAsideRefusal(int answer);
bool StaleDoneAnswerOk(int answer);
bool ReplacedLogAnswerOk(int answer);
// Whether an event is the one expected: its number when one is set (else any but the routine
// set-aside event), and one of its texts naming one of `names`.
bool EventMatches(std::uint32_t expected, std::uint32_t code, const std::vector<std::string>& texts,
                  const std::vector<std::string>& names);

}  // namespace expect

// A last-good folder's manifest.tsv as plain lines: its version and, per database path, the
// fields after the path. Read independently of the service's reader.
struct ManifestLines {
    bool present = false;
    int version = 0;
    std::uint64_t intervalEnd = 0;  // the exact end it records (0: none)
    std::map<std::string, std::vector<std::string>> databases;  // path -> UUID, MSN, ...
};
ManifestLines ReadManifestLines(const std::string& folder);
// The line of a database file lists exactly this CRC-32C (the line certifies these bytes).
bool ManifestCertifies(const ManifestLines& m, const std::string& relPath, std::uint32_t crc32c,
                       std::uint64_t size);
// The line marks the copy as held (kept as the newest good copy, not the interval's state).
bool ManifestMarksHeld(const ManifestLines& m, const std::string& relPath);

// A file whose bytes the host changed, known as the file system knows it: device, inode and
// birth time (where the file system keeps one), and the bytes it held then. A deleted
// file's inode number is soon given to a new file; the birth time, else the bytes, tell
// the new file from the one that changed.
struct ChangedFile {
    std::string path;  // where it was changed
    std::uint64_t dev = 0, ino = 0;
    bool born = false;  // the birth time is known
    std::int64_t bornSec = 0;
    std::uint32_t bornNsec = 0;
    std::uint64_t size = 0;
    std::uint32_t crc32c = 0;
};
// The file at `path` as it is now, after its change.
bool RecordChangedFile(const std::string& path, ChangedFile& out);
// Whether `path` is that very file, not another one that got its inode number.
bool IsChangedFile(const ChangedFile& x, const std::string& path);
std::uint32_t FileCrc32c(const std::string& path, std::uint64_t& size);

// A file name of `length` bytes (250 to 255 in use) ending in `ext`, starting with `stem`.
std::string LongName(const std::string& stem, const std::string& ext, std::size_t length);

}  // namespace sim
