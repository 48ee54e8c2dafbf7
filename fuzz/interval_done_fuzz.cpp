// Interval-done decoder and the service's reader. Input: a control byte (bit 1: fix the count;
// 0: the CRC, last; 2: also read through a redo folder under the name bits 3-4 choose), then
// the file. The reader answers as the decoder; accepted bytes encode again to the same bytes.
#include <cstring>

#include "fuzz/FuzzUtil.h"
#include "platform/engine/Formats.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/IBS_Config.h"

using namespace Mirel;
using fuzz::Scratch;
using Talon::IBS_Config;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kFixed = 24;  // magic, version, count, end UTC

// Names matched without regard to case, and one that must not match.
const char* const kNames[4] = {"IntervalDone.vid", "intervaldone.VID", "INTERVALDONE.VID",
                               "IntervalDone.vid.part"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t ctl = data[0];
    Bytes file(data + 1, data + size);
    if ((ctl & 2) && file.size() >= kFixed + 4)
        Format::Put32(file.data() + 12,
                      static_cast<std::uint32_t>((file.size() - kFixed - 4) / 16));
    if ((ctl & 1) && file.size() >= 4)
        Format::Put32(file.data() + file.size() - 4, Format::Crc32c(file.data(), file.size() - 4));

    std::uint64_t utc = 0;
    std::vector<unistring> list;
    const bool decoded = Talon::DecodeIntervalDone(file.data(), file.size(), utc, &list);
    std::uint64_t utcOnly = 0;
    FUZZ_CHECK(Talon::DecodeIntervalDone(file.data(), file.size(), utcOnly, nullptr) == decoded);

    Scratch& s = Scratch::Get();
    s.Clear();
    fuzz::WriteBytes(s / "in.vid", file.data(), file.size());
    std::uint64_t readUtc = 0;
    std::vector<unistring> readList;
    Talon::Error e = IBS_Config::GetIncrementalIntervalDone(s.File("in.vid"), readUtc, &readList);
    FUZZ_CHECK(e.OK() == decoded);
    FUZZ_CHECK(e.OK() || e.GetError() == kErrInvalidFile);
    FUZZ_CHECK(!e.OK() || (readUtc == utc && readList == list));

    if (ctl & 4) {
        const int which = (ctl >> 3) & 3;
        Directory(UniversalPath::Folder(s / "Redo_1")).CreateIfNotExists();
        fuzz::WriteBytes(s / "Redo_1/" + kNames[which], file.data(), file.size());
        std::uint64_t fUtc = 0;
        std::vector<unistring> fList;
        Talon::Error f = IBS_Config::GetIncrementalIntervalDone(UniversalPath::Folder(s / "Redo_1"),
                                                                fUtc, &fList);
        if (which == 3) {
            FUZZ_CHECK(f.GetError() == kErrNoIntervalDone);
        } else {
            FUZZ_CHECK(f.GetError() == e.GetError());
            FUZZ_CHECK(!f.OK() || (fUtc == utc && fList == list));
        }
    }
    if (!decoded) return 0;

    FUZZ_CHECK(utcOnly == utc && utc == Format::Get64(file.data() + 16));
    FUZZ_CHECK(file.size() == kFixed + 16 * list.size() + 4);
    for (std::size_t i = 0; i < list.size(); ++i) {
        Format::Uuid u;
        std::memcpy(u.data(), file.data() + kFixed + 16 * i, 16);
        FUZZ_CHECK(list[i] == UuidText::ToText(u));
    }
    Bytes again;
    FUZZ_CHECK(Talon::EncodeIntervalDone(utc, list, again));
    FUZZ_CHECK(again == file);
    return 0;
}
