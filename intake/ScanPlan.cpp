#include "intake/ScanPlan.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "platform/support/ErrorCodes.h"

namespace ScanPlan {
namespace {

// The first interval from `from` on that has no last-good folder yet.
IntervalMap::const_iterator FirstToMake(const IntervalMap& intervals,
                                        IntervalMap::const_iterator from) {
    while (from != intervals.end() && !from->second.backup.IsClear()) ++from;
    return from;
}

// The newest MSN each database has in a last-good copy.
std::map<Mirel::unistring, std::uint64_t> NewestCopyMsn(const IntervalMap& intervals) {
    std::map<Mirel::unistring, std::uint64_t> newest;
    for (const auto& [key, interval] : intervals) {
        if (interval.backup.IsClear()) continue;
        for (const auto& [uuid, item] : interval.databases)
            if (!item.upload && !item.file.path.IsClear())
                newest[uuid] = std::max(newest[uuid], item.file.msn);
    }
    return newest;
}

}  // namespace

std::vector<LogPlace> PlaceLogs(const IntervalMap& intervals, std::uint64_t newestGood,
                                const std::vector<FoundLog>& logs) {
    const std::map<Mirel::unistring, std::uint64_t> contained = NewestCopyMsn(intervals);
    std::vector<LogPlace> out;
    out.reserve(logs.size());
    for (const FoundLog& log : logs) {
        LogPlace& p = out.emplace_back();
        auto it = intervals.lower_bound(log.endUTC);
        if (it == intervals.end()) continue;
        auto in = contained.find(log.uuid);
        const bool applied = in != contained.end() && in->second >= log.msn;
        const bool behind =
            !it->second.backup.IsClear() || (it->first != kOpenInterval && it->first < newestGood);
        // Its database failed, and a crash came before the log was set aside. Left in an
        // interval still to be made, the new upload would take it for superseded and delete
        // it; one written after the failure waits there for its announcement, which refuses it.
        if (const std::int32_t number = applied  ? 0
                                        : behind ? log.databaseError
                                                 : log.failedBefore) {
            p.action = LogAction::kSetAside;
            p.number = number;
            continue;
        }
        if (behind && !applied) {
            // Accepted and never applied (a late log of a finished interval, or one cut short
            // by a stop): the first interval still to be made, never a finished one.
            it = FirstToMake(intervals, intervals.upper_bound(newestGood));
            if (it == intervals.end()) continue;
            p.late = true;
        } else if (behind && it->second.backup.IsClear()) {
            // Applied, but its interval published nothing (its logs went on to the next one):
            // it is the first later folder's, as it was before the restart.
            auto next = it;
            while (next != intervals.end() && next->second.backup.IsClear()) ++next;
            if (next != intervals.end()) it = next;
        }
        // Intake placed it after an interval it ends in (its clock went back), and said so.
        if (!applied && it->first <= log.recordedAfter)
            it = FirstToMake(intervals,
                             intervals.upper_bound(std::max(newestGood, log.recordedAfter)));
        if (it == intervals.end()) continue;
        p.action = LogAction::kPlace;
        p.key = it->first;
    }
    return out;
}

std::vector<UploadPlace> PlaceUploads(const IntervalMap& intervals, std::uint64_t newestGood,
                                      const Resumed& resumed,
                                      const std::vector<FoundUpload>& uploads) {
    // An upload below its database's newest last-good copy is an older state, whatever
    // interval it would otherwise serve.
    const std::map<Mirel::unistring, std::uint64_t> newestCopy = NewestCopyMsn(intervals);
    std::vector<UploadPlace> out;
    out.reserve(uploads.size());
    for (const FoundUpload& u : uploads) {
        UploadPlace& p = out.emplace_back();
        // A database that awaits a new full upload is failed until one is announced (an
        // accepted upload clears the record before it is answered): what lies here is either
        // older than the failure or not announced yet.
        if (const std::int32_t number = u.databaseError) {
            // Written before the failure, it is a state the failed logs started from; the new
            // upload the server was asked for replaces it. Not so when no log failed: an
            // upload that could not be moved, a database replaced under its name.
            const bool logsFailed =
                number != Mirel::kErrCopyFailed && number != Mirel::kErrReplaced;
            // Failed for a link where a redo folder was, or for a taken log gone, a database no
            // last-good folder holds keeps its upload: it is the only copy there is.
            bool onlyCopy = number == Mirel::kErrIsALink || number == Mirel::kErrPathNotFound;
            for (auto i = intervals.begin();
                 onlyCopy && i != intervals.end() && i->first <= newestGood; ++i)
                onlyCopy = !i->second.databases.count(u.uuid);
            if (logsFailed && !onlyCopy && u.failedSince != 0 && u.writtenUs < u.failedSince)
                p.action = UploadAction::kDelete;
            continue;
        }
        // Superseded: the newer copy is published, so nothing of the upload is needed (left
        // in place, nothing would ever take it away).
        if (auto n = newestCopy.find(u.uuid); n != newestCopy.end() && u.msn < n->second) {
            p.olderThanNewest = true;
            p.action = UploadAction::kDelete;
            continue;
        }
        // An upload is the state at a log boundary: it belongs to the interval whose log
        // reaches its MSN. Without one, the database has not changed since it was taken up to
        // its next log, and the upload serves the first interval still to be made.
        auto it = intervals.end();
        for (auto i = intervals.begin(); i != intervals.end() && it == intervals.end(); ++i) {
            auto x = i->second.databases.find(u.uuid);
            if (x == i->second.databases.end()) continue;
            for (const FileInfo& log : x->second.logs)
                if (log.msn == u.msn) it = i;
        }
        // Never at or before an end it was accepted after.
        if (it != intervals.end() && it->first <= u.recordedAfter) it = intervals.end();
        if (it != intervals.end() && !it->second.backup.IsClear()) {
            // That interval is published (a late log filed by its end reaches the upload): its
            // item is its last-good copy, which the upload must not take the place of. At the
            // newest copy's state the upload is a good copy of its own, and serves the first
            // interval still to be made (older ones went above).
            it = intervals.end();
        }
        // One accepted after an interval-done file whose interval is still to be made is not
        // part of that interval.
        if (it == intervals.end())
            it = FirstToMake(intervals,
                             intervals.upper_bound(std::max(newestGood, u.recordedAfter)));
        // One whose database already has its in-progress copy came after that start.
        if (it != intervals.end() && resumed.active && it->first == resumed.key &&
            resumed.withCopy.count(u.uuid))
            it = FirstToMake(intervals, std::next(it));
        if (it == intervals.end()) it = intervals.find(kOpenInterval);
        if (it == intervals.end()) continue;
        p.action = UploadAction::kPlace;
        p.key = it->first;
    }
    return out;
}

}  // namespace ScanPlan
