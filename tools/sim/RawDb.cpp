#include "tools/sim/RawDb.h"
#include "platform/support/TextUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <isa-l/crc.h>
#include <isa-l/crc64.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint64_t Le64(const std::uint8_t* p) {
    return std::uint64_t(Le32(p)) | std::uint64_t(Le32(p + 4)) << 32;
}
void PutLe(std::uint8_t* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The standard CRC-32C: ISA-L keeps the register un-inverted.
std::uint32_t Crc32c(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0) {
    return ~::crc32_iscsi(const_cast<std::uint8_t*>(p), static_cast<int>(n), ~crc);
}

struct Slot {
    bool valid = false;
    std::uint32_t pageSize = 0;
    UuidBytes uuid{};
    std::uint64_t msn = 0, pageCount = 0, generation = 0;
};

Slot DecodeSlot(const std::uint8_t* s) {
    Slot h;
    if (std::memcmp(s, "VLMKDBF1", 8) != 0 || Le32(s + 56) != Crc32c(s, 56) || Le32(s + 8) != 1)
        return h;
    h.pageSize = Le32(s + 12);
    if (h.pageSize < 512 || h.pageSize > 65536 || (h.pageSize & (h.pageSize - 1)) != 0) return h;
    std::memcpy(h.uuid.data(), s + 16, 16);
    h.msn = Le64(s + 32);
    h.pageCount = Le64(s + 40);
    h.generation = Le64(s + 48);
    h.valid = true;
    return h;
}

bool ReadAt(int fd, std::uint8_t* buf, std::size_t n, std::uint64_t off) {
    while (n > 0) {
        ssize_t r = ::pread(fd, buf, n, static_cast<off_t>(off));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        buf += r;
        n -= static_cast<std::size_t>(r);
        off += static_cast<std::uint64_t>(r);
    }
    return true;
}

}  // namespace

std::string UuidString(const UuidBytes& u) {
    std::string s;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += Mirel::HexText(&u[static_cast<std::size_t>(i)], 1);
    }
    return s;
}

std::string DbState::Describe() const {
    std::ostringstream o;
    o << "MSN " << msn << ", " << pageCount << " pages of " << pageSize << " bytes, digest "
      << std::hex << digest;
    return o.str();
}

DigestBuilder::DigestBuilder(const UuidBytes& uuid, std::uint32_t pageSize, std::uint64_t msn,
                             std::uint64_t pageCount) {
    mState.uuid = uuid;
    mState.pageSize = pageSize;
    mState.msn = msn;
    mState.pageCount = pageCount;
    std::uint8_t head[36];
    std::memcpy(head, uuid.data(), 16);
    PutLe(head + 16, pageSize, 4);
    PutLe(head + 20, msn, 8);
    PutLe(head + 28, pageCount, 8);
    mCrc = ::crc64_ecma_refl(0, head, sizeof head);
}

void DigestBuilder::Page(const std::uint8_t* data) {
    mCrc = ::crc64_ecma_refl(mCrc, data, mState.pageSize);
}

DbState DigestBuilder::Finish() const {
    DbState s = mState;
    s.digest = mCrc;
    return s;
}

DbState StateOf(const UuidBytes& uuid, std::uint32_t pageSize, std::uint64_t msn,
                const PageImages& pages) {
    std::uint64_t count = pages.empty() ? 0 : pages.rbegin()->first + 1;
    DigestBuilder b(uuid, pageSize, msn, count);
    std::vector<std::uint8_t> zero(pageSize, 0);
    for (std::uint64_t n = 0; n < count; ++n) {
        auto it = pages.find(n);
        b.Page(it == pages.end() ? zero.data() : it->second.data());
    }
    return b.Finish();
}

DbFile ReadDbFile(const std::string& path,
                  const std::function<void(std::uint64_t, const std::uint8_t*)>& page) {
    DbFile f;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        f.missing = errno == ENOENT;
        f.error = errno == ELOOP ? "a symbolic link, not a file" : std::strerror(errno);
        return f;
    }
    struct FdGuard {
        int fd;
        ~FdGuard() { ::close(fd); }
    } guard{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        f.error = "not a regular file";
        return f;
    }
    f.size = static_cast<std::uint64_t>(st.st_size);
    std::uint8_t block[320];
    if (f.size < sizeof block || !ReadAt(fd, block, sizeof block, 0)) {
        f.error = "shorter than a database header (" + std::to_string(f.size) + " bytes)";
        return f;
    }
    Slot a = DecodeSlot(block), b = DecodeSlot(block + 256);
    if (!a.valid && !b.valid) {
        f.error = "no valid header slot";
        return f;
    }
    const Slot& h = (a.valid && (!b.valid || a.generation >= b.generation)) ? a : b;
    if (h.pageCount > (f.size / h.pageSize) || f.size < (h.pageCount + 1) * h.pageSize) {
        std::ostringstream why;
        why << "cut short: " << f.size << " bytes, the header counts " << h.pageCount
            << " pages of " << h.pageSize;
        f.error = why.str();
        return f;
    }
    DigestBuilder digest(h.uuid, h.pageSize, h.msn, h.pageCount);
    f.fileCrc32c = Crc32c(block, sizeof block);
    // The whole file's CRC runs over every byte in order: the rest of block 0 first.
    std::vector<std::uint8_t> buf(std::max<std::size_t>(h.pageSize, 1 << 20));
    std::uint64_t off = sizeof block;
    std::uint64_t blockEnd = h.pageSize;
    if (!ReadAt(fd, buf.data(), blockEnd - off, off)) {
        f.error = "unreadable header block";
        return f;
    }
    f.fileCrc32c = Crc32c(buf.data(), blockEnd - off, f.fileCrc32c);
    off = blockEnd;
    std::size_t perRead = buf.size() / h.pageSize;
    for (std::uint64_t n = 0; n < h.pageCount;) {
        std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(perRead, h.pageCount - n));
        if (!ReadAt(fd, buf.data(), k * h.pageSize, off)) {
            f.error = "unreadable page " + std::to_string(n);
            return f;
        }
        f.fileCrc32c = Crc32c(buf.data(), k * h.pageSize, f.fileCrc32c);
        for (std::size_t i = 0; i < k; ++i) {
            digest.Page(buf.data() + i * h.pageSize);
            if (page) page(n + i, buf.data() + i * h.pageSize);
        }
        n += k;
        off += k * h.pageSize;
    }
    // Bytes past the last counted page belong to the file, not to the database.
    while (off < f.size) {
        std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), f.size - off));
        if (!ReadAt(fd, buf.data(), k, off)) break;
        f.fileCrc32c = Crc32c(buf.data(), k, f.fileCrc32c);
        off += k;
    }
    f.state = digest.Finish();
    f.ok = true;
    return f;
}

std::string DescribeDifferences(const std::string& path, const DbState& expected,
                                const PageImages* pages) {
    std::ostringstream why;
    int bad = 0;
    std::vector<std::uint8_t> zero(expected.pageSize, 0);
    DbFile f = ReadDbFile(path, [&](std::uint64_t n, const std::uint8_t* data) {
        if (!pages || bad >= 4 || n >= expected.pageCount) return;
        auto it = pages->find(n);
        const std::uint8_t* want = it == pages->end() ? zero.data() : it->second.data();
        if (std::memcmp(want, data, expected.pageSize) != 0) {
            why << "page " << n << " differs; ";
            ++bad;
        }
    });
    if (!f.ok) return f.error;
    std::ostringstream head;
    if (f.state.uuid != expected.uuid) head << "UUID " << UuidString(f.state.uuid) << "; ";
    if (f.state.msn != expected.msn)
        head << "MSN " << f.state.msn << ", expected " << expected.msn << "; ";
    if (f.state.pageSize != expected.pageSize)
        head << "page size " << f.state.pageSize << ", expected " << expected.pageSize << "; ";
    if (f.state.pageCount != expected.pageCount)
        head << "page count " << f.state.pageCount << ", expected " << expected.pageCount << "; ";
    std::string all = head.str() + why.str();
    if (all.empty() && f.state.digest != expected.digest) all = "page contents differ; ";
    return all;
}

bool FileDigest(const std::string& path, std::uint64_t& digest, std::uint64_t& size) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<std::uint8_t> buf(1 << 20);
    digest = 0;
    size = 0;
    for (;;) {
        ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            ::close(fd);
            return false;
        }
        if (r == 0) break;
        digest = ::crc64_ecma_refl(digest, buf.data(), static_cast<std::uint64_t>(r));
        size += static_cast<std::uint64_t>(r);
    }
    ::close(fd);
    return true;
}

}  // namespace sim
