#include "platform/framework/Retention.h"

#include <algorithm>

namespace Talon {

std::set<std::uint64_t> KeptRestorePoints(std::vector<std::uint64_t> ends, std::int64_t slots,
                                          std::int64_t hours, std::uint64_t from) {
    std::set<std::uint64_t> kept;
    if (ends.empty()) return kept;
    std::sort(ends.begin(), ends.end(), std::greater<std::uint64_t>());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    kept.insert(ends.front());
    for (std::size_t i = 0; i < ends.size() && static_cast<std::int64_t>(i) < slots; ++i)
        kept.insert(ends[i]);
    if (hours > 0) {
        const std::uint64_t span = static_cast<std::uint64_t>(hours) * Retention::kHour;
        const std::uint64_t oldest = from > span ? from - span : 0;
        for (std::uint64_t end : ends)
            if (end > oldest) kept.insert(end);
    }
    return kept;
}

}  // namespace Talon
