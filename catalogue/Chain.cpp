#include "catalogue/Chain.h"

#include <map>

namespace Chain {

bool CaughtUp(const DatabaseItem& item) {
    if (item.logs.empty()) return true;
    const FileInfo& last = *item.logs.rbegin();
    return item.file.msn > last.msn ||
           (item.file.msn == last.msn && item.file.endUTC >= last.endUTC);
}

bool Connects(std::uint64_t msn, const RedoLogSet& logs) {
    if (logs.empty()) return true;
    // A copy beyond every log holds changes that were never logged in this interval.
    if (msn > logs.rbegin()->msn) return false;
    std::uint64_t at = msn;
    for (const FileInfo& log : logs) {
        if (log.msn <= at) continue;  // the copy has it already
        if (log.startMSN != at) return false;
        at = log.msn;
    }
    return true;
}

Repair RepairChain(const IntervalMap& intervals, std::uint64_t current,
                   const Mirel::unistring& uuid, std::uint64_t msn) {
    Repair r;
    auto C = intervals.find(current);
    if (C == intervals.end()) return r;
    auto x = C->second.databases.find(uuid);
    if (x == C->second.databases.end()) return r;
    const RedoLogSet& own = x->second.logs;
    if (Connects(msn, own)) {
        r.complete = true;
        return r;
    }
    // Logs of the older intervals by the MSN they start at (a newer interval's wins).
    std::map<std::uint64_t, std::pair<FileInfo, std::uint64_t>> byStart;
    for (auto o = intervals.begin(); o != C; ++o) {
        auto y = o->second.databases.find(uuid);
        if (y == o->second.databases.end()) continue;
        for (const FileInfo& log : y->second.logs)
            if (log.msn > log.startMSN) byStart[log.startMSN] = {log, o->second.mDoneUTC};
    }
    for (std::uint64_t at = msn; r.logs.size() <= byStart.size();) {
        if (Connects(at, own)) {
            r.complete = true;
            return r;
        }
        auto next = byStart.find(at);
        if (next == byStart.end()) break;
        r.logs.push_back(next->second);
        at = next->second.first.msn;
    }
    r.logs.clear();
    return r;
}

}  // namespace Chain
