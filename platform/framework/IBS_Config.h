#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/framework/TalonError.h"
#include "platform/support/Directory.h"
#include "platform/support/Os.h"
#include "platform/support/UniversalPath.h"

namespace Mirel {
class HBFile;
class HBLogFile;
struct FileSum;
}  // namespace Mirel

namespace Talon {

// Names and files of a backup folder, and the reading of the server's files.
class IBS_Config {
public:
    static const Mirel::unistring sInProgressFolderName;  // "InProgress"
    static const Mirel::unistring sChangesFolderName;     // "Changes"
    static const Mirel::unistring sCopiesFolderName;      // "Copies"
    static const Mirel::unistring sLastGoodFolderPrefix;  // "LastGood"
    static const Mirel::unistring sIntervalDoneFileName;  // "IntervalDone.vid"
    static const Mirel::unistring sRedoLogExtension;      // ".vrl"
    static const Mirel::unistring
        sRejectedFolderName;  // "Rejected": where MoveInvalidRedo puts files
    static const Mirel::unistring sRedoFolderPrefix;  // "Redo_"
    // "Kept": in-progress copies of failed databases that had no other copy, by UUID.
    static const Mirel::unistring sKeptFolderName;
    static const Mirel::unistring sRejectedReasonsName;  // "reasons.tsv" inside "Rejected"
    static const Mirel::unistring sFailedListName;       // "Failed.tsv" in the backup folder
    static const Mirel::unistring sUnwrittenListName;    // "Unwritten.tsv" in the backup folder
    static const Mirel::unistring sUploadsAfterName;     // "UploadsAfter.tsv" in the backup folder
    static const Mirel::unistring sTakenListName;        // "Taken.tsv" in the backup folder
    // The package's group: the service's copies belong to it.
    static const char* const sServiceGroupName;  // "vellumark"
    // What the service's copies in the in-progress and last-good folders get, whatever the
    // file they came from had: this process's user, the group sServiceGroupName (the
    // process's own group on a machine without it), rw-r----- (0640).
    static Mirel::Os::Ownership ServiceCopyOwnership();

    // The first UTC no last-good folder name can hold (10000-01-01).
    static constexpr std::uint64_t kEndOfTime = 253402300800000000ull;
    // The longest file names (bytes) the service takes, so that every name it derives from
    // one fits a 255-byte name: a database's container folder "<name>.rc"; a set-aside log's
    // "Rejected/<name>.<n>" (n up to 99999) and its container folder "<name>.<n>.rc".
    static constexpr std::size_t kMaxDatabaseName = 255 - 3;
    static constexpr std::size_t kMaxRedoLogName = 255 - 6 - 3;

    // UUID and MSN of a database file; kErrInvalidFile when it is not one.
    static Error GetDBInfo(const Mirel::UniversalPath& path, Mirel::unistring& uuid,
                           std::uint64_t& msn);
    // Identity of a redo log from its header; kErrInvalidFile when it is not a valid log.
    // `headerWhole`, when given, is set when the header itself is valid (its fields are then
    // filled even when the file's size does not match it: the log was finished, then cut).
    static Error GetRedoLogInfo(const Mirel::UniversalPath& path, Mirel::unistring& uuid,
                                std::uint64_t& msn, std::uint64_t& startMSN, std::uint64_t& endUTC,
                                bool& closed, bool* headerWhole = nullptr);
    // The same from a log already open for reading (`size` bytes long, as its open saw it;
    // without a size only the header is judged); `path` names it for errors and the fault seam.
    static Error GetRedoLogInfo(int fd, std::optional<std::uint64_t> size, const std::string& path,
                                Mirel::unistring& uuid, std::uint64_t& msn, std::uint64_t& startMSN,
                                std::uint64_t& endUTC, bool& closed, bool* headerWhole = nullptr,
                                std::string* header = nullptr);
    // The tag a taken log carries: the identity its valid header gave. The server writes a header
    // last, so a log whose header is not valid may be one still being written; the tag tells
    // a taken log whose header went bad since from such a log.
    static constexpr const char* kTakenTag = "user.vellumark.taken";
    static Error MarkRedoLogTaken(int fd, const std::string& path, const std::string& header);
    // The identity a log's tag gives; kErrPathNotFound when it has none that is valid.
    static Error GetTakenRedoLogInfo(const Mirel::UniversalPath& path, Mirel::unistring& uuid,
                                     std::uint64_t& msn, std::uint64_t& startMSN,
                                     std::uint64_t& endUTC, bool& closed);
    // The interval-done files of a redo folder (its name in any case).
    static std::vector<Mirel::UniversalPath> ListIntervalDoneFiles(
        const Mirel::UniversalPath& folder);
    // Reads an interval-done file, given its path or the redo folder that holds it.
    // kErrInvalidFile for a torn or garbled file; kErrNoIntervalDone when the folder holds
    // none. `list` may be null.
    static Error GetIncrementalIntervalDone(const Mirel::UniversalPath& path,
                                            std::uint64_t& doneUTC,
                                            std::vector<Mirel::unistring>* list);
    // Moves a rejected file (and its container changes) into the backup folder's
    // "Rejected" folder, adding ".1", ".2", ... rather than replace an earlier file, and
    // records why (`reason`, and `why` in words: the reason's own words when empty) in
    // "Rejected/reasons.tsv". Only a regular file inside the changes folder, reached without
    // a symbolic link, is moved; anything else answers an error and stays where it is.
    //
    // What "Rejected" holds counts against the set-aside limit (SetRejectedLimit). A file
    // that was never taken (`limited`: junk announced or found) and would take the folder
    // past the limit is not moved: kErrRejectedFull, and `limitReached` (optional) is set
    // for the first such refusal only, until a move fits again. A file that was taken (the
    // logs of a failed database) is always moved: an accepted file is never lost.
    static Error MoveInvalidRedo(const Mirel::UniversalPath& path,
                                 const Mirel::Directory& backupFolder,
                                 Mirel::UniversalPath& movedPath, int reason = 10709,
                                 const std::string& why = std::string(), bool limited = false,
                                 bool* limitReached = nullptr);
    // The set-aside limit in bytes. Each file and folder in "Rejected" counts its size
    // rounded up to whole 4 KiB blocks, at least one block (reasons.tsv included).
    static constexpr std::uint64_t kDefaultRejectedLimit = 1ull << 30;
    static constexpr std::uint64_t kRejectedBlock = 4096;
    static void SetRejectedLimit(std::uint64_t bytes);
    static std::uint64_t GetRejectedLimit();
    // The bytes "Rejected" of this backup folder holds, as the limit counts them (a fresh
    // count of the folder).
    static std::uint64_t CountRejected(const Mirel::Directory& backupFolder);
    // Applies one redo log to an open database. The abort flag is watched between pages:
    // an aborted log answers kErrAborted and leaves the database at its old MSN.
    static Error ProcessRedoLogFile(Mirel::HBFile& database, Mirel::HBLogFile& log,
                                    const std::atomic<std::int32_t>& abort);
    // A pass of several logs with one data sync. QueueRedoLogFile opens the log when needed
    // and checks it whole against the MSN the pass has reached, writing nothing; the log
    // must stay alive until the pass is finished. FinishRedoLogFiles writes the queued logs'
    // pages, then makes the header with the last log's MSN durable; aborted, it writes no
    // header and the database keeps its old MSN. `sum`: see HBFile::ApplyPass.
    static Error QueueRedoLogFile(Mirel::HBFile& database, Mirel::HBLogFile& log);
    static Error FinishRedoLogFiles(Mirel::HBFile& database, const std::atomic<std::int32_t>& abort,
                                    Mirel::FileSum* sum = nullptr);

    // Redo folders are named "Redo_" and the UTC (decimal microseconds) they start at.
    static Mirel::unistring GetRedoFolderAppendixName();  // the pattern "Redo_*"
    static std::uint64_t RetrieveUTCFromRedoFolderName(const Mirel::unistring& name);  // 0: none
    static Mirel::unistring MakeRedoFolderName(std::uint64_t utc);
};

}  // namespace Talon
