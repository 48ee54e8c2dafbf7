#pragma once

#include <cstdint>
#include <string>

#include "platform/support/unistring.h"

namespace Mirel {

// How a DateTime is rendered. Type 2 is UTC in the ISO-like form
// "YYYY-MM-DD HH:MM:SS.ffffff", the only form the service needs.
class Locale {
public:
    explicit Locale(int type = 2) : mType(type) {}
    int GetType() const { return mType; }

private:
    int mType;
};

class DateTime {
public:
    explicit DateTime(int initType = 0);  // 0: empty; 1: now
    // `precision` is the count of fraction digits kept (clamped to 6); 32767 means all.
    void SetMicroSecSinceEpoch(std::uint64_t utc, int precision);
    std::uint64_t GetMicroSecSinceEpoch() const { return mUtc; }
    bool IsValid() const { return mValid; }
    // Empty text when the time cannot be rendered (unset, or past year 9999).
    unistring AsUnistring(const Locale& locale) const;

    static std::uint64_t NowUTC();
    // Microseconds since the epoch of a calendar time in UTC; 0 when out of range.
    static std::uint64_t FromCalendar(int year, int month, int day, int hour, int minute,
                                      int second, int micro);

private:
    std::uint64_t mUtc = 0;
    int mPrecision = 6;
    bool mValid = false;
};

// A UTC time as people read it, wherever the service or its tools print one:
// "2026-01-01 00:10:54 UTC", or with `digits` (1 to 6) of the second's fraction
// "2026-01-01 00:10:54.562374 UTC". A time that cannot be shown prints as its microseconds.
std::string UtcText(std::uint64_t utc, int digits = 0);

}  // namespace Mirel
