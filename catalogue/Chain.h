// How redo logs chain onto a copy: plain functions over the catalogue, used by the interval
// cycle's choices and by the restart scan. They only look; the caller holds the catalogue lock.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "catalogue/Catalogue.h"

namespace Chain {

// Whether a copy at `msn` is brought exactly to the end of `logs` by applying, in order,
// the logs it does not contain yet (those with a larger MSN).
bool Connects(std::uint64_t msn, const RedoLogSet& logs);

// A copy has caught up when it is not behind the last log of its set.
bool CaughtUp(const DatabaseItem& item);

// After a restart: the logs of older intervals (each with its interval's end) that bring an
// in-progress copy at `msn` to where the item's own logs continue it. `complete` is false
// when no chain exists; the copy is then of no use.
struct Repair {
    bool complete = false;
    std::vector<std::pair<FileInfo, std::uint64_t>> logs;
};
Repair RepairChain(const IntervalMap& intervals, std::uint64_t current,
                   const Mirel::unistring& uuid, std::uint64_t msn);

}  // namespace Chain
