// status, verify and restore on real backup folders: three intervals of three databases, the
// third of which failed after the first interval (so its newest copy is only in the oldest
// folder, as the service leaves it).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "ibs_version.h"
#include "platform/engine/Formats.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/tools/Expiry.h"
#include "tests/tools/Has.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"
#include "tools/sim/DatabaseModel.h"

using ibsdb::Json;

namespace {

constexpr std::uint64_t kHour = 3600ull * 1000000;

struct Snapshot {
    Mirel::Format::Uuid uuid;
    std::uint64_t msn;
    sim::PageMap pages;
};

Mirel::UniversalPath P(const std::string& path) {
    return Mirel::UniversalPath::FromNative(path);
}

bool WriteManifest(const std::string& folder, std::uint64_t end,
                   const std::set<std::string>& held = {}) {
    return Talon::Manifest::Write(Mirel::Directory(Mirel::UniversalPath::Folder(folder)), end, held)
        .OK();
}

std::uint64_t Blocks(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

class BackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        backup = tmp / "backup";
        for (int i = 0; i < 3; ++i) models.emplace_back(100 + i, 4096, 8);
        for (int k = 0; k < 3; ++k) {
            ends.push_back(now - static_cast<std::uint64_t>(3 - k) * kHour + 17500000);
            names.push_back("LastGood_" + Talon::BackupFolder::MakeTimestamp(ends.back()).ToUTF8());
            const std::string folder = backup + "/" + names.back();
            testutil::MakeDirs(folder);
            snaps.emplace_back();
            for (int i = 0; i < 3; ++i) {
                const std::string scratch = tmp / "scratch.vrl";
                ::unlink(scratch.c_str());
                ASSERT_TRUE(models[i].WriteRedoLog(P(scratch), 5, ends.back(), false).OK());
                snaps.back().push_back({models[i].Uuid(), models[i].MSN(), models[i].Pages()});
                if (i == 2 && k > 0) continue;  // failed after the first interval
                ASSERT_TRUE(
                    models[i].WriteFullCopy(P(folder + "/db" + std::to_string(i) + ".vdb")).OK());
            }
            ASSERT_TRUE(WriteManifest(folder, ends.back()));
        }
        for (int i = 0; i < 3; ++i) uuids.push_back(models[i].UuidText());
        testutil::WriteFile(backup + "/Failed.tsv",
                            "# failed\n" + uuids[2] + "\t10721\t" + std::to_string(ends[1]) + "\n");
    }

    std::string Db(int k, int i) const {
        return backup + "/" + names[k] + "/db" + std::to_string(i) + ".vdb";
    }
    std::string Same(const std::string& file, int k, int i) const {
        const Snapshot& s = snaps[k][i];
        return sim::DatabaseModel::Compare(P(file), s.uuid, s.msn, s.pages);
    }
    int StatusJson(Json& j, std::uint64_t at, std::uint64_t warn = 2 * kHour,
                   std::uint64_t crit = 24 * kHour) {
        ibsdb::StatusOptions o;
        o.backup = backup;
        o.json = true;
        o.now = at;
        o.warnLag = warn;
        o.critLag = crit;
        std::ostringstream out;
        int rc = ibsdb::Status(o, out);
        j = Json::parse(out.str());
        EXPECT_EQ(j["exit_code"], rc);
        return rc;
    }
    int VerifyJson(const std::string& path, Json& j) {
        std::ostringstream out;
        int rc = ibsdb::Verify({path, true}, out);
        j = Json::parse(out.str());
        return rc;
    }
    // Result of every file by "folder/path".
    static std::map<std::string, std::string> Results(const Json& j) {
        std::map<std::string, std::string> r;
        for (const auto& f : j["folders"])
            for (const auto& x : f["files"])
                r[f["folder"].get<std::string>() + "/" + x["path"].get<std::string>()] =
                    x["result"].get<std::string>();
        return r;
    }
    int ListJson(Json& j) {
        std::ostringstream out;
        int rc = ibsdb::List({backup, true}, out);
        j = Json::parse(out.str());
        EXPECT_EQ(j["exit_code"], rc);
        return rc;
    }
    std::string Manifest(int k) const { return backup + "/" + names[k] + "/manifest.tsv"; }
    // Carried forward as the service does: the newest folder's db1 is the file of the folder
    // before (held: db1 failed there on a log that changed nothing), its line taken over.
    void ShareDb1() {
        ASSERT_EQ(::unlink(Db(2, 1).c_str()), 0);
        ASSERT_EQ(::link(Db(1, 1).c_str(), Db(2, 1).c_str()), 0);
        ASSERT_TRUE(WriteManifest(backup + "/" + names[2], ends[2], {"db1.vdb"}));
    }
    ibsdb::RestoreOptions To(const std::string& name) const {
        ibsdb::RestoreOptions o;
        o.to = tmp / name;
        return o;
    }
    int Restore(ibsdb::RestoreOptions o, std::string& text) {
        o.backup = backup;
        if (o.to.empty()) o.to = tmp / "restored";
        std::ostringstream out;
        int rc = ibsdb::Restore(o, out);
        text = out.str();
        return rc;
    }

    testutil::TempDir tmp;
    std::string backup;
    const std::uint64_t now = 1767300000000000ull;  // 2026-01-01 20:40 UTC
    std::vector<std::uint64_t> ends;
    std::vector<std::string> names, uuids;
    std::vector<std::vector<Snapshot>> snaps;  // [interval][database]
    std::vector<sim::DatabaseModel> models;    // the server's databases now
};

}  // namespace

TEST_F(BackupTest, StatusShowsNewestCopiesFailedDatabasesWorkWaitingAndRejectedFiles) {
    // Not applied: a log past db0's newest copy, and one whose header is not written yet.
    // Applied and kept: db1's first log (a model from the same seed writes it again), and
    // the interval-done file of an interval that has its folder.
    const std::string redo = backup + "/Changes/Redo_1767299000000000";
    const std::string old = backup + "/Changes/Redo_1767290000000000";
    testutil::MakeDirs(redo);
    testutil::MakeDirs(old);
    ASSERT_TRUE(models[0].WriteRedoLog(P(redo + "/1-db0.vrl"), 3, now - 60000000, false).OK());
    testutil::WriteFile(redo + "/3-db2.vrl", std::string(700, 'x'));
    sim::DatabaseModel again(101, 4096, 8);
    ASSERT_TRUE(again.WriteRedoLog(P(old + "/2-db1.VRL"), 5, ends[0], false).OK());
    ASSERT_TRUE(sim::WriteIntervalDone(P(redo + "/IntervalDone.vid"), now - 1, {}).OK());
    ASSERT_TRUE(sim::WriteIntervalDone(P(old + "/intervaldone.VID"), ends[0], {}).OK());
    // Set aside: two for one reason (one line an older service's, without its words), one
    // for its database's failure, one with no line.
    testutil::MakeDirs(backup + "/Rejected");
    for (const char* n : {"bad.vrl", "bad2.vrl", "late.vrl", "orphan.vrl"})
        testutil::WriteFile(backup + "/Rejected/" + n, "x");
    testutil::WriteFile(backup + "/Rejected/reasons.tsv",
                        "bad.vrl\t10720\t1767299500000000\t/b/Changes/R/a%09b.vrl\n"
                        "bad2.vrl\t10720\t1767299600000000\t/b/Changes/R/c.vrl\tthe redo log "
                        "belongs to another database\n"
                        "late.vrl\t10721\t1767299700000000\t/b/Changes/R/d.vrl\tthe redo log "
                        "does not continue the database; its database had already failed\n");
    testutil::WriteFile(backup + "/Rejected/pruned.tsv", "# a record, not a set-aside file\n");

    Json j;
    EXPECT_EQ(StatusJson(j, now), ibsdb::kWarning);  // a failed database; lags within 2h
    EXPECT_EQ(j["newest_last_good"]["folder"], names[2]);
    ASSERT_EQ(j["databases"].size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const Json& d = j["databases"][static_cast<std::size_t>(i)];
        EXPECT_EQ(d["folder"], names[i == 2 ? 0 : 2]) << i;
        EXPECT_EQ(d["msn"], snaps[i == 2 ? 0 : 2][i].msn) << i;
    }
    ASSERT_EQ(j["failed"].size(), 1u);
    EXPECT_EQ(j["failed"][0]["newest_copy"]["folder"], names[0]);
    EXPECT_EQ(j["pending"]["redo_logs"], 2);
    EXPECT_EQ(j["pending"]["applied_logs_kept"], 1);
    ASSERT_EQ(j["rejected"].size(), 4u);
    EXPECT_EQ(j["rejected"][0]["original_path"], "/b/Changes/R/a\tb.vrl");
    // Counted by reason, the largest group first.
    const Json& groups = j["rejected_by_reason"];
    ASSERT_EQ(groups.size(), 3u) << groups.dump(2);
    EXPECT_EQ(groups[0]["count"], 2);
}

TEST_F(BackupTest, StatusLagOfEveryDatabaseDecidesTheExitCode) {
    ::unlink((backup + "/Failed.tsv").c_str());
    Json j;
    // db2's newest copy is 3h old: within 4h, the others within 1h.
    EXPECT_EQ(StatusJson(j, now, 4 * kHour, 8 * kHour), ibsdb::kOk) << j.dump();
    EXPECT_EQ(StatusJson(j, now + kHour + 20000000, 4 * kHour, 8 * kHour), ibsdb::kWarning);
    EXPECT_TRUE(Has(j["reasons"][0].get<std::string>(), "db2.vdb"));
    EXPECT_EQ(StatusJson(j, now + 6 * kHour, 4 * kHour, 8 * kHour), ibsdb::kCritical);

    // A folder the service set up and filled with nothing yet has no restore point; a folder
    // it never set up is none of its business.
    ibsdb::StatusOptions o;
    o.backup = tmp / "empty";
    testutil::MakeDirs(o.backup + "/Changes");
    testutil::MakeDirs(o.backup + "/Copies");
    std::ostringstream out;
    EXPECT_EQ(ibsdb::Status(o, out), ibsdb::kCritical);
    o.backup = tmp / "other";
    testutil::MakeDirs(o.backup + "/Documents");
    out.str("");
    EXPECT_EQ(ibsdb::Status(o, out), ibsdb::kUnknown);
}

TEST_F(BackupTest, VerifyNamesEveryCopyThatDiffersAndTellsPrunedFromLost) {
    Json j;
    ASSERT_EQ(VerifyJson(backup, j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["summary"]["databases_checked"], 7);

    testutil::FlipByte(Db(2, 1), 4096 * 4 + 100);  // one byte in a page
    ASSERT_EQ(::truncate(Db(1, 0).c_str(), 4096 * 3), 0);
    ASSERT_EQ(::unlink(Db(0, 1).c_str()), 0);  // an older copy the service pruned
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kCritical);
    auto r = Results(j);
    EXPECT_EQ(r[names[2] + "/db1.vdb"], "differs");
    EXPECT_EQ(r[names[2] + "/db0.vdb"], "ok");
    EXPECT_EQ(r[names[1] + "/db0.vdb"], "not-a-database");
    EXPECT_EQ(r[names[1] + "/db1.vdb"], "ok");
    EXPECT_EQ(r[names[0] + "/db1.vdb"], "superseded");
    EXPECT_EQ(j["summary"]["problems"], 2);

    ASSERT_EQ(::unlink(Db(0, 2).c_str()), 0);  // the only copy of the failed database
    EXPECT_EQ(VerifyJson(backup + "/" + names[0], j), ibsdb::kCritical);
    ASSERT_EQ(j["folders"].size(), 1u);
    EXPECT_EQ(Results(j)[names[0] + "/db2.vdb"], "missing");
}

TEST_F(BackupTest, VerifyWarnsOfAMissingManifestARenamedFolderAndCallsADamagedOneCritical) {
    ASSERT_EQ(::unlink((backup + "/" + names[1] + "/manifest.tsv").c_str()), 0);
    Json j;
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kWarning);
    EXPECT_EQ(Results(j)[names[1] + "/db0.vdb"], "structure-ok");
    ASSERT_EQ(std::rename((backup + "/" + names[2]).c_str(),
                          (backup + "/LastGood_2030-01-01_0000").c_str()),
              0);
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kWarning);
    EXPECT_EQ(j["folders"][0]["folder"], "LastGood_2030-01-01_0000");
    EXPECT_EQ(j["folders"][0]["name_matches"], false);

    std::string m = testutil::ReadFile(backup + "/" + names[0] + "/manifest.tsv");
    m[m.find("\tdb0.vdb\t") + 3] = '9';
    testutil::WriteFile(backup + "/" + names[0] + "/manifest.tsv", m);
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kCritical);
    EXPECT_EQ(j["folders"][2]["manifest"], "damaged");

    std::ostringstream out;
    EXPECT_EQ(ibsdb::Verify({tmp / "nowhere", false}, out), ibsdb::kUnknown);
}

TEST_F(BackupTest, RestoreBringsBackEachDatabasesNewestStatePageByPage) {
    std::string text;
    ibsdb::RestoreOptions o;
    o.json = true;
    // db2 comes from an older interval than the others: not one state of the server.
    ASSERT_EQ(Restore(o, text), ibsdb::kWarning) << text;
    const Json j = Json::parse(text);
    ASSERT_EQ(j["databases"].size(), 3u) << j.dump(2);
    for (const auto& d : j["databases"]) {
        const int i = d["name"].get<std::string>()[2] - '0', k = i == 2 ? 0 : 2;
        EXPECT_EQ(d["uuid"], uuids[i]);
        EXPECT_EQ(d["folder"], names[k]);
        EXPECT_EQ(d["interval_end"]["utc"], ends[k]);
        EXPECT_EQ(d["msn"], snaps[k][i].msn);
        EXPECT_EQ(Same(tmp / "restored" + "/db" + std::to_string(i) + ".vdb", k, i), "");
    }

    auto at = To("at");
    at.at = ends[1];
    ASSERT_EQ(Restore(at, text), ibsdb::kWarning) << text;
    EXPECT_EQ(Same(at.to + "/db0.vdb", 1, 0), "");
    at.to = tmp / "before";
    at.at = ends[1] - 1;
    ASSERT_EQ(Restore(at, text), ibsdb::kOk) << text;
    EXPECT_EQ(Same(at.to + "/db1.vdb", 0, 1), "");
    at.to = tmp / "folder";
    at.at = UINT64_MAX;
    at.atFolder = names[1];
    ASSERT_EQ(Restore(at, text), ibsdb::kOk) << text;
    EXPECT_EQ(Same(at.to + "/db1.vdb", 1, 1), "");
    EXPECT_FALSE(testutil::Exists(at.to + "/db2.vdb"));

    auto some = To("some");
    std::string upper = uuids[0];
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    some.databases = {"db1", upper};
    ASSERT_EQ(Restore(some, text), ibsdb::kOk) << text;
    EXPECT_EQ(Same(some.to + "/db0.vdb", 2, 0), "");
    EXPECT_EQ(Same(some.to + "/db1.vdb", 2, 1), "");
    EXPECT_FALSE(testutil::Exists(some.to + "/db2.vdb"));
    some.to = tmp / "none";
    some.databases = {"db7"};
    EXPECT_EQ(Restore(some, text), ibsdb::kUnknown);
    EXPECT_FALSE(testutil::Exists(some.to));
    // Before every restore point: refused, naming the earliest there is.
    o.to = tmp / "early";
    o.at = ends[0] - 1;
    ASSERT_EQ(Restore(o, text), ibsdb::kUnknown) << text;
    EXPECT_TRUE(Has(text, "the oldest restore point is " + names[0]));
    EXPECT_FALSE(testutil::Exists(o.to));
}

TEST_F(BackupTest, RestoreRefusesANonEmptyTargetUnlessForcedAndNeverPlacesADamagedCopy) {
    const std::string to = tmp / "restored";
    testutil::MakeDirs(to);
    testutil::WriteFile(to + "/db0.vdb", "an older restore");
    testutil::WriteFile(to + "/keep.txt", "mine");
    std::string text;
    EXPECT_EQ(Restore({}, text), ibsdb::kUnknown);
    ibsdb::RestoreOptions inside;
    inside.to = backup + "/" + names[2];
    inside.force = true;
    EXPECT_EQ(Restore(inside, text), ibsdb::kUnknown);
    EXPECT_EQ(testutil::ReadFile(to + "/db0.vdb"), "an older restore");
    ibsdb::RestoreOptions force;
    force.force = true;
    ASSERT_EQ(Restore(force, text), ibsdb::kWarning) << text;  // db2 is of an older interval
    EXPECT_EQ(Same(to + "/db0.vdb", 2, 0), "");
    EXPECT_EQ(testutil::ReadFile(to + "/keep.txt"), "mine");

    // A damaged newest copy is never placed: asked for its folder, no other copy stands in.
    testutil::FlipByte(Db(2, 0), 4096 * 2 + 7);
    auto folder = To("folder");
    folder.atFolder = names[2];
    EXPECT_EQ(Restore(folder, text), ibsdb::kCritical);
    EXPECT_FALSE(testutil::Exists(folder.to + "/db0.vdb"));
}

// A disk that fails under verify or restore: the file is named with the error, and restore
// leaves no half-written file behind; nothing of the backup folder changes.
TEST_F(BackupTest, ReadAndWriteFailuresAreNamedAndLeaveNothingHalfWritten) {
    Mirel::FaultEnv faults;
    Mirel::Env::Scope files(faults);
    faults.Arm(Mirel::FsOp::kRead, Db(2, 1), Mirel::kErrIO);
    Json j;
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kCritical);
    EXPECT_EQ(Results(j)[names[2] + "/db1.vdb"], "unreadable") << j.dump(2);
    EXPECT_EQ(Results(j)[names[2] + "/db0.vdb"], "ok");
    faults.Clear();

    const std::string to = tmp / "restored";
    // Every file is written under a temporary name beside its final one: the disk is full.
    faults.Arm(Mirel::FsOp::kWrite, to + "/.ibs-*", Mirel::kErrDiskFull);
    std::string text;
    EXPECT_EQ(Restore({}, text), ibsdb::kCritical) << text;
    EXPECT_TRUE(Has(text, "20407"));
    std::vector<Mirel::Os::DirEntry> left;
    Mirel::Os::ListDir(to, left);
    for (const auto& e : left) ADD_FAILURE() << "left in the target: " << e.name;
    faults.Clear();
    // The disk has room again: the same restore, forced over what is there, is whole.
    ibsdb::RestoreOptions again;
    again.force = true;
    EXPECT_EQ(Restore(again, text), ibsdb::kWarning) << text;  // db2 is of an older interval
    EXPECT_EQ(Same(to + "/db1.vdb", 2, 1), "");
    Json after;
    EXPECT_EQ(VerifyJson(backup, after), ibsdb::kOk) << after.dump(2);
}

TEST_F(BackupTest, HeldAndReplacedCopiesAreShownAsSuch) {
    // db1 failed in the newest interval on a log that changed nothing: its copy there is the
    // one it started from (interval 1's state), kept as held. db2 was dropped and made anew
    // under its name: the newest folder's db2.vdb is another database.
    const std::string newest = backup + "/" + names[2];
    ASSERT_EQ(Mirel::Os::DeleteFile(Db(2, 1)), 0);
    ASSERT_EQ(Mirel::Os::CopyFile(Db(1, 1), Db(2, 1)), 0);
    sim::DatabaseModel fresh(200, 4096, 8);
    ASSERT_TRUE(fresh.WriteFullCopy(P(newest + "/db2.vdb")).OK());
    ASSERT_TRUE(WriteManifest(newest, ends[2], {"db1.vdb"}));
    testutil::WriteFile(backup + "/Failed.tsv", "# failed\n" + uuids[1] + "\t10709\t" +
                                                    std::to_string(ends[2]) + "\n" + uuids[2] +
                                                    "\t10726\t" + std::to_string(ends[2]) + "\n");
    Json j;
    // The replaced database's old copy is hours old: its lag counts for nothing.
    EXPECT_EQ(StatusJson(j, now, 2 * kHour, 2 * kHour + kHour / 2), ibsdb::kWarning) << j.dump(2);
    std::map<std::string, Json> rows;
    for (const auto& d : j["databases"]) rows[d["uuid"].get<std::string>()] = d;
    EXPECT_EQ(rows[uuids[1]]["held"], true);
    EXPECT_EQ(rows[uuids[2]]["replaced"], true);
    EXPECT_EQ(rows[uuids[0]]["held"], false);

    EXPECT_EQ(VerifyJson(newest, j), ibsdb::kOk);
    for (const auto& x : j["folders"][0]["files"])
        EXPECT_EQ(x["held"], x["path"] == "db1.vdb") << x.dump();

    std::string text;
    EXPECT_EQ(Restore({}, text), ibsdb::kWarning) << text;
    const std::string to = tmp / "restored";
    EXPECT_EQ(Same(to + "/db1.vdb", 1, 1), "");
    EXPECT_EQ(
        sim::DatabaseModel::Compare(P(to + "/db2.vdb"), fresh.Uuid(), fresh.MSN(), fresh.Pages()),
        "");
    auto old = To("old");
    old.databases = {uuids[2]};
    EXPECT_EQ(Restore(old, text), ibsdb::kOk) << text;
    EXPECT_EQ(Same(old.to + "/db2.vdb", 0, 2), "");
}

// A backup folder whose Rejected/ holds files set aside long ago and lately, a container
// folder, links to things outside, a line of a move that never happened.
class PruneTest : public BackupTest {
protected:
    static constexpr std::uint64_t kDay = 24 * kHour;
    void SetUp() override {
        BackupTest::SetUp();
        rejected = backup + "/Rejected";
        testutil::MakeDirs(rejected + "/old.vrl.rc/blobs");
        testutil::WriteFile(rejected + "/old.vrl", "old");
        testutil::WriteFile(rejected + "/old.vrl.rc/blobs/1", "container");
        testutil::WriteFile(rejected + "/new.vrl", "new");
        testutil::WriteFile(rejected + "/unexplained.vrl", "written just now, no line");
        testutil::WriteFile(outside / "precious.txt", "mine");
        testutil::MakeDirs(outside / "dir");
        testutil::WriteFile(outside / "dir/keep", "mine too");
        ASSERT_EQ(::symlink((outside / "precious.txt").c_str(), (rejected + "/link.vrl").c_str()),
                  0);
        ASSERT_EQ(::symlink((outside / "dir").c_str(), (rejected + "/dir.vrl").c_str()), 0);
        ASSERT_EQ(::symlink((outside / "dir").c_str(), (rejected + "/new.vrl.rc").c_str()), 0);
        lines = {"# comments stay",
                 Line("old.vrl", 10709, now - 40 * kDay),
                 Line("gone.vrl", 10721, now - 50 * kDay),  // its move never happened
                 Line("link.vrl", 10720, now - 31 * kDay),
                 Line("dir.vrl", 10720, now - 45 * kDay),
                 "a line this version cannot read",
                 Line("new.vrl", 10726, now - 29 * kDay)};
        std::string text;
        for (const auto& l : lines) text += l + "\n";
        testutil::WriteFile(rejected + "/reasons.tsv", text);
    }
    static std::string Line(const std::string& name, int error, std::uint64_t when) {
        return name + "\t" + std::to_string(error) + "\t" + std::to_string(when) +
               "\t/b/Changes/Redo_1/" + name + "\twords";
    }
    int Prune(const std::string& olderThan, std::string& text, bool dryRun = false) {
        ibsdb::PruneOptions o;
        o.backup = backup;
        EXPECT_TRUE(ibsdb::ParseDuration(olderThan, o.olderThan));
        o.dryRun = dryRun;
        o.now = now;
        std::ostringstream out;
        int rc = ibsdb::PruneRejected(o, out);
        text = out.str();
        return rc;
    }
    testutil::TempDir outside;
    std::string rejected;
    std::vector<std::string> lines;
};

TEST_F(PruneTest, RemovesWhatWasSetAsideBeforeTheLimitWithItsLinesAndKeepsARecord) {
    std::string text;
    // A dry run says what would go and changes nothing.
    ASSERT_EQ(Prune("30d", text, true), ibsdb::kOk) << text;
    EXPECT_TRUE(testutil::IsFile(rejected + "/old.vrl"));
    EXPECT_FALSE(testutil::Exists(rejected + "/pruned.tsv"));

    ASSERT_EQ(Prune("30d", text), ibsdb::kOk) << text;
    for (const char* gone : {"old.vrl", "old.vrl.rc", "link.vrl", "dir.vrl"})
        EXPECT_FALSE(testutil::Exists(rejected + "/" + gone)) << gone << "\n" << text;
    for (const char* kept : {"new.vrl", "new.vrl.rc", "unexplained.vrl"})
        EXPECT_TRUE(testutil::Exists(rejected + "/" + kept)) << kept;
    // Links went as links: what they led to is untouched.
    EXPECT_EQ(testutil::ReadFile(outside / "precious.txt"), "mine");
    EXPECT_EQ(testutil::ReadFile(outside / "dir/keep"), "mine too");
    EXPECT_EQ(testutil::ReadFile(rejected + "/reasons.tsv"),
              lines[0] + "\n" + lines[5] + "\n" + lines[6] + "\n");
    const std::string record = testutil::ReadFile(rejected + "/pruned.tsv");
    EXPECT_EQ(record.substr(record.find('\n') + 1),
              std::to_string(now) + "\t" + std::to_string(now - 30 * kDay) +
                  "\t4\t12\tdir.vrl\tlink.vrl\told.vrl\told.vrl.rc\n")
        << record;
    // Status no longer counts them; the record is no set-aside file.
    Json j;
    StatusJson(j, now);
    EXPECT_EQ(j["rejected"].size(), 2u) << j["rejected"].dump(2);

    // A second run appends its own line.
    ASSERT_EQ(Prune("1h", text), ibsdb::kOk) << text;
    EXPECT_FALSE(testutil::Exists(rejected + "/new.vrl"));
    EXPECT_TRUE(testutil::Exists(outside / "dir/keep"));
    const std::string second = testutil::ReadFile(rejected + "/pruned.tsv");
    EXPECT_EQ(std::count(second.begin(), second.end(), '\n'), 3) << second;
}

TEST_F(PruneTest, WhatCannotBeRemovedStaysWithItsLineAndALinkedFolderIsRefused) {
    std::string text;
    Mirel::FaultEnv faults;
    Mirel::Env::Scope files(faults);
    faults.Arm(Mirel::FsOp::kDeleteFile, rejected + "/old.vrl", Mirel::kErrIO);
    EXPECT_EQ(Prune("30d", text), ibsdb::kWarning) << text;
    EXPECT_TRUE(testutil::IsFile(rejected + "/old.vrl"));
    EXPECT_TRUE(Has(testutil::ReadFile(rejected + "/reasons.tsv"), lines[1]));
    EXPECT_FALSE(testutil::Exists(rejected + "/link.vrl"));
    faults.Clear();

    // Rejected/ itself a link: nothing is touched there or behind it.
    ASSERT_EQ(std::rename(rejected.c_str(), (outside / "Rejected").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "Rejected").c_str(), rejected.c_str()), 0);
    EXPECT_EQ(Prune("1m", text), ibsdb::kUnknown) << text;
    EXPECT_TRUE(testutil::IsFile(outside / "Rejected/old.vrl"));
    EXPECT_TRUE(testutil::IsFile(outside / "Rejected/new.vrl"));
}

// The newest copy of db0 cut short, with its header gone, or gone: status, verify and restore
// all show db0 in the newest folder by its manifest line. Restore brings back the older copy
// with a warning naming it, or, without one, reports db0 FAILED with the reason.
class DamagedNewestCopyTest : public BackupTest, public ::testing::WithParamInterface<const char*> {
protected:
    void Damage() {
        const std::string how = GetParam();
        if (how == "cut") {
            ASSERT_EQ(::truncate(Db(2, 0).c_str(), 4096 * 3), 0);
        } else if (how == "no header") {
            std::string bytes = testutil::ReadFile(Db(2, 0));
            std::fill(bytes.begin(), bytes.begin() + 4096, '\0');
            testutil::WriteFile(Db(2, 0), bytes);
        } else {
            ASSERT_EQ(::unlink(Db(2, 0).c_str()), 0);
        }
    }
    std::string Word() const {
        return std::string(GetParam()) == "gone" ? "missing" : "not-a-database";
    }
};

TEST_P(DamagedNewestCopyTest, IsAccountedForTheSameWayEverywhere) {
    Damage();
    Json j;
    EXPECT_EQ(StatusJson(j, now), ibsdb::kCritical);
    const Json* row = nullptr;
    for (const auto& d : j["databases"])
        if (d["uuid"] == uuids[0]) row = &d;
    ASSERT_NE(row, nullptr) << j.dump(2);
    EXPECT_EQ((*row)["folder"], names[2]);
    EXPECT_EQ((*row)["msn"], snaps[2][0].msn);
    EXPECT_EQ((*row)["copy"], Word());
    Json v;
    EXPECT_EQ(VerifyJson(backup, v), ibsdb::kCritical);
    EXPECT_EQ(Results(v)[names[2] + "/db0.vdb"], Word());

    std::string text;
    auto older = To("older");
    EXPECT_EQ(Restore(older, text), ibsdb::kWarning) << text;
    EXPECT_EQ(Same(older.to + "/db0.vdb", 1, 0), "");
    EXPECT_EQ(Same(older.to + "/db2.vdb", 0, 2), "");

    ASSERT_EQ(::unlink(Db(1, 0).c_str()), 0);
    ASSERT_EQ(::unlink(Db(0, 0).c_str()), 0);
    auto none = To("none");
    EXPECT_EQ(Restore(none, text), ibsdb::kCritical) << text;
    EXPECT_FALSE(testutil::Exists(none.to + "/db0.vdb"));
    EXPECT_EQ(Same(none.to + "/db1.vdb", 2, 1), "");
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedNewestCopyTest,
                         ::testing::Values("cut", "no header", "gone"));

TEST(IbsdbTextTest, DurationsTimesAndFolderNames) {
    std::uint64_t v = 0;
    EXPECT_TRUE(ibsdb::ParseDuration("1h30m", v) && v == 5400000000ull);
    for (const char* bad : {"5x", "1.5h", "2h5"}) EXPECT_FALSE(ibsdb::ParseDuration(bad, v)) << bad;
    // An offset after the time, with or without a space: the time is that far east of UTC.
    for (const auto& [text, utc] :
         std::map<std::string, std::uint64_t>{{"2026-01-01T12:05:50.5Z", 1767269150500000ull},
                                              {"2026-01-01 12:05", 1767269100000000ull},
                                              {"2026-12-06 22:30 +01:00", 1796592600000000ull},
                                              {"2026-12-06 16:30:00-05:00", 1796592600000000ull}}) {
        v = 0;
        EXPECT_TRUE(ibsdb::ParseTime(text, v) && v == utc) << text << " " << v;
    }
    for (const char* bad : {"2026-02-30 10:00", "2026-12-06 22:30 +0160", "2026-12-06 22:30 CET"})
        EXPECT_FALSE(ibsdb::ParseTime(bad, v)) << bad;
    bool exact = true;
    EXPECT_EQ(ibsdb::LastGoodNameTime("LastGood_2026-01-01_1205", &exact), 1767269100000000ull);
    EXPECT_FALSE(exact);
    EXPECT_EQ(ibsdb::LastGoodNameTime("LastGood_2026-01-01_1205_50.123456", &exact),
              1767269150123456ull);
    EXPECT_TRUE(exact);
    EXPECT_EQ(ibsdb::LastGoodNameTime("LastGood_2026-01-01_1205_50.1"), 0u);
}

// The lines docs/formats.md shows, the service's and an older service's without the words,
// read as the document says.
TEST(IbsdbTextTest, ReasonAndFailedLinesOfTheFormatsDocumentReadAsDocumented) {
    const std::string doc = testutil::ReadFile(std::string(IBS_SOURCE_DIR) + "/docs/formats.md");
    auto rows = [&](const std::string& name) {
        std::vector<std::vector<std::string>> out;
        std::istringstream in(doc.substr(doc.find("<!-- checked: " + name + " -->")));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line) && !line.empty() && line[0] == '|') {
            std::vector<std::string> cells;
            std::istringstream r(line.substr(1));
            for (std::string c; std::getline(r, c, '|');)
                cells.push_back(c.substr(c.find_first_not_of(' '),
                                         c.find_last_not_of(' ') - c.find_first_not_of(' ') + 1));
            if (cells[0][0] == '`') out.push_back(cells);
        }
        EXPECT_GE(out.size(), 2u) << name;
        return out;
    };
    auto unquote = [](const std::string& c) { return c.substr(1, c.size() - 2); };
    auto words = [](const std::string& c) { return c[0] == '(' ? std::string() : c; };
    for (const auto& r : rows("reasons-lines")) {
        Talon::ReasonLine f;
        ASSERT_EQ(Talon::DecodeReasonLine(unquote(r[0]), f), Talon::TsvLine::kEntry) << r[0];
        EXPECT_EQ(f.error, std::stoi(r[1]));
        EXPECT_EQ(f.why, words(r[2]));
    }
    for (const auto& r : rows("failed-lines")) {
        Talon::FailedLine f;
        ASSERT_EQ(Talon::DecodeFailedLine(unquote(r[0]), f), Talon::TsvLine::kEntry) << r[0];
        EXPECT_TRUE(f.complete) << r[0];
        EXPECT_EQ(f.error, std::stoi(r[1]));
        EXPECT_EQ(f.words, words(r[2]));
    }
}

// A FIFO where a copy was, another named like a database, and a device (a clone of
// /dev/zero, whose bytes a reader would take for a copy's): status, verify and restore never
// wait for them or read them; verify names each, restore takes the newest copy that is a file.
TEST_F(BackupTest, FifosAndDevicesInALastGoodFolderAreNeverRead) {
    ASSERT_EQ(::unlink(Db(2, 0).c_str()), 0);
    ASSERT_TRUE(testutil::MakeFifo(Db(2, 0)));
    ASSERT_EQ(::unlink(Db(2, 1).c_str()), 0);
    ASSERT_EQ(::mknod(Db(2, 1).c_str(), S_IFCHR | 0600, makedev(1, 5)), 0);
    const std::string extra = backup + "/" + names[2] + "/extra.vdb";
    ASSERT_TRUE(testutil::MakeFifo(extra));
    const std::vector<std::string> fifos = {Db(2, 0), extra};
    Json j;
    int rc = -1;
    EXPECT_TRUE(testutil::FinishesWithin(5000, fifos, [&] { rc = StatusJson(j, now); }));
    EXPECT_NE(rc, -1);
    EXPECT_TRUE(testutil::FinishesWithin(5000, fifos, [&] { rc = VerifyJson(backup, j); }));
    EXPECT_EQ(rc, ibsdb::kCritical);
    auto r = Results(j);
    EXPECT_EQ(r[names[2] + "/db0.vdb"], "unreadable");
    EXPECT_EQ(r[names[2] + "/db1.vdb"], "unreadable");
    EXPECT_EQ(r[names[2] + "/extra.vdb"], "unreadable");
    EXPECT_TRUE(testutil::FinishesWithin(5000, fifos, [&] { rc = ListJson(j); }));
    EXPECT_EQ(rc, ibsdb::kCritical);
    std::string text;
    EXPECT_TRUE(testutil::FinishesWithin(5000, fifos, [&] { rc = Restore({}, text); }));
    EXPECT_EQ(Same(tmp / "restored/db0.vdb", 1, 0), "") << text;
    EXPECT_EQ(Same(tmp / "restored/db1.vdb", 1, 1), "") << text;
    EXPECT_FALSE(testutil::Exists(tmp / "restored/extra.vdb"));
    EXPECT_TRUE(testutil::IsFifo(Db(2, 0)));
}

// A FIFO under the name of a file the service keeps (its state, its lists, a folder's
// manifest): status, verify, restore and prune never wait for it.
TEST_F(BackupTest, FifosInPlaceOfTheServicesOwnFilesNeverHoldACommandUp) {
    const std::string manifest = names[2] + "/manifest.tsv";
    int n = 0;
    for (const std::string& place :
         std::vector<std::string>{"State.tsv", "Failed.tsv", "Rejected/reasons.tsv", manifest}) {
        SCOPED_TRACE(place);
        const std::string fifo = backup + "/" + place;
        const std::string kept = testutil::IsFile(fifo) ? testutil::ReadFile(fifo) : "";
        ::unlink(fifo.c_str());
        ASSERT_TRUE(testutil::MakeFifo(fifo));
        Json status, verify;
        int rc = -1, verified = -1, restored = -1, pruned = -1;
        std::string text;
        ibsdb::RestoreOptions o;
        o.to = tmp / ("restored" + std::to_string(n++));
        ibsdb::PruneOptions p;
        p.backup = backup;
        p.now = now;
        std::ostringstream out;
        EXPECT_TRUE(testutil::FinishesWithin(20000, {fifo}, [&] {
            rc = StatusJson(status, now);
            verified = VerifyJson(backup, verify);
            restored = Restore(o, text);
            pruned = ibsdb::PruneRejected(p, out);
        }));
        // Each database is restored from its newest copy whatever the FIFO stands in for; db2's
        // is older than the others': a restore that mixes interval ends.
        EXPECT_EQ(restored, ibsdb::kWarning) << text;
        EXPECT_EQ(Same(o.to + "/db0.vdb", 2, 0), "") << text;
        EXPECT_EQ(Same(o.to + "/db2.vdb", 0, 2), "") << text;
        EXPECT_NE(rc, ibsdb::kUnknown);
        EXPECT_EQ(verified, place == manifest ? ibsdb::kCritical : ibsdb::kOk) << verify.dump(1);
        // Pruning needs the reasons to know what is old: it removes nothing.
        EXPECT_EQ(pruned == ibsdb::kUnknown, place == "Rejected/reasons.tsv") << out.str();
        if (place == "Failed.tsv") {
            EXPECT_TRUE(status["failed"].empty()) << status["failed"];  // read as missing
        }
        EXPECT_TRUE(testutil::IsFifo(fifo));
        ::unlink(fifo.c_str());
        if (!kept.empty()) testutil::WriteFile(fifo, kept);
    }
}

TEST_F(BackupTest, ListShowsEveryRestorePointNewestFirstAndCountsASharedFileOnce) {
    ShareDb1();
    // An interval that started links db0's newest copy into InProgress/.
    testutil::MakeDirs(backup + "/InProgress");
    ASSERT_EQ(::link(Db(2, 0).c_str(), (backup + "/InProgress/db0.vdb").c_str()), 0);
    Json j;
    ASSERT_EQ(ListJson(j), ibsdb::kOk) << j.dump(2);
    ASSERT_EQ(j["restore_points"].size(), 3u);
    // What only that folder holds on to.
    const std::uint64_t unique[] = {
        Blocks(Db(0, 0)) + Blocks(Db(0, 1)) + Blocks(Db(0, 2)) + Blocks(Manifest(0)),
        Blocks(Db(1, 0)) + Blocks(Manifest(1)), Blocks(Manifest(2))};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const Json& p = j["restore_points"][static_cast<std::size_t>(2 - k)];
        EXPECT_EQ(p["folder"], names[k]);
        EXPECT_EQ(p["whole"], true);
        EXPECT_EQ(p["unique_bytes"], unique[k]);
    }
    const Json& db1 = j["restore_points"][0]["databases"][1];
    EXPECT_EQ(db1["msn"], snaps[1][1].msn);
    EXPECT_EQ(db1["state"], "held");
    EXPECT_EQ(j["summary"]["on_disk_bytes"],
              unique[0] + unique[1] + unique[2] + Blocks(Db(1, 1)) + Blocks(Db(2, 0)));
}

TEST_F(BackupTest, ListSaysWhyAPointIsNotWholeFromSizesAndHeaders) {
    // Copies the service pruned: not whole, and nothing wrong.
    ASSERT_EQ(::unlink(Db(0, 0).c_str()), 0);
    ASSERT_EQ(::unlink(Db(0, 1).c_str()), 0);
    Json j;
    EXPECT_EQ(ListJson(j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["restore_points"][2]["whole"], false);
    EXPECT_EQ(j["restore_points"][2]["removed_copies"], 2);
    EXPECT_EQ(j["restore_points"][2]["databases"][0]["copy"], "superseded");

    // One copy longer than listed, one cut short, a failed database's only copy gone, a
    // manifest damaged.
    testutil::WriteFile(Db(2, 0), testutil::ReadFile(Db(2, 0)) + "tail");
    ASSERT_EQ(::truncate(Db(2, 1).c_str(), 4096 * 3), 0);
    ASSERT_EQ(::unlink(Db(0, 2).c_str()), 0);
    std::string m = testutil::ReadFile(Manifest(1));
    m[m.find("\tdb0.vdb\t") + 3] = '9';
    testutil::WriteFile(Manifest(1), m);
    EXPECT_EQ(ListJson(j), ibsdb::kCritical);
    const std::string reasons = j["reasons"].dump();
    EXPECT_TRUE(Has(reasons, names[2] + ": db0.vdb: differs"));
    EXPECT_TRUE(Has(reasons, names[2] + ": db1.vdb: not-a-database"));
    EXPECT_TRUE(Has(reasons, names[0] + ": db2.vdb: missing"));
    const Json& damaged = j["restore_points"][1];
    EXPECT_EQ(damaged["manifest"], "damaged");
    EXPECT_EQ(damaged["database_count"], 2);  // known by their headers
    EXPECT_EQ(damaged["databases"][0]["listed"], false);
    {
        Mirel::FaultEnv faults;
        Mirel::Env::Scope files(faults);
        faults.Arm(Mirel::FsOp::kOpenRead, Manifest(2), Mirel::kErrIO);
        EXPECT_EQ(ListJson(j), ibsdb::kCritical);
        EXPECT_TRUE(Has(j["restore_points"][0]["manifest_problem"].get<std::string>(), "20408"));
    }
    ASSERT_EQ(::unlink(Manifest(2).c_str()), 0);
    EXPECT_EQ(ListJson(j), ibsdb::kCritical);
    EXPECT_EQ(j["restore_points"][0]["manifest"], "missing");

    // A backup folder without a restore point yet is no error; another folder is none.
    ibsdb::ListOptions e{tmp / "empty", false};
    testutil::MakeDirs(e.backup + "/Changes");
    std::ostringstream out;
    EXPECT_EQ(ibsdb::List(e, out), ibsdb::kOk);
    testutil::MakeDirs(tmp / "other/Documents");
    EXPECT_EQ(ibsdb::List({tmp / "other", false}, out), ibsdb::kUnknown);
}

// A rotted byte in a file the newest two folders share: restore passes over both copies to
// the oldest. With every listed copy rotted the database fails; a copy no manifest lists
// is named, never taken (a rotted page passes a look at the structure).
TEST_F(BackupTest, RestoreFallsBackToTheNewestCopyThatPassesItsManifest) {
    ShareDb1();
    testutil::FlipByte(Db(2, 1), 4096 * 4 + 100);
    std::string text;
    auto o = To("a");
    o.json = true;
    EXPECT_EQ(Restore(o, text), ibsdb::kWarning);
    const Json db1 = Json::parse(text)["databases"][1];
    EXPECT_EQ(db1["folder"], names[0]) << db1;
    EXPECT_EQ(db1["newest_copy"], false);
    EXPECT_EQ(Same(o.to + "/db1.vdb", 0, 1), "");

    for (int k = 0; k < 3; ++k) testutil::FlipByte(Db(k, 0), 4096 * 2 + 7);
    o.to = tmp / "b";
    o.json = false;
    EXPECT_EQ(Restore(o, text), ibsdb::kCritical) << text;
    std::vector<Mirel::Os::DirEntry> left;
    ASSERT_EQ(Mirel::Os::ListDir(o.to, left), 0);
    EXPECT_EQ(left.size(), 2u);  // db1 and db2, no temporary file
    EXPECT_EQ(Same(o.to + "/db1.vdb", 0, 1), "");

    ASSERT_EQ(::unlink(Manifest(0).c_str()), 0);
    o.to = tmp / "c";
    EXPECT_EQ(Restore(o, text), ibsdb::kCritical);
    EXPECT_TRUE(Has(text, "--at " + names[0] + " --database db0.vdb restores it"));
    EXPECT_FALSE(testutil::Exists(o.to + "/db0.vdb"));
}

// expire on the three folders above: db2's only copy lies in the oldest folder.
class ExpireTest : public BackupTest {
protected:
    std::map<std::string, std::string> Tree() const { return testutil::TreeOf(backup); }
    int Expire(std::int64_t keep, std::int64_t hours, std::string& text, bool dryRun = false,
               bool json = false, const std::string& prefs = "") {
        ibsdb::ExpireOptions o;
        o.backup = backup;
        o.keep = keep;
        o.keepHours = hours;
        o.dryRun = dryRun;
        o.json = json;
        o.prefs = prefs.empty() ? tmp / "no-prefs.xml" : prefs;
        std::ostringstream out;
        int rc = ibsdb::Expire(o, out);
        text = out.str();
        return rc;
    }
    std::string Folder(int k) const { return backup + "/" + names[k]; }
    testutil::TempDir outside;
};

TEST_F(ExpireTest, KeepsTheNewestFoldersWholeAndEveryDatabasesNewestCopy) {
    // Someone else's file in the middle folder, a link in the oldest where a copy was, and an
    // interval left unfinished whose in-progress copy still shares the oldest db0.
    testutil::WriteFile(Folder(1) + "/notes.txt", "mine");
    testutil::WriteFile(outside / "precious.vdb", "not the service's");
    ASSERT_EQ(::unlink(Db(0, 1).c_str()), 0);
    ASSERT_EQ(::symlink((outside / "precious.vdb").c_str(), Db(0, 1).c_str()), 0);
    testutil::MakeDirs(backup + "/InProgress");
    ASSERT_EQ(::link(Db(0, 0).c_str(), (backup + "/InProgress/db0.vdb").c_str()), 0);
    testutil::MakeDirs(Folder(1) + "/db0.vdb.rc/blobs");
    testutil::WriteFile(Folder(1) + "/db0.vdb.rc/blobs/1", "container of db0");
    const auto before = Tree();

    std::string text;
    ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    // The newest folder is whole, db2's only copy is where it was, byte for byte.
    const auto after = Tree();
    for (const auto& [rel, bytes] : before)
        if (rel.rfind(names[2], 0) == 0 || rel.find("db2.vdb") != std::string::npos ||
            rel.rfind("InProgress", 0) == 0 || rel.find("notes.txt") != std::string::npos ||
            rel == "Failed.tsv") {
            EXPECT_TRUE(after.count(rel) && after.at(rel) == bytes) << rel << "\n" << text;
        }
    // db0 and db1 of the middle folder had newer copies: gone, db0 with its container; the
    // folder stays for the file someone else put there.
    EXPECT_FALSE(testutil::Exists(Db(1, 0)));
    EXPECT_FALSE(testutil::Exists(Db(1, 1)));
    EXPECT_FALSE(testutil::Exists(Folder(1) + "/db0.vdb.rc"));
    EXPECT_EQ(testutil::ReadFile(Folder(1) + "/notes.txt"), "mine");
    // The oldest folder: db0 is shared with InProgress/, db1 is a link: both stay, and what
    // the link leads to is untouched.
    EXPECT_TRUE(testutil::IsFile(Db(0, 0)));
    EXPECT_EQ(testutil::ReadFile(outside / "precious.vdb"), "not the service's");
    EXPECT_TRUE(std::filesystem::is_symlink(Db(0, 1)));
    // Every database restores as before: the newest states of db0 and db1, db2's old one.
    ibsdb::RestoreOptions ro;
    std::string restored;
    EXPECT_EQ(Restore(ro, restored), ibsdb::kWarning) << restored;
    EXPECT_EQ(Same(tmp / "restored/db0.vdb", 2, 0), "");
    EXPECT_EQ(Same(tmp / "restored/db1.vdb", 2, 1), "");
    EXPECT_EQ(Same(tmp / "restored/db2.vdb", 0, 2), "");

    // Once the unfinished interval is gone, the oldest folder keeps db2's copy only, and a
    // second run finds nothing more to take.
    ASSERT_EQ(::unlink((backup + "/InProgress/db0.vdb").c_str()), 0);
    ASSERT_EQ(::unlink(Db(0, 1).c_str()), 0);
    ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    EXPECT_FALSE(testutil::Exists(Db(0, 0)));
    EXPECT_EQ(Same(Db(0, 2), 0, 2), "");
    const auto expired = Tree();
    ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    EXPECT_EQ(Tree(), expired);
}

TEST_F(ExpireTest, ADryRunChangesNothingAndSaysWhatWouldGo) {
    const auto before = Tree();
    std::string text;
    ASSERT_EQ(Expire(1, 0, text, true), ibsdb::kOk) << text;
    ASSERT_EQ(Expire(1, 0, text, true, true), ibsdb::kOk) << text;
    EXPECT_EQ(Tree(), before);
    const Json j = Json::parse(text);
    EXPECT_EQ(j["removed_copies"], 4);
    EXPECT_EQ(j["folders"][0]["spared"][0]["uuid"], uuids[2]);
    // A real run removes exactly what the dry run named.
    ASSERT_EQ(Expire(1, 0, text, false, true), ibsdb::kOk) << text;
    EXPECT_EQ(Json::parse(text)["removed_copies"], 4);
    EXPECT_FALSE(testutil::Exists(Folder(1)));
}

TEST_F(ExpireTest, TheAgeAndThePreferenceFileDecideWhatIsKept) {
    std::string text;
    // The middle folder ended an hour before the newest: younger than 2 hours, whole. The
    // oldest, exactly two hours before, is not.
    const auto middle = Tree();
    ASSERT_EQ(Expire(1, 2, text), ibsdb::kOk) << text;
    EXPECT_TRUE(testutil::IsFile(Db(1, 0)));
    EXPECT_FALSE(testutil::Exists(Db(0, 0)));
    EXPECT_TRUE(testutil::IsFile(Db(0, 2)));
    for (const auto& [rel, bytes] : middle)
        if (rel.rfind(names[1], 0) == 0 && bytes != "<dir>") {
            EXPECT_EQ(testutil::ReadFile(backup + "/" + rel), bytes) << rel;
        }

    // Without options the preferences decide: 82 = 3 keeps all three.
    const std::string prefs = tmp / "prefs.xml";
    testutil::WriteFile(prefs,
                        "<preferences><pref id=\"82\" type=\"int\">3</pref></preferences>\n");
    const auto before = Tree();
    EXPECT_EQ(Expire(-1, -1, text, false, false, prefs), ibsdb::kOk) << text;
    EXPECT_EQ(Tree(), before);
    EXPECT_TRUE(Has(text, "(keep 3, keep-hours 0)"));
    // No file: 2, the service's default; the middle folder is kept whole by count now.
    EXPECT_EQ(Expire(-1, -1, text), ibsdb::kOk) << text;
    EXPECT_EQ(Tree(), before);
    EXPECT_TRUE(Has(text, "(keep 2, keep-hours 0)"));
    // A file the service would refuse gives no defaults: nothing is done.
    testutil::WriteFile(prefs,
                        "<preferences><pref id=\"82\" type=\"int\">1</pref></preferences>\n");
    EXPECT_EQ(Expire(-1, -1, text, false, false, prefs), ibsdb::kUnknown) << text;
    EXPECT_TRUE(testutil::IsFile(Db(1, 0)));
    EXPECT_EQ(Expire(1, 0, text, false, false, prefs), ibsdb::kOk) << text;
    EXPECT_FALSE(testutil::Exists(Db(1, 0)));
}

TEST_F(ExpireTest, AKilledServicesStateDoesNotHoldItUpAndATornOneIsRefused) {
    // Torn (its checksum fails): whether a service runs is not known, nothing is done.
    testutil::WriteKilledServiceState(backup, now, false);
    const auto before = Tree();
    std::string text;
    EXPECT_EQ(Expire(1, 0, text), ibsdb::kUnknown) << text;
    EXPECT_EQ(Tree(), before);
    testutil::WriteKilledServiceState(backup, now);
    EXPECT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    EXPECT_FALSE(testutil::Exists(Db(0, 0)));
    // A folder that is no backup folder is refused.
    testutil::MakeDirs(tmp / "plain");
    ibsdb::ExpireOptions o;
    o.backup = tmp / "plain";
    o.keep = 1;
    o.keepHours = 0;
    std::ostringstream out;
    EXPECT_EQ(ibsdb::Expire(o, out), ibsdb::kUnknown);
}

// An expiry killed before any one of its removals: each database still restores to its newest
// state, no point looks whole that lacks a file its manifest lists, and expiring again ends
// where an expiry that was never killed ends.
TEST_F(ExpireTest, AnExpiryKilledAtAnyRemovalLeavesNoPointThatLooksWholeAndIsNot) {
    testutil::MakeDirs(Folder(1) + "/db0.vdb.rc/blobs");
    testutil::WriteFile(Folder(1) + "/db0.vdb.rc/blobs/1", "container of db0");
    ASSERT_TRUE(WriteManifest(Folder(1), ends[1]));
    testutil::TempDir pristine;
    const std::string copy = "cp -a " + backup + "/. " + pristine.path();
    ASSERT_EQ(std::system(copy.c_str()), 0);
    std::string text;
    ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    const auto expired = Tree();
    bool finished = false;
    for (int n = 1; !finished && n < 100; ++n) {
        SCOPED_TRACE("killed before removal " + std::to_string(n));
        const std::string reset =
            "rm -rf " + backup + " && cp -a " + pristine.path() + " " + backup;
        ASSERT_EQ(std::system(reset.c_str()), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            testutil::RemovalCounter dies(n);
            Mirel::Env::Scope use(dies);
            std::string ignored;
            ::_exit(Expire(1, 0, ignored) == ibsdb::kOk ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        finished = WEXITSTATUS(status) == 0;
        ASSERT_TRUE(finished || WEXITSTATUS(status) == 9) << WEXITSTATUS(status);
        // Whole only with every listed file there, checked here without list's help.
        Json j;
        ListJson(j);
        for (const auto& point : j["restore_points"]) {
            const std::string folder = backup + "/" + point["folder"].get<std::string>();
            EXPECT_TRUE(testutil::ListedFilesThere(folder) || !point["whole"].get<bool>())
                << folder << " lacks a listed file";
        }
        EXPECT_TRUE(j["restore_points"][0]["whole"].get<bool>()) << "the newest point";
        ibsdb::RestoreOptions ro;
        ro.to = tmp / ("restored" + std::to_string(n));
        ASSERT_EQ(Restore(ro, text), ibsdb::kWarning) << text;
        EXPECT_EQ(Same(ro.to + "/db0.vdb", 2, 0), "");
        EXPECT_EQ(Same(ro.to + "/db1.vdb", 2, 1), "");
        EXPECT_EQ(Same(ro.to + "/db2.vdb", 0, 2), "");
        ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
        EXPECT_EQ(testutil::TreeDiff(expired, Tree()), "") << text;
    }
    EXPECT_TRUE(finished) << "the expiry never ran to its end";
}

TEST_F(ExpireTest, NothingIsRemovedThroughAFolderThatIsALink) {
    // The oldest folder's manifest lists sub/old.vdb, a copy of db0 (a newer copy of which
    // exists); then sub/ becomes a link to a folder elsewhere holding the same file.
    testutil::MakeDirs(Folder(0) + "/sub");
    testutil::WriteFile(Folder(0) + "/sub/old.vdb", testutil::ReadFile(Db(0, 0)));
    ASSERT_TRUE(WriteManifest(Folder(0), ends[0]));
    testutil::MakeDirs(outside / "sub");
    ASSERT_EQ(::rename((Folder(0) + "/sub/old.vdb").c_str(), (outside / "sub/old.vdb").c_str()), 0);
    ASSERT_EQ(::rmdir((Folder(0) + "/sub").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "sub").c_str(), (Folder(0) + "/sub").c_str()), 0);
    std::string text;
    ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    EXPECT_TRUE(testutil::IsFile(outside / "sub/old.vdb")) << text;
    EXPECT_TRUE(Has(text, "  kept sub/old.vdb  " + uuids[0]));
    EXPECT_FALSE(testutil::Exists(Db(0, 0)));
    EXPECT_TRUE(testutil::IsFile(Db(0, 2)));
}
