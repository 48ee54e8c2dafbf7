#include "platform/support/DateTime.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace Mirel {

namespace {
constexpr std::uint64_t kMicro = 1000000;
// 9999-12-31 23:59:59.999999 UTC.
constexpr std::uint64_t kMaxRenderable = 253402300799ULL * kMicro + 999999;

// Days since 1970-01-01 for a civil date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
}  // namespace

DateTime::DateTime(int initType) {
    if (initType == 1) {
        mUtc = NowUTC();
        mValid = true;
    }
}

void DateTime::SetMicroSecSinceEpoch(std::uint64_t utc, int precision) {
    mUtc = utc;
    mPrecision = precision < 0 ? 0 : (precision > 6 ? 6 : precision);
    mValid = true;
}

unistring DateTime::AsUnistring(const Locale& /*locale*/) const {
    if (!mValid || mUtc > kMaxRenderable) return unistring();
    std::time_t secs = static_cast<std::time_t>(mUtc / kMicro);
    unsigned micro = static_cast<unsigned>(mUtc % kMicro);
    std::tm tm{};
    if (::gmtime_r(&secs, &tm) == nullptr) return unistring();
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                          tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (mPrecision > 0) {
        char frac[8];
        std::snprintf(frac, sizeof frac, "%06u", micro);
        frac[mPrecision] = '\0';
        std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), ".%s", frac);
    }
    return unistring::FromUTF8(buf);
}

std::uint64_t DateTime::NowUTC() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

std::uint64_t DateTime::FromCalendar(int year, int month, int day, int hour, int minute, int second,
                                     int micro) {
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || micro < 0 ||
        micro > 999999)
        return 0;
    std::int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    // Reject dates like 02-31 that roll over into the next month.
    std::int64_t next = DaysFromCivil(year, static_cast<unsigned>(month), 1);
    std::int64_t nextMonth = month == 12 ? DaysFromCivil(year + 1, 1, 1)
                                         : DaysFromCivil(year, static_cast<unsigned>(month + 1), 1);
    if (days < next || days >= nextMonth) return 0;
    std::int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<std::uint64_t>(secs) * kMicro + static_cast<std::uint64_t>(micro);
}

std::string UtcText(std::uint64_t utc, int digits) {
    DateTime t;
    t.SetMicroSecSinceEpoch(utc, digits);
    const std::string text = t.AsUnistring(Locale(2)).ToUTF8();
    return text.empty() ? std::to_string(utc) : text + " UTC";
}

}  // namespace Mirel
