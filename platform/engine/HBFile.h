#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/engine/Formats.h"
#include "platform/support/File.h"

namespace Mirel {

class HBLogFile;

// A database file. Permission 1 opens it for reading, 3 for reading and writing.
// Opening flags: 0x010 takes an exclusive lock on the file for as long as it is open
// (a second writer gets kErrFileLocked); 0x100 makes applied pages durable before the
// header's MSN moves (and the header before Close returns).
class HBFile : public File {
public:
    enum Permission { kPermRead = 1, kPermReadWrite = 3 };
    enum OpeningFlags : std::uint32_t { kOpenExclusive = 0x010, kOpenDurable = 0x100 };

    explicit HBFile(const UniversalPath& path) : File(path) {}
    ~HBFile() override;

    void SetOpeningFlags(std::uint32_t flags) { mFlags = flags; }
    Error Open(int permission);
    Error Close();

    const Format::DbHeader& Header() const { return mHeader; }
    unistring GetUUID() const;
    std::uint64_t GetMSN() const { return mHeader.msn; }
    std::uint32_t GetPageSize() const { return mHeader.pageSize; }
    std::uint64_t GetPageCount() const { return mHeader.pageCount; }

    // Reads data page n; a page never written reads as zeros.
    Error ReadPage(std::uint64_t n, std::uint8_t* out) const;

    // Applies one redo log whole: refuses a log of another database (kErrLogWrongDatabase)
    // or one that does not start at this file's MSN (kErrLogChainBreak), checks every
    // record (kErrInvalidFile) before writing any, writes the pages and container changes,
    // makes them durable, and only then advances the MSN. When `abort` becomes non-zero
    // the pages stop (kErrAborted) and the MSN stays: page images are idempotent, so the
    // same log applies again later.
    Error ApplyLog(HBLogFile& log, const std::atomic<std::int32_t>* abort = nullptr);
    // Whether a log began writing into the file since it was opened: a refusal or a failed
    // check writes nothing.
    bool Written() const { return mWritten; }
    // Called once, after a log's checks passed and before its first byte is written; a
    // failure stops the log with nothing written.
    void SetBeforeFirstWrite(std::function<Error()> hook) { mBeforeFirstWrite = std::move(hook); }

private:
    Error WriteHeader(std::uint64_t msn, std::uint64_t pageCount);
    Error WritePages(HBLogFile& log, std::uint64_t& pageCount,
                     const std::atomic<std::int32_t>* abort);
    Error ApplyContainerChanges(HBLogFile& log);

    std::uint32_t mFlags = 0;
    bool mWritable = false;
    bool mDirty = false;
    bool mWritten = false;
    std::function<Error()> mBeforeFirstWrite;
    Format::DbHeader mHeader;
};

}  // namespace Mirel
