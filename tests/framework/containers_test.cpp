#include <gtest/gtest.h>

#include "platform/framework/RemoteContainerMgr.h"
#include "platform/support/Env.h"
#include "platform/support/File.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"

using Talon::RemoteContainerMgr;

class ContainersTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::MakeDirs(tmp / "LG/a/db.vdb.rc/sub");
        testutil::WriteFile(tmp / "LG/a/db.vdb", "db");
        testutil::WriteFile(tmp / "LG/a/db.vdb.rc/c1", "one");
        testutil::WriteFile(tmp / "LG/a/db.vdb.rc/sub/c2", "two");
        testutil::MakeDirs(tmp / "IP/a");
    }
    testutil::TempDir tmp;
    // The test's own fault seam, its thread's Env (gone before tmp is removed).
    Mirel::FaultEnv faults;
    Mirel::Env::Scope files{faults};
};

TEST_F(ContainersTest, LinkAndCopyRecreateTheContainerFolder) {
    RemoteContainerMgr src(tmp.File("LG/a/db.vdb"));
    EXPECT_EQ(src.GetRCRootPath(), tmp.Folder("LG/a/db.vdb.rc"));

    Talon::RCFileHardLinkFunctor link(tmp.File("LG/a/db.vdb"), tmp.Folder("IP/a"));
    ASSERT_TRUE(Mirel::Directory(src.GetRCRootPath()).ProcessFiles(link, 100).OK());
    EXPECT_TRUE(link.GetLastError().OK());
    EXPECT_EQ(testutil::ReadFile(tmp / "IP/a/db.vdb.rc/sub/c2"), "two");
    EXPECT_EQ(Mirel::File(tmp.File("IP/a/db.vdb.rc/c1")).GetHardLinkCount(), 2u);

    testutil::MakeDirs(tmp / "IP2");
    Talon::RCFileCopyFunctor copy(tmp.File("LG/a/db.vdb"), tmp.Folder("IP2"));
    ASSERT_TRUE(Mirel::Directory(src.GetRCRootPath()).ProcessFiles(copy, 100).OK());
    EXPECT_EQ(Mirel::File(tmp.File("IP2/db.vdb.rc/c1")).GetHardLinkCount(), 1u);
    EXPECT_EQ(testutil::ReadFile(tmp / "IP2/db.vdb.rc/c1"), "one");

    RemoteContainerMgr dst(tmp.File("IP/a/db.vdb"));
    EXPECT_TRUE(dst.DeleteAll(true).OK());
    EXPECT_FALSE(testutil::Exists(tmp / "IP/a/db.vdb.rc"));
    EXPECT_EQ(testutil::ReadFile(tmp / "LG/a/db.vdb.rc/c1"), "one");
    EXPECT_TRUE(dst.DeleteAll(true).OK());  // nothing left to delete is not an error
}

TEST_F(ContainersTest, FailuresNameTheContainerFile) {
    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(Mirel::FsOp::kHardLink, tmp / "IP/a/db.vdb.rc/sub/c2", Mirel::kErrDiskFull);
    Talon::RCFileHardLinkFunctor link(tmp.File("LG/a/db.vdb"), tmp.Folder("IP/a"));
    Mirel::Directory(tmp.Folder("LG/a/db.vdb.rc")).ProcessFiles(link, 100);
    EXPECT_EQ(link.GetLastError().GetError(), Mirel::kErrDiskFull);
    EXPECT_EQ(link.GetFailedPath(), tmp.File("LG/a/db.vdb.rc/sub/c2"));

    faults.Arm(Mirel::FsOp::kDeleteFile, tmp / "IP/a/db.vdb.rc/c1", Mirel::kErrFileLocked);
    RemoteContainerMgr dst(tmp.File("IP/a/db.vdb"));
    EXPECT_EQ(dst.DeleteAll(true).GetError(), Mirel::kErrFileLocked);
    EXPECT_EQ(dst.GetLastError().GetError(), Mirel::kErrFileLocked);
}
