// The database server's side of the formats: writers of database files, redo logs and
// interval-done files. Used by the simulated server, the tests, the benchmarks and the fuzz
// seeds; never by the service or ibsdb, which only read these files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/engine/Formats.h"
#include "platform/support/Error.h"
#include "platform/support/UniversalPath.h"
#include "platform/support/unistring.h"

namespace sim {

using PageImage = std::vector<std::uint8_t>;
using PageMap = std::map<std::uint64_t, PageImage>;

// Writes a whole database file (header and pages) durably; replaces nothing.
Mirel::Error WriteDatabaseFile(const Mirel::UniversalPath& path, const Mirel::Format::Uuid& uuid,
                               std::uint32_t pageSize, std::uint64_t msn, const PageMap& pages);

// Streams a redo log: records first, then the header with the final MSN and end time.
class RedoLogWriter {
public:
    RedoLogWriter() = default;
    ~RedoLogWriter();
    RedoLogWriter(const RedoLogWriter&) = delete;
    RedoLogWriter& operator=(const RedoLogWriter&) = delete;

    Mirel::Error Open(const Mirel::UniversalPath& path, const Mirel::Format::Uuid& uuid,
                      std::uint32_t pageSize, std::uint64_t startMSN);
    Mirel::Error AddPage(std::uint64_t pageNo, const std::uint8_t* data);
    // Writes the header and makes the file durable.
    Mirel::Error Finish(std::uint64_t msn, std::uint64_t endUTC, bool closed);
    std::uint64_t RecordCount() const { return mHeader.recordCount; }

private:
    Mirel::Error FlushBuffer();

    std::string mPath;
    int mFd = -1;
    Mirel::Format::LogHeader mHeader;
    std::uint64_t mOffset = Mirel::Format::kLogHeaderSize;
    std::vector<std::uint8_t> mBuf;
};

// Writes an interval-done file durably (its bytes from EncodeIntervalDone); kErrInvalidFile
// for a UUID that is not UUID text.
Mirel::Error WriteIntervalDone(const Mirel::UniversalPath& path, std::uint64_t endUTC,
                               const std::vector<Mirel::unistring>& uuids);

}  // namespace sim
