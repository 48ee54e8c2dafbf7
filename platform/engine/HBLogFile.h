#pragma once

#include <cstdint>
#include <memory>

#include "platform/engine/Formats.h"
#include "platform/support/File.h"

namespace Mirel {

// A redo log file. Permission 4 reads and checks the header only (magic, checksum and a
// file size that matches the record count); 1 opens it for reading its records.
// Records are read into memory, never mapped: a log cut short or a bad sector under it is
// then an error to report, not a signal, and what is applied is exactly what was checked.
class HBLogFile : public File {
public:
    enum Permission { kPermRead = 1, kPermHeaderOnly = 4 };

    explicit HBLogFile(const UniversalPath& path) : File(path) {}
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
    std::unique_ptr<std::uint8_t[]> mRecords;
    bool mVerified = false;
};

}  // namespace Mirel
