// How many restore points (last-good folders) are kept whole, and for how long: preferences
// 82 and 83, read by the service and by ibsdb expire, decided by one rule.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

namespace Talon {

struct Retention {
    // The default keeps what the service always kept: the newest folder whole while the next
    // interval is made, so two whole folders at rest.
    static constexpr std::int64_t kDefaultCount = 2;
    static constexpr std::int64_t kMaxCount = 100000;
    static constexpr std::int64_t kMaxHours = 24 * 365 * 100;
    static constexpr std::uint64_t kHour = 3600ull * 1000000;

    std::int64_t count = kDefaultCount;  // restore points kept, counted from the newest
    std::int64_t hours = 0;              // kept while younger than this (0: no time rule)

    bool IsDefault() const { return count == kDefaultCount && hours == 0; }
};

// Of the last-good folders with interval ends `ends`, those kept whole: the newest `slots`,
// every one whose end is less than `hours` before `from`, and always the newest. The
// service calls it at an interval's start with `from` that interval's end and `slots` one
// less than the count (the folder being made is one of the count); ibsdb expire with `from`
// the newest folder's end and `slots` the count.
std::set<std::uint64_t> KeptRestorePoints(std::vector<std::uint64_t> ends, std::int64_t slots,
                                          std::int64_t hours, std::uint64_t from);

}  // namespace Talon
