#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/engine/Formats.h"
#include "platform/support/File.h"

namespace Mirel {

// Memory for the records of the logs of a pass, kept from pass to pass: memory fresh from the
// system costs a page fault per page on every pass, these pages are faulted once. Blocks are
// taken in order from one range of address space reserved at the first use (only the pages
// written become memory); a block that does not fit there is allocated on its own.
class RecordArena {
public:
    static constexpr std::size_t kRange = std::size_t{1} << 30;

    explicit RecordArena(std::size_t range = kRange) : mRange(range) {}
    ~RecordArena();
    RecordArena(const RecordArena&) = delete;
    RecordArena& operator=(const RecordArena&) = delete;

    // A page-aligned block of `size` bytes, valid until Rewind or Release; null when memory
    // runs out.
    std::uint8_t* Take(std::size_t size);
    // Every block is free again. The range keeps its first `keep` bytes of memory and gives
    // the rest back, so what stays is bounded by what a pass may hold; blocks allocated on
    // their own go.
    void Rewind(std::size_t keep);
    void Release() { Rewind(0); }
    // Bytes of memory held: the range's pages written and kept, and blocks of their own.
    std::size_t Held() const;

private:
    struct Free {
        void operator()(std::uint8_t* p) const;
    };
    const std::size_t mRange;
    std::uint8_t* mBase = nullptr;
    bool mNoRange = false;  // the reservation failed: every block is allocated on its own
    std::size_t mUsed = 0;  // taken from the range in this pass
    std::size_t mKept = 0;  // the range's bytes that may hold memory
    std::vector<std::unique_ptr<std::uint8_t, Free>> mOwn;
    std::size_t mOwnBytes = 0;
};

// A redo log file. Permission 4 reads and checks the header only (magic, checksum and a
// file size that matches the record count); 1 opens it for reading its records.
// Records are read into memory, never mapped: a log cut short or a bad sector under it is
// then an error to report, not a signal, and what is applied is exactly what was checked.
// With an arena they are read into a block of it, which must outlive the log's use.
class HBLogFile : public File {
public:
    enum Permission { kPermRead = 1, kPermHeaderOnly = 4 };

    explicit HBLogFile(const UniversalPath& path, RecordArena* arena = nullptr)
        : File(path), mArena(arena) {}
    ~HBLogFile() override;

    Error Open(int permission);
    // Closes; with deleteFile the file is removed as well.
    Error Close(bool deleteFile);

    const Format::LogHeader& Header() const { return mHeader; }
    unistring GetUUID() const;
    std::uint64_t GetStartMSN() const { return mHeader.startMSN; }
    std::uint64_t GetMSN() const { return mHeader.msn; }
    std::uint64_t GetEndUTC() const { return mHeader.endUTC; }
    bool IsClosed() const { return mHeader.closed; }

    // Reads the records and checks every checksum; RecordPage/RecordData need it first.
    Error VerifyRecords();
    std::uint64_t RecordCount() const { return mHeader.recordCount; }
    std::uint64_t RecordPage(std::uint64_t i) const;
    const std::uint8_t* RecordData(std::uint64_t i) const;

    UniversalPath GetRemoteContainerRedoLogDirectory() const;

private:
    Error ReadRecords();
    std::size_t RecordSize() const { return Format::kRecordHeaderSize + mHeader.pageSize; }

    Format::LogHeader mHeader;
    RecordArena* mArena;
    std::unique_ptr<std::uint8_t[]> mOwned;  // without an arena
    const std::uint8_t* mRecords = nullptr;
    bool mVerified = false;
};

}  // namespace Mirel
