#include "scheduler/IntervalPlan.h"

#include <algorithm>
#include <map>

#include "platform/support/ErrorCodes.h"

namespace IntervalPlan {

using Chain::Connects;

namespace {

bool Finished(const Interval& i) {
    return !i.backup.IsClear();
}

// A copy that lies in a last-good folder (not an upload waiting in the copies folder).
bool HasLastGoodCopy(const DatabaseItem& item) {
    return !item.upload && !item.file.path.IsClear();
}

// A last-good copy that may start an interval: one whose bytes can be checked against its
// manifest line, and were not found to differ from it.
bool Checkable(const DatabaseItem& item) {
    return item.line.known && !item.damaged;
}

}  // namespace

std::vector<FileInfo> UnchainedLogs(const RedoLogSet& logs) {
    // The order the server wrote them in: by end, except that a log continuing the chain
    // after logs that end later was written after them, whatever its time says (the
    // server's clock went back, or a late log). In MSN order, every log it follows comes
    // first, so their places are known.
    std::vector<std::pair<std::uint64_t, const FileInfo*>> placed;
    for (const FileInfo& log : logs) {
        std::uint64_t when = log.endUTC;
        for (const auto& [at, other] : placed)
            if (other->msn > other->startMSN && other->msn <= log.startMSN &&
                other->endUTC > log.endUTC)
                when = std::max(when, at);
        placed.emplace_back(when, &log);
    }
    // Equal places keep their MSN order (a log placed after another shares its place).
    std::stable_sort(placed.begin(), placed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FileInfo> out;
    if (placed.size() < 2) return out;
    std::size_t breakPoint = 0;
    for (std::size_t f = placed.size() - 1; f > 0; --f) {
        const FileInfo& e = *placed[f - 1].second;
        if (e.closed && e.msn != placed[f].second->startMSN) {
            breakPoint = f;
            break;
        }
    }
    for (std::size_t e = breakPoint; e > 0; --e) out.push_back(*placed[e - 1].second);
    return out;
}

IntervalMap::const_iterator PreviousLastGood(const IntervalMap& intervals, std::uint64_t current) {
    auto it = intervals.lower_bound(current);
    while (it != intervals.begin()) {
        --it;
        if (Finished(it->second)) return it;
    }
    return intervals.end();
}

std::vector<Choice> ChooseStartingCopies(
    const IntervalMap& intervals, std::uint64_t current,
    const std::function<bool(const Mirel::unistring&)>& hasCopy,
    const std::set<Mirel::unistring>& failed, const std::set<std::uint64_t>* kept) {
    std::vector<Choice> out;
    auto C = intervals.find(current);
    if (C == intervals.end() || Finished(C->second)) return out;
    auto P = PreviousLastGood(intervals, current);

    std::set<Mirel::unistring> uuids;
    for (const auto& [uuid, item] : C->second.databases) uuids.insert(uuid);
    if (P != intervals.end())
        for (const auto& [uuid, item] : P->second.databases)
            if (HasLastGoodCopy(item)) uuids.insert(uuid);
    for (auto o = intervals.begin(); o != C; ++o)
        for (const auto& [uuid, item] : o->second.databases)
            if (item.upload && !item.file.path.IsClear()) uuids.insert(uuid);

    for (const Mirel::unistring& uuid : uuids) {
        Choice c;
        c.uuid = uuid;
        auto x = C->second.databases.find(uuid);
        const DatabaseItem* X = x == C->second.databases.end() ? nullptr : &x->second;
        // The server listed it as failed for this interval: its state at the end is not
        // known, so its older copy is neither carried nor brought forward.
        if (X && X->pfailed && X->logs.empty() && !X->upload) {
            out.push_back(c);
            continue;
        }
        // A failed database stays out until a new full upload brings it back.
        if (failed.count(uuid) && !(X && X->upload)) {
            bool waiting = false;
            for (auto o = intervals.begin(); o != C; ++o) {
                auto y = o->second.databases.find(uuid);
                waiting |= y != o->second.databases.end() && y->second.upload;
            }
            if (!waiting) {
                out.push_back(c);
                continue;
            }
        }
        if (X && hasCopy(uuid)) {
            c.source = Source::kKeep;
            out.push_back(c);
            continue;
        }

        // Walk back: the newest older copy (lg), the one before it (pg), and an upload
        // that is newer than lg.
        const DatabaseItem* lg = nullptr;
        const DatabaseItem* pg = nullptr;
        for (auto o = std::make_reverse_iterator(C); o != intervals.rend() && !pg; ++o) {
            auto y = o->second.databases.find(uuid);
            if (y == o->second.databases.end()) continue;
            const DatabaseItem& Y = y->second;
            if (Y.upload && !Y.file.path.IsClear()) {
                if (!lg && !c.oldUpload && !(X && X->upload)) c.oldUpload = o->first;
                continue;
            }
            if (!Finished(o->second) || Y.file.path.IsClear()) continue;
            if (!lg) {
                lg = &Y;
                c.lg = o->first;
            } else {
                pg = &Y;
                c.pg = o->first;
            }
        }

        RedoLogSet logs = X ? X->logs : RedoLogSet();
        for (const FileInfo& gone : UnchainedLogs(logs)) logs.erase(gone);

        // An upload below the newest last-good copy's MSN is an older state of the database
        // (one accepted after an interval-done file whose interval a newer upload then
        // reached): it never starts a later interval. Nobody takes it; it goes as superseded.
        const bool olderUpload = X && X->upload && lg && X->file.msn < lg->file.msn;
        if (X && X->upload && !olderUpload) {
            c.source = Source::kUpload;
        } else if (c.oldUpload) {
            c.source = Source::kOldUpload;
        } else if (!logs.empty()) {
            if (!lg) {
                c.failure = 10711;
            } else {
                c.lgConnects = Connects(lg->file.msn, logs);
                if (!Checkable(*lg)) {
                    // Only an older copy with the newest one's logs can stand in for it.
                    c.failure = c.lgConnects ? Mirel::kErrCopyDamaged : 10711;
                    c.lgConnects = false;
                }
                // Moving the older copy would take it out of a restore point that is kept.
                if (pg && Checkable(*pg) && !X->noShortcut && !(kept && kept->count(c.pg))) {
                    const std::uint64_t p = pg->file.msn;
                    bool connects = p == lg->file.msn ||
                                    (!lg->logs.empty() && p == lg->logs.begin()->startMSN) ||
                                    p == logs.begin()->startMSN;
                    bool merge =
                        !lg->logs.empty() && logs.begin()->startMSN != lg->logs.begin()->startMSN;
                    RedoLogSet merged = logs;
                    if (merge) merged.insert(lg->logs.begin(), lg->logs.end());
                    // The merged chain must lead from pg to exactly where the item's own
                    // logs end; anything else would publish another state.
                    if (connects && Connects(p, merged) &&
                        merged.rbegin()->msn == logs.rbegin()->msn) {
                        c.source = Source::kMovePg;
                        c.mergeLg = merge;
                    }
                }
                if (c.source != Source::kNone)
                    c.failure = 0;
                else if (c.lgConnects)
                    c.source = Source::kLinkLg;
                else if (c.failure == 0)
                    c.failure = 10711;
            }
        } else if (lg && P != intervals.end() && c.lg == P->first) {
            // Carried forward unread, it takes its line: without one it cannot be carried.
            if (Checkable(*lg))
                c.source = Source::kCarryForward;
            else
                c.failure = Mirel::kErrCopyDamaged;
        }
        // A database without logs whose newest copy is older than the previous last-good
        // folder failed or was listed as failed there: it is not brought back.
        out.push_back(c);
    }
    return out;
}

Mirel::UniversalPath UploadTarget(const Mirel::UniversalPath& upload,
                                  const Mirel::UniversalPath& copies) {
    Mirel::UniversalPath rel = upload;
    if (!rel.SetRelativeTo(copies).OK() || !rel.IsRelative()) return Mirel::UniversalPath();
    if (rel.CountPathElements() > 1) rel.DeletePathElement(0);
    return rel;
}

std::vector<Replacement> ChooseReplacements(
    const IntervalMap& intervals, std::uint64_t current, const std::vector<Choice>& choices,
    const Mirel::UniversalPath& copies,
    const std::function<std::uint64_t(const Mirel::UniversalPath&)>& writtenAt) {
    std::vector<Replacement> out;
    auto C = intervals.find(current);
    if (C == intervals.end()) return out;
    auto itemOf = [&](std::uint64_t key, const Mirel::unistring& uuid) -> const DatabaseItem* {
        auto i = intervals.find(key);
        if (i == intervals.end()) return nullptr;
        auto y = i->second.databases.find(uuid);
        return y == i->second.databases.end() ? nullptr : &y->second;
    };
    struct Claim {
        int rank;  // 3: already in place, 2: an upload, 1: an older copy brought in
        Mirel::unistring uuid;
        bool upload = false;  // an upload, or in place as one no log has written to
        // An upload's age: the interval it waits in, then when its file was written (looked
        // at only where two claim one name).
        std::uint64_t interval = 0, written = 0;
        const DatabaseItem* from = nullptr;
    };
    // By name whatever its letters' case: the server's names are case-blind ("DB1.vdb" is
    // "db1.VDB"), though the files are two here.
    std::map<std::string, std::pair<Mirel::UniversalPath, std::vector<Claim>>> claims;
    for (const Choice& c : choices) {
        const DatabaseItem* from = nullptr;
        int rank = 1;
        std::uint64_t interval = 0;
        switch (c.source) {
            case Source::kKeep:
                from = itemOf(current, c.uuid);
                rank = 3;
                interval = current;  // its age, should it be an upload no log wrote to
                break;
            case Source::kUpload:
                from = itemOf(current, c.uuid);
                rank = 2;
                interval = current;
                break;
            case Source::kOldUpload:
                from = itemOf(c.oldUpload, c.uuid);
                rank = 2;
                interval = c.oldUpload;
                break;
            case Source::kMovePg:
                from = itemOf(c.pg, c.uuid);
                break;
            case Source::kLinkLg:
            case Source::kCarryForward:
                from = itemOf(c.lg, c.uuid);
                break;
            case Source::kNone:
                break;
        }
        if (!from || from->file.path.IsClear()) continue;
        Mirel::UniversalPath name =
            rank == 2 ? UploadTarget(from->file.path, copies) : from->file.path;
        if (name.IsClear()) continue;
        Claim k{rank, c.uuid, rank == 2 || (rank == 3 && from->pristine), interval, 0, from};
        std::string folded = name.Native();
        for (char& ch : folded)
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        auto& entry = claims[folded];
        if (entry.second.empty()) entry.first = name;
        entry.second.push_back(k);
    }
    for (auto& [folded, claim] : claims) {
        auto& [name, list] = claim;
        if (list.size() < 2) continue;
        if (writtenAt)
            for (Claim& k : list)
                if (k.upload) k.written = writtenAt(k.from->file.path);
        int top = 0;
        for (const Claim& k : list) top = std::max(top, k.rank);
        if (top < 2) continue;
        // Of two uploads under one name, the newer is the server's database now: the older
        // one's was dropped after it was sent. Uploads of the same age are left alone.
        auto age = [](const Claim& k) { return std::make_pair(k.interval, k.written); };
        const Claim* owner = nullptr;
        int atTop = 0;
        for (const Claim& k : list) {
            if (k.rank != top) continue;
            if (!owner || (top == 2 && age(k) > age(*owner))) {
                owner = &k;
                atTop = 1;
            } else if (top != 2 || age(k) == age(*owner)) {
                ++atTop;
            }
        }
        if (atTop != 1) continue;
        for (const Claim& k : list)
            if (k.uuid != owner->uuid &&
                (k.rank == 1 || (top == 2 && k.rank == 2) ||
                 (top == 3 && k.rank == 2 && owner->upload && age(k) < age(*owner))))
                out.push_back({k.uuid, owner->uuid, name});
    }
    return out;
}

std::set<std::uint64_t> KeptFolders(const IntervalMap& intervals, std::uint64_t current,
                                    const Talon::Retention& retention) {
    std::vector<std::uint64_t> ends;
    for (auto it = intervals.begin(); it != intervals.end() && it->first < current; ++it)
        if (Finished(it->second)) ends.push_back(it->first);
    // The open interval has no end yet: ages are then measured from the newest folder's.
    const std::uint64_t from = current != kOpenInterval || ends.empty() ? current : ends.back();
    return Talon::KeptRestorePoints(ends, retention.count - 1, retention.hours, from);
}

std::vector<Removal> ChoosePruning(const IntervalMap& intervals, std::uint64_t current,
                                   const std::set<std::uint64_t>* kept) {
    std::vector<Removal> out;
    auto P = PreviousLastGood(intervals, current);
    if (P == intervals.end()) return out;
    // The newest last-good copy of each database, by interval.
    std::map<Mirel::unistring, std::uint64_t> newest;
    for (auto it = intervals.begin(); it != intervals.end() && it->first <= P->first; ++it) {
        if (!Finished(it->second)) continue;
        for (const auto& [uuid, item] : it->second.databases)
            if (HasLastGoodCopy(item)) newest[uuid] = it->first;
    }
    for (auto o = intervals.begin(); o != P; ++o) {
        if (!Finished(o->second) || (kept && kept->count(o->first))) continue;
        for (const auto& [uuid, item] : o->second.databases) {
            auto n = newest.find(uuid);
            bool newerCopy = n != newest.end() && n->second > o->first;
            if (item.upload && !item.file.path.IsClear()) {
                // An upload nobody took: a newer copy made it unnecessary.
                if (newerCopy) out.push_back({o->first, uuid});
            } else if (HasLastGoodCopy(item)) {
                if (newerCopy) out.push_back({o->first, uuid});
            } else {
                out.push_back({o->first, uuid});
            }
        }
    }
    return out;
}

}  // namespace IntervalPlan
