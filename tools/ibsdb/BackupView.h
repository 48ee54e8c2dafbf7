// A read-only picture of a backup folder, taken while the service may be changing it:
// last-good folders with their manifests and database copies, failed databases, work not
// yet done and files set aside. A folder or file that vanishes while it is read is left out
// (and said so), never taken for damage.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/framework/Codecs.h"
#include "platform/framework/Manifest.h"

namespace ibsdb {

// A database copy of a last-good folder. Its identity is the manifest's line when the
// manifest lists the path (whatever the file now holds), else the file's header.
struct Copy {
    std::string path;  // relative to its last-good folder
    std::string uuid;  // empty when neither a line nor a valid header names one
    std::uint64_t msn = 0;
    std::uint64_t size = 0;  // of the file as it is now (0 when missing)
    bool listed = false;     // the folder's manifest lists it
    // The manifest says held: a failed database's newest good copy, older than the folder's
    // interval end.
    bool held = false;
    // What a look at the file's size and header shows; its bytes are checked by verify and
    // restore. The words are verify's.
    enum State { kOk, kDiffers, kNotADatabase, kMissing } state = kOk;
    std::string detail;  // why it is not kOk

    static const char* Word(State s);
};

struct LastGoodFolder {
    std::string name;
    std::string path;
    std::uint64_t nameTime = 0;  // what the name says (start of its minute, or exact)
    bool nameExact = false;
    enum ManifestState { kNoManifest, kManifest, kDamaged } manifestState = kNoManifest;
    std::string manifestWhy;           // why a manifest is damaged or unreadable
    const char* ManifestWord() const;  // "present", "damaged", "missing"
    Talon::Manifest manifest;
    // The interval end: the manifest's when there is one, else the name's.
    std::uint64_t intervalEnd = 0;
    bool endExact = false;
    // False when the manifest's interval end is not what the name says (a renamed folder).
    bool nameMatches = true;
    std::vector<Copy> copies;  // the database files there now
    bool vanished = false;     // gone while it was being read

    // A copy of the database that is there (in any state but missing).
    const Copy* FindUuid(const std::string& uuid) const;
    // The copy the manifest lists (or the header names) for the database, missing or not.
    const Copy* FindListed(const std::string& uuid) const;
};

struct FailedDatabase {
    std::string uuid;
    int error = 0;
    std::uint64_t since = 0;
    std::string words;  // as the line has them (empty in an older service's file)
};

// The record ibsdb prune-rejected keeps in Rejected/ (docs/formats.md).
inline constexpr const char* kPrunedRecordName = "pruned.tsv";

// A file in Rejected/ with its reasons.tsv line; error 0 when it has none.
using RejectedFile = Talon::ReasonLine;

struct Pending {
    int redoFolders = 0;
    // Logs whose changes no last-good copy holds yet (a log whose header cannot be read yet
    // counts here: the server writes the header last).
    int redoLogs = 0;
    std::uint64_t redoBytes = 0;
    // Logs already in a last-good copy, kept while an older copy may still need them.
    int appliedLogs = 0;
    std::uint64_t appliedBytes = 0;
    // Intervals the server closed that have no last-good folder yet; of the oldest one its
    // end and when the server wrote its interval-done file.
    int intervalDoneFiles = 0;
    std::uint64_t oldestDoneEnd = 0, oldestDoneWritten = 0;
    int uploads = 0;
    bool inProgress = false;
    int inProgressDatabases = 0;
};

// State.tsv: what the service last said it was doing (docs/formats.md).
struct ServiceStateFile {
    bool present = false;
    std::string problem;  // why a file that is there cannot be read (empty: it can)
    std::uint64_t written = 0;
    bool running = false;
    long pid = 0;
    std::uint64_t started = 0;
    std::string newest;
    std::uint64_t newestEnd = 0;
    std::uint64_t applying = 0, applyingSince = 0;  // 0: idle
    // A failure of the environment being retried.
    bool waits = false;
    std::uint64_t waitEnd = 0, waitSince = 0, nextRetry = 0;
    int error = 0;
    std::string words;
    std::string what;  // the operation and its path, when the service knew them
    // A stale interval-done file set aside: nothing it closes completes.
    bool stale = false;
    std::uint64_t staleEnd = 0, staleSince = 0, stalePassed = 0;
    std::string staleFile;
    // The service's copier off the host, when it runs (docs/offsite.md).
    bool offsite = false;
    std::string offState;  // idle, pushing, failing
    std::string offNewest, offPushing, offCause, offError;
    std::uint64_t offNewestEnd = 0, offSince = 0, offRetry = 0;
    int offDone = 0, offFiles = 0;
};
// Reads a State.tsv's text (exposed for the tests).
void ParseServiceState(const std::string& text, ServiceStateFile& out);

struct BackupView {
    std::string backup;
    // It has what the service sets up (Changes/, Copies/, InProgress/), a last-good folder
    // or one of the service's files.
    bool isBackupFolder = false;
    ServiceStateFile state;
    std::vector<LastGoodFolder> folders;       // oldest interval end first
    std::vector<std::string> unreadableNames;  // "LastGood_*" folders with no time in the name
    std::vector<FailedDatabase> failed;
    std::string failedWhy;  // a Failed.tsv that could not be read in full
    std::vector<RejectedFile> rejected;
    Pending pending;
    std::vector<std::string> notes;  // things that changed while they were read

    // 0, or the error that kept the backup folder from being read at all.
    int Load(const std::string& backupFolder);
    // Load for a command that needs a backup folder: empty, or why there is none to work on.
    std::string LoadBackupFolder(const std::string& backupFolder);
    // A view of one folder only (not below a backup folder), for verify.
    static LastGoodFolder LoadFolder(const std::string& path);

    // For each database (UUID), the folder of its newest copy whose interval ended at or
    // before `at`: the newest folder that lists it, whatever state the copy is in.
    struct Newest {
        const LastGoodFolder* folder = nullptr;
        const Copy* copy = nullptr;
    };
    std::map<std::string, Newest> NewestCopies(std::uint64_t at = UINT64_MAX) const;
    // The copies of one database older than `before` that a look finds whole, newest first.
    std::vector<Newest> OlderIntactCopies(const std::string& uuid, std::uint64_t before) const;
    const LastGoodFolder* NewestFolder(std::uint64_t at = UINT64_MAX) const;
    const FailedDatabase* FindFailed(const std::string& uuid) const;
};

}  // namespace ibsdb
