// A worker's pass over one checked-out database copy, run on the test's thread.
#include <stdio.h>

#include "platform/engine/HBFile.h"
#include "platform/framework/Manifest.h"
#include "platform/support/File.h"
#include "tests/lib/PowerLoss.h"
#include "tests/manager/ManagerFixture.h"
#include "workers/TalonIBWorker.h"

using Mirel::unistring;
using Mirel::UniversalPath;
using namespace testutil;

class WorkerTest : public ManagerTest {
protected:
    // A last-good copy, its hard-linked in-progress copy, and `n` logs that continue it.
    void Prepare(int n) {
        lg = backup() + "/LastGood_2026-01-01_0000";
        MakeDirs(lg);
        ASSERT_TRUE(model.WriteFullCopy(UniversalPath::FromNative(lg + "/db.vdb")).OK());
        before = ReadFile(lg + "/db.vdb");
        MakeDirs(backup() + "/InProgress");
        Mirel::File link(UniversalPath::FromNative(ip()));
        ASSERT_TRUE(link.MakeHardLink(UniversalPath::FromNative(lg + "/db.vdb")).OK());
        item = DatabaseItem(UniversalPath::FromNative("db.vdb"),
                            unistring::FromUTF8(model.UuidText()), model.MSN(), false, true);
        MakeDirs(backup() + "/Changes/Redo_1");
        for (int i = 0; i < n; ++i) {
            std::string path = backup() + "/Changes/Redo_1/l" + std::to_string(i) + ".vrl";
            sim::LogInfo info;
            ASSERT_TRUE(
                model.WriteRedoLog(UniversalPath::FromNative(path), 6, 1000 + i, false, &info)
                    .OK());
            item.logs.insert(FileInfo(UniversalPath::FromNative(path), info.msn, info.startMSN,
                                      info.endUTC, false));
            msns.push_back(info.msn);
        }
        item.lastLogMSN = UINT64_MAX;  // apply everything: no interval end limits this pass
    }
    std::string ip() const { return backup() + "/InProgress/db.vdb"; }
    // The service's temporary files (".ibs-<pid>-<n>.tmp") left in the in-progress folder.
    int Temporaries() const {
        std::vector<Mirel::Os::DirEntry> entries;
        Mirel::Os::ListDir(backup() + "/InProgress", entries);
        int n = 0;
        for (const auto& e : entries) n += e.name.rfind(".ibs-", 0) == 0;
        return n;
    }
    std::uint64_t Links() const {
        return Mirel::File(UniversalPath::FromNative(ip())).GetHardLinkCount();
    }

    sim::DatabaseModel model{77, 1024, 16};
    DatabaseItem item;
    std::vector<std::uint64_t> msns;
    std::string lg, before;
    TalonIBWorker worker{mgr->Cat(), mgr->Files()};  // never started: runs on this thread
};

// Every page of a pass is durable before the header that claims it: two syncs, in order.
TEST_F(WorkerTest, APassOfSeveralLogsSyncsTheCopyOnceAndThenItsHeader) {
    Prepare(4);
    WriteFile(ip() + ".private", before);  // a copy of its own: no private copy made
    ASSERT_EQ(::rename((ip() + ".private").c_str(), ip().c_str()), 0);
    Mirel::PowerLoss::Scope run(disk);
    disk.Start(backup() + "/InProgress");
    worker.ProcessRedoLogSet(item);
    const std::uint64_t points = disk.Points();
    disk.Stop();
    ASSERT_TRUE(item.err.OK()) << item.err.GetError();
    EXPECT_EQ(points, 2u);
    EXPECT_EQ(item.file.msn, msns.back());
    EXPECT_EQ(model.Compare(UniversalPath::FromNative(ip())), "");
}

TEST_F(WorkerTest, LogsAlreadyContainedOnlyMoveTheEndAndOpenNothing) {
    Prepare(2);
    item.file.msn = msns.back();
    worker.ProcessRedoLogSet(item);
    EXPECT_TRUE(item.err.OK());
    EXPECT_EQ(item.file.endUTC, 1001u);
    EXPECT_EQ(Links(), 2u);  // never prepared: still shares the last-good data
}

// A pass stops at the last log's MSN and at an abort; the next applies the rest to a private copy.
TEST_F(WorkerTest, APassStopsAtItsLimitAndAtAnAbortAndAppliesToAPrivateCopy) {
    Prepare(3);
    item.lastLogMSN = msns[1];  // the first log only (no interval end: the limit is 0)
    worker.ProcessRedoLogSet(item);
    ASSERT_TRUE(item.err.OK()) << item.err.GetError();
    ASSERT_EQ(item.file.msn, msns[0]);
    item.lastLogMSN = UINT64_MAX;
    worker.SetAbort();
    worker.ProcessRedoLogSet(item);
    EXPECT_EQ(item.file.msn, msns[0]);
    EXPECT_TRUE(item.err.OK());
    worker.ClearAbort();
    worker.ProcessRedoLogSet(item);
    ASSERT_TRUE(item.err.OK()) << item.err.GetError();
    EXPECT_EQ(item.file.msn, msns.back());
    EXPECT_EQ(item.file.endUTC, 1002u);
    EXPECT_EQ(model.Compare(UniversalPath::FromNative(ip())), "");
    // Applied to a private copy: the last-good one is untouched, nothing temporary left.
    EXPECT_EQ(Links(), 1u);
    EXPECT_EQ(ReadFile(lg + "/db.vdb"), before);
    EXPECT_EQ(Temporaries(), 0);
}

TEST_F(WorkerTest, FailingSecondLogKeepsTheFirstAndStaysUntilTheFailureIsRecorded) {
    Prepare(3);
    std::string second = backup() + "/Changes/Redo_1/l1.vrl";
    std::string bytes = ReadFile(second);
    bytes[128 + 16 + 3] ^= 0x20;
    WriteFile(second, bytes);
    worker.ProcessRedoLogSet(item);
    EXPECT_EQ(item.err.GetError(), Mirel::kErrInvalidFile);
    EXPECT_EQ(item.file.msn, msns[0]);
    // The first log's pages were written with it, and the header claims nothing more.
    Mirel::HBFile copy(UniversalPath::FromNative(ip()));
    ASSERT_TRUE(copy.Open(Mirel::HBFile::kPermRead).OK());
    EXPECT_EQ(copy.GetMSN(), msns[0]);
    // The cycle sets the log aside once the failure is recorded.
    EXPECT_TRUE(IsFile(second));
    EXPECT_FALSE(Exists(backup() + "/Rejected/l1.vrl"));
}

// An older copy brought forward is checked before it loses its last-good name, and again after:
// a damaged one keeps its name (never private and unchecked), and a byte flipped through that
// name as it goes is found, never certified by the line of the copy it becomes.
TEST_F(WorkerTest, ABroughtForwardCopyIsCheckedBeforeAndAfterItsNameGoes) {
    Prepare(1);
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    ASSERT_TRUE(Talon::Manifest::Checksum(lg + "/db.vdb", size, crc).OK());
    const std::uint64_t start = item.file.msn;
    auto pass = [&](const DatabaseItem& from) {
        item = from;
        item.mustCheck = item.detach = true;
        item.expect = ManifestLine{true, size, crc};
        item.checkFrom = UniversalPath::FromNative(lg + "/db.vdb");
        worker.ProcessRedoLogSet(item);
        EXPECT_EQ(item.err.GetError(), Mirel::kErrCopyDamaged);
        EXPECT_EQ(item.file.msn, start) << "a log was applied to unchecked bytes";
    };
    const DatabaseItem fresh = item;
    FlipByte(lg + "/db.vdb", size - 100);
    pass(fresh);
    EXPECT_FALSE(item.detached);
    EXPECT_TRUE(IsFile(lg + "/db.vdb")) << "a damaged copy lost its last-good name";
    FlipByte(lg + "/db.vdb", size - 100);  // whole again
    swapBeforeUse.Set(lg + "/db.vdb", [&] { FlipByte(lg + "/db.vdb", size - 100); });
    pass(fresh);
    ASSERT_TRUE(swapBeforeUse.Swapped());
    EXPECT_TRUE(item.detached);
}

TEST_F(WorkerTest, AFullDiskLeavesTheLogAndIsNoFailureOfIt) {
    Prepare(2);
    const std::uint64_t start = item.file.msn;
    faults.Arm(Mirel::FsOp::kWrite, ip(), Mirel::kErrDiskFull, 1);
    worker.ProcessRedoLogSet(item);
    EXPECT_EQ(item.err.GetError(), Mirel::kErrDiskFull);
    EXPECT_EQ(item.file.msn, start);
    EXPECT_TRUE(IsFile(backup() + "/Changes/Redo_1/l0.vrl"));
    item.err = Talon::Error();
    worker.ProcessRedoLogSet(item);  // space is back: the same logs apply
    EXPECT_TRUE(item.err.OK());
    EXPECT_EQ(item.file.msn, msns[1]);
}

TEST_F(WorkerTest, PrivateCopyFailuresLeaveTheDatabaseWhole) {
    Prepare(1);
    faults.Arm(Mirel::FsOp::kCopy, backup() + "/InProgress/.ibs-*", Mirel::kErrDiskFull, 1);
    worker.ProcessRedoLogSet(item);
    EXPECT_EQ(item.err.GetError(), Mirel::kErrDiskFull);
    EXPECT_EQ(Links(), 2u);
    EXPECT_EQ(ReadFile(ip()), before);
    EXPECT_EQ(Temporaries(), 0);
    item.err = Talon::Error();
    worker.ProcessRedoLogSet(item);  // the next attempt succeeds
    EXPECT_TRUE(item.err.OK());
    EXPECT_EQ(Links(), 1u);
    EXPECT_EQ(ReadFile(lg + "/db.vdb"), before);
}

TEST_F(WorkerTest, ACopyOutsideTheInProgressFolderIsNeverWritten) {
    Prepare(1);
    // An upload, a path out of the in-progress folder, a last-good copy.
    const std::string upload = backup() + "/Copies/u1/db.vdb";
    MakeDirs(backup() + "/Copies/u1");
    WriteFile(upload, before);
    for (const std::string& path : {upload, std::string("../Copies/u1/db.vdb"),
                                    std::string("../LastGood_2026-01-01_0000/db.vdb")}) {
        DatabaseItem copy = item;
        copy.file.path = UniversalPath::FromNative(path);
        worker.ProcessRedoLogSet(copy);
        EXPECT_FALSE(copy.err.OK()) << path;
        EXPECT_EQ(copy.file.msn, item.file.msn) << path;
    }
    EXPECT_EQ(ReadFile(upload), before);
    EXPECT_EQ(ReadFile(lg + "/db.vdb"), before);
}
