#include "platform/engine/Formats.h"

#include <isa-l/crc.h>

#include <climits>

namespace Mirel {
namespace Format {

std::uint32_t Crc32c(const void* data, std::size_t n, std::uint32_t seed) {
    // ISA-L works on the un-inverted register; seed and result are the usual CRC-32C values.
    std::uint32_t reg = ~seed;
    auto* p = static_cast<unsigned char*>(const_cast<void*>(data));
    while (n > 0) {
        int chunk = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
        reg = ::crc32_iscsi(p, chunk, reg);
        p += chunk;
        n -= static_cast<std::size_t>(chunk);
    }
    return ~reg;
}

bool ValidPageSize(std::uint32_t p) {
    return p >= kMinPageSize && p <= kMaxPageSize && (p & (p - 1)) == 0;
}

void EncodeDbHeader(const DbHeader& h, std::uint8_t out[kDbSlotSize]) {
    std::memset(out, 0, kDbSlotSize);
    std::memcpy(out, kDbMagic, 8);
    Put32(out + 8, kVersion);
    Put32(out + 12, h.pageSize);
    std::memcpy(out + 16, h.uuid.data(), 16);
    Put64(out + 32, h.msn);
    Put64(out + 40, h.pageCount);
    Put64(out + 48, h.generation);
    Put32(out + 56, Crc32c(out, 56));
}

bool DecodeDbHeader(const std::uint8_t in[kDbSlotSize], DbHeader& h) {
    if (std::memcmp(in, kDbMagic, 8) != 0) return false;
    if (Get32(in + 56) != Crc32c(in, 56)) return false;
    if (Get32(in + 8) != kVersion) return false;
    h.pageSize = Get32(in + 12);
    if (!ValidPageSize(h.pageSize)) return false;
    std::memcpy(h.uuid.data(), in + 16, 16);
    h.msn = Get64(in + 32);
    h.pageCount = Get64(in + 40);
    h.generation = Get64(in + 48);
    return true;
}

void EncodeLogHeader(const LogHeader& h, std::uint8_t out[kLogHeaderSize]) {
    std::memset(out, 0, kLogHeaderSize);
    std::memcpy(out, kLogMagic, 8);
    Put32(out + 8, kVersion);
    Put32(out + 12, h.pageSize);
    std::memcpy(out + 16, h.uuid.data(), 16);
    Put64(out + 32, h.startMSN);
    Put64(out + 40, h.msn);
    Put64(out + 48, h.endUTC);
    Put32(out + 56, h.closed ? kLogFlagClosed : 0);
    Put64(out + 64, h.recordCount);
    Put32(out + 72, Crc32c(out, 72));
}

bool DecodeLogHeader(const std::uint8_t in[kLogHeaderSize], LogHeader& h) {
    if (std::memcmp(in, kLogMagic, 8) != 0) return false;
    if (Get32(in + 72) != Crc32c(in, 72)) return false;
    if (Get32(in + 8) != kVersion) return false;
    h.pageSize = Get32(in + 12);
    if (!ValidPageSize(h.pageSize)) return false;
    std::memcpy(h.uuid.data(), in + 16, 16);
    h.startMSN = Get64(in + 32);
    h.msn = Get64(in + 40);
    h.endUTC = Get64(in + 48);
    std::uint32_t flags = Get32(in + 56);
    if (flags & ~kLogFlagClosed) return false;
    h.closed = flags & kLogFlagClosed;
    h.recordCount = Get64(in + 64);
    // A log that changes pages moves the MSN; otherwise a copy at its end would take it
    // for one it already holds, and its pages would never be applied.
    return h.msn >= h.startMSN && (h.msn > h.startMSN || h.recordCount == 0);
}

bool LogSizeMatches(const LogHeader& h, std::uint64_t size) {
    const std::uint64_t record = kRecordHeaderSize + h.pageSize;
    return h.recordCount <= (UINT64_MAX - kLogHeaderSize) / record &&
           size == kLogHeaderSize + h.recordCount * record;
}

void EncodeTakenTag(const LogHeader& h, std::uint8_t out[kTakenTagSize]) {
    std::memcpy(out, kTakenMagic, 4);
    std::memcpy(out + 4, h.uuid.data(), 16);
    Put64(out + 20, h.startMSN);
    Put64(out + 28, h.msn);
    Put64(out + 36, h.endUTC);
    Put32(out + 44, h.closed ? kLogFlagClosed : 0);
    Put32(out + 48, Crc32c(out, 48));
}

bool DecodeTakenTag(const std::uint8_t* in, std::size_t size, LogHeader& h) {
    if (size == kLogHeaderSize) return DecodeLogHeader(in, h);
    if (size != kTakenTagSize || std::memcmp(in, kTakenMagic, 4) != 0 ||
        Get32(in + 48) != Crc32c(in, 48))
        return false;
    const std::uint32_t flags = Get32(in + 44);
    if (flags & ~kLogFlagClosed) return false;
    h = LogHeader();
    std::memcpy(h.uuid.data(), in + 4, 16);
    h.startMSN = Get64(in + 20);
    h.msn = Get64(in + 28);
    h.endUTC = Get64(in + 36);
    h.closed = flags & kLogFlagClosed;
    return h.msn >= h.startMSN;
}

std::uint32_t RecordCrc(std::uint64_t pageNo, const std::uint8_t* data, std::size_t pageSize) {
    std::uint8_t no[8];
    Put64(no, pageNo);
    return Crc32c(data, pageSize, Crc32c(no, 8));
}

void EncodeRecordHeader(std::uint64_t pageNo, std::uint32_t crc,
                        std::uint8_t out[kRecordHeaderSize]) {
    Put64(out, pageNo);
    Put32(out + 8, crc);
    Put32(out + 12, 0);
}

}  // namespace Format
}  // namespace Mirel
