#pragma once

#include <cstdint>

#include "platform/engine/Formats.h"
#include "platform/support/File.h"

namespace Mirel {

// A redo log file. Permission 4 reads and checks the header only (magic, checksum and a
// file size that matches the record count); 1 also maps the records for reading.
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

    // Checks every record's checksum; maps the file first if needed.
    Error VerifyRecords();
    std::uint64_t RecordCount() const { return mHeader.recordCount; }
    std::uint64_t RecordPage(std::uint64_t i) const;
    const std::uint8_t* RecordData(std::uint64_t i) const;

    UniversalPath GetRemoteContainerRedoLogDirectory() const;

private:
    Error Map();
    std::size_t RecordSize() const { return Format::kRecordHeaderSize + mHeader.pageSize; }

    Format::LogHeader mHeader;
    const std::uint8_t* mMap = nullptr;
    std::size_t mMapSize = 0;
    bool mVerified = false;
};

}  // namespace Mirel
