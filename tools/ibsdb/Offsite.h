// Restore points off the host: ibsdb offsite push copies last-good folders to an S3 store,
// content-addressed; list and verify look at what is there (docs/offsite.md).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "platform/objectstore/Client.h"

namespace ibsdb {

// Where the points are and how hard to try.
struct RemoteOptions {
    std::string credentials;  // the credentials file (docs/offsite.md)
    std::string prefix;       // before every key; a '/' is added when it has none
    ObjectStore::RetryPolicy retry;
    // Changes the client's settings after the credentials are read (the tests' timeouts).
    std::function<void(ObjectStore::Config&)> configure;
    // Hears of the client made for the operation, and of its end (nullptr): a caller that
    // must stop a transfer midway calls its Cancel().
    std::function<void(ObjectStore::Client*)> attach;

    std::string Prefix() const;
};

// How a push ended, for a caller that acts on it (the service's copier).
struct PushReport {
    int code = 0;  // the exit code
    int pushed = 0, refused = 0;
    bool storeFailed = false;  // the store failed or the credentials were refused
    ObjectStore::Cause cause = ObjectStore::Cause::kNone;
    std::string storeError;  // the store's error, one line
    std::vector<std::string> reasons;
};

struct PushOptions {
    std::string backup;
    RemoteOptions remote;
    bool json = false;
    PushReport* report = nullptr;
    // Before each file of a point is looked at, and once its index is written (done == files).
    std::function<void(const std::string& folder, int done, int files)> progress;
};
int OffsitePush(const PushOptions& o, std::ostream& out);

// The index of a restore point off the host (format in docs/formats.md).
struct OffsiteIndex {
    struct File {
        std::string path;  // relative to the last-good folder
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
        std::string sha256;  // hex; the object is <prefix>objects/<sha256>
    };
    std::string folder;
    std::uint64_t intervalEnd = 0;
    std::uint64_t pushed = 0;  // when the index was written (UTC microseconds)
    std::uint64_t manifestSize = 0;
    std::uint32_t manifestCrc = 0;
    std::string manifestSha256;
    std::vector<File> files;
    // Listed in the manifest, gone from the folder when it was pushed (the service removes
    // older copies once newer ones exist).
    std::vector<std::string> absent;
};
std::string EncodeOffsiteIndex(const OffsiteIndex& index);
bool DecodeOffsiteIndex(const std::string& text, OffsiteIndex& index, std::string* why = nullptr);

inline constexpr const char* kOffsiteRecordName = "Offsite.tsv";
inline constexpr const char* kOffsiteHashesName = "OffsiteHashes.tsv";

// What the last push left in the backup folder: the newest point it knows off the host.
struct OffsiteRecord {
    bool present = false;
    std::string folder;
    std::uint64_t intervalEnd = 0;
    std::uint64_t pushed = 0;
    std::string where;  // endpoint, bucket and prefix
};
bool ReadOffsiteRecord(const std::string& backup, OffsiteRecord& record);

// The cause's word in reports: "connect", "store-full" (docs/offsite.md).
const char* CauseToken(ObjectStore::Cause cause);

// The restore points off the host, by folder name, with their indexes; `error` says why
// the store could not be listed (then false).
bool ListRemotePoints(const RemoteOptions& remote, std::map<std::string, OffsiteIndex>& points,
                      std::vector<std::string>& problems, std::string& error);

// Reads one or every point back from the store and checks each object against its index
// and manifest: size, CRC-32C and SHA-256.
struct RemoteVerifyOptions {
    RemoteOptions remote;
    std::string folder;  // empty: every point
    std::string path;    // as given, for the report
    bool json = false;
};
int VerifyRemote(const RemoteVerifyOptions& o, std::ostream& out);

// Restores every file of one point off the host into a folder, each checked as it arrives.
struct RemoteRestoreOptions {
    RemoteOptions remote;
    std::string backup;  // the restore may not go into it
    std::string to;
    std::string folder;             // LastGood_...; empty: the newest at or before `at`
    std::uint64_t at = UINT64_MAX;  // interval end at or before
    bool force = false;
    bool json = false;
};
int RestoreRemote(const RemoteRestoreOptions& o, std::ostream& out);

// Applies a retention policy to the points off the host (docs/offsite.md, "ibsdb expire
// --remote"): the points it keeps stay, and so does every point that holds the newest copy
// off the host of one of its databases; a point goes index first, then its manifest; the
// objects only the points that went referenced go after them.
struct RemoteExpireOptions {
    RemoteOptions remote;
    std::int64_t keep = 2;
    std::int64_t keepHours = 0;
    bool dryRun = false;
    bool json = false;
};
int ExpireRemote(const RemoteExpireOptions& o, std::ostream& out);

}  // namespace ibsdb
