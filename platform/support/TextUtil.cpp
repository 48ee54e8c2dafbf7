#include "platform/support/TextUtil.h"

namespace Mirel {

std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           AsciiLower(s.substr(s.size() - suffix.size())) == AsciiLower(suffix);
}

std::string TrimBlanks(const std::string& s) {
    const char* blank = " \t\r\n";
    auto first = s.find_first_not_of(blank);
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(blank) - first + 1);
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string HexText(const void* data, std::size_t n, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Hex32(std::uint32_t v) {
    const unsigned char be[4] = {static_cast<unsigned char>(v >> 24),
                                 static_cast<unsigned char>(v >> 16),
                                 static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    return HexText(be, 4);
}

bool ParseHex32(const std::string& text, std::uint32_t& v) {
    if (text.size() != 8) return false;
    std::uint32_t out = 0;
    for (char c : text) {
        const int d = HexDigitValue(c);
        if (d < 0) return false;
        out = (out << 4) | static_cast<std::uint32_t>(d);
    }
    v = out;
    return true;
}

}  // namespace Mirel
