// How redo logs chain onto a copy: plain functions over the catalogue, used by the interval
// cycle's choices and by the restart scan. They only look; the caller holds the catalogue lock.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "catalogue/Items.h"

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

// A log is written after the state it starts from, whatever its end time says (a server
// clock that stepped back): it goes no earlier than the interval of the log that ends at
// its start MSN, or of the upload at that MSN. Intervals with a last-good folder are done and
// take no part.

// The first interval after `from` that holds the log ending at `startMSN` or the upload at
// it, for database `uuid`; `intervals.end()` when none does.
IntervalMap::const_iterator ContinuedLater(const IntervalMap& intervals,
                                           IntervalMap::const_iterator from,
                                           const Mirel::unistring& uuid, std::uint64_t startMSN);

// The logs that sit in an earlier interval than what they continue, with where they go.
// Chains are followed in MSN order, so a log moved carries the logs continuing it. `movable`
// says whether an item's logs may leave it (a copy already brought forward keeps them).
struct Move {
    Mirel::unistring uuid;
    FileInfo log;
    std::uint64_t from = 0, to = 0;
};
std::vector<Move> KeepOrder(const IntervalMap& intervals,
                            const std::function<bool(const DatabaseItem&)>& movable);

}  // namespace Chain
