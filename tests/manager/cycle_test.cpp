// The cycle on real folders: an abort mid-interval, the modes and container folders of copies.
#include "tests/manager/ManagerFixture.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "tests/manager/Files.h"

using namespace testutil;

TEST_F(ManagerTest, AbortMidIntervalLeavesConsistentCopiesAndResumes) {
    sim::WorkloadOptions opt = Options(21, 4);
    opt.initialPages = 512;
    opt.maxPagesPerLog = 1500;
    opt.maxLogsPerInterval = 6;
    sim::Workload server(backup(), opt, announcer);
    ASSERT_TRUE(server.Upload());
    Intervals(server);
    ASSERT_EQ(server.WriteIntervalLogs(), 0);
    ASSERT_EQ(server.CloseInterval(), 0);
    // Start the interval, then abort the workers while one applies its logs.
    Gate gate(gates, backup() + "/InProgress/", true);
    while (auto m = Queue().GetMsg(0))
        if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
    ASSERT_TRUE(gate.WaitHeld(60000)) << "no worker wrote a copy";
    EXPECT_TRUE(mgr->Cat().AnyWorkerBusy());
    gate.Release();
    mgr->StopWorkers(false);
    EXPECT_FALSE(mgr->Cat().AnyWorkerBusy());
    // Every in-progress copy is a whole database at some MSN of its chain.
    for (const auto& file : List(backup() + "/InProgress"))
        EXPECT_FALSE(DbInfo(file).uuid.empty()) << file.Native();
    Settle();  // the next check wakes the workers again
    EXPECT_EQ(server.VerifyLastGood(NewestLastGood(backup())), "");
    EXPECT_EQ(server.VerifyAll(), "");
    EXPECT_FALSE(Exists(backup() + "/Rejected"));
}

namespace {

class CopyFolderTest : public ManagerTest {
protected:
    // Interval k, with A's log when `withLog` (announced with `containers`).
    void Interval(int k, bool withLog = false, bool containers = true) {
        constexpr std::uint64_t kEnd = 1800000000000000ull, kStep = 120000000ull;
        const std::string redo = backup() + "/Changes/Redo_" + std::to_string(k);
        if (withLog) {
            const std::string log = WriteLog(redo, "a.vrl", kA, k + 1, k + 2, kEnd + k * kStep);
            ASSERT_EQ(mgr->RedoLogIsReady(U(log), U(kA), containers), 0);
        }
        const std::string done = WriteDone(redo, kEnd + k * kStep + 1, {});
        ASSERT_EQ(Ready(done), 0);
        Settle();
    }
};

}  // namespace

// Every copy in a last-good folder is rw-r----- for the service, whatever its source's mode.
TEST_F(CopyFolderTest, CopiesGetTheServicesModeAndGroupWhateverTheirSourceHad) {
    const Mirel::Os::Ownership own = Talon::IBS_Config::ServiceCopyOwnership();
    auto mode = [](const std::string& path, unsigned set) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return std::string("missing ") + path;
        char text[64];
        std::snprintf(text, sizeof text, "%04o %u:%u", st.st_mode & 07777, st.st_uid, st.st_gid);
        EXPECT_EQ(::chmod(path.c_str(), set), 0);
        return std::string(text);
    };
    char want[64];
    std::snprintf(want, sizeof want, "%04o %u:%u", 0640u, own.uid, own.gid);
    const std::string upload = WriteDb(backup() + "/Copies/u/db.vdb", kA, 1);
    ASSERT_EQ(::chmod(upload.c_str(), 0666), 0);
    ASSERT_TRUE(Up(upload, kA));
    Interval(0, true);
    // Each copy's mode is set to another before the next interval, as an earlier version left.
    EXPECT_EQ(mode(NewestLastGood(backup()) + "/db.vdb", 0666), want) << "the upload moved in";
    Interval(1, true);
    EXPECT_EQ(mode(NewestLastGood(backup()) + "/db.vdb", 0606), want) << "the private copy";
    Interval(2);
    EXPECT_EQ(mode(NewestLastGood(backup()) + "/db.vdb", 0604), want) << "the hard link";
    auto disarm =
        Fault(Mirel::FsOp::kHardLink, backup() + "/InProgress/*", Mirel::kErrLinkNotSupported);
    Interval(3);
    EXPECT_EQ(mode(NewestLastGood(backup()) + "/db.vdb", 0640), want) << "the copy for a link";
}

// Copies linked from one folder take exactly their own container folders, seen anew each start.
TEST_F(CopyFolderTest, LinkedCopiesFromOneFolderTakeExactlyTheirOwnContainerFolders) {
    for (const auto& [name, uuid] : {std::make_pair("a", kA), std::make_pair("b", kB)}) {
        const std::string upload =
            WriteDb(backup() + "/Copies/u" + name + "/sub/" + name + ".vdb", uuid, 1);
        if (std::string(name) == "a") {
            MakeDirs(upload + ".rc");
            WriteFile(upload + ".rc/c1", "container of a");
        }
        ASSERT_TRUE(Up(upload, uuid));
    }
    Interval(0);
    std::string lg = NewestLastGood(backup());
    ASSERT_EQ(ReadFile(lg + "/sub/a.vdb.rc/c1"), "container of a");
    ASSERT_FALSE(Exists(lg + "/sub/b.vdb.rc"));
    Interval(1);  // no logs: both copies are linked from lg
    const std::string next = NewestLastGood(backup());
    ASSERT_NE(next, lg);
    EXPECT_EQ(ReadFile(next + "/sub/a.vdb.rc/c1"), "container of a");
    EXPECT_FALSE(Exists(next + "/sub/b.vdb.rc"));
    EXPECT_TRUE(IsFile(next + "/sub/b.vdb"));
    MakeDirs(next + "/sub/b.vdb.rc");
    WriteFile(next + "/sub/b.vdb.rc/c2", "container of b");
    Interval(2);
    const std::string third = NewestLastGood(backup());
    ASSERT_NE(third, next);
    EXPECT_EQ(ReadFile(third + "/sub/a.vdb.rc/c1"), "container of a");
    EXPECT_EQ(ReadFile(third + "/sub/b.vdb.rc/c2"), "container of b");
}

// An upload whose log says it has no containers takes none and leaves none behind.
TEST_F(CopyFolderTest, AnUploadWithoutContainersTakesNoneAndLeavesNoneBehind) {
    const std::string upload = WriteDb(backup() + "/Copies/u/a.vdb", kA, 1);
    MakeDirs(upload + ".rc");
    WriteFile(upload + ".rc/c1", "not the database's");
    ASSERT_TRUE(Up(upload, kA));
    Interval(0, true, false);
    const std::string lg = NewestLastGood(backup());
    EXPECT_TRUE(IsFile(lg + "/a.vdb"));
    EXPECT_FALSE(Exists(lg + "/a.vdb.rc"));
    EXPECT_FALSE(Exists(backup() + "/Copies/u"));
}
