// Restore points off the host, the commands: offsite push, and the remote side of list,
// verify, restore and expire (docs/offsite.md).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "platform/offsite/Offsite.h"

namespace ibsdb {

// The layout, the index and the push live in platform/offsite, shared with the service.
using Offsite::CauseToken;
using Offsite::DecodeOffsiteIndex;
using Offsite::EncodeOffsiteIndex;
using Offsite::kOffsiteHashesName;
using Offsite::kOffsiteRecordName;
using Offsite::OffsiteIndex;
using Offsite::OffsiteRecord;
using Offsite::ReadOffsiteRecord;
using Offsite::RemoteOptions;

struct PushOptions {
    std::string backup;
    RemoteOptions remote;
    bool json = false;
};
// ibsdb offsite push: Offsite::Push, reported as text or JSON (docs/offsite.md).
int OffsitePush(const PushOptions& o, std::ostream& out);

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
    // Into a restore cut short: files in place that check whole are kept, and what came of
    // the others goes on from where it stopped (every byte checked at the end).
    bool resume = false;
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
