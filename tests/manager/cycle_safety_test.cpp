// The interval cycle against failures, a full disk, workers that do not stop, damaged logs.
#include <sys/xattr.h>

#include "platform/engine/HBFile.h"
#include "platform/framework/Logger.h"
#include "tests/manager/CycleFixture.h"

using Mirel::unistring;
using namespace testutil;

namespace {

class CycleSafetyTest : public CycleFixture {
protected:
    // Stops the pool, starts the closed interval and takes an item out, as a stuck worker would.
    DatabaseItem* HoldAnItem() {
        mgr->StopWorkers(true);
        while (auto m = Queue().GetMsg(0))
            if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
        mgr->WithCatalogue([&](IntervalMap& intervals) {
            auto it = intervals.find(mgr->GetIntervalEnd());
            if (it == intervals.end()) return;
            for (auto& [uuid, item] : it->second.databases)
                if (!item.logs.empty()) item.lastLogMSN = item.logs.rbegin()->msn;
        });
        DatabaseItem* held = mgr->Cat().CheckoutInProgressItem();
        EXPECT_NE(held, nullptr);
        return held;
    }
    // B's log taken, damaged, then a restart: B fails and is published held, never current.
    void DamagedAfterTaken(const std::function<void(const std::string&)>& damage) {
        Upload(kA, 10);
        Upload(kB, 20);
        Interval({kA, kB});
        std::string log;
        ASSERT_EQ(LogAt(kB, 0, &log), 0);
        ASSERT_EQ(Log(kA), 0);
        damage(log);
        Rebuild();
        Close();
        std::string name;
        EXPECT_EQ(Newest(&name)[kA], 12u);
        EXPECT_NE(Err(kB), 0);
        EXPECT_NE(HeldIn(name, kB), 0) << name << ": B is published as current without its log";
    }
    // The held mark of the database's line in a last-good folder's manifest (-1: no line).
    int HeldIn(const std::string& folder, const std::string& uuid) {
        Talon::Manifest m;
        EXPECT_TRUE(Talon::Manifest::Read(
                        Mirel::Directory(Mirel::UniversalPath::Folder(backup() + "/" + folder)), m)
                        .OK());
        const Talon::ManifestEntry* line = m.Find(uuid.substr(0, 4) + ".vdb");
        return line ? static_cast<int>(line->held) : -1;
    }
};

}  // namespace

// B and C fail: recorded, newest good copies kept, logs set aside until a new upload.
TEST_F(CycleSafetyTest, FailedDatabasesKeepTheirNewestGoodCopiesUntilANewUpload) {
    Events events;
    Upload(kA, 10);
    Upload(kB, 20);
    Upload(kC, 30);
    Interval({kA, kB, kC});
    ASSERT_EQ(Log(kB, true), 0);  // damaged after it was written: the header reads well
    ASSERT_EQ(Log(kC, true), 0);
    Interval({kA});
    EXPECT_EQ(Err(kB), Mirel::kErrInvalidFile);
    EXPECT_EQ(Err(kC), Mirel::kErrInvalidFile);
    EXPECT_EQ(Newest(), (Msns{{kA, 12}}));
    EXPECT_EQ(events.Count(0x41000331), 2);
    EXPECT_NE(Read("Failed.tsv").find(kC + "\t10709\t"), std::string::npos);
    for (int i = 0; i < 3; ++i) {  // however long the upload takes
        EXPECT_EQ(Log(kB), Mirel::kErrInvalidFile);
        Interval({kA});
        EXPECT_EQ(Newest().count(kB), 0u) << "a failed database is not carried forward";
        EXPECT_EQ(mgr->VerifyFullDBBackup(u"b", U(kB), 21, false), Mirel::kErrInvalidFile);
    }
    EXPECT_EQ(std::make_pair(CopiesOf(kB), CopiesOf(kC)), std::make_pair(1, 1));
    EXPECT_GE(CountOf(Read("Rejected/reasons.tsv"), "\n"), 5u);
    Upload(kB, 30);
    EXPECT_EQ(Err(kB), 0);
    EXPECT_EQ(Read("Failed.tsv").find(kB), std::string::npos);
    Interval({kB});
    EXPECT_EQ(Newest(), (Msns{{kA, 15}, {kB, 31}}));
    ExpectEveryFolderExact();
}

TEST_F(CycleSafetyTest, NoFolderLacksADatabaseBeforeItsFailureIsOnDisk) {
    Events events;
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    std::string first;
    Newest(&first);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB, true), 0);
    // Without the failed list on disk, a folder without B would let a restart take an older B.
    auto disarm = Fault(Mirel::FsOp::kWrite, backup() + "/Failed.tsv*", Mirel::kErrDiskFull);
    Close(0, false);
    Settle();
    std::string newest;
    Newest(&newest);
    EXPECT_EQ(newest, first);
    EXPECT_FALSE(InBackup("Failed.tsv"));
    EXPECT_FALSE(InBackup("Rejected")) << "its logs stay until recorded";
    EXPECT_GE(events.Count(0x41000330), 1) << "said what is wrong, and tries again";
    EXPECT_EQ(events.Count(0x41000331), 0) << "not reported failed before it is recorded";
    faults.Clear();
    SettleWithRetries();
    EXPECT_NE(Read("Failed.tsv").find(kB + "\t10709\t"), std::string::npos);
    EXPECT_EQ(Newest(), (Msns{{kA, 12}}));
    ExpectEveryFolderExact();
}

TEST_F(CycleSafetyTest, AFolderChangeWithAWorkerStillOutAnswersFalseAndChangesNothing) {
    Upload(kA, 10);
    Interval({kA});
    ASSERT_EQ(Log(kA), 0);
    Close(0, false);
    DatabaseItem* held = HoldAnItem();
    ASSERT_NE(held, nullptr);
    mgr->SetAbortWait(50);
    EXPECT_EQ(mgr->SetBackupFolder(U(tmp / "other")), 0);
    EXPECT_TRUE(IsDir(backup() + "/InProgress"));
    EXPECT_FALSE(Exists(tmp / "other/Changes"));
    mgr->RegisterServer(u"127.0.0.1", 1);
    EXPECT_EQ(mgr->SetBackupFolder(U(backup())), 0);  // nor a rescan under it
    mgr->SetAbortWait(10000);
    mgr->Cat().ReleaseInProgressItem(held);
    mgr->CreateWorkers(2);
    mgr->RegisterServer(u"127.0.0.1", 1);
    EXPECT_EQ(mgr->SetBackupFolder(U(backup())), 1);
    SettleWithRetries();
    EXPECT_EQ(Newest()[kA], 12u);
}

TEST_F(CycleSafetyTest, AReleaseFromARebuiltCatalogueIsDropped) {
    Upload(kA, 10);
    ASSERT_EQ(Log(kA), 0);
    Close(0, false);
    DatabaseItem* held = HoldAnItem();
    ASSERT_NE(held, nullptr);
    held->file.msn = 999;  // what an old worker would bring back
    mgr->ScanFullBackupDB();
    mgr->Cat().ReleaseInProgressItem(held);
    mgr->WithCatalogue([&](IntervalMap& intervals) {
        for (auto& [key, interval] : intervals)
            for (auto& [uuid, item] : interval.databases) {
                EXPECT_FALSE(item.owned);
                EXPECT_NE(item.file.msn, 999u);
            }
    });
}

TEST_F(CycleSafetyTest, ARestartNeverTakesAnUploadOlderThanAFailureForTheNewOne) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    const std::string stale = WriteDb(backup() + "/Copies/stale/b.vdb", kB, 21);
    ASSERT_EQ(Log(kA), 0);
    ASSERT_EQ(Log(kB, true), 0);
    Close();
    ASSERT_EQ(Err(kB), Mirel::kErrInvalidFile);
    const std::string fresh = WriteDb(backup() + "/Copies/fresh/b.vdb", kB, 21);
    const std::string fresher = WriteDb(backup() + "/Copies/fresher/b.vdb", kB, 21);
    Rebuild();
    Settle();
    Interval({kA});
    EXPECT_EQ(Newest(), (Msns{{kA, 13}}));
    EXPECT_EQ(Err(kB), Mirel::kErrInvalidFile);
    EXPECT_FALSE(Exists(stale)) << "older than the failure";
    EXPECT_TRUE(IsFile(fresh)) << "it waits for its announcement";
    ASSERT_TRUE(Up(fresh, kB));
    EXPECT_FALSE(Exists(fresher)) << "another upload left out is an older state now";
    msns[kB] = 21;
    Interval({kA});
    EXPECT_EQ(Newest(), (Msns{{kA, 14}, {kB, 21}}));
    ExpectEveryFolderExact();
}

// A failure cleared by an upload lost before a restart: the carried copy stays held.
TEST_F(CycleSafetyTest, AHeldCopyCarriedOnAfterItsClearingUploadWasLostStaysHeld) {
    Upload(kA, 10);
    Interval({kA});
    Upload(kB, 20);
    ASSERT_EQ(Log(kB, true), 0);  // its first log is damaged: its upload is kept, held
    Interval({kA});
    auto heldIn = [&](const std::string& folder) { return HeldIn(folder, kB); };
    std::string name;
    ASSERT_EQ(Newest(&name)[kB], 20u);
    ASSERT_EQ(heldIn(name), 1);
    ASSERT_NE(Err(kB), 0);

    const std::string upload = WriteDb(backup() + "/Copies/lost/2222.vdb", kB, 21);
    ASSERT_TRUE(Up(upload, kB));
    EXPECT_EQ(Err(kB), 0);
    ASSERT_EQ(Mirel::Os::DeleteFile(upload), 0);
    Rebuild();
    Interval({kA});
    ASSERT_NE(Newest(&name)[kA], 0u);
    EXPECT_NE(heldIn(name), 0) << name << ": the held copy of B is listed as its current state";
}

// A's upload fails at its log, which now lies behind a link: its failure is on disk before the
// folder holding the held upload is published. Recorded after, a crash in between would lose
// it for good, as no scan reads behind the link to find the log again.
TEST_F(CycleSafetyTest, AHeldFailureBehindALinkIsOnDiskBeforeItsFolderIsPublished) {
    TempDir outside;
    Upload(kA, 20);
    std::string log;
    ASSERT_EQ(LogAt(kA, 0, &log), 0);
    SwapForLinkToCopy(log.substr(0, log.rfind('/')), outside / "lure", outside / "moved");
    redo = 0;  // the interval-done file in a folder of its own
    clock += 1000;
    {
        auto disarm = Fault(Mirel::FsOp::kRename, backup() + "/InProgress", Mirel::kErrIO);
        Close(0, false);
        Settle();
        EXPECT_EQ(NewestFolder(), "");
        EXPECT_EQ(Err(kA), Mirel::kErrIsALink);
        EXPECT_EQ(sink.Failed(), std::vector<std::string>{kA});
    }
    Rebuild();
    SettleWithRetries();
    std::string name;
    EXPECT_EQ(Newest(&name), (Msns{{kA, 20}}));
    EXPECT_EQ(HeldIn(name, kA), 1);
    EXPECT_EQ(Err(kA), Mirel::kErrIsALink);
    EXPECT_TRUE(IsFile(outside.path() + "/moved/" + log.substr(log.rfind('/') + 1)));
}

// A taken log damaged before a restart still fails its database.
TEST_F(CycleSafetyTest, ALogCutShortAfterItWasTakenFailsItsDatabaseAcrossARestart) {
    DamagedAfterTaken([](const std::string& log) {
        ASSERT_EQ(::truncate(log.c_str(), static_cast<off_t>(ReadFile(log).size() - 7)), 0);
    });
}

// The same with the header gone bad: the tag given when it was taken names it.
TEST_F(CycleSafetyTest, ALogWhoseHeaderRotsAfterItWasTakenFailsItsDatabaseAcrossARestart) {
    const std::string probe = WriteDb(backup() + "/probe.vdb", kC, 1);
    if (::setxattr(probe.c_str(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no extended attributes where the test keeps its files";
    ASSERT_EQ(::unlink(probe.c_str()), 0);
    DamagedAfterTaken([](const std::string& log) { FlipByte(log, 20); });
}

// The same with the log deleted: the list of taken logs names it.
TEST_F(CycleSafetyTest, ALogDeletedAfterItWasTakenFailsItsDatabaseAcrossARestart) {
    DamagedAfterTaken([](const std::string& log) { ASSERT_EQ(::unlink(log.c_str()), 0); });
    EXPECT_EQ(Err(kB), Mirel::kErrPathNotFound);
}

// A taken log the workers applied, gone before its folder is published: the copy holds its
// changes, and nothing fails.
TEST_F(CycleSafetyTest, ALogGoneAfterItWasAppliedFailsNothingAcrossARestart) {
    Upload(kA, 10);
    Interval({kA});
    std::string log;
    ASSERT_EQ(LogAt(kA, 0, &log), 0);
    {
        auto disarm = Fault(Mirel::FsOp::kRename, backup() + "/InProgress", Mirel::kErrIO);
        Close(0, false);
        Settle();
        ASSERT_EQ(MsnOf(CopyOf(backup() + "/InProgress", kA)), 12u);
    }
    ASSERT_EQ(::unlink(log.c_str()), 0);
    Rebuild();
    SettleWithRetries();
    EXPECT_EQ(Err(kA), 0);
    EXPECT_EQ(Newest()[kA], 12u);
}

// A log whose line in the list of taken logs cannot be written is not taken: the answer says
// why, and no interval counts on it.
TEST_F(CycleSafetyTest, ALogThatCannotBeListedAsTakenIsNotTaken) {
    Upload(kA, 10);
    Interval({kA});
    {
        auto disarm = Fault(Mirel::FsOp::kWrite, backup() + "/Taken.tsv", Mirel::kErrDiskFull);
        EXPECT_EQ(Log(kA), Mirel::kErrDiskFull);
    }
    EXPECT_EQ(Log(kA), 0);
    Close();
    EXPECT_EQ(Err(kA), 0);
    EXPECT_EQ(Newest(), (Msns{{kA, 12}}));
}

// A log a restart took from the folder, then refused when the server announced it (under
// another database), is no longer listed as taken: the next restart fails nothing for it.
TEST_F(CycleSafetyTest, ALogTheScanTookAndIntakeRefusedIsNotMissedByTheNextRestart) {
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    const std::string log = WriteLog(Redo(), "other.vrl", kA, 11, 12, clock += 1000);
    Rebuild();
    EXPECT_EQ(Ready(log, kB), Mirel::kErrLogWrongDatabase);
    Rebuild();
    Close();
    EXPECT_EQ(Err(kA), 0);
    EXPECT_EQ(Newest(), (Msns{{kA, 11}, {kB, 21}}));
}

// B's log, taken, is swapped for a link, and the service stops before a worker meets it: no
// record says whose it was, so no database of its interval is published as current, and
// nothing behind the link is read or moved.
TEST_F(CycleSafetyTest, ALogSwappedForALinkBeforeARestartFailsEveryDatabaseOfItsInterval) {
    TempDir outside;
    Upload(kA, 10);
    Upload(kB, 20);
    Interval({kA, kB});
    std::string before;
    ASSERT_EQ(Newest(&before).size(), 2u);
    std::string log;
    ASSERT_EQ(LogAt(kB, 0, &log), 0);
    ASSERT_EQ(Log(kA), 0);
    const std::string bytes = ReadFile(log);
    SwapForLinkToCopy(log, outside / "lure", outside / "moved");
    Rebuild();
    Close();
    std::string name;
    Newest(&name);
    for (const std::string& db : {kA, kB}) {
        EXPECT_EQ(Err(db), Mirel::kErrIsALink) << db;
        EXPECT_TRUE(name == before || HeldIn(name, db) != 0)
            << name << ": " << db << " is published as current";
    }
    EXPECT_EQ(ReadFile(outside / "lure"), bytes);
    EXPECT_EQ(ReadFile(outside / "moved"), bytes);
    // Once its interval is published the link no longer stands: new uploads are taken.
    Upload(kA, 30);
    Upload(kB, 40);
    Close();
    Rebuild();
    Close();
    EXPECT_EQ(Newest(), (Msns{{kA, 30}, {kB, 40}}));
    EXPECT_EQ(Err(kB), 0);
}

// C's only copy, in the in-progress folder when its redo folder is swapped for a link, is kept in
// Kept/; while it cannot be, it holds everything up, loudly.
TEST_F(CycleSafetyTest, AnInProgressCopyThatIsADatabasesOnlyCopyIsKeptWhenItFails) {
    Events events;
    TempDir outside;
    Upload(kA, 10);
    Interval({kA});
    Upload(kC, 5);
    ASSERT_EQ(Log(kA), 0);
    std::string log;
    ASSERT_EQ(LogAt(kC, 0, &log), 0);
    {
        auto disarm = Fault(Mirel::FsOp::kRename, backup() + "/InProgress", Mirel::kErrIO);
        Close(0, false);
        for (int i = 0; i < 20; ++i) {
            Settle();
            mgr->CheckIntervals();
        }
        ASSERT_EQ(MsnOf(CopyOf(backup() + "/InProgress", kC)), 6u);
    }
    SwapForLinkToCopy(log.substr(0, log.rfind('/')), outside / "lure", outside / "moved");
    redo = 0;
    clock += 1000;
    const std::string published = NewestFolder();
    {
        auto disarm = Fault(Mirel::FsOp::kCreateDir, backup() + "/Kept*", Mirel::kErrDiskFull);
        Rebuild();
        for (int i = 0; i < 5; ++i) {
            Settle();
            mgr->CheckIntervals();
        }
        EXPECT_EQ(NewestFolder(), published) << "published while the failures wait";
        EXPECT_EQ(Err(kC), 0);
        EXPECT_GE(events.Count(0x41000330), 1);  // the cycle says why it waits
    }
    Close();
    EXPECT_EQ(Err(kA), Mirel::kErrIsALink);
    EXPECT_EQ(Err(kC), Mirel::kErrIsALink);
    EXPECT_EQ(NewestFolder(), published);
    const auto kept = List(backup() + "/Kept/" + kC);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(DbInfo(kept[0]).uuid.ToUTF8(), kC);
    EXPECT_EQ(MsnOf(kept[0].Native()), 6u);  // its upload and the log the service applied
    Close();
    EXPECT_EQ(CopiesOf(kC), 0);
    Upload(kC, 50);
    Upload(kA, 60);
    Close();
    EXPECT_EQ(Newest()[kC], 50u);
    Rebuild();
    EXPECT_FALSE(InBackup("Kept/" + kC));
}
