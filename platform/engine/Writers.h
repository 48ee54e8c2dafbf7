// The database server's side of the formats: writers for database files and redo logs.
// Used by the simulated server, the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/engine/Formats.h"
#include "platform/support/Error.h"
#include "platform/support/UniversalPath.h"

namespace Mirel {

using PageImage = std::vector<std::uint8_t>;
using PageMap = std::map<std::uint64_t, PageImage>;

// Writes a whole database file (header and pages) durably; replaces nothing.
Error WriteDatabaseFile(const UniversalPath& path, const Format::Uuid& uuid, std::uint32_t pageSize,
                        std::uint64_t msn, const PageMap& pages);

// Streams a redo log: records first, then the header with the final MSN and end time.
class RedoLogWriter {
public:
    RedoLogWriter() = default;
    ~RedoLogWriter();
    RedoLogWriter(const RedoLogWriter&) = delete;
    RedoLogWriter& operator=(const RedoLogWriter&) = delete;

    Error Open(const UniversalPath& path, const Format::Uuid& uuid, std::uint32_t pageSize,
               std::uint64_t startMSN);
    Error AddPage(std::uint64_t pageNo, const std::uint8_t* data);
    // Writes the header and makes the file durable.
    Error Finish(std::uint64_t msn, std::uint64_t endUTC, bool closed);
    std::uint64_t RecordCount() const { return mHeader.recordCount; }

private:
    Error FlushBuffer();

    std::string mPath;
    int mFd = -1;
    Format::LogHeader mHeader;
    std::uint64_t mOffset = Format::kLogHeaderSize;
    std::vector<std::uint8_t> mBuf;
};

}  // namespace Mirel
