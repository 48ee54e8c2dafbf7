#include <gtest/gtest.h>

#include "platform/engine/Formats.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/CopyCheck.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Env.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tools/sim/ServerWriters.h"

using Mirel::unistring;
using Mirel::UniversalPath;
using Talon::IBS_Config;
using testutil::TempDir;

class IBSConfigTest : public ::testing::Test {
protected:
    TempDir tmp;
    // The test's own fault seam, its thread's Env (gone before tmp is removed).
    Mirel::FaultEnv faults;
    Mirel::Env::Scope files{faults};
};

// (What a good database or log gives: contract_test, on the documented examples.)
TEST_F(IBSConfigTest, RefusesWhatIsNoDatabaseOrLogAndFindsIntervalDoneFiles) {
    auto uuid = Mirel::UuidText::Generate();
    ASSERT_TRUE(sim::WriteDatabaseFile(tmp.File("db.vdb"), uuid, 4096, 77, {}).OK());
    unistring u;
    std::uint64_t msn = 0, startMSN = 0, endUTC = 0;
    sim::RedoLogWriter w;
    ASSERT_TRUE(w.Open(tmp.File("l.vrl"), uuid, 4096, 77).OK());
    ASSERT_TRUE(w.Finish(80, 123456789, true).OK());
    bool closed = false;
    auto logInfo = [&](const char* name) {
        return IBS_Config::GetRedoLogInfo(tmp.File(name), u, msn, startMSN, endUTC, closed)
            .GetError();
    };
    testutil::WriteFile(tmp / "junk.vrl", std::string(300, 'z'));
    EXPECT_EQ(std::vector<int>({logInfo("junk.vrl"), logInfo("db.vdb"), logInfo("gone.vrl")}),
              std::vector<int>(
                  {Mirel::kErrInvalidFile, Mirel::kErrInvalidFile, Mirel::kErrPathNotFound}));
    EXPECT_EQ(IBS_Config::GetDBInfo(tmp.File("l.vrl"), u, msn).GetError(), Mirel::kErrInvalidFile);

    // An interval-done file by its folder (by its path: contract_test); the server may spell
    // the name in another case.
    for (const char* d : {"Redo_5", "Redo_6"}) testutil::MakeDirs(tmp / d);
    std::vector<unistring> uuids = {Mirel::UuidText::ToText(Mirel::UuidText::Generate()),
                                    Mirel::UuidText::ToText(Mirel::UuidText::Generate())};
    UniversalPath done = tmp.File("Redo_5/intervaldone.VID");
    ASSERT_TRUE(sim::WriteIntervalDone(done, 987654321, uuids).OK());
    auto folderDone = [&](const char* folder) {
        endUTC = 0;
        return IBS_Config::GetIncrementalIntervalDone(tmp.Folder(folder), endUTC, nullptr)
            .GetError();
    };
    ASSERT_EQ(folderDone("Redo_5"), 0);
    EXPECT_EQ(endUTC, 987654321u);
    EXPECT_EQ(folderDone("Redo_6"), Mirel::kErrNoIntervalDone);
    std::string good = testutil::ReadFile(done.Native()), garbled = good;
    garbled[20] ^= 1;
    for (const std::string& bad :
         {std::string(), good.substr(0, 10), good.substr(0, good.size() - 1), garbled}) {
        testutil::WriteFile(tmp / "Redo_6/IntervalDone.vid", bad);
        EXPECT_EQ(folderDone("Redo_6"), Mirel::kErrInvalidFile) << bad.size();
    }
}

TEST_F(IBSConfigTest, MoveInvalidRedoNeverOverwritesAndTakesContainersAlong) {
    testutil::MakeDirs(tmp / "Changes/Redo_1/y.vrl.rc");
    Mirel::Directory backup(tmp.Folder());
    UniversalPath moved;
    auto move = [&](const char* name, int error = 10709, const char* why = "") {
        return IBS_Config::MoveInvalidRedo(tmp.File(std::string("Changes/Redo_1/") + name), backup,
                                           moved, error, why)
            .GetError();
    };
    for (int i = 0; i < 3; ++i) {
        testutil::WriteFile(tmp / "Changes/Redo_1/x.vrl", "v" + std::to_string(i));
        ASSERT_EQ(move("x.vrl"), 0);
    }
    EXPECT_EQ(moved, tmp.File("Rejected/x.vrl.2"));
    for (const char* n : {"", ".1", ".2"})
        EXPECT_EQ(testutil::ReadFile(tmp / "Rejected/x.vrl" + n),
                  std::string("v") + (n[0] ? n[1] : '0'));

    testutil::WriteFile(tmp / "Changes/Redo_1/y.vrl", "y");
    testutil::WriteFile(tmp / "Changes/Redo_1/y.vrl.rc/c", "c");
    ASSERT_EQ(move("y.vrl"), 0);
    EXPECT_EQ(testutil::ReadFile(tmp / "Rejected/y.vrl.rc/c"), "c");

    Mirel::FaultEnv::Scope disarm(faults);
    const std::string path = tmp / "Changes/Redo_1/z.vrl";
    testutil::WriteFile(path, "z");
    faults.Arm(Mirel::FsOp::kRename, path, Mirel::kErrFileLocked);
    EXPECT_EQ(move("z.vrl"), Mirel::kErrFileLocked);
    EXPECT_EQ(moved, tmp.File("Changes/Redo_1/z.vrl"));
    EXPECT_TRUE(testutil::IsFile(path) && !testutil::IsFile(tmp / "Rejected/z.vrl"));
    // The reason is on disk before the move: a crash never leaves a set-aside file without one.
    std::string reasons = testutil::ReadFile(tmp / "Rejected/reasons.tsv");
    EXPECT_NE(reasons.find("z.vrl\t10709\t"), std::string::npos) << reasons;
    faults.Clear();
    ASSERT_EQ(move("z.vrl", 10720), 0);
    reasons = testutil::ReadFile(tmp / "Rejected/reasons.tsv");
    EXPECT_EQ(reasons.rfind("\nz.vrl\t"), reasons.find("\nz.vrl\t10720\t")) << reasons;
    testutil::WriteFile(path, "z");
    ASSERT_EQ(move("z.vrl", 10721, "a\twhy"), 0);
    reasons = testutil::ReadFile(tmp / "Rejected/reasons.tsv");
    EXPECT_NE(reasons.find("\nz.vrl.1\t10721\t"), std::string::npos) << reasons;
    EXPECT_EQ(reasons.substr(reasons.size() - 9), "\ta%09why\n") << "the caller's words, escaped";
}

// Intake's readers and the worker's open for writing answer at once for a FIFO in a file's
// place. (The scan and ibsdb meet the other readers: tests/manager, tests/tools.)
TEST_F(IBSConfigTest, ReadersNeverOpenAFifo) {
    const std::vector<std::string> fifos = {tmp / "Redo_1/a.vrl", tmp / "Redo_1/IntervalDone.vid",
                                            tmp / "db.vdb"};
    for (const auto& f : fifos) ASSERT_TRUE(testutil::MakeFifo(f));
    unistring u;
    std::uint64_t msn = 0, start = 0, end = 0;
    bool closed = false;
    Mirel::HBFile rw(tmp.File("db.vdb"));
    Talon::CopyCheck check;
    // The readers, and a last-good copy checked where it lies or while copied into InProgress/.
    EXPECT_TRUE(testutil::FinishesWithin(3000, fifos, [&] {
        EXPECT_EQ(IBS_Config::GetRedoLogInfo(tmp.File("Redo_1/a.vrl"), u, msn, start, end, closed)
                      .GetError(),
                  Mirel::kErrNotAFile);
        EXPECT_EQ(IBS_Config::GetIncrementalIntervalDone(tmp.File("Redo_1/IntervalDone.vid"), end,
                                                         nullptr)
                      .GetError(),
                  Mirel::kErrNotAFile);
        EXPECT_EQ(
            IBS_Config::GetIncrementalIntervalDone(tmp.Folder("Redo_1"), end, nullptr).GetError(),
            Mirel::kErrNoIntervalDone);
        EXPECT_EQ(rw.Open(Mirel::HBFile::kPermReadWrite).GetError(), Mirel::kErrNotAFile);
        EXPECT_EQ(Talon::CheckCopy(tmp / "db.vdb", check), Mirel::kErrNotAFile);
        EXPECT_EQ(Talon::CopyChecked(tmp / "db.vdb", tmp / "copy.vdb", check), Mirel::kErrNotAFile);
    }));
    EXPECT_FALSE(testutil::Exists(tmp / "copy.vdb"));
}

// Past the set-aside limit, files never taken stay (the first refusal says so); a taken file
// goes aside all the same; with room again junk fits, and reaching the limit is said again.
TEST_F(IBSConfigTest, SetAsideLimitRefusesJunkOnlyAndSaysSoOncePerReaching) {
    struct Restore {
        ~Restore() { IBS_Config::SetRejectedLimit(IBS_Config::kDefaultRejectedLimit); }
    } restore;
    IBS_Config::SetRejectedLimit(16 * 1024);
    Mirel::Directory backup(tmp.Folder());
    int n = 0;
    auto junk = [&] {
        std::string p = tmp / ("Changes/Redo_1/j" + std::to_string(n++) + ".vrl");
        testutil::MakeDirs(tmp / "Changes/Redo_1");
        testutil::WriteFile(p, std::string(6000, 'j'));  // two blocks
        return UniversalPath::FromNative(p);
    };
    UniversalPath moved;
    bool reached = false;
    auto move = [&](bool limited) {
        return IBS_Config::MoveInvalidRedo(junk(), backup, moved, 10709, "", limited, &reached)
            .GetError();
    };
    EXPECT_EQ(move(true), 0);
    EXPECT_EQ(std::make_pair(move(true), reached),
              std::make_pair(int(Mirel::kErrRejectedFull), true));
    EXPECT_TRUE(testutil::IsFile(tmp / "Changes/Redo_1/j1.vrl"));
    EXPECT_EQ(std::make_pair(move(true), reached),
              std::make_pair(int(Mirel::kErrRejectedFull), false));
    EXPECT_EQ(move(false), 0);
    EXPECT_GT(IBS_Config::CountRejected(backup), 16u * 1024);

    IBS_Config::SetRejectedLimit(64 * 1024);
    int fits = 0;
    for (int i = 0; i < 10 && !reached; ++i) fits += move(true) == 0;
    EXPECT_EQ(fits, 5);
    EXPECT_TRUE(reached);
    EXPECT_LE(IBS_Config::CountRejected(backup), 64u * 1024);
}

// A checked copy is a reflink where the file system can, else a copy; either way a private
// file of exactly the checked bytes, and one that does not match its line leaves nothing.
TEST_F(IBSConfigTest, ACheckedCopyClonesWhereItCanAndCopiesTheBytesElsewhere) {
    Mirel::FaultEnv::Scope disarm(faults);
    std::string bytes(3 * 1024 * 1024 + 777, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string source = tmp / "lg/db.vdb";
    for (const char* d : {"lg", "ip"}) testutil::MakeDirs(tmp / d);
    testutil::WriteFile(source, bytes);
    auto line = [&] {
        Talon::CopyCheck c;
        c.size = bytes.size();
        c.crc = Mirel::Format::Crc32c(bytes.data(), bytes.size());
        return c;
    };
    auto leftovers = [&] {
        std::vector<Mirel::Os::DirEntry> entries;
        EXPECT_EQ(Mirel::Os::ListDir(tmp / "ip", entries), 0);
        std::string names;
        for (const auto& e : entries)
            if (e.name != "db.vdb") names += e.name + " ";
        return names;
    };
    for (bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "the clone refused" : "as the file system has it");
        const std::string to = tmp / "ip/db.vdb";
        ::unlink(to.c_str());
        // The clone is asked for through the seam, once: the fault is used up by the copy.
        if (refused) faults.Arm(Mirel::FsOp::kClone, tmp / "ip/*", Mirel::kErrIO, 1);
        Talon::CopyCheck check = line();
        ASSERT_EQ(Talon::CopyChecked(source, to, check), 0);
        EXPECT_EQ(testutil::ReadFile(to), bytes);
        EXPECT_EQ(leftovers(), "");
        const Mirel::Os::Info a = Mirel::Os::Stat(source), b = Mirel::Os::Stat(to);
        EXPECT_TRUE(a.ino != b.ino && b.links == 1);
        if (refused) {
            int in = -1, out = -1;
            ASSERT_EQ(Mirel::Os::OpenRead(source, in), 0);
            ASSERT_EQ(Mirel::Os::OpenWrite(tmp / "ip/probe", true, true, out), 0);
            EXPECT_NE(Mirel::Os::CloneFile(in, out, tmp / "ip/probe"), Mirel::kErrIO);
            Mirel::Os::Close(in);
            Mirel::Os::Close(out);
            ::unlink((tmp / "ip/probe").c_str());
        }
        // Writing the copy (a log applied to it) never reaches the source.
        int fd = -1;
        ASSERT_EQ(Mirel::Os::OpenWrite(to, false, false, fd), 0);
        ASSERT_EQ(Mirel::Os::PWriteAll(fd, "changed", 7, 4096, to), 0);
        Mirel::Os::Close(fd);
        EXPECT_EQ(testutil::ReadFile(source), bytes);

        // A source that no longer matches its line is never put in place.
        Talon::CopyCheck wrong = line();
        wrong.crc ^= 1;
        ::unlink(to.c_str());
        if (refused) faults.Arm(Mirel::FsOp::kClone, tmp / "ip/*", Mirel::kErrIO, 1);
        EXPECT_EQ(Talon::CopyChecked(source, to, wrong), Mirel::kErrCopyDamaged);
        EXPECT_NE(wrong.found.find("size " + std::to_string(bytes.size())), std::string::npos);
        EXPECT_FALSE(testutil::Exists(to));
        EXPECT_EQ(leftovers(), "");
        faults.Clear();
    }
}
