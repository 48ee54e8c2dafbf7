#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace Mirel {

// Text of 16-bit code units. Ordering (and so map order) is plain code-unit order.
// Every OS boundary converts to UTF-8; unpaired surrogates survive the round trip
// (they are written as their 3-byte generalised UTF-8 form).
class unistring : public std::u16string {
public:
    using std::u16string::u16string;
    unistring() = default;
    unistring(const std::u16string& s) : std::u16string(s) {}               // NOLINT
    unistring(std::u16string&& s) : std::u16string(std::move(s)) {}         // NOLINT
    unistring(const char* utf8) : std::u16string(FromUTF8(utf8)) {}         // NOLINT
    unistring(const std::string& utf8) : std::u16string(FromUTF8(utf8)) {}  // NOLINT

    static unistring FromUTF8(std::string_view utf8);
    std::string ToUTF8() const;

    // Equality with simple case folding (ASCII, Latin-1, Greek and Cyrillic letters).
    bool CaseInsensitiveEqual(const unistring& other) const;
    static char16_t FoldCase(char16_t c);

    enum Encoding { kEncodingUTF8 = 1 };
    // Writes the text and a terminating NUL into buf, never more than size bytes. A code point
    // that does not fit whole is left out. Returns false when the text was shortened.
    bool ConvertToCString(char* buf, std::size_t size, int encoding = kEncodingUTF8) const;

    static unistring NumToString(std::int64_t n);
    static unistring NumToString(std::uint64_t n);
    static unistring NumToString(int n) { return NumToString(static_cast<std::int64_t>(n)); }
    static unistring NumToString(unsigned n) { return NumToString(static_cast<std::uint64_t>(n)); }
};

std::ostream& operator<<(std::ostream& os, const unistring& s);

}  // namespace Mirel
