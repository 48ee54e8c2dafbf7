// CompressedString decoding. Input: a control byte, then (bits 0-1) 0: a sequence's units
// (little-endian); 1: a CompressedString's CDR; 2: a CompressedStringSeq's; 3: a text's units;
// bit 2: big-endian CDR. Every decoded text survives its encoding, also across the wire.
#include <omniORB4/CORBA.h>

#include <cstring>

#include "fuzz/FuzzUtil.h"
#include "idl/Talon.hh"
#include "platform/framework/EventHelper.h"

using Mirel::unistring;
using Talon::EventHelper;

namespace {

std::vector<std::uint16_t> Units(const std::uint8_t* p, std::size_t n) {
    std::vector<std::uint16_t> u(n / 2);
    for (std::size_t i = 0; i < u.size(); ++i)
        u[i] = static_cast<std::uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    return u;
}

// omniORB 4.2 checks a sequence's size in 32 bits (2^31 items pass and allocate gigabytes);
// checked in 64 bits, the run goes on to what decoding does with what the ORB hands over.
class CheckedStream : public cdrMemoryStream {
public:
    CheckedStream(void* buf, std::size_t n) : cdrMemoryStream(buf, n) {}
    CORBA::Boolean checkInputOverrun(CORBA::ULong itemSize, CORBA::ULong nItems,
                                     omni::alignment_t align) override {
        const omni::ptr_arith_t at = omni::align_to((omni::ptr_arith_t)pd_inb_mkr, align);
        const omni::ptr_arith_t end = (omni::ptr_arith_t)pd_inb_end;
        return at <= end && std::uint64_t{itemSize} * nItems <= end - at;
    }
};

Talon::CompressedString Seq(const std::vector<std::uint16_t>& units) {
    Talon::CompressedString s;
    s.length(static_cast<CORBA::ULong>(units.size()));
    for (std::size_t i = 0; i < units.size(); ++i) s[static_cast<CORBA::ULong>(i)] = units[i];
    return s;
}

// Length of the text a sequence decodes to, by its first unit.
std::size_t DecodedLength(const Talon::CompressedString& s) {
    const std::size_t n = s.length();
    if (n == 0) return 0;
    if (s[0] == 1) return 2 * (n - 1);
    if (s[0] == 2) return n == 1 ? 0 : 2 * (n - 1) - 1;
    return n - 1;
}

void CheckText(const unistring& text) {
    Talon::CompressedString enc;
    EventHelper::ToCompressedString(text, enc);
    FUZZ_CHECK(EventHelper::FromCompressedString(enc) == text);
    FUZZ_CHECK(enc.length() <= text.size() + 1);
    // Across the wire it stays the same.
    cdrMemoryStream out;
    enc >>= out;
    cdrMemoryStream in(out, 1);
    Talon::CompressedString back;
    back <<= in;
    FUZZ_CHECK(EventHelper::FromCompressedString(back) == text);
}

void CheckDecoded(const Talon::CompressedString& s) {
    unistring text = EventHelper::FromCompressedString(s);
    FUZZ_CHECK(text.size() == DecodedLength(s));
    CheckText(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t ctl = data[0];
    const std::uint8_t* rest = data + 1;
    const std::size_t n = size - 1;
    switch (ctl & 3) {
        case 0:
            CheckDecoded(Seq(Units(rest, n)));
            break;
        case 3: {
            std::vector<std::uint16_t> u = Units(rest, n);
            CheckText(unistring(u.begin(), u.end()));
            break;
        }
        default: {
            // A length the data cannot hold is refused before anything is allocated.
            std::vector<std::uint64_t> aligned(n / 8 + 1);
            std::memcpy(aligned.data(), rest, n);
            CheckedStream in(aligned.data(), n);
            in.setByteSwapFlag(!(ctl & 4));
            try {
                if ((ctl & 3) == 1) {
                    Talon::CompressedString s;
                    s <<= in;
                    CheckDecoded(s);
                } else {
                    Talon::CompressedStringSeq seq;
                    seq <<= in;
                    for (CORBA::ULong i = 0; i < seq.length(); ++i) CheckDecoded(seq[i]);
                }
            } catch (const CORBA::MARSHAL&) {
            }
            break;
        }
    }
    return 0;
}
