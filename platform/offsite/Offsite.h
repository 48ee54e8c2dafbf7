// Restore points off the host (docs/offsite.md): the object layout, the index of a point,
// the local records, and the push that copies last-good folders to an S3 store. Both the
// service's copier and ibsdb use it; neither reaches into the other.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/objectstore/Client.h"

namespace Offsite {

// How long a push and an expiry may each act on what they found in the store. Every host
// that pushes to or expires a prefix must use the same values; only tests change them.
struct Leases {
    // An expiry deletes objects only within this of writing its record; a push waits for a
    // record younger than this (and the margin) that names an object it uses.
    std::chrono::seconds expiry{600};
    // A push writes its index only within this of writing its intent; an expiry no longer
    // spares the objects of an older intent (its push was killed) and removes it.
    std::chrono::seconds intent{86400};
    // Added to each: the store's clock and this host's may tick at slightly other rates.
    std::chrono::seconds margin{60};
};

// Where the points are and how hard to try.
struct RemoteOptions {
    std::string credentials;  // the credentials file (docs/offsite.md)
    std::string prefix;       // before every key; a '/' is added when it has none
    ObjectStore::RetryPolicy retry;
    // Bytes per second for each operation, 0 for none (CURLOPT_MAX_SEND/RECV_SPEED_LARGE).
    std::uint64_t maxSendBytesPerSecond = 0;
    std::uint64_t maxRecvBytesPerSecond = 0;
    // Changes the client's settings after the credentials are read (the tests' timeouts).
    std::function<void(ObjectStore::Config&)> configure;
    // Hears of the client made for the operation, and of its end (nullptr): a caller that
    // must stop a transfer midway calls its Cancel().
    std::function<void(ObjectStore::Client*)> attach;
    Leases leases;

    std::string Prefix() const;
};

// The credentials read, the caller's settings applied, and a client; on failure nullptr and
// `refusal` says why, in the words every command reports.
std::unique_ptr<ObjectStore::Client> MakeClient(const RemoteOptions& r, std::string& refusal);
// "endpoint/bucket/prefix", as Offsite.tsv records it.
std::string Where(const ObjectStore::Client& c, const RemoteOptions& r);

inline constexpr const char* kIndexName = "index.tsv";
// Below the prefix: one record per remote expiry under way, the keys it removes after the
// indexes, so that the next expiry finishes one cut short.
inline constexpr const char* kExpiringFolder = "expiring/";
// Below the prefix: one intent per point a push is writing, the keys it relies on, written
// before it looks for any of them; an expiry never deletes a key a live intent names.
inline constexpr const char* kPushingFolder = "pushing/";
std::string PointKey(const RemoteOptions& r, const std::string& folder, const char* name);
std::string ObjectKey(const RemoteOptions& r, const std::string& sha256);
std::string CrcHex(std::uint32_t crc);

// The names of the points whose index is in the store.
ObjectStore::Status RemoteNames(ObjectStore::Client& c, const RemoteOptions& r,
                                std::set<std::string>& names);
// A small object (an index, a manifest) whole, retried.
ObjectStore::Status GetText(ObjectStore::Client& c, const RemoteOptions& r, const std::string& key,
                            std::string& text);

// Seconds since 1970 of a date the store gives (ISO 8601 in listings, RFC 1123 in answers'
// headers); 0 when it is neither.
std::uint64_t StoreSeconds(const std::string& date);
// The keys of an expiry record or a push's intent: one per line.
std::set<std::string> RecordKeys(const std::string& text);
// The store's date of the object `key`, in seconds since 1970 (kProtocol when unreadable):
// "now" by the store's clock, of an object just written.
ObjectStore::Status StoreDateOf(ObjectStore::Client& c, const RemoteOptions& r,
                                const std::string& key, std::uint64_t& seconds);
// Whether an object the store dated `date` is `lease` (and the margin) old or more at `now`,
// both by the store's clock; a date that cannot be read is taken as young.
bool PastLease(const std::string& date, std::chrono::seconds lease, const Leases& leases,
               std::uint64_t now);

// The cause's word in reports: "connect", "store-full" (docs/offsite.md).
const char* CauseToken(ObjectStore::Cause cause);

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

// The monitoring convention, as ibsdb's exit codes.
enum Code { kOk = 0, kCritical = 2, kUnknown = 3 };

struct PointResult {
    std::string folder;
    std::string result;  // pushed, refused, failed
    int files = 0, absent = 0, sent = 0, present = 0, hashed = 0, fromRecord = 0;
    std::uint64_t bytesSent = 0;
    std::vector<std::string> problems;
};

struct PushResult {
    int code = kOk;
    std::vector<PointResult> points;  // each point tried
    int already = 0;                  // off the host before this push
    int older = 0;             // not off the host, and older than a point that is: not pushed
    bool storeFailed = false;  // the store failed or the credentials were refused
    ObjectStore::Cause cause = ObjectStore::Cause::kNone;
    std::string storeError;  // the store's error, one line
    std::vector<std::string> reasons;
    std::vector<std::string> notes;  // nothing lost but time (a record not written)
    // The limits of the client that did the transfers (0: none).
    std::uint64_t maxSendBytesPerSecond = 0, maxRecvBytesPerSecond = 0;
};

struct PushOptions {
    std::string backup;
    RemoteOptions remote;
    // As a point is begun (done 0), before each of its files is looked for in the store, and
    // once its index is written (done == files).
    std::function<void(const std::string& folder, int done, int files)> progress;
};
// Every last-good folder of the backup folder whose point is not off the host, oldest
// first, each file checked against its manifest line; the index last.
PushResult Push(const PushOptions& o);

}  // namespace Offsite
