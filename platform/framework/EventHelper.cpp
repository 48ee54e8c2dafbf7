#include "platform/framework/EventHelper.h"

namespace Talon {

namespace {
enum Tag : std::uint16_t { kRaw = 0, kPackedEven = 1, kPackedOdd = 2 };
}

std::vector<std::uint16_t> EventHelper::Compress(const Mirel::unistring& text) {
    std::vector<std::uint16_t> out;
    if (text.empty()) return out;
    bool narrow = true;
    for (char16_t c : text)
        if (c > 0xFF) {
            narrow = false;
            break;
        }
    if (!narrow) {
        out.reserve(text.size() + 1);
        out.push_back(kRaw);
        out.insert(out.end(), text.begin(), text.end());
        return out;
    }
    out.reserve(text.size() / 2 + 2);
    out.push_back(text.size() % 2 ? kPackedOdd : kPackedEven);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint16_t lo = static_cast<std::uint16_t>(text[i]);
        std::uint16_t hi = i + 1 < text.size() ? static_cast<std::uint16_t>(text[i + 1]) : 0;
        out.push_back(static_cast<std::uint16_t>(lo | (hi << 8)));
    }
    return out;
}

Mirel::unistring EventHelper::Decompress(const std::uint16_t* units, std::size_t count) {
    Mirel::unistring out;
    if (count == 0) return out;
    std::uint16_t tag = units[0];
    if (tag == kPackedEven || tag == kPackedOdd) {
        out.reserve(2 * (count - 1));
        for (std::size_t i = 1; i < count; ++i) {
            out.push_back(static_cast<char16_t>(units[i] & 0xFF));
            out.push_back(static_cast<char16_t>(units[i] >> 8));
        }
        if (tag == kPackedOdd && !out.empty()) out.pop_back();
        return out;
    }
    out.assign(units + 1, units + count);
    return out;
}

}  // namespace Talon
