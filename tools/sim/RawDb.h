// What a user restoring sees in a database file, read straight from the bytes as
// docs/formats.md describes them, without the engine the service uses: a checker that
// shared the service's reader would share its mistakes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

using UuidBytes = std::array<std::uint8_t, 16>;

std::string UuidString(const UuidBytes& u);  // lower-case canonical text

// A database's content in short: identity, MSN, page count and a CRC-64 over every page
// (pages the file never wrote count as zeros). Two states are equal exactly when a restore
// of one gives the bytes of the other.
struct DbState {
    UuidBytes uuid{};
    std::uint32_t pageSize = 0;
    std::uint64_t msn = 0;
    std::uint64_t pageCount = 0;
    std::uint64_t digest = 0;
    bool operator==(const DbState& o) const {
        return uuid == o.uuid && pageSize == o.pageSize && msn == o.msn &&
               pageCount == o.pageCount && digest == o.digest;
    }
    bool operator!=(const DbState& o) const { return !(*this == o); }
    std::string Describe() const;  // "MSN m, n pages of p bytes, digest d"
};

// Builds a DbState's digest page by page, in page order.
class DigestBuilder {
public:
    DigestBuilder(const UuidBytes& uuid, std::uint32_t pageSize, std::uint64_t msn,
                  std::uint64_t pageCount);
    void Page(const std::uint8_t* data);  // the next page, pageSize bytes
    DbState Finish() const;

private:
    DbState mState;
    std::uint64_t mCrc;
};

using PageImages = std::map<std::uint64_t, std::vector<std::uint8_t>>;
DbState StateOf(const UuidBytes& uuid, std::uint32_t pageSize, std::uint64_t msn,
                const PageImages& pages);

struct DbFile {
    bool ok = false;
    bool missing = false;  // the path names nothing (for example, pruned while we looked)
    std::string error;     // why it is not a whole database
    DbState state;
    std::uint64_t size = 0;
    std::uint32_t fileCrc32c = 0;  // of the whole file, as a manifest states it
};

// Reads and checks a whole database file. `page`, when given, sees every page in order.
DbFile ReadDbFile(const std::string& path,
                  const std::function<void(std::uint64_t, const std::uint8_t*)>& page = {});

// Names the differences between a database file and the expected content, page by page.
std::string DescribeDifferences(const std::string& path, const DbState& expected,
                                const PageImages* pages);

// CRC-64 of a whole file and its size; false when it cannot be read.
bool FileDigest(const std::string& path, std::uint64_t& digest, std::uint64_t& size);

}  // namespace sim
