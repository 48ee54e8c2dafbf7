#include "catalogue/Chain.h"

#include <algorithm>
#include <map>
#include <unordered_map>

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

IntervalMap::const_iterator ContinuedLater(const IntervalMap& intervals,
                                           IntervalMap::const_iterator from,
                                           const Mirel::unistring& uuid, std::uint64_t startMSN) {
    for (auto later = std::next(from); later != intervals.end(); ++later) {
        if (!later->second.backup.IsClear()) continue;
        auto x = later->second.databases.find(uuid);
        if (x == later->second.databases.end()) continue;
        const DatabaseItem& item = x->second;
        if (item.upload && !item.file.path.IsClear() && item.file.msn == startMSN) return later;
        for (const FileInfo& log : item.logs)
            if (log.msn == startMSN && log.msn > log.startMSN) return later;
    }
    return intervals.end();
}

std::vector<Move> KeepOrder(const IntervalMap& intervals,
                            const std::function<bool(const DatabaseItem&)>& movable) {
    struct Entry {
        const FileInfo* log;
        std::uint64_t key;
        bool canMove;
    };
    // By database: its logs, and the latest interval that a state at an MSN is in (looked up
    // by MSN only, once per log of a restart's whole catalogue: hashed). One look-up per item.
    struct Database {
        std::vector<Entry> logs;
        std::unordered_map<std::uint64_t, std::uint64_t> at;
    };
    std::map<Mirel::unistring, Database> dbs;
    for (const auto& [key, interval] : intervals) {
        if (!interval.backup.IsClear()) continue;
        auto hint = dbs.begin();
        for (const auto& [uuid, item] : interval.databases) {
            const bool upload = item.upload && !item.file.path.IsClear();
            if (!upload && item.logs.empty()) continue;
            // Both maps are in uuid order: the next database is most often the one after the
            // last.
            if (hint != dbs.end() && hint->first < uuid) ++hint;
            if (hint == dbs.end() || hint->first != uuid) {
                hint = dbs.lower_bound(uuid);
                if (hint == dbs.end() || hint->first != uuid)
                    hint = dbs.emplace_hint(hint, uuid, Database());
            }
            Database& db = hint->second;
            if (upload) {
                std::uint64_t& k = db.at[item.file.msn];
                k = std::max(k, key);
            }
            if (item.logs.empty()) continue;
            const bool canMove = movable(item);
            for (const FileInfo& log : item.logs)
                if (log.msn > log.startMSN) db.logs.push_back({&log, key, canMove});
        }
    }
    std::vector<Move> moves;
    for (auto& [uuid, db] : dbs) {
        auto& entries = db.logs;
        // The log a chain continues ends at a lower MSN than its successor starts past.
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            return a.log->startMSN < b.log->startMSN;
        });
        std::unordered_map<std::uint64_t, std::uint64_t>& where = db.at;
        where.reserve(where.size() + entries.size());
        for (const Entry& e : entries) {
            std::uint64_t key = e.key;
            auto before = where.find(e.log->startMSN);
            if (before != where.end() && before->second > key && e.canMove) {
                moves.push_back({uuid, *e.log, key, before->second});
                key = before->second;
            }
            std::uint64_t& k = where[e.log->msn];
            k = std::max(k, key);
        }
    }
    return moves;
}

}  // namespace Chain
