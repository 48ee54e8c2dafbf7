#include "platform/support/unistring.h"

#include <cstring>

namespace Mirel {

namespace {

void AppendUTF8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Encodes code units [i, ...) of one code point; advances i.
std::uint32_t NextCodePoint(const std::u16string& s, std::size_t& i) {
    char16_t c = s[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
        char16_t lo = s[i++];
        return 0x10000 + ((static_cast<std::uint32_t>(c) - 0xD800) << 10) + (lo - 0xDC00);
    }
    return c;  // BMP character or lone surrogate
}

}  // namespace

unistring unistring::FromUTF8(std::string_view in) {
    unistring out;
    out.reserve(in.size());
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    std::size_t n = in.size(), i = 0;
    while (i < n) {
        unsigned char b = p[i];
        std::uint32_t cp;
        std::size_t len;
        if (b < 0x80) {
            cp = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            len = 4;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        bool ok = i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // An overlong form (C0 AF for '/') would let a text pass for another.
        static const std::uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp > 0x10FFFF || cp < kLeast[len]) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string unistring::ToUTF8() const {
    std::string out;
    out.reserve(size());
    for (std::size_t i = 0; i < size();) AppendUTF8(out, NextCodePoint(*this, i));
    return out;
}

char16_t unistring::FoldCase(char16_t c) {
    if (c >= u'A' && c <= u'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;     // Latin-1 capitals
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;  // Greek capitals
    if (c >= 0x410 && c <= 0x42F) return c + 32;                // Cyrillic capitals
    if (c >= 0x400 && c <= 0x40F) return c + 80;                // Cyrillic capitals with marks
    return c;
}

bool unistring::CaseInsensitiveEqual(const unistring& other) const {
    if (size() != other.size()) return false;
    for (std::size_t i = 0; i < size(); ++i)
        if (FoldCase((*this)[i]) != FoldCase(other[i])) return false;
    return true;
}

bool unistring::ConvertToCString(char* buf, std::size_t size, int /*encoding*/) const {
    if (buf == nullptr || size == 0) return empty();
    std::size_t used = 0;
    std::string cp;
    for (std::size_t i = 0; i < this->size();) {
        cp.clear();
        AppendUTF8(cp, NextCodePoint(*this, i));
        if (used + cp.size() + 1 > size) {
            buf[used] = '\0';
            return false;
        }
        std::memcpy(buf + used, cp.data(), cp.size());
        used += cp.size();
    }
    buf[used] = '\0';
    return true;
}

unistring unistring::NumToString(std::int64_t n) {
    return FromUTF8(std::to_string(n));
}
unistring unistring::NumToString(std::uint64_t n) {
    return FromUTF8(std::to_string(n));
}

std::ostream& operator<<(std::ostream& os, const unistring& s) {
    return os << s.ToUTF8();
}

}  // namespace Mirel
