// The interval scheduler's decisions as plain functions over the catalogue. They only
// look; the manager's operations carry their plans out. The caller holds the catalogue lock.
//
// What they keep true, for a user who restores from the newest last-good folder:
//  - a last-good copy is only ever made from a copy that is exact at some interval's end,
//    brought forward by a chain of logs that starts at its MSN;
//  - every database the previous last-good folder holds goes into the next one (a database
//    without logs is carried forward unchanged), unless the server listed it as failed;
//  - a database's newest last-good copy is never chosen for removal.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "catalogue/Chain.h"
#include "catalogue/Items.h"
#include "platform/framework/Retention.h"

namespace IntervalPlan {

// The logs that no longer chain to the newest ones: everything before the newest break
// after a log that closed its database (the server started the database afresh), in the
// order the server wrote them: a log that continues the chain after logs ending later than
// it was written after them, whatever its end says.
std::vector<FileInfo> UnchainedLogs(const RedoLogSet& logs);

enum class Source {
    kNone,          // no copy: skipped, or failed with `failure`
    kKeep,          // its in-progress copy is already there (a start cut short)
    kUpload,        // the item's own upload
    kOldUpload,     // an upload waiting in an older interval
    kMovePg,        // the second-newest copy, moved, with the newest one's logs merged
    kLinkLg,        // a link to (or a copy of) the newest copy, which its logs continue
    kCarryForward,  // no logs: a link to the copy in the previous last-good folder
};

struct Choice {
    Mirel::unistring uuid;
    Source source = Source::kNone;
    std::uint64_t lg = 0;         // interval holding the newest older copy (0: none)
    std::uint64_t pg = 0;         // interval holding the second-newest (0: none)
    std::uint64_t oldUpload = 0;  // interval whose upload is taken over (0: none)
    bool mergeLg = false;         // kMovePg: lg's logs join the item's
    bool lgConnects = false;      // lg is a usable fallback should the move of pg fail
    std::int32_t failure = 0;     // kNone: 10711 when it needs a copy and none connects
};

// Where each database of the interval `current` gets its in-progress copy: every database
// of the interval, every database with a copy in the previous last-good folder, and every
// database with an upload still waiting in an older interval. `hasCopy(uuid)` tells
// whether the item already has its in-progress copy. `failed` are the databases refused
// until a new upload.
// `kept` are the finished intervals whose folders the retention policy keeps whole: no copy
// is moved out of them (the newest folder is always among them; null: only that one).
std::vector<Choice> ChooseStartingCopies(
    const IntervalMap& intervals, std::uint64_t current,
    const std::function<bool(const Mirel::unistring&)>& hasCopy,
    const std::set<Mirel::unistring>& failed, const std::set<std::uint64_t>* kept = nullptr);

// Where an upload lands in the in-progress folder: its path below its own upload folder (the
// first folder below `copies`), or its name when it lies directly in `copies`.
Mirel::UniversalPath UploadTarget(const Mirel::UniversalPath& upload,
                                  const Mirel::UniversalPath& copies);

// A database whose file name another database's copy claims in the in-progress folder: the
// server dropped it and made a new one under the name. The new one owns the name: a copy
// already in the in-progress folder, else the newest upload, beats an older copy that would
// be carried, linked or moved there, and an older upload. Of uploads, the newer waits in a
// newer interval, or in the same one was written later (`writtenAt`, microseconds). A copy
// in place that is an upload no log has written to yet (moved before a restart) is an
// upload of the interval as well: an older upload claiming its name is replaced by it, as it
// would have been before the move (`writtenAt` is then given its path in the in-progress
// folder, relative). Claims that cannot be told apart are left alone.
struct Replacement {
    Mirel::unistring old, fresh;
    Mirel::UniversalPath name;  // relative to the in-progress folder
};
std::vector<Replacement> ChooseReplacements(
    const IntervalMap& intervals, std::uint64_t current, const std::vector<Choice>& choices,
    const Mirel::UniversalPath& copies,
    const std::function<std::uint64_t(const Mirel::UniversalPath&)>& writtenAt = nullptr);

// The finished intervals before `current` whose last-good folders the retention policy keeps
// whole while `current` is made: the interval being made counts as one restore point, ages
// are measured from its end. The default policy keeps the newest one only.
std::set<std::uint64_t> KeptFolders(const IntervalMap& intervals, std::uint64_t current,
                                    const Talon::Retention& retention);

// Copies that can go: in the last-good folders older than the newest one before `current`
// and not in `kept` (null: the newest one only), every copy of a database that has a newer
// last-good copy, every upload that a newer copy made unnecessary, and every item that
// holds no copy at all. Never a database's newest last-good copy.
struct Removal {
    std::uint64_t interval;
    Mirel::unistring uuid;
};
std::vector<Removal> ChoosePruning(const IntervalMap& intervals, std::uint64_t current,
                                   const std::set<std::uint64_t>* kept = nullptr);

// The newest finished interval before `current` (intervals.end() when none).
IntervalMap::const_iterator PreviousLastGood(const IntervalMap& intervals, std::uint64_t current);

}  // namespace IntervalPlan
