// Hostile calls to the real service: nothing moves; the folder in service stays in service.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/framework/BackupFolder.h"
#include "platform/support/Listing.h"
#include "tests/ServiceFixture.h"
#include "tests/manager/Files.h"
#include "tools/sim/ServiceClient.h"

namespace {

const std::string kA = "11111111-1111-4111-8111-111111111111";

class HostileTest : public testutil::ServiceFixture {
protected:
    void SetUp() override {
        // A pretty-printed preference file: the folder's path between blanks and line ends.
        testutil::WriteFile(env.dir / "prefs.xml",
                            "<?xml version=\"1.0\"?>\n<preferences>\n"
                            "  <pref id=\"67\" type=\"int\">1</pref>\n"
                            "  <pref id=\"68\" type=\"text\">\n      " +
                                backup() + "\n  </pref>\n</preferences>\n");
        service = StartReady();
    }
    void TearDown() override {
        if (service) Stop(service);
    }
    std::unique_ptr<testutil::Child> service;
};

}  // namespace

TEST_F(HostileTest, NothingMovesAndTheFolderInServiceStays) {
    ASSERT_TRUE(testutil::IsDir(backup() + "/Changes")) << "preference 68 was not trimmed";
    sim::ServiceClient client(testutil::ClientOrb());
    testutil::TempDir outside;
    testutil::WriteFile(outside / "precious.txt", "mine");
    testutil::WriteDb(outside / "db.vdb", kA, 1);
    std::string redo = backup() + "/Changes/Redo_1";
    testutil::MakeDirs(redo);
    ASSERT_EQ(::symlink((outside / "precious.txt").c_str(), (redo + "/x.vrl").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), (backup() + "/Copies/evil").c_str()), 0);
    // A pending upload and log, which a failed folder change must not cost.
    std::string up = testutil::WriteDb(backup() + "/Copies/u/db.vdb", kA, 1);
    ASSERT_TRUE(client.FullDBBackupIsUploaded(up, kA));
    std::string log = testutil::WriteLog(redo, "a.vrl", kA, 1, 2, 1800000000000000ull);
    ASSERT_EQ(client.RedoLogIsReady(log, kA, true), 0);
    const std::string before = testutil::Snapshot(outside.path()),
                      inService = testutil::Snapshot(backup());

    for (const std::string& p : {backup(), backup() + "/Changes", redo, outside / "precious.txt",
                                 redo + "/x.vrl", backup() + "/Copies", outside.path()}) {
        EXPECT_EQ(client.RedoLogIsReady(p, kA, true), 10008) << p;
        EXPECT_FALSE(client.FullDBBackupIsUploaded(p, kA)) << p;
    }
    EXPECT_FALSE(client.FullDBBackupIsUploaded(backup() + "/Copies/evil/db.vdb", kA));
    EXPECT_EQ(client.RedoLogIsReady("../../etc/passwd", kA, true), 10001);
    EXPECT_FALSE(client.SetBackupFolder("/" + std::string(5000, 'a')));
    EXPECT_FALSE(client.SetBackupFolder(outside / "precious.txt/backup"));
    // A text far longer than any path is refused before it is decoded.
    std::string huge(200000, 'x');
    EXPECT_EQ(client.RedoLogIsReady("/" + huge, kA, true), 10001);
    EXPECT_FALSE(client.SetBackupFolder("/" + huge));

    EXPECT_EQ(testutil::Snapshot(outside.path()), before);
    EXPECT_EQ(testutil::Snapshot(backup()), inService);
    EXPECT_FALSE(testutil::Exists(backup() + "/Rejected"));
    // Still in service: the interval closes with the upload and the log.
    ASSERT_EQ(client.RedoLogIsReady(testutil::WriteDone(redo, 1800000000000001ull, {}), "", true),
              0);
    EXPECT_TRUE(testutil::Eventually(
        [&] {
            Mirel::Directory latest;
            Mirel::unistring uuid;
            std::uint64_t msn = 0;
            return Talon::BackupFolder(u"LastGood")
                       .GetLatest(Mirel::UniversalPath::Folder(backup()), latest) &&
                   Talon::IBS_Config::GetDBInfo(latest.MakeUniversalPath(u"db.vdb"), uuid, msn)
                       .OK() &&
                   msn == 2;
        },
        30000))
        << env.DebugLog();
}
