// The operator's commands on folders the backup manager itself made: its manifests must
// verify, and a restore must give back each database exactly as the server had it, a failed
// one from its older folder.
#include <sstream>

#include "tests/manager/ManagerFixture.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

using testutil::ManagerTest;

TEST_F(ManagerTest, ServiceFoldersVerifyAndRestoreToTheServersStatePageByPage) {
    sim::WorkloadOptions opt;
    opt.seed = 31;
    opt.databases = 3;
    sim::Workload server(backup(), opt, announcer);
    ASSERT_TRUE(server.Upload());
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(server.WriteIntervalLogs(), 0);
        ASSERT_EQ(server.CloseInterval(), 0);
        Settle();
    }
    // Database 1 fails: its newest good copy stays behind in an older folder.
    const sim::DatabaseModel lastGood1 = server.Db(1);
    ASSERT_EQ(server.WriteCorruptLog(1), 0);
    ASSERT_EQ(server.WriteIntervalLogs({1}), 0);
    server.Forget(1);
    ASSERT_EQ(server.CloseInterval(), 0);
    Settle();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(server.WriteIntervalLogs({1}), 0);
        ASSERT_EQ(server.CloseInterval(), 0);
        Settle();
    }

    std::ostringstream out;
    EXPECT_EQ(ibsdb::Verify({backup(), true}, out), ibsdb::kOk) << out.str();
    const ibsdb::Json v = ibsdb::Json::parse(out.str());
    for (const auto& f : v["folders"]) EXPECT_EQ(f["manifest"], "present") << f["folder"];

    ibsdb::StatusOptions so;
    so.backup = backup();
    so.json = true;
    so.now = server.Now();
    out.str("");
    EXPECT_EQ(ibsdb::Status(so, out), ibsdb::kWarning);
    const ibsdb::Json s = ibsdb::Json::parse(out.str());
    ASSERT_EQ(s["failed"].size(), 1u);
    EXPECT_EQ(s["failed"][0]["uuid"], server.Db(1).UuidText());
    EXPECT_EQ(s["failed"][0]["newest_copy"]["msn"], lastGood1.MSN());

    ibsdb::RestoreOptions ro;
    ro.backup = backup();
    ro.to = tmp / "restored";
    out.str("");
    ASSERT_EQ(ibsdb::Restore(ro, out), ibsdb::kOk) << out.str();
    EXPECT_EQ(server.Db(0).Compare(Mirel::UniversalPath::FromNative(ro.to + "/db0.vdb")), "");
    EXPECT_EQ(server.Db(2).Compare(Mirel::UniversalPath::FromNative(ro.to + "/db2.vdb")), "");
    EXPECT_EQ(lastGood1.Compare(Mirel::UniversalPath::FromNative(ro.to + "/db1.vdb")), "");
    EXPECT_NE(out.str().find("older than the newest last-good folder"), std::string::npos);
}
