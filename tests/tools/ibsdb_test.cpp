// ibsdb on real folders: three intervals of three databases, db2 failed after the first.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "platform/engine/Formats.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/Manifest.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/tools/Expiry.h"
#include "tests/tools/Has.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"
#include "tools/sim/DatabaseModel.h"

using ibsdb::Json;
using Values = std::vector<Json>;

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

// `command` on `o` with JSON output parsed into `j`; its exit code.
template <class Options, class Command>
int RunJson(Command command, Options o, Json& j) {
    o.json = true;
    std::ostringstream out;
    const int rc = command(o, out);
    j = Json::parse(out.str());
    return rc;
}

class BackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        backup = tmp / "backup";
        for (int i = 0; i < 3; ++i) models.emplace_back(100 + i, 4096, 8);
        for (int k = 0; k < 3; ++k) {
            ends.push_back(now - static_cast<std::uint64_t>(3 - k) * kHour + 17500000);
            names.push_back("LastGood_" + Talon::BackupFolder::MakeTimestamp(ends.back()).ToUTF8());
            testutil::MakeDirs(Folder(k));
            snaps.emplace_back();
            for (int i = 0; i < 3; ++i) {
                const std::string scratch = tmp / "scratch.vrl";
                ::unlink(scratch.c_str());
                ASSERT_TRUE(models[i].WriteRedoLog(P(scratch), 5, ends.back(), false).OK());
                snaps.back().push_back({models[i].Uuid(), models[i].MSN(), models[i].Pages()});
                if (i == 2 && k > 0) continue;  // failed after the first interval
                ASSERT_TRUE(models[i].WriteFullCopy(P(Db(k, i))).OK());
            }
            ASSERT_TRUE(WriteManifest(Folder(k), ends.back()));
        }
        for (int i = 0; i < 3; ++i) uuids.push_back(models[i].UuidText());
        testutil::WriteFile(backup + "/Failed.tsv",
                            "# failed\n" + uuids[2] + "\t10721\t" + std::to_string(ends[1]) + "\n");
    }

    std::string Folder(int k) const { return backup + "/" + names[k]; }
    static void Remove(const std::vector<std::string>& paths) {
        for (const auto& p : paths) ASSERT_EQ(::unlink(p.c_str()), 0) << p;
    }
    std::string Db(int k, int i) const { return Folder(k) + "/db" + std::to_string(i) + ".vdb"; }
    std::string Manifest(int k) const { return Folder(k) + "/manifest.tsv"; }
    std::string Same(const std::string& file, int k, int i) const {
        const Snapshot& s = snaps[k][i];
        return sim::DatabaseModel::Compare(P(file), s.uuid, s.msn, s.pages);
    }
    // Each db<i>.vdb in tmp/`to` holds interval from[i]'s state; -1: it is not there, -2: any.
    std::string Restored(const std::string& to, const std::vector<int>& from) const {
        std::string d;
        for (int i = 0; i < static_cast<int>(from.size()); ++i) {
            const std::string f = tmp / to + "/db" + std::to_string(i) + ".vdb";
            const std::string diff = from[i] >= 0    ? Same(f, from[i], i)
                                     : from[i] == -1 ? (testutil::Exists(f) ? "is there" : "")
                                                     : "";
            if (!diff.empty()) d += f + ": " + diff + "\n";
        }
        return d;
    }
    int StatusJson(Json& j, std::uint64_t at, std::uint64_t warn = 2 * kHour,
                   std::uint64_t crit = 24 * kHour) {
        ibsdb::StatusOptions o{backup, false, warn, crit};
        o.now = at;
        const int rc = RunJson(ibsdb::Status, o, j);
        EXPECT_EQ(j["exit_code"], rc);
        return rc;
    }
    int VerifyJson(const std::string& path, Json& j) {
        return RunJson(ibsdb::Verify, ibsdb::VerifyOptions{path, true}, j);
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
        const int rc = RunJson(ibsdb::List, ibsdb::ListOptions{backup, true}, j);
        EXPECT_EQ(j["exit_code"], rc);
        return rc;
    }
    // The newest folder's db1 is the folder before's file, held (as the service carries it on).
    void ShareDb1() {
        ASSERT_EQ(::unlink(Db(2, 1).c_str()), 0);
        ASSERT_EQ(::link(Db(1, 1).c_str(), Db(2, 1).c_str()), 0);
        ASSERT_TRUE(WriteManifest(Folder(2), ends[2], {"db1.vdb"}));
    }
    int Prune(const std::string& olderThan, std::string& text, bool dryRun = false) {
        ibsdb::PruneOptions o{backup, 0, dryRun, now};
        EXPECT_TRUE(ibsdb::ParseDuration(olderThan, o.olderThan));
        std::ostringstream out;
        const int rc = ibsdb::PruneRejected(o, out);
        text = out.str();
        return rc;
    }
    // restore into tmp/`to`, `set` changing the options first; its output in `text`.
    int Restore(std::string& text, const std::string& to = "restored",
                const std::function<void(ibsdb::RestoreOptions&)>& set = {}) {
        ibsdb::RestoreOptions o;
        o.backup = backup;
        o.to = tmp / to;
        if (set) set(o);
        std::ostringstream out;
        const int rc = ibsdb::Restore(o, out);
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
    // Pending: two logs (one headerless); kept: an applied log and its interval's done file.
    const std::string redo = backup + "/Changes/Redo_1767299000000000";
    const std::string old = backup + "/Changes/Redo_1767290000000000";
    for (const std::string& d : {redo, old}) testutil::MakeDirs(d);
    ASSERT_TRUE(models[0].WriteRedoLog(P(redo + "/1-db0.vrl"), 3, now - 60000000, false).OK());
    testutil::WriteFile(redo + "/3-db2.vrl", std::string(700, 'x'));
    ASSERT_TRUE(sim::DatabaseModel(101, 4096, 8)
                    .WriteRedoLog(P(old + "/2-db1.VRL"), 5, ends[0], false)
                    .OK());
    ASSERT_TRUE(sim::WriteIntervalDone(P(redo + "/IntervalDone.vid"), now - 1, {}).OK());
    ASSERT_TRUE(sim::WriteIntervalDone(P(old + "/intervaldone.VID"), ends[0], {}).OK());
    // Set aside: two for one reason (one line without words), one for a failure, one lineless.
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
    EXPECT_EQ(Col(j["databases"], "folder"), (Values{names[2], names[2], names[0]}));
    EXPECT_EQ(Col(j["databases"], "msn"),
              (Values{snaps[2][0].msn, snaps[2][1].msn, snaps[0][2].msn}));
    EXPECT_EQ(Col(Col(j["failed"], "newest_copy"), "folder"), Values{names[0]});
    EXPECT_EQ(Values({j["pending"]["redo_logs"], j["pending"]["applied_logs_kept"]}),
              (Values{2, 1}));
    ASSERT_EQ(j["rejected"].size(), 4u);
    EXPECT_EQ(j["rejected"][0]["original_path"], "/b/Changes/R/a\tb.vrl");
    // Counted by reason, the largest group first.
    EXPECT_EQ(Col(j["rejected_by_reason"], "count"), (Values{2, 1, 1}));
}

TEST_F(BackupTest, StatusLagOfEveryDatabaseDecidesTheExitCode) {
    ::unlink((backup + "/Failed.tsv").c_str());
    Json j;
    // db2's newest copy is 3h old: within 4h, the others within 1h.
    EXPECT_EQ(StatusJson(j, now, 4 * kHour, 8 * kHour), ibsdb::kOk) << j.dump();
    EXPECT_EQ(StatusJson(j, now + kHour + 20000000, 4 * kHour, 8 * kHour), ibsdb::kWarning);
    EXPECT_TRUE(Has(j["reasons"][0].get<std::string>(), "db2.vdb"));
    EXPECT_EQ(StatusJson(j, now + 6 * kHour, 4 * kHour, 8 * kHour), ibsdb::kCritical);

    // A folder the service set up has no restore point yet; one it never set up is not its own.
    for (const char* d : {"empty/Changes", "empty/Copies", "other/Documents"})
        testutil::MakeDirs(tmp / d);
    ibsdb::StatusOptions o{tmp / "empty"};
    EXPECT_EQ(RunJson(ibsdb::Status, o, j), ibsdb::kCritical);
    o.backup = tmp / "other";
    EXPECT_EQ(RunJson(ibsdb::Status, o, j), ibsdb::kUnknown);
}

TEST_F(BackupTest, VerifyNamesEveryCopyThatDiffersAndTellsPrunedFromLost) {
    Json j;
    ASSERT_EQ(VerifyJson(backup, j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["summary"]["databases_checked"], 7);

    testutil::FlipByte(Db(2, 1), 4096 * 4 + 100);  // one byte in a page
    ASSERT_EQ(::truncate(Db(1, 0).c_str(), 4096 * 3), 0);
    ASSERT_EQ(::unlink(Db(0, 1).c_str()), 0);  // an older copy the service pruned
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kCritical);
    EXPECT_EQ(Results(j),
              (std::map<std::string, std::string>{{names[0] + "/db0.vdb", "ok"},
                                                  {names[0] + "/db1.vdb", "superseded"},
                                                  {names[0] + "/db2.vdb", "ok"},
                                                  {names[1] + "/db0.vdb", "not-a-database"},
                                                  {names[1] + "/db1.vdb", "ok"},
                                                  {names[2] + "/db0.vdb", "ok"},
                                                  {names[2] + "/db1.vdb", "differs"}}));
    EXPECT_EQ(j["summary"]["problems"], 2);

    ASSERT_EQ(::unlink(Db(0, 2).c_str()), 0);  // the only copy of the failed database
    EXPECT_EQ(VerifyJson(Folder(0), j), ibsdb::kCritical);
    ASSERT_EQ(j["folders"].size(), 1u);
    EXPECT_EQ(Results(j)[names[0] + "/db2.vdb"], "missing");
}

TEST_F(BackupTest, VerifyWarnsOfAMissingManifestARenamedFolderAndCallsADamagedOneCritical) {
    ASSERT_EQ(::unlink(Manifest(1).c_str()), 0);
    Json j;
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kWarning);
    EXPECT_EQ(Results(j)[names[1] + "/db0.vdb"], "structure-ok");
    ASSERT_EQ(std::rename(Folder(2).c_str(), (backup + "/LastGood_2030-01-01_0000").c_str()), 0);
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kWarning);
    EXPECT_EQ(j["folders"][0]["folder"], "LastGood_2030-01-01_0000");
    EXPECT_EQ(j["folders"][0]["name_matches"], false);

    std::string m = testutil::ReadFile(Manifest(0));
    m[m.find("\tdb0.vdb\t") + 3] = '9';
    testutil::WriteFile(Manifest(0), m);
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kCritical);
    EXPECT_EQ(j["folders"][2]["manifest"], "damaged");
    EXPECT_EQ(VerifyJson(tmp / "nowhere", j), ibsdb::kUnknown);
}

TEST_F(BackupTest, RestoreBringsBackEachDatabasesNewestStatePageByPage) {
    std::string text;
    // db2 comes from an older interval than the others: not one state of the server.
    ASSERT_EQ(Restore(text, "restored", [](auto& o) { o.json = true; }), ibsdb::kWarning) << text;
    const Json j = Json::parse(text);
    EXPECT_EQ(Col(j["databases"], "uuid"), (Values{uuids[0], uuids[1], uuids[2]})) << text;
    EXPECT_EQ(Col(j["databases"], "folder"), (Values{names[2], names[2], names[0]}));
    EXPECT_EQ(Col(Col(j["databases"], "interval_end"), "utc"), (Values{ends[2], ends[2], ends[0]}));
    EXPECT_EQ(Col(j["databases"], "msn"),
              (Values{snaps[2][0].msn, snaps[2][1].msn, snaps[0][2].msn}));
    EXPECT_EQ(Restored("restored", {2, 2, 0}), "");

    ASSERT_EQ(Restore(text, "at", [&](auto& o) { o.at = ends[1]; }), ibsdb::kWarning) << text;
    EXPECT_EQ(Restored("at", {1, 1, 0}), "");
    ASSERT_EQ(Restore(text, "before", [&](auto& o) { o.at = ends[1] - 1; }), ibsdb::kOk) << text;
    EXPECT_EQ(Restored("before", {0, 0, 0}), "");
    ASSERT_EQ(Restore(text, "folder", [&](auto& o) { o.atFolder = names[1]; }), ibsdb::kOk);
    EXPECT_EQ(Restored("folder", {1, 1, -1}), "");

    std::string upper = uuids[0];
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    ASSERT_EQ(Restore(text, "some", [&](auto& o) { o.databases = {"db1", upper}; }), ibsdb::kOk);
    EXPECT_EQ(Restored("some", {2, 2, -1}), "");
    EXPECT_EQ(Restore(text, "none", [&](auto& o) { o.databases = {"db7"}; }), ibsdb::kUnknown);
    EXPECT_FALSE(testutil::Exists(tmp / "none"));
    // Before every restore point: refused, naming the earliest there is.
    ASSERT_EQ(Restore(text, "early", [&](auto& o) { o.at = ends[0] - 1; }), ibsdb::kUnknown);
    EXPECT_TRUE(Has(text, "the oldest restore point is " + names[0]));
    EXPECT_FALSE(testutil::Exists(tmp / "early"));
}

TEST_F(BackupTest, RestoreRefusesANonEmptyTargetUnlessForcedAndNeverPlacesADamagedCopy) {
    const std::string to = tmp / "restored";
    testutil::MakeDirs(to);
    testutil::WriteFile(to + "/db0.vdb", "an older restore");
    testutil::WriteFile(to + "/keep.txt", "mine");
    std::string text;
    EXPECT_EQ(Restore(text), ibsdb::kUnknown);
    const auto inside = [&](auto& o) {
        o.to = Folder(2);
        o.force = true;
    };
    EXPECT_EQ(Restore(text, "", inside), ibsdb::kUnknown);
    EXPECT_EQ(testutil::ReadFile(to + "/db0.vdb"), "an older restore");
    const auto force = [](auto& o) { o.force = true; };
    ASSERT_EQ(Restore(text, "restored", force), ibsdb::kWarning) << text;  // db2 is older
    EXPECT_EQ(Restored("restored", {2, 2, 0}), "");
    EXPECT_EQ(testutil::ReadFile(to + "/keep.txt"), "mine");

    // A damaged newest copy is never placed: asked for its folder, no other copy stands in.
    testutil::FlipByte(Db(2, 0), 4096 * 2 + 7);
    EXPECT_EQ(Restore(text, "folder", [&](auto& o) { o.atFolder = names[2]; }), ibsdb::kCritical);
    EXPECT_EQ(Restored("folder", {-1}), "");
}

// A failing disk: the file is named, restore leaves nothing half-written or changed.
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
    EXPECT_EQ(Restore(text), ibsdb::kCritical) << text;
    EXPECT_TRUE(Has(text, "20407"));
    EXPECT_EQ(testutil::TreeOf(to), (std::map<std::string, std::string>{})) << "left in the target";
    faults.Clear();
    // The disk has room again: the same restore, forced over what is there, is whole.
    EXPECT_EQ(Restore(text, "restored", [](auto& o) { o.force = true; }), ibsdb::kWarning) << text;
    EXPECT_EQ(Restored("restored", {2, 2, 0}), "");
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kOk) << j.dump(2);
}

TEST_F(BackupTest, HeldAndReplacedCopiesAreShownAsSuch) {
    // db1 held in the newest folder (interval 1's state); db2 dropped and made anew there.
    testutil::WriteFile(Db(2, 1), testutil::ReadFile(Db(1, 1)));
    sim::DatabaseModel fresh(200, 4096, 8);
    ASSERT_TRUE(fresh.WriteFullCopy(P(Folder(2) + "/db2.vdb")).OK());
    ASSERT_TRUE(WriteManifest(Folder(2), ends[2], {"db1.vdb"}));
    testutil::WriteFile(backup + "/Failed.tsv", "# failed\n" + uuids[1] + "\t10709\t" +
                                                    std::to_string(ends[2]) + "\n" + uuids[2] +
                                                    "\t10726\t" + std::to_string(ends[2]) + "\n");
    Json j;
    // The replaced database's old copy is hours old: its lag counts for nothing.
    EXPECT_EQ(StatusJson(j, now, 2 * kHour, 2 * kHour + kHour / 2), ibsdb::kWarning) << j.dump(2);
    std::map<std::string, Json> rows;
    for (const auto& d : j["databases"]) rows[d["uuid"].get<std::string>()] = d;
    EXPECT_EQ(Values({rows[uuids[0]]["held"], rows[uuids[1]]["held"], rows[uuids[2]]["replaced"]}),
              (Values{false, true, true}));
    EXPECT_EQ(VerifyJson(Folder(2), j), ibsdb::kOk);
    for (const auto& x : j["folders"][0]["files"])
        EXPECT_EQ(x["held"], x["path"] == "db1.vdb") << x.dump();

    std::string text;
    EXPECT_EQ(Restore(text), ibsdb::kWarning) << text;
    EXPECT_EQ(Restored("restored", {2, 1}), "");
    EXPECT_EQ(fresh.Compare(P(tmp / "restored/db2.vdb")), "");
    EXPECT_EQ(Restore(text, "old", [&](auto& o) { o.databases = {uuids[2]}; }), ibsdb::kOk);
    EXPECT_EQ(Restored("old", {-1, -1, 0}), "");
}

// Rejected/ with old and new files, a container, links outside, a line of a move never made.
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
        for (const auto& [to, from] :
             {std::pair{"precious.txt", "link.vrl"}, {"dir", "dir.vrl"}, {"dir", "new.vrl.rc"}})
            ASSERT_EQ(::symlink((outside / to).c_str(), (rejected + "/" + from).c_str()), 0);
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
    std::set<std::string> Rejected() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(rejected))
            names.insert(e.path().filename().string());
        return names;
    }
    testutil::TempDir outside;
    std::string rejected;
    std::vector<std::string> lines;
};

TEST_F(PruneTest, RemovesWhatWasSetAsideBeforeTheLimitWithItsLinesAndKeepsARecord) {
    std::string text;
    // A dry run says what would go and changes nothing; what links led to is never touched.
    const auto before = testutil::TreeOf(rejected), mine = testutil::TreeOf(outside.path());
    ASSERT_EQ(Prune("30d", text, true), ibsdb::kOk) << text;
    EXPECT_EQ(testutil::TreeOf(rejected), before);

    ASSERT_EQ(Prune("30d", text), ibsdb::kOk) << text;
    EXPECT_EQ(Rejected(), (std::set<std::string>{"new.vrl", "new.vrl.rc", "unexplained.vrl",
                                                 "reasons.tsv", "pruned.tsv"}))
        << text;
    EXPECT_EQ(testutil::TreeOf(outside.path()), mine);
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
    EXPECT_EQ(testutil::TreeOf(outside.path()), mine);
    EXPECT_EQ(testutil::CountOf(testutil::ReadFile(rejected + "/pruned.tsv"), "\n"), 3u);
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
    const auto before = testutil::TreeOf(outside / "Rejected");
    EXPECT_EQ(Prune("1m", text), ibsdb::kUnknown) << text;
    EXPECT_EQ(testutil::TreeOf(outside / "Rejected"), before);
}

// db0's newest copy cut, headerless or gone: shown by its line everywhere, restored older.
class DamagedNewestCopyTest : public BackupTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(DamagedNewestCopyTest, IsAccountedForTheSameWayEverywhere) {
    const std::string how = GetParam();
    if (how == "cut") {
        ASSERT_EQ(::truncate(Db(2, 0).c_str(), 4096 * 3), 0);
    } else if (how == "no header") {
        testutil::WriteFile(Db(2, 0),
                            std::string(4096, '\0') + testutil::ReadFile(Db(2, 0)).substr(4096));
    } else {
        ASSERT_EQ(::unlink(Db(2, 0).c_str()), 0);
    }
    const std::string word = how == "gone" ? "missing" : "not-a-database";
    Json j;
    EXPECT_EQ(StatusJson(j, now), ibsdb::kCritical);
    const Json& row = j["databases"][0];
    EXPECT_EQ(Values({row["uuid"], row["folder"], row["msn"], row["copy"]}),
              (Values{uuids[0], names[2], snaps[2][0].msn, word}));
    EXPECT_EQ(VerifyJson(backup, j), ibsdb::kCritical);
    EXPECT_EQ(Results(j)[names[2] + "/db0.vdb"], word);

    std::string text;
    EXPECT_EQ(Restore(text, "older"), ibsdb::kWarning) << text;
    EXPECT_EQ(Restored("older", {1, 2, 0}), "");
    Remove({Db(1, 0), Db(0, 0)});
    EXPECT_EQ(Restore(text, "none"), ibsdb::kCritical) << text;
    EXPECT_EQ(Restored("none", {-1, 2}), "");
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
    bool exact = true, exact2 = false;
    EXPECT_EQ(ibsdb::LastGoodNameTime("LastGood_2026-01-01_1205", &exact), 1767269100000000ull);
    EXPECT_EQ(ibsdb::LastGoodNameTime("LastGood_2026-01-01_1205_50.123456", &exact2),
              1767269150123456ull);
    EXPECT_TRUE(!exact && exact2);
    EXPECT_EQ(ibsdb::LastGoodNameTime("LastGood_2026-01-01_1205_50.1"), 0u);
}

// FIFOs and a device (a /dev/zero clone) in a folder: never waited for or read, each named.
TEST_F(BackupTest, FifosAndDevicesInALastGoodFolderAreNeverRead) {
    Remove({Db(2, 0), Db(2, 1)});
    ASSERT_TRUE(testutil::MakeFifo(Db(2, 0)));
    ASSERT_EQ(::mknod(Db(2, 1).c_str(), S_IFCHR | 0600, makedev(1, 5)), 0);
    const std::string extra = Folder(2) + "/extra.vdb";
    ASSERT_TRUE(testutil::MakeFifo(extra));
    const std::vector<std::string> fifos = {Db(2, 0), extra};
    Json j, listed;
    int verified = -1, list = -1;
    std::string text;
    EXPECT_TRUE(testutil::FinishesWithin(20000, fifos, [&] {
        StatusJson(j, now);
        list = ListJson(listed);
        Restore(text);
        verified = VerifyJson(backup, j);
    }));
    EXPECT_TRUE(verified == ibsdb::kCritical && list == ibsdb::kCritical) << verified << list;
    auto r = Results(j);
    EXPECT_EQ(
        Values({r[names[2] + "/db0.vdb"], r[names[2] + "/db1.vdb"], r[names[2] + "/extra.vdb"]}),
        Values(3, "unreadable"));
    EXPECT_EQ(Restored("restored", {1, 1}), "") << text;
    EXPECT_FALSE(testutil::Exists(tmp / "restored/extra.vdb"));
    EXPECT_TRUE(testutil::IsFifo(Db(2, 0)));
}

// A FIFO for a file of the service's own: status, verify, restore and prune never wait.
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
        std::string text, to = "restored" + std::to_string(n++), out;
        EXPECT_TRUE(testutil::FinishesWithin(20000, {fifo}, [&] {
            rc = StatusJson(status, now);
            verified = VerifyJson(backup, verify);
            restored = Restore(text, to);
            pruned = Prune("0s", out);
        }));
        // Each database from its newest copy; db2's is older: a warning.
        EXPECT_EQ(restored, ibsdb::kWarning) << text;
        EXPECT_EQ(Restored(to, {2, -2, 0}), "") << text;
        EXPECT_NE(rc, ibsdb::kUnknown);
        EXPECT_EQ(verified, place == manifest ? ibsdb::kCritical : ibsdb::kOk) << verify.dump(1);
        // Pruning needs the reasons to know what is old: it removes nothing.
        EXPECT_EQ(pruned == ibsdb::kUnknown, place == "Rejected/reasons.tsv") << out;
        // Failed.tsv a FIFO: read as missing.
        EXPECT_TRUE(place != "Failed.tsv" || status["failed"].empty()) << status["failed"];
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
    // What only that folder holds on to.
    const std::uint64_t unique[] = {
        Blocks(Db(0, 0)) + Blocks(Db(0, 1)) + Blocks(Db(0, 2)) + Blocks(Manifest(0)),
        Blocks(Db(1, 0)) + Blocks(Manifest(1)), Blocks(Manifest(2))};
    const Json& p = j["restore_points"];
    EXPECT_EQ(Col(p, "folder"), (Values{names[2], names[1], names[0]}));
    EXPECT_EQ(Col(p, "whole"), Values(3, true));
    EXPECT_EQ(Col(p, "unique_bytes"), (Values{unique[2], unique[1], unique[0]}));
    EXPECT_EQ(Values({p[0]["databases"][1]["msn"], p[0]["databases"][1]["state"]}),
              (Values{snaps[1][1].msn, "held"}));
    EXPECT_EQ(j["summary"]["on_disk_bytes"],
              unique[0] + unique[1] + unique[2] + Blocks(Db(1, 1)) + Blocks(Db(2, 0)));
}

TEST_F(BackupTest, ListSaysWhyAPointIsNotWholeFromSizesAndHeaders) {
    // Copies the service pruned: not whole, and nothing wrong.
    Remove({Db(0, 0), Db(0, 1)});
    Json j;
    EXPECT_EQ(ListJson(j), ibsdb::kOk) << j.dump(2);
    const Json& oldest = j["restore_points"][2];
    EXPECT_EQ(Values({oldest["whole"], oldest["removed_copies"], oldest["databases"][0]["copy"]}),
              (Values{false, 2, "superseded"}));

    // A copy too long, one cut, a failed database's only copy gone, a manifest damaged.
    testutil::WriteFile(Db(2, 0), testutil::ReadFile(Db(2, 0)) + "tail");
    ASSERT_EQ(::truncate(Db(2, 1).c_str(), 4096 * 3), 0);
    ASSERT_EQ(::unlink(Db(0, 2).c_str()), 0);
    std::string m = testutil::ReadFile(Manifest(1));
    m[m.find("\tdb0.vdb\t") + 3] = '9';
    testutil::WriteFile(Manifest(1), m);
    EXPECT_EQ(ListJson(j), ibsdb::kCritical);
    const std::string reasons = j["reasons"].dump();
    for (const std::string& why :
         {names[2] + ": db0.vdb: differs", names[2] + ": db1.vdb: not-a-database",
          names[0] + ": db2.vdb: missing"})
        EXPECT_TRUE(Has(reasons, why));
    const Json& damaged = j["restore_points"][1];
    // Its databases known by their headers.
    EXPECT_EQ(
        Values({damaged["manifest"], damaged["database_count"], damaged["databases"][0]["listed"]}),
        (Values{"damaged", 2, false}));
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
    testutil::MakeDirs(tmp / "empty/Changes");
    EXPECT_EQ(RunJson(ibsdb::List, ibsdb::ListOptions{tmp / "empty", true}, j), ibsdb::kOk);
    testutil::MakeDirs(tmp / "other/Documents");
    EXPECT_EQ(RunJson(ibsdb::List, ibsdb::ListOptions{tmp / "other", true}, j), ibsdb::kUnknown);
}

// A rotted file two folders share: restore takes the oldest good copy; all rotted, none;
// an unlisted copy is named, never taken (a rotted page passes a look at the structure).
TEST_F(BackupTest, RestoreFallsBackToTheNewestCopyThatPassesItsManifest) {
    ShareDb1();
    testutil::FlipByte(Db(2, 1), 4096 * 4 + 100);
    std::string text;
    EXPECT_EQ(Restore(text, "a", [](auto& o) { o.json = true; }), ibsdb::kWarning);
    const Json db1 = Json::parse(text)["databases"][1];
    EXPECT_EQ(Values({db1["folder"], db1["newest_copy"]}), (Values{names[0], false})) << db1;
    EXPECT_EQ(Restored("a", {-2, 0}), "");

    for (int k = 0; k < 3; ++k) testutil::FlipByte(Db(k, 0), 4096 * 2 + 7);
    EXPECT_EQ(Restore(text, "b"), ibsdb::kCritical) << text;
    // db1 and db2, no temporary file.
    EXPECT_EQ(testutil::TreeOf(tmp / "b").size(), 2u);
    EXPECT_EQ(Restored("b", {-1, 0, 0}), "");

    ASSERT_EQ(::unlink(Manifest(0).c_str()), 0);
    EXPECT_EQ(Restore(text, "c"), ibsdb::kCritical);
    EXPECT_TRUE(Has(text, "--at " + names[0] + " --database db0.vdb restores it"));
    EXPECT_FALSE(testutil::Exists(tmp / "c/db0.vdb"));
}

// expire on the three folders above: db2's only copy lies in the oldest folder.
class ExpireTest : public BackupTest {
protected:
    std::map<std::string, std::string> Tree() const { return testutil::TreeOf(backup); }
    int Expire(std::int64_t keep, std::int64_t hours, std::string& text, bool dryRun = false,
               bool json = false, const std::string& prefs = "") {
        const ibsdb::ExpireOptions o{backup, keep, hours,
                                     dryRun, json, prefs.empty() ? tmp / "no-prefs.xml" : prefs};
        std::ostringstream out;
        const int rc = ibsdb::Expire(o, out);
        text = out.str();
        return rc;
    }
    testutil::TempDir outside;
};

TEST_F(ExpireTest, KeepsTheNewestFoldersWholeAndEveryDatabasesNewestCopy) {
    // Someone's file, a link where a copy was, an unfinished interval sharing the oldest db0.
    testutil::WriteFile(Folder(1) + "/notes.txt", "mine");
    testutil::WriteFile(outside / "precious.vdb", "not the service's");
    ASSERT_EQ(::unlink(Db(0, 1).c_str()), 0);
    ASSERT_EQ(::symlink((outside / "precious.vdb").c_str(), Db(0, 1).c_str()), 0);
    testutil::MakeDirs(backup + "/InProgress");
    ASSERT_EQ(::link(Db(0, 0).c_str(), (backup + "/InProgress/db0.vdb").c_str()), 0);
    testutil::MakeDirs(Folder(1) + "/db0.vdb.rc/blobs");
    testutil::WriteFile(Folder(1) + "/db0.vdb.rc/blobs/1", "container of db0");
    auto want = Tree();

    std::string text;
    ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    // The middle folder loses db0 (with its container) and db1; the rest stays, link included.
    for (const char* gone :
         {"/db0.vdb", "/db1.vdb", "/db0.vdb.rc", "/db0.vdb.rc/blobs", "/db0.vdb.rc/blobs/1"})
        want.erase(names[1] + gone);
    EXPECT_EQ(testutil::TreeDiff(want, Tree()), "") << text;
    EXPECT_EQ(testutil::ReadFile(outside / "precious.vdb"), "not the service's");
    // Every database restores as before: the newest states of db0 and db1, db2's old one.
    EXPECT_EQ(Restore(text), ibsdb::kWarning) << text;
    EXPECT_EQ(Restored("restored", {2, 2, 0}), "");

    // Without the unfinished interval only db2's copy stays there; a second run takes nothing.
    Remove({backup + "/InProgress/db0.vdb", Db(0, 1)});
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
    EXPECT_EQ(Values({j["removed_copies"], j["folders"][0]["spared"][0]["uuid"]}),
              (Values{4, uuids[2]}));
    // A real run removes exactly what the dry run named.
    ASSERT_EQ(Expire(1, 0, text, false, true), ibsdb::kOk) << text;
    EXPECT_EQ(Json::parse(text)["removed_copies"], 4);
    EXPECT_FALSE(testutil::Exists(Folder(1)));
}

TEST_F(ExpireTest, TheAgeAndThePreferenceFileDecideWhatIsKept) {
    std::string text;
    // The middle folder (an hour before the newest) is kept whole; the oldest (two) is not.
    const auto middle = testutil::TreeOf(Folder(1));
    ASSERT_EQ(Expire(1, 2, text), ibsdb::kOk) << text;
    EXPECT_EQ(testutil::TreeOf(Folder(1)), middle);
    EXPECT_FALSE(testutil::Exists(Db(0, 0)));
    EXPECT_TRUE(testutil::IsFile(Db(0, 2)));

    // Without options the preferences decide: 82 = 3 keeps all three.
    const std::string prefs = tmp / "prefs.xml";
    const auto keep = [&](int n) {
        testutil::WriteFile(prefs, "<preferences><pref id=\"82\" type=\"int\">" +
                                       std::to_string(n) + "</pref></preferences>\n");
    };
    keep(3);
    const auto before = Tree();
    EXPECT_EQ(Expire(-1, -1, text, false, false, prefs), ibsdb::kOk) << text;
    EXPECT_EQ(Tree(), before);
    EXPECT_TRUE(Has(text, "(keep 3, keep-hours 0)"));
    // No file: 2, the service's default; the middle folder is kept whole by count now.
    EXPECT_EQ(Expire(-1, -1, text), ibsdb::kOk) << text;
    EXPECT_EQ(Tree(), before);
    EXPECT_TRUE(Has(text, "(keep 2, keep-hours 0)"));
    // A file the service would refuse gives no defaults: nothing is done.
    keep(1);
    EXPECT_EQ(Expire(-1, -1, text, false, false, prefs), ibsdb::kUnknown) << text;
    EXPECT_EQ(Tree(), before);
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
    backup = tmp / "plain";
    EXPECT_EQ(Expire(1, 0, text), ibsdb::kUnknown);
}

// Killed before any removal: newest states restore, no point looks whole without its files,
// and the next expiry ends where one never killed ends.
TEST_F(ExpireTest, AnExpiryKilledAtAnyRemovalLeavesNoPointThatLooksWholeAndIsNot) {
    testutil::MakeDirs(Folder(1) + "/db0.vdb.rc/blobs");
    testutil::WriteFile(Folder(1) + "/db0.vdb.rc/blobs/1", "container of db0");
    ASSERT_TRUE(WriteManifest(Folder(1), ends[1]));
    testutil::TempDir pristine;
    ASSERT_EQ(std::system(("cp -a " + backup + "/. " + pristine.path()).c_str()), 0);
    std::string text;
    ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
    const auto expired = Tree();
    bool finished = false;
    for (int n = 1; !finished && n < 100; ++n) {
        SCOPED_TRACE("killed before removal " + std::to_string(n));
        const std::string reset =
            "rm -rf " + backup + " && cp -a " + pristine.path() + " " + backup;
        ASSERT_EQ(std::system(reset.c_str()), 0);
        const int rc =
            testutil::ExitCodeKilledAt(n, [&] { return Expire(1, 0, text) == ibsdb::kOk; });
        finished = rc == 0;
        ASSERT_TRUE(finished || rc == 9) << rc;
        // Whole only with every listed file there, checked here without list's help.
        Json j;
        ListJson(j);
        for (const auto& point : j["restore_points"]) {
            const std::string folder = backup + "/" + point["folder"].get<std::string>();
            EXPECT_TRUE(testutil::ListedFilesThere(folder) || !point["whole"].get<bool>())
                << folder << " lacks a listed file";
        }
        EXPECT_TRUE(j["restore_points"][0]["whole"].get<bool>()) << "the newest point";
        const std::string to = "restored" + std::to_string(n);
        ASSERT_EQ(Restore(text, to), ibsdb::kWarning) << text;
        EXPECT_EQ(Restored(to, {2, 2, 0}), "");
        ASSERT_EQ(Expire(1, 0, text), ibsdb::kOk) << text;
        EXPECT_EQ(testutil::TreeDiff(expired, Tree()), "") << text;
    }
    EXPECT_TRUE(finished) << "the expiry never ran to its end";
}

TEST_F(ExpireTest, NothingIsRemovedThroughAFolderThatIsALink) {
    // The oldest folder lists sub/old.vdb (an old db0), sub/ then a link to a copy elsewhere.
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
