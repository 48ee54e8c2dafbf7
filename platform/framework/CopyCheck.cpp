#include "platform/framework/CopyCheck.h"

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <memory>

#include "platform/engine/Formats.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"

namespace Talon {

namespace {

constexpr std::size_t kChunk = 1 << 20;

// Reads `in` from its start to its end, handing each piece to `piece`.
int ReadAll(int in, const std::string& path, std::uint64_t& size, std::uint32_t& crc,
            const std::function<int(const std::uint8_t*, std::size_t, std::uint64_t)>& piece) {
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kChunk]);
    size = 0;
    crc = 0;
    for (;;) {
        std::size_t got = 0;
        if (int rc = Mirel::Os::PReadAll(in, buf.get(), kChunk, size, got, path)) return rc;
        if (got == 0) return 0;
        crc = Mirel::Format::Crc32c(buf.get(), got, crc);
        if (piece)
            if (int rc = piece(buf.get(), got, size)) return rc;
        size += got;
    }
}

int Compare(CopyCheck& check, std::uint64_t size, std::uint32_t crc) {
    if (size == check.size && crc == check.crc) return 0;
    char text[128];
    std::snprintf(text, sizeof text,
                  "size %" PRIu64 " and CRC-32C %08" PRIx32 ", listed %" PRIu64 " and %08" PRIx32,
                  size, crc, check.size, check.crc);
    check.found = text;
    return Mirel::kErrCopyDamaged;
}

}  // namespace

int CheckCopy(const std::string& path, CopyCheck& check) {
    int in = -1;
    if (int rc = Mirel::Os::OpenRead(path, in)) return rc;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    int rc = ReadAll(in, path, size, crc, nullptr);
    Mirel::Os::Close(in);
    return rc != 0 ? rc : Compare(check, size, crc);
}

int CopyChecked(const std::string& from, const std::string& to, CopyCheck& check) {
    if (int f = Mirel::Env::Current().BeginCopy(from, to).GetError()) return f;
    int in = -1;
    if (int rc = Mirel::Os::OpenRead(from, in)) return rc;
    // A short name of its own: "<name>.part" would not fit beside a name at the length limit.
    const std::string part = Mirel::Os::TempNameBeside(to);
    int out = -1;
    int rc = Mirel::Os::OpenWrite(part, true, true, out);
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    // Where the file system shares blocks, the copy costs no space until a log writes to it;
    // the check then reads the clone itself, so the bytes put in place are the bytes checked.
    bool cloned = rc == 0 && Mirel::Os::CloneFile(in, out, part) == 0;
    if (cloned) {
        rc = ReadAll(out, part, size, crc, nullptr);
    } else if (rc == 0) {
        rc = ReadAll(in, from, size, crc,
                     [&](const std::uint8_t* data, std::size_t n, std::uint64_t at) {
                         return Mirel::Os::PWriteAll(out, data, n, at, part);
                     });
    }
    Mirel::Os::Close(in);
    if (rc == 0) rc = Compare(check, size, crc);
    // The copy is the process's own before it appears under its name; an owner that cannot
    // be set does not cost it (as for Os::CopyFile).
    if (rc == 0) Mirel::Os::MakeOwnOpen(out, part);
    if (rc == 0) rc = Mirel::Os::SyncFile(out, part);
    if (out >= 0) Mirel::Os::Close(out);
    if (rc == 0) rc = Mirel::Os::ReplaceDurable(part, to);
    if (rc != 0) Mirel::Os::DeleteFile(part);
    return rc;
}

}  // namespace Talon
