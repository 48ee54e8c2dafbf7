// The database server's view of one database: its identity and the exact content of every
// page at its current MSN. Writes uploads and redo logs, and checks copies against itself.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/engine/Formats.h"
#include "platform/support/Error.h"
#include "platform/support/UniversalPath.h"
#include "tools/sim/ServerWriters.h"

namespace sim {

struct LogInfo {
    std::uint64_t startMSN = 0;
    std::uint64_t msn = 0;
    std::uint64_t endUTC = 0;
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
};

class DatabaseModel {
public:
    DatabaseModel(std::uint64_t seed, std::uint32_t pageSize, std::uint64_t initialPages);
    // Starts at `initialMSN` (for example above 2^32).
    DatabaseModel(std::uint64_t seed, std::uint32_t pageSize, std::uint64_t initialPages,
                  std::uint64_t initialMSN);

    const Mirel::Format::Uuid& Uuid() const { return mUuid; }
    std::string UuidText() const;
    std::uint64_t MSN() const { return mMSN; }
    std::uint32_t PageSize() const { return mPageSize; }
    const sim::PageMap& Pages() const { return mPages; }

    // Writes the database as it is now (a full backup).
    Mirel::Error WriteFullCopy(const Mirel::UniversalPath& path) const;
    // Changes `pages` random pages (some new at the end), writes them as one redo log and
    // advances the model. `endUTC` is the log's end time.
    Mirel::Error WriteRedoLog(const Mirel::UniversalPath& path, std::uint64_t pages,
                              std::uint64_t endUTC, bool closed, LogInfo* info = nullptr);
    // Writes exactly these pages, in this order, with new random images (a page named twice
    // gets two records; the later one wins), and advances the MSN by `msnStep`.
    // `beforeHeader` runs when the records are written and the header is not (a server that
    // takes its time over a log).
    Mirel::Error WriteRedoLog(const Mirel::UniversalPath& path,
                              const std::vector<std::uint64_t>& pageNumbers, std::uint64_t msnStep,
                              std::uint64_t endUTC, bool closed, LogInfo* info = nullptr,
                              const std::function<void()>& beforeHeader = {});
    std::uint64_t PageCount() const { return mPages.empty() ? 0 : mPages.rbegin()->first + 1; }
    std::uint64_t Random() { return mRng(); }
    // For a copy that writes a log from an older point of the database's history.
    void SetMSN(std::uint64_t msn) { mMSN = msn; }

    // A log the database never had: written from a copy of the model `msnBack` MSNs back, so
    // it can never continue the chain, then cut by `cut` bytes and with a bit of header byte
    // `flipHeaderByte` changed (-1: none). The model does not change.
    Mirel::Error WriteStrayLog(const Mirel::UniversalPath& path, std::uint64_t endUTC,
                               std::uint64_t msnBack, int cut, int flipHeaderByte) const;
    // Changes one bit of a finished file, as a failing disk would.
    static void FlipBit(const std::string& path, std::uint64_t offset, int bit);

    // Empty when the file holds exactly this content at this MSN; else what differs.
    std::string Compare(const Mirel::UniversalPath& path) const;
    static std::string Compare(const Mirel::UniversalPath& path, const Mirel::Format::Uuid& uuid,
                               std::uint64_t msn, const sim::PageMap& pages);

private:
    sim::PageImage RandomPage();

    std::mt19937_64 mRng;
    Mirel::Format::Uuid mUuid;
    std::uint32_t mPageSize;
    std::uint64_t mMSN;
    sim::PageMap mPages;
};

}  // namespace sim
