// Error numbers shared by the platform libraries and the service.
// 0 is success everywhere; -1 is the application's generic failure.
#pragma once

#include <string>

namespace Mirel {

enum ErrorNumber : int {
    kErrNone = 0,
    kErrGeneric = -1,

    // Remote-operation results.
    kErrBadPathFormat = 10001,
    kErrNoFullBackup = 10007,
    kErrFileNotTaken = 10008,
    kErrFoldersNotReady = 10017,
    kErrInvalidFile = 10709,
    kErrCopyFailed = 10710,
    kErrNoStartingCopy = 10711,

    // Redo application refusals (distinct so the log says which check failed).
    kErrLogWrongDatabase = 10720,
    kErrLogChainBreak = 10721,
    kErrDatabaseInvalid = 10722,
    kErrEngineNotStarted = 10723,
    kErrAborted = 10724,
    // An older copy could not be brought forward by logs merged from a newer one; the copy
    // is made again from the newer one (not the database's failure).
    kErrShortcutFailed = 10725,
    // Another database took over this database's file name (the server dropped it and made a
    // new one under the name): its logs are refused from then on.
    kErrReplaced = 10726,
    // A last-good copy whose bytes do not match its manifest line, or that has none to check
    // them against: never a starting copy. A database with no other copy fails with it.
    kErrCopyDamaged = 10727,
    // An interval-done file that ends at or before an interval already announced
    // (the server's clock went back): set aside, the open interval keeps its logs.
    kErrStaleIntervalDone = 10728,
    // Not taken and left where it is: the set-aside folder is at its limit in bytes.
    kErrRejectedFull = 10729,

    // File system, mapped from errno by the OS layer.
    kErrPathNotFound = 20301,
    kErrAlreadyExists = 20302,
    kErrNotEmpty = 20303,
    kErrCrossDevice = 20304,
    kErrNotADirectory = 20305,
    kErrIsADirectory = 20306,
    kErrIsALink = 20307,
    // A FIFO, a socket or a device where a regular file is required: never read or written.
    kErrNotAFile = 20308,
    kErrAccessDenied = 20403,
    kErrFileLocked = 20404,
    kErrNoIntervalDone = 20405,
    kErrNoTempName = 20406,
    kErrDiskFull = 20407,
    kErrIO = 20408,
    kErrLinkNotSupported = 20409,
    kErrTooManyLinks = 20410,
    kErrNameTooLong = 20411,
    kErrNotOpen = 20412,
    kErrTooManyFiles = 20413,
    kErrNoMemory = 20414,
    // A failure of the system that came with no errno (a thread, a signal set).
    kErrOS = 20499,

    // Preferences.
    kErrPrefsMalformed = 20501,
    kErrPrefNotFound = 20502,
    kErrPrefWrongType = 20503,

    // Process and network.
    kErrPortInUse = 20600,
    kErrHubUnreachable = 20601,
    kErrAnotherInstance = 10006,
    kErrStartRefused = 10005,
    // The machine cannot run the service (too little memory, an unsuited system).
    kErrOSUnsuitable = 10019,
};

// What an error says about what to do next, decided once from its number:
// - environment: the machine or the file system failed (a full disk, an I/O error, a
//   read-only volume); the same operation may well succeed later, nothing is judged on it;
// - data: the file's own fault (invalid, of another database, out of its chain, in the
//   wrong place); trying again gives the same answer;
// - bug: an answer the service has no meaning for (an errno without a number of its own, a
//   generic failure); never retried for ever.
enum class ErrorKind { kNone, kEnvironment, kData, kBug };
// An errno the table has no number for keeps its value: 21000 + errno.
constexpr int kErrSystemBase{21000};
constexpr int kErrSystemLast{21999};
ErrorKind KindOf(int e);
inline bool IsEnvironmentError(int e) {
    return KindOf(e) == ErrorKind::kEnvironment;
}
// The errno an error number keeps (21000 + errno), or 0.
inline int SystemErrno(int e) {
    return e > kErrSystemBase && e <= kErrSystemLast ? e - kErrSystemBase : 0;
}

// The words for an error number, to print after it ("20407 no space left on the backup
// volume"); a number the table does not know gives "unknown error".
const char* ErrorWords(int e);
// The number with its words, as every text the service or its tools print shows an error
// without its operation: "20407 no space left on the backup volume".
std::string ErrorText(int e);

}  // namespace Mirel
