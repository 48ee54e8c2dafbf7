// ibsdb on the manager's own folders: they verify, a restore gives back the server's states.
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "tests/manager/CycleFixture.h"
#include "tests/manager/ManagerFixture.h"
#include "tests/tools/Has.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

using testutil::ManagerTest;

TEST_F(ManagerTest, ServiceFoldersVerifyAndRestoreToTheServersStatePageByPage) {
    sim::Workload server(backup(), Options(31, 3), announcer);
    ASSERT_TRUE(server.Upload());
    Intervals(server, 3);
    // Database 1 fails: its newest good copy stays behind in an older folder.
    const sim::DatabaseModel lastGood1 = server.Db(1);
    FailWithDamagedLog(server, 1);
    Intervals(server, 2, {1});

    std::ostringstream out;
    EXPECT_EQ(ibsdb::Verify({backup(), true}, out), ibsdb::kOk) << out.str();
    const ibsdb::Json verified = ibsdb::Json::parse(out.str());
    for (const auto& f : verified["folders"]) EXPECT_EQ(f["manifest"], "present") << f["folder"];

    ibsdb::StatusOptions so;
    so.backup = backup();
    so.json = true;
    so.now = server.Now();
    out.str("");
    EXPECT_EQ(ibsdb::Status(so, out), ibsdb::kWarning);
    const ibsdb::Json s = ibsdb::Json::parse(out.str());
    ASSERT_EQ(s["failed"].size(), 1u);
    EXPECT_EQ(std::pair(s["failed"][0]["uuid"], s["failed"][0]["newest_copy"]["msn"]),
              std::pair(ibsdb::Json(server.Db(1).UuidText()), ibsdb::Json(lastGood1.MSN())));

    ibsdb::RestoreOptions ro;
    ro.backup = backup();
    ro.to = tmp / "restored";
    out.str("");
    // db1's copy is of an older interval than the others': not one state of the server.
    ASSERT_EQ(ibsdb::Restore(ro, out), ibsdb::kWarning) << out.str();
    const sim::DatabaseModel* want[] = {&server.Db(0), &lastGood1, &server.Db(2)};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(want[i]->Compare(
                      Mirel::UniversalPath::FromNative(ro.to + "/db" + std::to_string(i) + ".vdb")),
                  "")
            << i;
}

// expire refuses a folder the service works in; once it has left, every database restores.
TEST_F(ManagerTest, ExpireRefusesWhileTheServiceRunsOnTheFolder) {
    mgr->Cycle().SetRetention({4, 0});
    sim::WorkloadOptions opt = Options(33, 2);
    opt.initialPages = 8;
    sim::Workload server(backup(), opt, announcer);
    ASSERT_TRUE(server.Upload());
    Intervals(server, 4);
    const std::string before = testutil::Snapshot(backup());
    ibsdb::ExpireOptions o;
    o.backup = backup();
    o.keep = 1;
    o.keepHours = 0;
    std::ostringstream out;
    EXPECT_EQ(ibsdb::Expire(o, out), ibsdb::kUnknown) << out.str();
    EXPECT_EQ(testutil::Snapshot(backup()), before);

    ASSERT_EQ(mgr->SetBackupFolder(u""), 1);
    out.str("");
    EXPECT_EQ(ibsdb::Expire(o, out), ibsdb::kOk) << out.str();
    int folders = 0;
    for (const auto& e : std::filesystem::directory_iterator(backup()))
        folders += e.path().filename().string().rfind("LastGood_", 0) == 0;
    EXPECT_EQ(folders, 1);
    EXPECT_EQ(server.VerifyAll(), "");
    ibsdb::RestoreOptions ro;
    ro.backup = backup();
    ro.to = tmp / "restored";
    out.str("");
    ASSERT_EQ(ibsdb::Restore(ro, out), ibsdb::kOk) << out.str();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(server.Db(i).Compare(
                      Mirel::UniversalPath::FromNative(ro.to + "/db" + std::to_string(i) + ".vdb")),
                  "");
}

namespace {

const std::string kA = "aaaaaaaa-1111-4111-8111-111111111111";
const std::string kB = "bbbbbbbb-2222-4222-8222-222222222222";

// Page 1 of a test database holds 7s and no log writes it: a byte flipped there stays.
constexpr long kFlipAt = 2 * 512 + 100;

class DamagedCopyTest : public testutil::CycleFixture {
protected:
    ibsdb::Json Verify(int* code = nullptr) {
        std::ostringstream out;
        int rc = ibsdb::Verify({backup(), true}, out);
        if (code) *code = rc;
        return ibsdb::Json::parse(out.str());
    }
    // Result of a database's copy in each folder that lists it, by folder name.
    static std::map<std::string, std::string> Results(const ibsdb::Json& j, const std::string& db) {
        std::map<std::string, std::string> r;
        for (const auto& f : j["folders"])
            for (const auto& x : f["files"])
                if (x["path"] == db) r[f["folder"]] = x["result"];
        return r;
    }
    int Restore(const std::string& to, std::string& text) {
        ibsdb::RestoreOptions ro;
        ro.backup = backup();
        ro.to = to;
        std::ostringstream out;
        int rc = ibsdb::Restore(ro, out);
        text = out.str();
        return rc;
    }
    static bool PageOneIntact(const std::string& file) {
        const std::string bytes = testutil::ReadFile(file);
        return bytes.size() >= 3 * 512 && bytes.substr(2 * 512, 512) == std::string(512, '\x07');
    }
};

}  // namespace

// A flipped byte in a shared copy shows in every folder; needed by a log, its database fails.
TEST_F(DamagedCopyTest, ASharedCopyIsNeverCertifiedAndItsDatabaseFailsWhenItIsNeeded) {
    testutil::Events events;
    Upload(kA, 1000);
    Upload(kB, 1000);
    Interval({kA, kB});
    testutil::FlipByte(CopyOf(NewestFolder(), kA), kFlipAt);
    for (int i = 0; i < 2; ++i) {  // A carried forward twice, by hard links
        Interval({kB});
    }
    int code = 0;
    ibsdb::Json v = Verify(&code);
    EXPECT_EQ(code, ibsdb::kCritical);
    auto a = Results(v, "aaaa.vdb");
    ASSERT_FALSE(a.empty());
    for (const auto& [folder, result] : a) EXPECT_EQ(result, "differs") << folder;

    Interval({kA});
    EXPECT_FALSE(testutil::Exists(CopyOf(NewestFolder(), kA)))
        << "a copy started from damaged bytes was published";
    EXPECT_TRUE(Has(testutil::ReadFile(backup() + "/Failed.tsv"), kA + "\t10727\t"));
    ASSERT_GE(events.Count(0x41000333), 1);
    EXPECT_TRUE(Has(events.Last(0x41000333)[0].ToUTF8(), "aaaa.vdb"));
    EXPECT_EQ(events.Count(0x41000331), 1);
    v = Verify();
    for (const auto& [folder, result] : Results(v, "aaaa.vdb")) EXPECT_NE(result, "ok") << folder;
    EXPECT_EQ(Results(v, "bbbb.vdb")[Mirel::Directory(Mirel::UniversalPath::Folder(NewestFolder()))
                                         .GetChildName()
                                         .ToUTF8()],
              "ok");

    std::string text;
    EXPECT_EQ(Restore(tmp / "restored", text), ibsdb::kCritical) << text;
    EXPECT_FALSE(testutil::Exists(tmp / "restored/aaaa.vdb"));
    EXPECT_EQ(MsnOf(tmp / "restored/bbbb.vdb"), msns[kB]);
}

// A flipped byte in a newest copy: the next intervals bypass it or find it when read; no
// folder ever certifies it.
TEST_F(DamagedCopyTest, ADamagedOlderCopyIsFoundBeforeUseAndTheNewestOneStandsIn) {
    testutil::Events events;
    Upload(kB, 1000);
    Interval({kB});
    Interval({kB});
    testutil::FlipByte(CopyOf(NewestFolder(), kB), kFlipAt);
    for (int i = 0; i < 3; ++i) {
        Interval({kB});
        const std::string newest = CopyOf(NewestFolder(), kB);
        EXPECT_EQ(MsnOf(newest), msns[kB]) << "interval " << i;
        EXPECT_TRUE(PageOneIntact(newest)) << "interval " << i << ": damaged bytes carried on";
    }
    EXPECT_GE(events.Count(0x41000333), 1);
    EXPECT_FALSE(testutil::Exists(backup() + "/Failed.tsv"));
    int code = 0;
    ibsdb::Json v = Verify(&code);
    for (const auto& [folder, result] : Results(v, "bbbb.vdb"))
        EXPECT_TRUE(result == "ok" || result == "superseded") << folder << " " << result;
}
