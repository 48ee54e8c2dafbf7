// The interval decisions and where a restart puts what it finds, case by case, on catalogues
// built in memory.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <tuple>

#include "intake/ScanPlan.h"
#include "platform/support/ErrorCodes.h"
#include "scheduler/IntervalPlan.h"

using IntervalPlan::Choice;
using IntervalPlan::Source;
using Mirel::unistring;
using Mirel::UniversalPath;
using ScanPlan::FoundLog;
using ScanPlan::FoundUpload;
using ScanPlan::LogAction;
using ScanPlan::UploadAction;

namespace {

const unistring kA = u"aaaaaaaa-0000-4000-8000-000000000001";
const unistring kB = u"bbbbbbbb-0000-4000-8000-000000000002";

FileInfo Log(std::uint64_t start, std::uint64_t msn, std::uint64_t end, bool closed = false) {
    return FileInfo(UniversalPath::FromNative("/b/Changes/Redo_1/" + std::to_string(msn) + ".vrl"),
                    msn, start, end, closed);
}

using Pruned = std::set<std::pair<std::uint64_t, unistring>>;

// A small catalogue: intervals by end; a finished one has a last-good folder.
class Catalogue {
public:
    explicit Catalogue(std::initializer_list<std::uint64_t> finished = {}, std::uint64_t open = 0) {
        for (std::uint64_t end : finished) Add(end, true);
        if (open) Add(open, false);
    }
    Interval& Add(std::uint64_t end, bool finished) {
        Interval& i = map[end];
        i.mDoneUTC = end;
        if (finished)
            i.backup =
                Mirel::Directory(UniversalPath::Folder("/b/LastGood_" + std::to_string(end)));
        return i;
    }
    DatabaseItem& Copy(std::uint64_t end, const unistring& uuid, std::uint64_t msn,
                       bool upload = false) {
        DatabaseItem& item = map.at(end).databases[uuid];
        item.SetFile(UniversalPath::FromNative(upload ? "/b/Copies/u/db.vdb" : "db.vdb"), uuid, msn,
                     upload, true);
        if (!upload) item.line = ManifestLine{true, 1536, 0x5fdb773a};  // as its folder lists it
        return item;
    }
    DatabaseItem& Logs(std::uint64_t end, const unistring& uuid, std::vector<FileInfo> logs) {
        DatabaseItem& item = map.at(end).databases[uuid];
        for (auto& l : logs) item.logs.insert(l);
        return item;
    }
    Choice Choose(std::uint64_t current, const unistring& uuid,
                  const std::set<unistring>& failed = {}, bool hasCopy = false,
                  const std::set<std::uint64_t>* kept = nullptr) const {
        for (const Choice& c : IntervalPlan::ChooseStartingCopies(
                 map, current, [&](const unistring&) { return hasCopy; }, failed, kept))
            if (c.uuid == uuid) return c;
        Choice none;
        none.uuid = u"(no choice)";
        return none;
    }
    IntervalMap map;
};

TEST(PlanTest, ConnectsFollowsTheChainFromTheCopy) {
    RedoLogSet chain = {Log(10, 12, 1), Log(12, 15, 2), Log(15, 15, 3), Log(15, 19, 4)};
    struct Row {
        std::uint64_t msn;
        bool connects;
    } rows[] = {
        {10, true},   // from the start
        {12, true},   // the first log is contained already
        {15, true},   // a log that leaves the MSN changes nothing
        {19, true},   // every log contained
        {11, false},  // between two log boundaries: no log starts there
        {9, false},   // before the first log
        {20, false},  // beyond every log: a state this interval never logged
    };
    for (const Row& r : rows) EXPECT_EQ(Chain::Connects(r.msn, chain), r.connects) << r.msn;
    EXPECT_TRUE(Chain::Connects(7, {}));
    RedoLogSet gap = {Log(10, 12, 1), Log(13, 15, 2)};
    EXPECT_FALSE(Chain::Connects(10, gap));
}

TEST(PlanTest, LogsBeforeTheNewestBreakAfterAClosedLogAreUnchained) {
    using Msns = std::vector<std::uint64_t>;
    auto gone = [](const RedoLogSet& logs) {
        Msns out;
        for (const FileInfo& l : IntervalPlan::UnchainedLogs(logs)) out.push_back(l.msn);
        return out;
    };
    // The log at 10 closed its database and the one at 20 does not continue it: 10 goes.
    EXPECT_EQ(gone({Log(1, 5, 10, true), Log(100, 101, 20), Log(101, 102, 30)}), Msns{5});
    // Without a closed log a break is kept (the worker reports it).
    EXPECT_EQ(gone({Log(1, 5, 10), Log(100, 101, 20)}), Msns{});
    // The clock went back: the closed log at 10 continues 20 (and 15 continues it).
    EXPECT_EQ(gone({Log(5, 6, 20), Log(6, 8, 10, true)}), Msns{});
    EXPECT_EQ(gone({Log(5, 6, 20), Log(6, 8, 10, true), Log(8, 9, 15)}), Msns{});
    // A real new start after it is still one.
    EXPECT_EQ(gone({Log(5, 6, 20), Log(6, 8, 10, true), Log(100, 101, 30)}), (Msns{8, 6}));
}

TEST(PlanTest, StartingCopies) {
    enum { kUp = 1, kDamaged = 2, kNoLine = 4, kNoShortcut = 8, kListedFailed = 16 };
    struct CopyAt {
        std::uint64_t end, msn;
        int flags = 0;
    };
    struct LogIn {
        std::uint64_t end, start, msn, logEnd;
    };
    // 100 and 200 finished, 300 being started; 0 and -1 are left unchecked.
    struct Row {
        const char* what;
        std::vector<CopyAt> copies;
        std::vector<LogIn> logs;
        Source source;
        int failure = 0;
        std::uint64_t lg = 0, pg = 0, old = 0;
        int merge = -1, connects = -1, flags = 0;
        std::set<unistring> failed = {};
        bool hasCopy = false;
    };
    const std::vector<LogIn> on50 = {{300, 50, 52, 250}}, on70 = {{300, 70, 71, 250}};
    using S = Source;
    // clang-format off
    const std::vector<Row> rows = {
        {"no upload in the oldest interval: no copy at all",
         {}, {{300, 5, 6, 250}}, S::kNone, 10711},
        {"its own upload wins over older copies", {{200, 50}, {300, 70, kUp}}, on70, S::kUpload},
        {"an upload older than the newest last-good copy never starts an interval",
         {{200, 80}, {300, 70, kUp}}, {}, S::kCarryForward},
        {"nor do logs from that older state continue it",
         {{200, 80}, {300, 70, kUp}}, on70, S::kNone, 10711},
        {"an upload waiting in an older interval is newer than its copies there",
         {{100, 40}, {200, 70, kUp}}, on70, S::kOldUpload, 0, 0, 0, 200},
        {"the newest copy continues into the logs: linked", {{200, 50}}, on50, S::kLinkLg, 0, 200},
        {"the second-newest copy is the same state (carried forward): moved",
         {{100, 50}, {200, 50}}, on50, S::kMovePg, 0, 0, 100, 0, 0},
        {"the second-newest copy with the newest one's logs: moved, merged, lg the fallback",
         {{100, 40}, {200, 50}}, {{200, 40, 45, 150}, {200, 45, 50, 180}, {300, 50, 52, 250}},
         S::kMovePg, 0, 0, 0, 0, 1, 1},
        {"a shortcut that failed once is not taken again",
         {{100, 50}, {200, 50}}, on50, S::kLinkLg, 0, 0, 0, 0, -1, -1, kNoShortcut},
        {"the merged chain does not reach the item's logs (a gap from 44): the newest copy",
         {{100, 40}, {200, 50}}, {{200, 40, 44, 150}, {300, 50, 52, 250}}, S::kLinkLg},
        {"the newest copy failed its check: the older one stands in, never falling back to it",
         {{100, 40}, {200, 50, kDamaged}}, {{200, 40, 50, 150}, {300, 50, 52, 250}},
         S::kMovePg, 0, 0, 0, 0, -1, 0},
        {"the older copy failed its check: the newest one is linked",
         {{100, 50, kDamaged}, {200, 50}}, on50, S::kLinkLg},
        {"both copies failed their check",
         {{100, 50, kDamaged}, {200, 50, kDamaged}}, on50, S::kNone, 10727},
        {"a copy with no manifest line is unchecked: not linked",
         {{200, 50, kNoLine}}, on50, S::kNone, 10727},
        {"a copy with no manifest line is unchecked: not carried",
         {{200, 50, kNoLine}}, {}, S::kNone, 10727},
        {"no copy connects", {{100, 30}, {200, 40}}, on50, S::kNone, 10711},
        {"a copy beyond the interval's logs is a state the interval never had",
         {{200, 60}}, on50, S::kNone, 10711},
        {"no logs: carried forward from the previous last-good folder",
         {{200, 50}}, {}, S::kCarryForward, 0, 200},
        {"listed as failed by the server, no logs: not carried",
         {{200, 50}}, {}, S::kNone, 0, 0, 0, 0, -1, -1, kListedFailed},
        {"failed: no copy until a new upload",
         {{200, 50}}, on50, S::kNone, 0, 0, 0, 0, -1, -1, 0, {kA}},
        {"failed: then the upload",
         {{200, 50}, {300, 52, kUp}}, on50, S::kUpload, 0, 0, 0, 0, -1, -1, 0, {kA}},
        {"a start cut short: the copy in place is kept",
         {{200, 50}}, on50, S::kKeep, 0, 0, 0, 0, -1, -1, 0, {}, true},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Catalogue c = r.copies.empty() ? Catalogue({}, 300) : Catalogue({100, 200}, 300);
        for (const CopyAt& k : r.copies) {
            DatabaseItem& item = c.Copy(k.end, kA, k.msn, k.flags & kUp);
            item.damaged = k.flags & kDamaged;
            if (k.flags & kNoLine) item.line = ManifestLine();
        }
        for (const LogIn& l : r.logs) c.Logs(l.end, kA, {Log(l.start, l.msn, l.logEnd)});
        if (r.flags) {
            DatabaseItem& i = c.map.at(300).databases[kA];
            i.noShortcut = r.flags & kNoShortcut, i.pfailed = r.flags & kListedFailed;
        }
        const Choice x = c.Choose(300, kA, r.failed, r.hasCopy);
        // 0 and -1 in the row: that field is not checked.
        EXPECT_EQ(std::make_tuple(x.source, x.failure, r.lg ? x.lg : 0, r.pg ? x.pg : 0,
                                  r.old ? x.oldUpload : 0, r.merge < 0 ? -1 : int{x.mergeLg},
                                  r.connects < 0 ? -1 : int{x.lgConnects}),
                  std::make_tuple(r.source, r.failure, r.lg, r.pg, r.old, r.merge, r.connects));
    }
    // Absent from the previous folder (it failed there) and no logs: not even asked about.
    Catalogue c({100, 200}, 300);
    c.Copy(100, kA, 50);
    c.Copy(200, kB, 50);
    EXPECT_EQ(c.Choose(300, kA).uuid, u"(no choice)");
}

TEST(PlanTest, PruningNeverTakesANewestCopy) {
    Catalogue c({100, 200, 300}, 400);  // 300: the previous last-good folder, never pruned
    c.Copy(100, kA, 10);                // superseded by 200's
    c.Copy(200, kA, 20);                // superseded by 300's
    c.Copy(300, kA, 30);
    c.Copy(100, kB, 10);                 // kB failed after 100: its newest copy
    c.Copy(200, u"upload-db", 5, true);  // taken by nobody; newer copy in 300
    c.Copy(300, u"upload-db", 9);
    c.map.at(200).databases[u"marker"].pfailed = true;  // no copy at all
    Pruned pruned;
    for (const auto& r : IntervalPlan::ChoosePruning(c.map, 400))
        pruned.insert({r.interval, r.uuid});
    EXPECT_EQ(pruned, (Pruned{{100, kA}, {200, kA}, {200, u"upload-db"}, {200, u"marker"}}));
    // With nothing finished before the current interval there is nothing to prune.
    EXPECT_TRUE(IntervalPlan::ChoosePruning(Catalogue({}, 100).map, 100).empty());
}

TEST(PlanTest, RetentionKeepsFoldersWholeAndNeverMovesACopyOutOfThem) {
    constexpr std::uint64_t kH = Talon::Retention::kHour;
    // Five folders an hour apart, the sixth being made; kB's only copy is in the first.
    Catalogue c;
    for (std::uint64_t k = 1; k <= 6; ++k) c.Add(k * kH, k < 6);
    for (std::uint64_t k = 1; k <= 5; ++k) c.Copy(k * kH, kA, 10 * k);
    c.Copy(1 * kH, kB, 7);
    c.Logs(6 * kH, kA, {Log(50, 52, 6 * kH - 1)});
    auto kept = [&](std::int64_t count, std::int64_t hours) {
        return IntervalPlan::KeptFolders(c.map, 6 * kH, Talon::Retention{count, hours});
    };
    using Set = std::set<std::uint64_t>;
    auto pruned = [&](std::optional<Set> k) {  // none: without a policy
        Pruned out;
        for (const auto& r : IntervalPlan::ChoosePruning(c.map, 6 * kH, k ? &*k : nullptr))
            out.insert({r.interval, r.uuid});
        return out;
    };
    // The default keeps the newest folder only, and prunes exactly as without a policy.
    EXPECT_EQ(kept(2, 0), (Set{5 * kH}));
    EXPECT_EQ(pruned(kept(2, 0)), pruned({}));
    EXPECT_EQ(pruned({}).size(), 4u);  // kA of 1 to 4
    // The interval being made is one of the count.
    EXPECT_EQ(kept(4, 0), (Set{3 * kH, 4 * kH, 5 * kH}));
    EXPECT_EQ(pruned(kept(4, 0)), (Pruned{{1 * kH, kA}, {2 * kH, kA}}));
    // Ages from the end being made: exactly 3 hours old is not kept.
    EXPECT_EQ(kept(2, 3), (Set{4 * kH, 5 * kH}));
    EXPECT_EQ(kept(5, 1), (Set{2 * kH, 3 * kH, 4 * kH, 5 * kH}));
    // kB's only copy is never pruned, whatever the policy keeps.
    for (const auto& k : {kept(2, 0), kept(3, 0), kept(100, 1000)})
        for (const auto& p : pruned(k)) EXPECT_NE(p.second, kB) << p.first;

    // A kept second-newest copy is not moved in: the newest is linked instead.
    Catalogue s;
    for (std::uint64_t k = 3; k <= 6; ++k) s.Add(k * kH, k < 6);
    s.Copy(4 * kH, kA, 50);
    s.Copy(5 * kH, kA, 50);
    s.Logs(6 * kH, kA, {Log(50, 52, 6 * kH - 1)});
    const Set one = IntervalPlan::KeptFolders(s.map, 6 * kH, {}),
              three = IntervalPlan::KeptFolders(s.map, 6 * kH, {3, 0});
    EXPECT_EQ(s.Choose(6 * kH, kA, {}, false, &one).source, Source::kMovePg);
    const Choice linked = s.Choose(6 * kH, kA, {}, false, &three);
    EXPECT_EQ(std::pair(linked.source, linked.lg), std::pair(Source::kLinkLg, 5 * kH));
    // The newest folder is kept even by a policy that counts none.
    EXPECT_EQ(Talon::KeptRestorePoints({3, 1, 2}, 0, 0, 3), (Set{3}));
}

TEST(PlanTest, ChainRepairAfterARestart) {
    Catalogue c({100, 200}, 300);
    c.Logs(100, kA, {Log(80, 90, 150)});
    c.Logs(200, kA, {Log(90, 100, 180)});
    c.Logs(300, kA, {Log(100, 105, 250)});
    auto r = Chain::RepairChain(c.map, 300, kA, 80);
    ASSERT_TRUE(r.complete);
    // Each log merged with the end of the interval it came from.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& [log, end] : r.logs) merged.push_back({log.msn, end});
    EXPECT_EQ(merged, (decltype(merged){{90, 100}, {100, 200}}));
    // Already continued by its own logs: nothing to merge.
    r = Chain::RepairChain(c.map, 300, kA, 100);
    EXPECT_TRUE(r.complete && r.logs.empty());
    // A hole in the older logs: the copy is of no use.
    EXPECT_FALSE(Chain::RepairChain(c.map, 300, kA, 85).complete);
}

}  // namespace

TEST(PlanTest, ANewDatabaseUnderAKnownNameReplacesTheOlderCopyOnly) {
    const unistring kC = u"cccccccc-0000-4000-8000-000000000003";
    const UniversalPath copies = UniversalPath::Folder("/b/Copies");
    using Pairs = std::set<std::pair<unistring, unistring>>;  // old, fresh
    // What the start of 200 replaces; `inPlace`'s copy written at `at`, uploads at 1000 (u2: 2000).
    auto replaced = [&](const Catalogue& c, const unistring& inPlace = u"", std::uint64_t at = 0) {
        const auto choices = IntervalPlan::ChooseStartingCopies(
            c.map, 200, [&](const unistring& u) { return u == inPlace; }, {});
        Pairs out;
        for (const auto& r : IntervalPlan::ChooseReplacements(
                 c.map, 200, choices, copies, [&](const UniversalPath& p) -> std::uint64_t {
                     if (p.IsRelative()) return at;
                     return p.Native().find("/u2/") != std::string::npos ? 2000 : 1000;
                 })) {
            EXPECT_EQ(r.name.Native(), "db.vdb");
            out.insert({r.old, r.fresh});
        }
        return out;
    };
    auto start = [] {
        Catalogue c({100}, 200);
        c.Copy(100, kA, 10);
        return c;
    };
    auto upload = [](Catalogue& c, std::uint64_t end, const unistring& uuid, std::uint64_t msn,
                     const char* path) {
        c.Copy(end, uuid, msn, true).file.path = UniversalPath::FromNative(path);
    };
    Catalogue c = start();
    EXPECT_EQ(replaced(c), Pairs{}) << "no claim: nothing replaced";
    c.Copy(200, kB, 50);
    EXPECT_EQ(replaced(c, kB), (Pairs{{kA, kB}})) << "a copy in place takes the name";
    c = start();
    upload(c, 200, kB, 50, "/b/Copies/u1/db.vdb");
    EXPECT_EQ(replaced(c), (Pairs{{kA, kB}})) << "an upload takes the name";
    upload(c, 200, kC, 70, "/b/Copies/u2/db.vdb");
    EXPECT_EQ(replaced(c), (Pairs{{kA, kC}, {kB, kC}})) << "of two uploads, the newer owns it";
    upload(c, 200, kB, 50, "/b/Copies/u2/db.vdb");
    EXPECT_EQ(replaced(c), Pairs{}) << "two uploads of one age: left alone";
    // An upload waiting in an older interval is older, whenever its file was written.
    c.map.at(200).databases.erase(kB);
    c.map.at(100).databases.erase(kA);
    upload(c, 100, kB, 50, "/b/Copies/u2/db.vdb");
    EXPECT_EQ(replaced(c), (Pairs{{kB, kC}})) << "an upload of an older interval";
    // A copy moved in place after the waiting upload is newer, one before is older; one a log
    // wrote to says nothing of its age.
    c = Catalogue({100}, 200);
    upload(c, 200, kB, 50, "/b/Copies/u1/db.vdb");
    c.Copy(200, kC, 70).pristine = true;
    EXPECT_EQ(replaced(c, kC, 2000), (Pairs{{kB, kC}})) << "moved in place after the upload";
    EXPECT_EQ(replaced(c, kC, 500), Pairs{}) << "moved in place before the upload";
    c.map.at(200).databases.at(kC).pristine = false;
    EXPECT_EQ(replaced(c, kC, 2000), Pairs{}) << "written to by a log";
}

namespace {

// Published 100 (A at 10) and 200 (A at 12); 150 published nothing; 300 to make (12 -> 13).
IntervalMap ScanCatalogue() {
    Catalogue c({100, 200}, 300);
    c.Add(150, false);
    c.Add(kOpenInterval, false);
    c.Copy(100, kA, 10).logs.insert(Log(9, 10, 90));
    c.Copy(200, kA, 12).logs.insert(Log(10, 12, 190));
    c.Logs(300, kA, {Log(12, 13, 250)});
    return c.map;
}

}  // namespace

TEST(ScanPlanTest, EachLogGoesWhereTheCycleLeftItOrToTheFirstIntervalStillToBeMade) {
    const IntervalMap map = ScanCatalogue();
    struct Row {
        const char* what;
        std::uint64_t start, msn, end;
        std::int32_t databaseError, failedBefore;
        std::uint64_t recordedAfter;
        LogAction action;
        std::uint64_t key;
        bool late;
    } rows[] = {
        {"in its interval still to be made", 12, 13, 250, 0, 0, 0, LogAction::kPlace, 300, false},
        {"applied: its published interval", 10, 12, 180, 0, 0, 0, LogAction::kPlace, 200, false},
        {"applied, ending in an interval that published nothing: the next folder's", 10, 12, 120, 0,
         0, 0, LogAction::kPlace, 200, false},
        {"in no last-good copy, of a published interval: late", 12, 13, 150, 0, 0, 0,
         LogAction::kPlace, 300, true},
        {"late, its database failed", 12, 13, 150, Mirel::kErrInvalidFile, 0, 0,
         LogAction::kSetAside, 0, false},
        {"applied, its database failed since: nothing to set aside", 10, 12, 150,
         Mirel::kErrInvalidFile, Mirel::kErrInvalidFile, 0, LogAction::kPlace, 200, false},
        {"to be made, written before its database failed", 12, 13, 250, Mirel::kErrInvalidFile,
         Mirel::kErrInvalidFile, 0, LogAction::kSetAside, 0, false},
        {"to be made, written after the failure: waits for its announcement", 12, 13, 250,
         Mirel::kErrInvalidFile, 0, 0, LogAction::kPlace, 300, false},
        {"placed after 300 by intake (its clock went back)", 12, 13, 250, 0, 0, 300,
         LogAction::kPlace, kOpenInterval, false},
        {"ending after every interval-done file", 13, 14, 400, 0, 0, 0, LogAction::kPlace,
         kOpenInterval, false},
    };
    std::vector<FoundLog> logs;
    for (const Row& r : rows)
        logs.push_back(
            {kA, r.msn, r.start, r.end, r.databaseError, r.failedBefore, r.recordedAfter});
    // Decided from the map alone: one call for all, each decision independent of the others.
    const auto plan = ScanPlan::PlaceLogs(map, 200, logs);
    ASSERT_EQ(plan.size(), std::size(rows));
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const Row& r = rows[i];
        EXPECT_EQ(
            std::make_tuple(plan[i].action, plan[i].key, plan[i].number, plan[i].late),
            std::make_tuple(r.action, r.key,
                            r.action == LogAction::kSetAside ? Mirel::kErrInvalidFile : 0, r.late))
            << r.what;
    }
    // Without an open interval such a log has nowhere to go yet.
    IntervalMap closed = ScanCatalogue();
    closed.erase(kOpenInterval);
    EXPECT_EQ(ScanPlan::PlaceLogs(closed, 200, {logs.back()}).front().action, LogAction::kLeave);
}

TEST(ScanPlanTest, EachUploadServesTheIntervalItsStateStartsOrWaitsWhereItIs) {
    const IntervalMap map = ScanCatalogue();
    const std::uint64_t kFailedAt = 5000;
    struct Row {
        const char* what;
        std::uint64_t msn;
        std::int32_t databaseError;
        std::uint64_t writtenUs, recordedAfter;
        bool resumedWithCopy;
        UploadAction action;
        std::uint64_t key;
        bool olderThanNewest;
    } rows[] = {
        {"the state a log of 300 reaches", 13, 0, 0, 0, false, UploadAction::kPlace, 300, false},
        {"at no log: the first interval still to be made", 20, 0, 0, 0, false, UploadAction::kPlace,
         300, false},
        {"at the newest published copy's state, which a published log reaches", 12, 0, 0, 0, false,
         UploadAction::kPlace, 300, false},
        {"older than the newest published copy, at a published log", 10, 0, 0, 0, false,
         UploadAction::kDelete, 0, true},
        {"older than the newest published copy, at no log: never current again", 11, 0, 0, 0, false,
         UploadAction::kDelete, 0, true},
        {"accepted after 300's interval-done file", 13, 0, 0, 300, false, UploadAction::kPlace,
         kOpenInterval, false},
        {"its database has its in-progress copy of 300 already", 20, 0, 0, 0, true,
         UploadAction::kPlace, kOpenInterval, false},
        {"written before its database's logs failed", 13, Mirel::kErrInvalidFile, kFailedAt - 1, 0,
         false, UploadAction::kDelete, 0, false},
        {"written after the failure: waits for its announcement", 13, Mirel::kErrInvalidFile,
         kFailedAt + 1, 0, false, UploadAction::kLeave, 0, false},
        {"a copy that could not be moved: no log failed, never deleted", 13, Mirel::kErrCopyFailed,
         kFailedAt - 1, 0, false, UploadAction::kLeave, 0, false},
    };
    for (const Row& r : rows) {
        const std::uint64_t since = r.databaseError ? kFailedAt : 0;
        const FoundUpload u{kA, r.msn, r.databaseError, since, r.writtenUs, r.recordedAfter};
        ScanPlan::Resumed resumed{true, 300, {}};
        if (r.resumedWithCopy) resumed.withCopy.insert(kA);
        const auto plan = ScanPlan::PlaceUploads(map, 200, resumed, {u});
        ASSERT_EQ(plan.size(), 1u) << r.what;
        EXPECT_EQ(std::make_tuple(plan[0].action, plan[0].key, plan[0].olderThanNewest),
                  std::make_tuple(r.action, r.key, r.olderThanNewest))
            << r.what;
    }
    // Failed for a link or for a taken log gone before any folder held it (kB), its upload
    // is the only copy there is: never deleted, however old.
    for (const std::int32_t number : {Mirel::kErrIsALink, Mirel::kErrPathNotFound}) {
        const FoundUpload u{kB, 13, number, kFailedAt, kFailedAt - 1, 0};
        EXPECT_EQ(ScanPlan::PlaceUploads(map, 200, {true, 300, {}}, {u}).front().action,
                  UploadAction::kLeave)
            << number;
    }
}
