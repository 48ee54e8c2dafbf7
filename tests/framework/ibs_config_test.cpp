#include <gtest/gtest.h>

#include <atomic>

#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/engine/Writers.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"

using Mirel::unistring;
using Mirel::UniversalPath;
using Talon::IBS_Config;
using testutil::TempDir;

class IBSConfigTest : public ::testing::Test {
protected:
    void TearDown() override { Mirel::Faults::Clear(); }
    TempDir tmp;
};

TEST_F(IBSConfigTest, ReadsIdentitiesOfDatabasesAndLogs) {
    auto uuid = Mirel::UuidText::Generate();
    ASSERT_TRUE(Mirel::WriteDatabaseFile(tmp.File("db.vdb"), uuid, 4096, 77, {}).OK());
    unistring u;
    std::uint64_t msn = 0;
    ASSERT_TRUE(IBS_Config::GetDBInfo(tmp.File("db.vdb"), u, msn).OK());
    EXPECT_EQ(u, Mirel::UuidText::ToText(uuid));
    EXPECT_EQ(msn, 77u);

    Mirel::RedoLogWriter w;
    ASSERT_TRUE(w.Open(tmp.File("l.vrl"), uuid, 4096, 77).OK());
    ASSERT_TRUE(w.Finish(80, 123456789, true).OK());
    std::uint64_t startMSN = 0, endUTC = 0;
    bool closed = false;
    ASSERT_TRUE(
        IBS_Config::GetRedoLogInfo(tmp.File("l.vrl"), u, msn, startMSN, endUTC, closed).OK());
    EXPECT_EQ(msn, 80u);
    EXPECT_EQ(startMSN, 77u);
    EXPECT_EQ(endUTC, 123456789u);
    EXPECT_TRUE(closed);

    testutil::WriteFile(tmp / "junk.vrl", std::string(300, 'z'));
    EXPECT_EQ(IBS_Config::GetRedoLogInfo(tmp.File("junk.vrl"), u, msn, startMSN, endUTC, closed)
                  .GetError(),
              Mirel::kErrInvalidFile);
    EXPECT_EQ(
        IBS_Config::GetRedoLogInfo(tmp.File("db.vdb"), u, msn, startMSN, endUTC, closed).GetError(),
        Mirel::kErrInvalidFile);
    EXPECT_EQ(IBS_Config::GetRedoLogInfo(tmp.File("gone.vrl"), u, msn, startMSN, endUTC, closed)
                  .GetError(),
              Mirel::kErrPathNotFound);
    EXPECT_EQ(IBS_Config::GetDBInfo(tmp.File("l.vrl"), u, msn).GetError(), Mirel::kErrInvalidFile);
}

TEST_F(IBSConfigTest, IntervalDoneFilesByPathOrFolder) {
    testutil::MakeDirs(tmp / "Redo_5");
    std::vector<unistring> uuids = {Mirel::UuidText::ToText(Mirel::UuidText::Generate()),
                                    Mirel::UuidText::ToText(Mirel::UuidText::Generate())};
    // The server may spell the name in another case.
    UniversalPath done = tmp.File("Redo_5/intervaldone.VID");
    ASSERT_TRUE(IBS_Config::WriteIntervalDone(done, 987654321, uuids).OK());

    std::uint64_t utc = 0;
    std::vector<unistring> list;
    ASSERT_TRUE(IBS_Config::GetIncrementalIntervalDone(done, utc, &list).OK());
    EXPECT_EQ(utc, 987654321u);
    EXPECT_EQ(list, uuids);
    utc = 0;
    ASSERT_TRUE(IBS_Config::GetIncrementalIntervalDone(tmp.Folder("Redo_5"), utc, nullptr).OK());
    EXPECT_EQ(utc, 987654321u);

    testutil::MakeDirs(tmp / "Redo_6");
    EXPECT_EQ(IBS_Config::GetIncrementalIntervalDone(tmp.Folder("Redo_6"), utc, nullptr).GetError(),
              Mirel::kErrNoIntervalDone);

    std::string good = testutil::ReadFile(done.Native());
    for (std::size_t cut : {std::size_t(0), std::size_t(10), good.size() - 1}) {
        testutil::WriteFile(tmp / "Redo_6/IntervalDone.vid", good.substr(0, cut));
        EXPECT_EQ(IBS_Config::GetIncrementalIntervalDone(tmp.File("Redo_6/IntervalDone.vid"), utc,
                                                         nullptr)
                      .GetError(),
                  Mirel::kErrInvalidFile)
            << cut;
    }
    std::string garbled = good;
    garbled[20] ^= 1;
    testutil::WriteFile(tmp / "Redo_6/IntervalDone.vid", garbled);
    EXPECT_EQ(IBS_Config::GetIncrementalIntervalDone(tmp.Folder("Redo_6"), utc, nullptr).GetError(),
              Mirel::kErrInvalidFile);
}

TEST_F(IBSConfigTest, MoveInvalidRedoNeverOverwritesAndTakesContainersAlong) {
    testutil::MakeDirs(tmp / "Changes/Redo_1");
    Mirel::Directory backup(tmp.Folder());
    UniversalPath moved;
    for (int i = 0; i < 3; ++i) {
        testutil::WriteFile(tmp / "Changes/Redo_1/x.vrl", "v" + std::to_string(i));
        ASSERT_TRUE(
            IBS_Config::MoveInvalidRedo(tmp.File("Changes/Redo_1/x.vrl"), backup, moved).OK());
    }
    EXPECT_EQ(moved, tmp.File("Rejected/x.vrl.2"));
    EXPECT_EQ(testutil::ReadFile(tmp / "Rejected/x.vrl"), "v0");
    EXPECT_EQ(testutil::ReadFile(tmp / "Rejected/x.vrl.1"), "v1");
    EXPECT_EQ(testutil::ReadFile(tmp / "Rejected/x.vrl.2"), "v2");

    testutil::WriteFile(tmp / "Changes/Redo_1/y.vrl", "y");
    testutil::MakeDirs(tmp / "Changes/Redo_1/y.vrl.rc");
    testutil::WriteFile(tmp / "Changes/Redo_1/y.vrl.rc/c", "c");
    ASSERT_TRUE(IBS_Config::MoveInvalidRedo(tmp.File("Changes/Redo_1/y.vrl"), backup, moved).OK());
    EXPECT_EQ(testutil::ReadFile(tmp / "Rejected/y.vrl.rc/c"), "c");

    Mirel::Faults::Scope faults;
    testutil::WriteFile(tmp / "Changes/Redo_1/z.vrl", "z");
    Mirel::Faults::Arm(Mirel::FsOp::kRename, tmp / "Changes/Redo_1/z.vrl", Mirel::kErrFileLocked);
    EXPECT_EQ(
        IBS_Config::MoveInvalidRedo(tmp.File("Changes/Redo_1/z.vrl"), backup, moved).GetError(),
        Mirel::kErrFileLocked);
    EXPECT_EQ(moved, tmp.File("Changes/Redo_1/z.vrl"));
    EXPECT_TRUE(testutil::IsFile(tmp / "Changes/Redo_1/z.vrl"));
    // The reason was on disk before the move was tried, so a crash just after a move can
    // never leave a set-aside file without one.
    std::string reasons = testutil::ReadFile(tmp / "Rejected/reasons.tsv");
    EXPECT_NE(reasons.find("z.vrl\t10709\t"), std::string::npos) << reasons;
    EXPECT_FALSE(testutil::IsFile(tmp / "Rejected/z.vrl"));
    Mirel::Faults::Clear();
    ASSERT_TRUE(
        IBS_Config::MoveInvalidRedo(tmp.File("Changes/Redo_1/z.vrl"), backup, moved, 10720).OK());
    reasons = testutil::ReadFile(tmp / "Rejected/reasons.tsv");
    EXPECT_EQ(reasons.rfind("\nz.vrl\t"), reasons.find("\nz.vrl\t10720\t")) << reasons;
    // The last column says why in words: the number's own, or what the caller adds.
    const std::string path = tmp / "Changes/Redo_1/z.vrl";
    EXPECT_NE(reasons.find(path + "\tthe redo log belongs to another database\n"),
              std::string::npos)
        << reasons;
    testutil::WriteFile(path, "z");
    ASSERT_TRUE(IBS_Config::MoveInvalidRedo(tmp.File("Changes/Redo_1/z.vrl"), backup, moved, 10721,
                                            "a\twhy")
                    .OK());
    reasons = testutil::ReadFile(tmp / "Rejected/reasons.tsv");
    EXPECT_NE(reasons.find("\nz.vrl.1\t10721\t"), std::string::npos) << reasons;
    EXPECT_EQ(reasons.substr(reasons.size() - 9), "\ta%09why\n") << reasons;
}

TEST_F(IBSConfigTest, RedoFolderNames) {
    EXPECT_EQ(IBS_Config::RetrieveUTCFromRedoFolderName(IBS_Config::MakeRedoFolderName(1234567)),
              1234567u);
    EXPECT_EQ(IBS_Config::RetrieveUTCFromRedoFolderName(u"Redo_"), 0u);
    EXPECT_EQ(IBS_Config::RetrieveUTCFromRedoFolderName(u"Redo_12x"), 0u);
    EXPECT_EQ(IBS_Config::RetrieveUTCFromRedoFolderName(u"Other_12"), 0u);
    EXPECT_EQ(IBS_Config::RetrieveUTCFromRedoFolderName(u"Redo_99999999999999999999999"), 0u);
    EXPECT_EQ(IBS_Config::GetRedoFolderAppendixName(), unistring(u"Redo_*"));
}

TEST_F(IBSConfigTest, ProcessRedoLogFileOpensTheLogAndAppliesIt) {
    Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);
    auto uuid = Mirel::UuidText::Generate();
    ASSERT_TRUE(Mirel::WriteDatabaseFile(tmp.File("db.vdb"), uuid, 512, 1, {}).OK());
    Mirel::RedoLogWriter w;
    ASSERT_TRUE(w.Open(tmp.File("l.vrl"), uuid, 512, 1).OK());
    std::vector<std::uint8_t> page(512, 7);
    ASSERT_TRUE(w.AddPage(3, page.data()).OK());
    ASSERT_TRUE(w.Finish(2, 10, false).OK());
    Mirel::HBFile db(tmp.File("db.vdb"));
    db.SetOpeningFlags(0x110);
    ASSERT_TRUE(db.Open(3).OK());
    Mirel::HBLogFile log(tmp.File("l.vrl"));
    // An abort stops the pages and keeps the old MSN; the same log applies again later.
    std::atomic<std::int32_t> abort{1};
    EXPECT_EQ(IBS_Config::ProcessRedoLogFile(db, log, abort).GetError(), Mirel::kErrAborted);
    EXPECT_EQ(db.GetMSN(), 1u);
    abort = 0;
    ASSERT_TRUE(IBS_Config::ProcessRedoLogFile(db, log, abort).OK());
    EXPECT_EQ(db.GetMSN(), 2u);
    EXPECT_EQ(db.GetPageCount(), 4u);
}
