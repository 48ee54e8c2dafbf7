// Database file reader. Input: a control byte (bit 0, 1: fix header slot 0's, 1's checksum),
// then the file. An accepted file reads as its bytes, survives a rewrite, and takes a redo log
// as docs/formats.md says (the other header slot; the next open sees the new MSN).
#include <cstring>

#include "fuzz/FuzzUtil.h"
#include "platform/engine/Formats.h"
#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Os.h"
#include "tools/sim/ServerWriters.h"

using namespace Mirel;
using fuzz::Scratch;
using sim::PageImage;
using sim::PageMap;
using sim::RedoLogWriter;
using sim::WriteDatabaseFile;

namespace {

using Bytes = std::vector<std::uint8_t>;

void FixSlotCrc(Bytes& file, int slot) {
    std::size_t at = Format::kDbSlotOffset[slot];
    if (file.size() < at + Format::kDbSlotSize) return;
    Format::Put32(file.data() + at + 56, Format::Crc32c(file.data() + at, 56));
}

bool SameHeader(const Format::DbHeader& a, const Format::DbHeader& b) {
    return a.pageSize == b.pageSize && a.uuid == b.uuid && a.msn == b.msn &&
           a.pageCount == b.pageCount && a.generation == b.generation;
}

Bytes Page(const Bytes& file, std::uint64_t n, std::uint32_t p) {
    const std::size_t at = static_cast<std::size_t>((n + 1) * p);
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(at),
                 file.begin() + static_cast<std::ptrdiff_t>(at + p));
}

void ExpectPages(const UniversalPath& path, const Format::DbHeader& want, const PageMap& pages) {
    HBFile db(path);
    FUZZ_CHECK(db.Open(HBFile::kPermRead).OK());
    FUZZ_CHECK(db.GetPageSize() == want.pageSize);
    FUZZ_CHECK(db.Header().uuid == want.uuid);
    FUZZ_CHECK(db.GetMSN() == want.msn);
    FUZZ_CHECK(db.GetPageCount() == want.pageCount);
    Bytes buf(want.pageSize), zero(want.pageSize, 0);
    for (std::uint64_t n = 0; n < want.pageCount; ++n) {
        FUZZ_CHECK(db.ReadPage(n, buf.data()).OK());
        auto it = pages.find(n);
        FUZZ_CHECK(buf == (it == pages.end() ? zero : it->second));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    HBEngine::Startup(true, 0, nullptr, nullptr);
    Scratch::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t ctl = data[0];
    Bytes file(data + 1, data + size);
    if (ctl & 1) FixSlotCrc(file, 0);
    if (ctl & 2) FixSlotCrc(file, 1);

    Scratch& s = Scratch::Get();
    s.Clear();
    fuzz::WriteBytes(s / "in.vdb", file.data(), file.size());

    HBFile db(s.File("in.vdb"));
    Error opened = db.Open(HBFile::kPermRead);
    unistring infoUuid;
    std::uint64_t infoMsn = 0;
    Talon::Error info = Talon::IBS_Config::GetDBInfo(s.File("in.vdb"), infoUuid, infoMsn);
    FUZZ_CHECK(info.OK() == opened.OK());
    if (!opened.OK()) {
        FUZZ_CHECK(opened.GetError() == kErrInvalidFile);
        return 0;
    }
    const Format::DbHeader h = db.Header();
    FUZZ_CHECK(infoUuid == db.GetUUID() && infoMsn == h.msn);
    FUZZ_CHECK(Format::ValidPageSize(h.pageSize));
    const std::uint32_t p = h.pageSize;
    FUZZ_CHECK(h.pageCount <= file.size() / p && (h.pageCount + 1) * p <= file.size());

    // The current header is a valid slot with the highest generation.
    Format::DbHeader slot[2];
    bool ok[2];
    for (int i = 0; i < 2; ++i)
        ok[i] = Format::DecodeDbHeader(file.data() + Format::kDbSlotOffset[i], slot[i]);
    FUZZ_CHECK(ok[0] || ok[1]);
    const int current = ok[0] && SameHeader(slot[0], h) ? 0 : 1;
    FUZZ_CHECK(ok[current] && SameHeader(slot[current], h));
    FUZZ_CHECK(!ok[1 - current] || slot[1 - current].generation <= h.generation);

    // Every page reads as the bytes at its offset.
    PageMap pages;
    Bytes buf(p), zero(p, 0);
    for (std::uint64_t n = 0; n < h.pageCount; ++n) {
        FUZZ_CHECK(db.ReadPage(n, buf.data()).OK());
        FUZZ_CHECK(buf == Page(file, n, p));
        if (buf != zero || n + 1 == h.pageCount) pages[n] = buf;
    }
    db.Close();

    // Written back by the writer, it reads the same.
    FUZZ_CHECK(WriteDatabaseFile(s.File("rt.vdb"), h.uuid, p, h.msn, pages).OK());
    ExpectPages(s.File("rt.vdb"), h, pages);

    // A log that rewrites page 0 and adds a page.
    Bytes img0(p), imgNew(p);
    for (std::uint32_t i = 0; i < p; ++i) {
        img0[i] = static_cast<std::uint8_t>(i * 7 + 1);
        imgNew[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    const std::uint64_t newMsn = h.msn == UINT64_MAX ? h.msn : h.msn + 1;
    RedoLogWriter w;
    FUZZ_CHECK(w.Open(s.File("a.vrl"), h.uuid, p, h.msn).OK());
    FUZZ_CHECK(w.AddPage(0, img0.data()).OK());
    FUZZ_CHECK(w.AddPage(h.pageCount, imgNew.data()).OK());
    FUZZ_CHECK(w.Finish(newMsn, 1, true).OK());
    // At the last MSN no log can move the copy on: such a log is refused, never applied.
    if (h.msn == UINT64_MAX) {
        HBLogFile log(s.File("a.vrl"));
        FUZZ_CHECK(!log.Open(HBLogFile::kPermRead).OK());
        return 0;
    }
    {
        HBFile rw(s.File("in.vdb"));
        rw.SetOpeningFlags(HBFile::kOpenExclusive | HBFile::kOpenDurable);
        FUZZ_CHECK(rw.Open(HBFile::kPermReadWrite).OK());
        HBLogFile log(s.File("a.vrl"));
        FUZZ_CHECK(log.Open(HBLogFile::kPermRead).OK());
        FUZZ_CHECK(rw.ApplyLog(log).OK());
        FUZZ_CHECK(rw.Close().OK());
    }
    const Bytes after = fuzz::ReadBytes(s / "in.vdb");
    const std::size_t cur = Format::kDbSlotOffset[current];
    FUZZ_CHECK(after.size() >= file.size() &&
               std::memcmp(after.data() + cur, file.data() + cur, Format::kDbSlotSize) == 0);
    Format::DbHeader want = h;
    want.msn = newMsn;
    want.pageCount = h.pageCount + 1;
    pages[0] = img0;
    pages[h.pageCount] = imgNew;
    ExpectPages(s.File("in.vdb"), want, pages);
    return 0;
}
