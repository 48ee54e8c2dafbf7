// Redo log reader. Input: a control byte (bit 2: fix the record count; 1: every whole
// record's checksum; 0: the header's, last), then the file. An accepted log reads as its
// bytes, survives a rewrite, and applies each page's last image to a database of its identity.
#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

#include "fuzz/FuzzUtil.h"
#include "platform/engine/Formats.h"
#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/IBS_Config.h"
#include "tools/sim/ServerWriters.h"

using namespace Mirel;
using fuzz::Scratch;
using sim::PageImage;
using sim::PageMap;
using sim::RedoLogWriter;
using sim::WriteDatabaseFile;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A record as the format says, independently of the reader: checksum, zero field, page range.
bool RecordSound(const std::uint8_t* rec, std::uint32_t p) {
    const std::uint64_t page = Format::Get64(rec);
    return Format::Get32(rec + 12) == 0 &&
           Format::Get32(rec + 8) == Format::RecordCrc(page, rec + Format::kRecordHeaderSize, p) &&
           page <= static_cast<std::uint64_t>(INT64_MAX) / p - 2;
}

void Prepare(Bytes& file, std::uint8_t ctl) {
    if (file.size() < Format::kLogHeaderSize) return;
    const std::uint32_t p = Format::Get32(file.data() + 12);
    const bool sized = Format::ValidPageSize(p);
    const std::size_t rs = Format::kRecordHeaderSize + p;
    const std::size_t whole = sized ? (file.size() - Format::kLogHeaderSize) / rs : 0;
    if ((ctl & 4) && sized) Format::Put64(file.data() + 64, whole);
    if ((ctl & 2) && sized) {
        for (std::size_t i = 0; i < whole; ++i) {
            std::uint8_t* rec = file.data() + Format::kLogHeaderSize + i * rs;
            Format::Put32(
                rec + 8, Format::RecordCrc(Format::Get64(rec), rec + Format::kRecordHeaderSize, p));
        }
    }
    if (ctl & 1) Format::Put32(file.data() + 72, Format::Crc32c(file.data(), 72));
}

bool SameHeader(const Format::LogHeader& a, const Format::LogHeader& b) {
    return a.pageSize == b.pageSize && a.uuid == b.uuid && a.startMSN == b.startMSN &&
           a.msn == b.msn && a.endUTC == b.endUTC && a.closed == b.closed &&
           a.recordCount == b.recordCount;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    HBEngine::Startup(true, 0, nullptr, nullptr);
    Scratch::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    Bytes file(data + 1, data + size);
    Prepare(file, data[0]);

    Scratch& s = Scratch::Get();
    s.Clear();
    fuzz::WriteBytes(s / "in.vrl", file.data(), file.size());

    HBLogFile headerOnly(s.File("in.vrl"));
    Error eh = headerOnly.Open(HBLogFile::kPermHeaderOnly);
    HBLogFile log(s.File("in.vrl"));
    Error ef = log.Open(HBLogFile::kPermRead);
    unistring uuid;
    std::uint64_t msn = 0, startMSN = 0, endUTC = 0;
    bool closed = false;
    Talon::Error info =
        Talon::IBS_Config::GetRedoLogInfo(s.File("in.vrl"), uuid, msn, startMSN, endUTC, closed);
    FUZZ_CHECK(eh.OK() == ef.OK() && info.OK() == ef.OK());
    if (!ef.OK()) {
        FUZZ_CHECK(ef.GetError() == kErrInvalidFile && eh.GetError() == kErrInvalidFile);
        return 0;
    }
    const Format::LogHeader h = log.Header();
    FUZZ_CHECK(SameHeader(h, headerOnly.Header()));
    FUZZ_CHECK(uuid == log.GetUUID() && msn == h.msn && startMSN == h.startMSN &&
               endUTC == h.endUTC && closed == h.closed);
    FUZZ_CHECK(h.startMSN <= h.msn && Format::ValidPageSize(h.pageSize));
    const std::uint32_t p = h.pageSize;
    const std::size_t rs = Format::kRecordHeaderSize + p;
    FUZZ_CHECK(file.size() == Format::kLogHeaderSize + h.recordCount * rs);

    bool sound = true;
    for (std::uint64_t i = 0; i < h.recordCount; ++i)
        sound = sound && RecordSound(file.data() + Format::kLogHeaderSize + i * rs, p);
    Error ev = log.VerifyRecords();
    FUZZ_CHECK(ev.OK() == sound);
    if (!ev.OK()) {
        FUZZ_CHECK(ev.GetError() == kErrInvalidFile);
        return 0;
    }

    // The records read as the file's bytes; the last image of each page is what applies.
    std::map<std::uint64_t, Bytes> last;
    for (std::uint64_t i = 0; i < h.recordCount; ++i) {
        const std::uint8_t* rec = file.data() + Format::kLogHeaderSize + i * rs;
        FUZZ_CHECK(log.RecordPage(i) == Format::Get64(rec));
        FUZZ_CHECK(log.RecordData(i) != nullptr &&
                   std::memcmp(log.RecordData(i), rec + Format::kRecordHeaderSize, p) == 0);
        last[Format::Get64(rec)].assign(rec + Format::kRecordHeaderSize, rec + rs);
    }

    // Written back by the writer, it reads the same.
    {
        RedoLogWriter w;
        FUZZ_CHECK(w.Open(s.File("rt.vrl"), h.uuid, p, h.startMSN).OK());
        for (std::uint64_t i = 0; i < h.recordCount; ++i)
            FUZZ_CHECK(w.AddPage(log.RecordPage(i), log.RecordData(i)).OK());
        FUZZ_CHECK(w.Finish(h.msn, h.endUTC, h.closed).OK());
        HBLogFile rt(s.File("rt.vrl"));
        FUZZ_CHECK(rt.Open(HBLogFile::kPermRead).OK() && rt.VerifyRecords().OK());
        FUZZ_CHECK(SameHeader(rt.Header(), h));
        const Bytes again = fuzz::ReadBytes(s / "rt.vrl");
        FUZZ_CHECK(again.size() == file.size() &&
                   std::equal(again.begin() + Format::kLogHeaderSize, again.end(),
                              file.begin() + Format::kLogHeaderSize));
    }

    // It applies to a database of its identity at its start MSN.
    PageMap none;
    FUZZ_CHECK(WriteDatabaseFile(s.File("db.vdb"), h.uuid, p, h.startMSN, none).OK());
    {
        HBFile db(s.File("db.vdb"));
        db.SetOpeningFlags(HBFile::kOpenExclusive | HBFile::kOpenDurable);
        FUZZ_CHECK(db.Open(HBFile::kPermReadWrite).OK());
        FUZZ_CHECK(db.ApplyLog(log).OK());
        FUZZ_CHECK(db.Close().OK());
    }
    HBFile db(s.File("db.vdb"));
    FUZZ_CHECK(db.Open(HBFile::kPermRead).OK());
    FUZZ_CHECK(db.GetMSN() == h.msn);
    FUZZ_CHECK(db.GetPageCount() == (last.empty() ? 0 : last.rbegin()->first + 1));
    Bytes buf(p);
    for (const auto& [page, image] : last) {
        FUZZ_CHECK(db.ReadPage(page, buf.data()).OK());
        FUZZ_CHECK(buf == image);
    }
    return 0;
}
