#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/engine/Formats.h"
#include "platform/support/File.h"
#include "platform/support/Os.h"

namespace Mirel {

class HBLogFile;

// What a pass read of its whole database file (HBFile::ApplyPass).
struct FileSum {
    bool known = false;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    Os::Info info;
};

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

    // A pass applies the logs of one database in order with a single data sync. QueueLog
    // checks a log whole and writes nothing: it refuses a log of another database
    // (kErrLogWrongDatabase), one that does not start at the MSN the pass has reached
    // (kErrLogChainBreak) and one with a bad record (kErrInvalidFile), and leaves the pass as
    // it was. The log must stay open until the pass is applied or dropped.
    Error QueueLog(HBLogFile& log);
    std::size_t QueuedLogs() const { return mPass.size(); }
    // Bytes of records queued: a caller bounds a pass by it.
    std::uint64_t QueuedBytes() const { return mPassBytes; }
    // The MSN the queued logs reach (the header's when none is queued).
    std::uint64_t PassMSN() const;
    // Writes the queued logs: each page once (its last image in the pass), in page order with
    // neighbouring pages in one call, then the container changes in log order, one data sync
    // (0x100), and only then the header with the last log's MSN, synced too. When `abort`
    // becomes non-zero between runs of pages the pass stops (kErrAborted) before any header is
    // written: page images are idempotent, so the same logs apply again from the old MSN.
    // The pass is empty afterwards, whatever the outcome.
    //
    // With `sum`, the pass also reads the whole file back for its size and CRC-32C, in a
    // second thread while the data sync waits for the disk, page 0 as the new header will
    // make it; once the header is durable page 0 is read again and must be what was summed.
    // `sum->known` only then, with the open file's `info`.
    Error ApplyPass(const std::atomic<std::int32_t>* abort = nullptr, FileSum* sum = nullptr);
    void DropPass();
    // One log as a pass of its own.
    Error ApplyLog(HBLogFile& log, const std::atomic<std::int32_t>* abort = nullptr);
    // Whether a log began writing into the file since it was opened: a refusal or a failed
    // check writes nothing.
    bool Written() const { return mWritten; }
    // Called once, after a log's checks passed and before its first byte is written; a
    // failure stops the log with nothing written.
    void SetBeforeFirstWrite(std::function<Error()> hook) { mBeforeFirstWrite = std::move(hook); }

private:
    Error WriteHeader(std::uint64_t msn, std::uint64_t pageCount);
    // The header slot the next WriteHeader writes, and where.
    Format::DbHeader NextHeader(std::uint64_t msn, std::uint64_t pageCount) const;
    // Page 0 as it will be once the next header is written, then the rest of the file.
    bool SumAhead(std::uint64_t msn, std::uint64_t pageCount, std::vector<std::uint8_t>& page0,
                  FileSum& sum);
    Error WritePages(std::uint64_t& pageCount, const std::atomic<std::int32_t>* abort);
    Error ApplyContainerChanges(HBLogFile& log);

    std::uint32_t mFlags = 0;
    bool mWritable = false;
    bool mDirty = false;
    bool mWritten = false;
    std::function<Error()> mBeforeFirstWrite;
    Format::DbHeader mHeader;
    std::vector<HBLogFile*> mPass;
    std::uint64_t mPassBytes = 0;
};

}  // namespace Mirel
