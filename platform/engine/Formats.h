// On-disk layouts of database files and redo logs (see docs/formats.md).
// All integers are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Mirel {
namespace Format {

using Uuid = std::array<std::uint8_t, 16>;

inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::uint32_t kMinPageSize = 512;
inline constexpr std::uint32_t kMaxPageSize = 65536;
inline constexpr std::uint32_t kDefaultPageSize = 4096;

// Database file: block 0 (one page) holds two header slots; data page n is at (n + 1) * P.
inline constexpr char kDbMagic[8] = {'V', 'L', 'M', 'K', 'D', 'B', 'F', '1'};
inline constexpr std::size_t kDbSlotSize = 64;
inline constexpr std::size_t kDbSlotOffset[2] = {0, 256};

struct DbHeader {
    std::uint32_t pageSize = kDefaultPageSize;
    Uuid uuid{};
    std::uint64_t msn = 0;
    std::uint64_t pageCount = 0;
    std::uint64_t generation = 0;  // the slot with the higher generation is current
};
void EncodeDbHeader(const DbHeader& h, std::uint8_t out[kDbSlotSize]);
bool DecodeDbHeader(const std::uint8_t in[kDbSlotSize], DbHeader& h);

// Redo log: a 128-byte header, then `recordCount` records of (16 + P) bytes each.
inline constexpr char kLogMagic[8] = {'V', 'L', 'M', 'K', 'R', 'D', 'O', '1'};
inline constexpr std::size_t kLogHeaderSize = 128;
inline constexpr std::size_t kRecordHeaderSize = 16;
inline constexpr std::uint32_t kLogFlagClosed = 1;

struct LogHeader {
    std::uint32_t pageSize = kDefaultPageSize;
    Uuid uuid{};
    std::uint64_t startMSN = 0;
    std::uint64_t msn = 0;
    std::uint64_t endUTC = 0;
    bool closed = false;
    std::uint64_t recordCount = 0;
};
void EncodeLogHeader(const LogHeader& h, std::uint8_t out[kLogHeaderSize]);
bool DecodeLogHeader(const std::uint8_t in[kLogHeaderSize], LogHeader& h);
// Whether a file of `size` bytes is exactly the header and its records: a torn or padded log
// is not one.
bool LogSizeMatches(const LogHeader& h, std::uint64_t size);

// The taken tag: what identifies a log (UUID, MSNs, end, closed), small enough to live in the
// file's inode on common file systems (an attribute block of its own costs an allocation on
// every announcement and a freed block, discarded on some disks, at every removal).
inline constexpr char kTakenMagic[4] = {'V', 'T', 'K', '1'};
inline constexpr std::size_t kTakenTagSize = 52;
void EncodeTakenTag(const LogHeader& h, std::uint8_t out[kTakenTagSize]);
// Either form: this tag, or the whole header that earlier versions stored.
bool DecodeTakenTag(const std::uint8_t* in, std::size_t size, LogHeader& h);

// Record: page number (8), CRC-32C of page number and data (4), zero (4), page data (P).
std::uint32_t RecordCrc(std::uint64_t pageNo, const std::uint8_t* data, std::size_t pageSize);
void EncodeRecordHeader(std::uint64_t pageNo, std::uint32_t crc,
                        std::uint8_t out[kRecordHeaderSize]);

bool ValidPageSize(std::uint32_t p);
// CRC-32C (Castagnoli); `seed` continues an earlier checksum.
std::uint32_t Crc32c(const void* data, std::size_t n, std::uint32_t seed = 0);

inline void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline std::uint64_t Get64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace Format
}  // namespace Mirel
