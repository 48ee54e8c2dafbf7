#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/support/unistring.h"

namespace Talon {

// Texts cross the remote interface as sequences of 16-bit units ("compressed strings").
// A text whose units all fit in one byte travels two characters to a unit; any other text
// travels as it is. The first unit says which:
//   (empty sequence)   the empty text
//   0, u1, u2, ...     raw code units
//   1, p1, p2, ...     packed, even length: unit k holds characters 2k and 2k+1
//   2, p1, p2, ...     packed, odd length: the last unit's high byte is unused
// Every UTF-16 text survives the round trip, unpaired surrogates included.
class EventHelper {
public:
    // An event delivered by the hub: its class, code and texts.
    EventHelper() = default;
    EventHelper(std::int32_t eventClass, std::int32_t eventCode,
                std::vector<Mirel::unistring> texts = {})
        : mClass(eventClass), mCode(eventCode), mTexts(std::move(texts)) {}
    std::int32_t GetEventClass() const { return mClass; }
    std::int32_t GetEventCode() const { return mCode; }
    const std::vector<Mirel::unistring>& GetTexts() const { return mTexts; }

    static std::vector<std::uint16_t> Compress(const Mirel::unistring& text);
    // An ill-formed sequence (unknown tag) decodes as its raw units after the tag.
    static Mirel::unistring Decompress(const std::uint16_t* units, std::size_t count);

    // For any sequence type with length() and operator[] (the IDL's CompressedString).
    template <class Seq>
    static void ToCompressedString(const Mirel::unistring& text, Seq& out) {
        auto units = Compress(text);
        out.length(static_cast<decltype(out.length())>(units.size()));
        for (std::size_t i = 0; i < units.size(); ++i) out[i] = units[i];
    }
    template <class Seq>
    static Mirel::unistring FromCompressedString(const Seq& in) {
        std::vector<std::uint16_t> units(in.length());
        for (std::size_t i = 0; i < units.size(); ++i) units[i] = in[i];
        return Decompress(units.data(), units.size());
    }

private:
    std::int32_t mClass = 0;
    std::int32_t mCode = 0;
    std::vector<Mirel::unistring> mTexts;
};

}  // namespace Talon
