#include "tools/ibsdb/Common.h"

#include <cstdio>

#include "platform/support/DateTime.h"

namespace ibsdb {

namespace {

constexpr std::uint64_t kSecond = 1000000;

bool Digits(const std::string& s, std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size()) return false;
    out = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

const char* ExitName(int code) {
    switch (code) {
        case kOk:
            return "OK";
        case kWarning:
            return "WARNING";
        case kCritical:
            return "CRITICAL";
        default:
            return "UNKNOWN";
    }
}

std::string TimeText(std::uint64_t utc) {
    Mirel::DateTime dt(0);
    dt.SetMicroSecSinceEpoch(utc, 6);
    return dt.AsUnistring(Mirel::Locale(2)).ToUTF8();
}

std::string IsoTime(std::uint64_t utc) {
    std::string t = TimeText(utc);
    if (t.size() < 11) return t;
    t[10] = 'T';
    return t + "Z";
}

std::string DurationText(std::int64_t micro) {
    std::string sign = micro < 0 ? "-" : "";
    std::uint64_t s = static_cast<std::uint64_t>(micro < 0 ? -micro : micro) / kSecond;
    std::uint64_t d = s / 86400, h = s / 3600 % 24, m = s / 60 % 60, sec = s % 60;
    char buf[64];
    if (d > 0)
        std::snprintf(buf, sizeof buf, "%llud %lluh", static_cast<unsigned long long>(d),
                      static_cast<unsigned long long>(h));
    else if (h > 0)
        std::snprintf(buf, sizeof buf, "%lluh %llum", static_cast<unsigned long long>(h),
                      static_cast<unsigned long long>(m));
    else if (m > 0)
        std::snprintf(buf, sizeof buf, "%llum %llus", static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(sec));
    else
        std::snprintf(buf, sizeof buf, "%llus", static_cast<unsigned long long>(sec));
    return sign + buf;
}

std::string SizeText(std::uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double v = static_cast<double>(bytes);
    int u = -1;
    while (v >= 1024 && u < 3) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, v < 10 ? "%.1f %s" : "%.0f %s", v, units[u]);
    return buf;
}

bool ParseDuration(const std::string& text, std::uint64_t& micro) {
    if (AllDigits(text)) {
        if (text.size() > 12) return false;
        micro = std::stoull(text) * kSecond;
        return true;
    }
    micro = 0;
    std::size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        if (i == start || i - start > 9 || i == text.size()) return false;
        std::uint64_t n = std::stoull(text.substr(start, i - start));
        std::uint64_t unit;
        switch (text[i]) {
            case 's':
                unit = kSecond;
                break;
            case 'm':
                unit = 60 * kSecond;
                break;
            case 'h':
                unit = 3600 * kSecond;
                break;
            case 'd':
                unit = 86400 * kSecond;
                break;
            default:
                return false;
        }
        micro += n * unit;
        ++i;
        any = true;
    }
    return any;
}

bool ParseTime(const std::string& text, std::uint64_t& utc) {
    if (AllDigits(text) && text.size() > 10) {  // microseconds, as the service's files hold them
        if (text.size() > 19) return false;
        utc = std::stoull(text);
        return true;
    }
    // The zone last: "Z", or an offset "+HH", "+HHMM", "+HH:MM" (or '-'), after the time
    // or a space. Without one the time is UTC.
    std::string t = text;
    std::int64_t offset = 0;  // seconds east of UTC
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    } else if (t.size() > 16) {
        const std::size_t sign = t.find_last_of("+-");
        if (sign != std::string::npos && sign >= 16) {
            const std::string z = t.substr(sign + 1);
            int oh = 0, om = 0;
            const bool ok =
                (z.size() == 2 && Digits(z, 0, 2, oh)) ||
                (z.size() == 4 && Digits(z, 0, 2, oh) && Digits(z, 2, 2, om)) ||
                (z.size() == 5 && z[2] == ':' && Digits(z, 0, 2, oh) && Digits(z, 3, 2, om));
            if (!ok || oh > 14 || om > 59) return false;
            offset = (t[sign] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
            t.erase(sign);
        }
    }
    if (t.size() > 10 && t.back() == ' ') t.pop_back();
    int y, mo, d, h = 0, mi = 0, s = 0, us = 0;
    if (!Digits(t, 0, 4, y) || t.size() < 10 || t[4] != '-' || !Digits(t, 5, 2, mo) ||
        t[7] != '-' || !Digits(t, 8, 2, d))
        return false;
    if (t.size() > 10) {
        if ((t[10] != ' ' && t[10] != 'T') || !Digits(t, 11, 2, h) || t.size() < 16 ||
            t[13] != ':' || !Digits(t, 14, 2, mi))
            return false;
        if (t.size() > 16) {
            if (t[16] != ':' || !Digits(t, 17, 2, s)) return false;
            if (t.size() > 19) {
                std::size_t n = t.size() - 20;
                if (t[19] != '.' || n < 1 || n > 6 || !Digits(t, 20, n, us)) return false;
                for (std::size_t k = n; k < 6; ++k) us *= 10;
            }
        }
    }
    const std::uint64_t local = Mirel::DateTime::FromCalendar(y, mo, d, h, mi, s, us);
    if (local == 0) return false;
    const std::int64_t shifted = static_cast<std::int64_t>(local) - offset * 1000000;
    if (shifted <= 0) return false;
    utc = static_cast<std::uint64_t>(shifted);
    return true;
}

std::uint64_t LastGoodNameTime(const std::string& name, bool* exact) {
    static const std::string prefix = "LastGood_";
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    std::string s = name.substr(prefix.size());
    int y, mo, d, h, mi, sec = 0, us = 0;
    if (s.size() < 15 || !Digits(s, 0, 4, y) || s[4] != '-' || !Digits(s, 5, 2, mo) ||
        s[7] != '-' || !Digits(s, 8, 2, d) || s[10] != '_' || !Digits(s, 11, 2, h) ||
        !Digits(s, 13, 2, mi))
        return 0;
    bool longForm = s.size() > 15;
    // The long form: "_SS.ffffff", the exact end of an interval that shares its minute.
    if (longForm && (s.size() != 25 || s[15] != '_' || !Digits(s, 16, 2, sec) || s[18] != '.' ||
                     !Digits(s, 19, 6, us)))
        return 0;
    if (exact) *exact = longForm;
    return Mirel::DateTime::FromCalendar(y, mo, d, h, mi, sec, us);
}

std::uint64_t NowUTC() {
    return Mirel::DateTime::NowUTC();
}

}  // namespace ibsdb
