// The service's event records by name. Each one's priority and wording are in the logger's
// table beside its name (Logger.cpp); docs/protocol.md lists them for the server's side.
#pragma once

#include <cstdint>

namespace Talon {

enum class Event : std::uint32_t {
    kFolderNotSetUp = 0x4900030f,
    kFoldersClearedKeptLastGood = 0xc1000308,
    kFoldersCleared = 0xc1000307,
    kFoldersNotCleared = 0x41000309,
    kUploadNotRecorded = 0x41000313,
    kSetAside = 0x41000328,
    kCopyNotDeleted = 0x8100031e,
    kDatabaseNotPrepared = 0x410003d5,
    kLogNotApplied = 0x4100031f,
    kContainerNotDeleted = 0x41000314,
    kContainerNotMoved = 0x41000315,
    kUploadContainerNotDeleted = 0x41000316,
    kCopyNotMoved = 0x41000317,
    kInProgressFolderNotMade = 0x41000318,
    kInProgressCopyNotMade = 0x8100031a,
    kPortTaken = 0xc1000600,
    kNotRenamedToLastGood = 0x4900031b,
    kIntervalRetried = 0x41000330,
    kStaleIntervalDone = 0x41000334,
    kCopyDamaged = 0x41000333,
    kCallerRefused = 0x81000350,
    kDatabaseFailed = 0x41000331,
    kDatabaseReplaced = 0x41000332,
    kOtherFileSystem = 0x49000335,
    kSetAsideFull = 0x41000336,
    kOffsiteFailing = 0x41000337,
    kOffsiteResumed = 0xc1000338,
    kOffsiteRefused = 0x49000339,
};

// Notifications the service sends the server's hub (their payload the connector builds).
enum Notification : long {
    // A database failed: the server is asked for a new full backup of it.
    kNotifyDatabaseFailed = 21,
};

// The number as it travels (event records carry a signed 32-bit code).
constexpr std::int32_t Code(Event e) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(e));
}

}  // namespace Talon
