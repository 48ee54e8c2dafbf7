// Where a restart puts the logs and uploads it finds, on catalogues built in memory.
#include <gtest/gtest.h>

#include "intake/ScanPlan.h"
#include "platform/support/ErrorCodes.h"

using Mirel::unistring;
using Mirel::UniversalPath;
using ScanPlan::FoundLog;
using ScanPlan::FoundUpload;
using ScanPlan::LogAction;
using ScanPlan::UploadAction;

namespace {

const unistring kA = u"aaaaaaaa-0000-4000-8000-000000000001";

// Published 100 (A at 10) and 200 (A at 12); 150 published nothing; 300 to make (12 -> 13).
IntervalMap Catalogue() {
    IntervalMap map;
    auto add = [&](std::uint64_t end, bool published) -> Interval& {
        Interval& i = map[end];
        i.mDoneUTC = end;
        if (published)
            i.backup =
                Mirel::Directory(UniversalPath::Folder("/b/LastGood_" + std::to_string(end)));
        return i;
    };
    auto log = [](std::uint64_t start, std::uint64_t msn, std::uint64_t end) {
        return FileInfo(
            UniversalPath::FromNative("/b/Changes/Redo_1/" + std::to_string(msn) + ".vrl"), msn,
            start, end, false);
    };
    DatabaseItem& a100 = add(100, true).databases[kA];
    a100.SetFile(UniversalPath::FromNative("a.vdb"), kA, 10, false, true);
    a100.logs.insert(log(9, 10, 90));
    add(150, false);
    DatabaseItem& a200 = add(200, true).databases[kA];
    a200.SetFile(UniversalPath::FromNative("a.vdb"), kA, 12, false, true);
    a200.logs.insert(log(10, 12, 190));
    add(300, false).databases[kA].logs.insert(log(12, 13, 250));
    add(kOpenInterval, false);
    return map;
}

}  // namespace

TEST(ScanPlanTest, EachLogGoesWhereTheCycleLeftItOrToTheFirstIntervalStillToBeMade) {
    const IntervalMap map = Catalogue();
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
    for (const Row& r : rows) {
        FoundLog l;
        l.uuid = kA;
        l.startMSN = r.start;
        l.msn = r.msn;
        l.endUTC = r.end;
        l.databaseError = r.databaseError;
        l.failedBefore = r.failedBefore;
        l.recordedAfter = r.recordedAfter;
        logs.push_back(l);
    }
    // Decided from the map alone: one call for all, each decision independent of the others.
    const auto plan = ScanPlan::PlaceLogs(map, 200, logs);
    ASSERT_EQ(plan.size(), std::size(rows));
    for (std::size_t i = 0; i < plan.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        EXPECT_EQ(plan[i].action, rows[i].action);
        EXPECT_EQ(plan[i].key, rows[i].key);
        EXPECT_EQ(plan[i].number,
                  rows[i].action == LogAction::kSetAside ? Mirel::kErrInvalidFile : 0);
        EXPECT_EQ(plan[i].late, rows[i].late);
    }
    // Without an open interval such a log has nowhere to go yet.
    IntervalMap closed = Catalogue();
    closed.erase(kOpenInterval);
    EXPECT_EQ(ScanPlan::PlaceLogs(closed, 200, {logs.back()}).front().action, LogAction::kLeave);
}

TEST(ScanPlanTest, EachUploadServesTheIntervalItsStateStartsOrWaitsWhereItIs) {
    const IntervalMap map = Catalogue();
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
        SCOPED_TRACE(r.what);
        FoundUpload u;
        u.uuid = kA;
        u.msn = r.msn;
        u.databaseError = r.databaseError;
        u.failedSince = r.databaseError ? kFailedAt : 0;
        u.writtenUs = r.writtenUs;
        u.recordedAfter = r.recordedAfter;
        ScanPlan::Resumed resumed;
        resumed.active = true;
        resumed.key = 300;
        if (r.resumedWithCopy) resumed.withCopy.insert(kA);
        const auto plan = ScanPlan::PlaceUploads(map, 200, resumed, {u});
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_EQ(plan[0].action, r.action);
        EXPECT_EQ(plan[0].key, r.key);
        EXPECT_EQ(plan[0].olderThanNewest, r.olderThanNewest);
    }
}
