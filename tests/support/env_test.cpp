#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <mutex>
#include <set>
#include <tuple>

#include "platform/support/Env.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "platform/support/RetryTimer.h"
#include "platform/support/Thread.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"

using Mirel::Env;
using Mirel::Error;
using Mirel::FaultEnv;
using Mirel::FsOp;
using testutil::TempDir;

namespace {

// Counts the folder syncs and the opens for writing that pass it, and nothing else.
class Counting : public Mirel::EnvWrapper {
public:
    explicit Counting(Env& target) : EnvWrapper(target) {}
    Error SyncDir(const std::string& path) override {
        std::lock_guard<std::mutex> g(m);
        syncs.push_back(path);
        return EnvWrapper::SyncDir(path);
    }
    Error OpenWrite(const std::string& path, const Mirel::Os::WriteMode& how, int& fd) override {
        std::lock_guard<std::mutex> g(m);
        opened.push_back(path);
        return EnvWrapper::OpenWrite(path, how, fd);
    }
    std::mutex m;
    std::vector<std::string> syncs, opened;
};

}  // namespace

// The real calls: every error says what failed, where, and what the system answered.
TEST(EnvTest, TheRealCallsGiveErrorsWithOperationPathErrnoAndKind) {
    TempDir tmp;
    Env& real = Env::Default();
    const std::string missing = tmp / "missing";
    Mirel::Os::Info info;
    Error e = real.Stat(missing, info);
    EXPECT_EQ(std::make_tuple(e.GetError(), e.Operation(), e.Path(), e.SystemErrno()),
              std::make_tuple(int(Mirel::kErrPathNotFound), std::string("stat"), missing, ENOENT));
    EXPECT_EQ(e.Kind(), Mirel::KindOf(Mirel::kErrPathNotFound));
    EXPECT_FALSE(info.exists);

    testutil::WriteFile(tmp / "a", "a");
    testutil::WriteFile(tmp / "b", "b");
    EXPECT_EQ(real.Rename(tmp / "a", tmp / "b").GetError(), Mirel::kErrAlreadyExists);
    EXPECT_EQ(testutil::ReadFile(tmp / "b"), "b");
    int fd = -1;
    e = real.OpenRead(tmp.path(), fd, nullptr, false);
    EXPECT_EQ(std::make_tuple(e.GetError(), e.SystemErrno(), fd),
              std::make_tuple(int(Mirel::kErrIsADirectory), 0, -1));  // the layer's own refusal
    e = real.Stat(tmp / "b", info);
    EXPECT_TRUE(e.OK() && e.Operation().empty() && info.isFile);  // success carries nothing
}

// A wrapper that overrides two calls meets every step of the calls made of them, and leaves
// the rest to its target.
TEST(EnvTest, AWrapperMeetsEveryStepOfTheCallsMadeOfOthers) {
    TempDir tmp;
    Counting counting(Env::Default());
    const std::string file = tmp / "f.txt";
    ASSERT_TRUE(counting.WriteFileDurable(file, "hello").OK());
    EXPECT_EQ(testutil::ReadFile(file), "hello");
    ASSERT_EQ(counting.opened.size(), 1u);
    EXPECT_TRUE(Mirel::Os::ParentOf(counting.opened[0]) == tmp.path() &&
                counting.opened[0] != file);
    EXPECT_EQ(counting.syncs, std::vector<std::string>{tmp.path()});

    counting.opened.clear();
    ASSERT_TRUE(counting.CopyFile(file, tmp / "copy.txt").OK());
    EXPECT_EQ(testutil::ReadFile(tmp / "copy.txt"), "hello");
    ASSERT_EQ(counting.opened.size(), 1u);
    EXPECT_NE(counting.opened[0], tmp / "copy.txt");
    EXPECT_FALSE(testutil::Exists(counting.opened[0]));  // renamed into place

    // Deferred syncs are made through the Env that renamed, once per folder.
    testutil::MakeDirs(tmp / "sub");
    counting.syncs.clear();
    {
        Mirel::Os::DeferredDirSyncs batch;
        ASSERT_TRUE(counting.Rename(tmp / "copy.txt", tmp / "sub/1").OK());
        ASSERT_TRUE(counting.Rename(tmp / "f.txt", tmp / "sub/2").OK());
        EXPECT_TRUE(counting.syncs.empty());
    }
    std::sort(counting.syncs.begin(), counting.syncs.end());
    EXPECT_EQ(counting.syncs, (std::vector<std::string>{tmp.path(), tmp / "sub"}));
}

// Each fault seam is an instance: what one is armed with, nobody else sees.
TEST(EnvTest, AFaultEnvFailsOnlyItsOwnCallsAndCountsDown) {
    TempDir tmp;
    const std::string file = tmp / "state.tsv";
    testutil::WriteFile(file, "old");

    FaultEnv faults, other;
    // Armed for two calls on one path: a path beside it is untouched.
    for (const char* f : {"a", "ab"}) testutil::WriteFile(tmp / f, "");
    faults.Arm(FsOp::kDeleteFile, tmp / "a", Mirel::kErrFileLocked, 2);
    EXPECT_TRUE(faults.DeleteFile(tmp / "ab").OK());
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(faults.DeleteFile(tmp / "a").GetError(), Mirel::kErrFileLocked);
    EXPECT_TRUE(faults.DeleteFile(tmp / "a").OK());
    EXPECT_EQ(faults.Fired(), 2);

    faults.Arm(FsOp::kRename, tmp / "*", Mirel::kErrDiskFull, 1);

    Error e = faults.WriteFileDurable(file, "new");
    EXPECT_EQ(std::make_tuple(e.GetError(), e.Operation()),
              std::make_tuple(int(Mirel::kErrDiskFull), std::string("rename")));
    EXPECT_EQ(testutil::ReadFile(file), "old");
    std::vector<Mirel::Os::DirEntry> entries;
    ASSERT_TRUE(Env::Default().ListDir(tmp.path(), entries).OK());
    EXPECT_EQ(entries.size(), 1u) << "the temporary file is left behind";
    EXPECT_EQ(faults.Fired(), 3);

    // The count ran out; the other instance and the real calls never saw it.
    EXPECT_TRUE(faults.WriteFileDurable(file, "new").OK());
    EXPECT_EQ(testutil::ReadFile(file), "new");
    faults.Arm(FsOp::kAny, tmp / "*", Mirel::kErrIO);
    EXPECT_TRUE(other.WriteFileDurable(file, "other").OK());
    EXPECT_TRUE(Env::Default().WriteFileDurable(file, "real").OK());
    EXPECT_EQ(other.Fired(), 0);
    EXPECT_FALSE(faults.Probe(file).exists);  // a failed stat reads as not there
    EXPECT_FALSE(faults.IsFolder(tmp.path() + "/"));
    faults.Clear();
    EXPECT_TRUE(faults.Probe(file).exists);
}

// A copy asks first, on its destination and its source, then each step meets the wrapper.
TEST(EnvTest, ACopyMeetsTheFaultSeamAsAWholeAndStepByStep) {
    TempDir tmp;
    testutil::WriteFile(tmp / "src", std::string(100000, 'x'));
    FaultEnv faults;
    faults.Arm(FsOp::kCopy, tmp / "src", Mirel::kErrAccessDenied, 1);
    EXPECT_EQ(faults.CopyFile(tmp / "src", tmp / "dst").GetError(), Mirel::kErrAccessDenied);
    faults.Arm(FsOp::kSync, tmp / "dst", Mirel::kErrIO, 1);
    EXPECT_EQ(faults.CopyFile(tmp / "src", tmp / "dst").GetError(), Mirel::kErrIO);
    EXPECT_FALSE(testutil::Exists(tmp / "dst"));
    std::vector<Mirel::Os::DirEntry> entries;
    ASSERT_TRUE(Env::Default().ListDir(tmp.path(), entries).OK());
    EXPECT_EQ(entries.size(), 1u) << "the partial copy is removed";
    ASSERT_TRUE(faults.CopyFile(tmp / "src", tmp / "dst").OK());
    EXPECT_EQ(testutil::ReadFile(tmp / "dst"), std::string(100000, 'x'));
}

namespace {
class Probe : public Mirel::Thread {
public:
    explicit Probe(std::string path) : mPath(std::move(path)) {}
    void Main() override { rc = Mirel::Os::Stat(mPath, info); }
    std::string mPath;
    int rc = -1;
    Mirel::Os::Info info;
};
}  // namespace

// The free functions use the calling thread's Env, and a thread starts with its starter's.
TEST(EnvTest, TheFreeFunctionsUseTheThreadsEnvAndNewThreadsInheritIt) {
    TempDir tmp;
    testutil::WriteFile(tmp / "f", "x");
    FaultEnv faults;
    faults.Arm(FsOp::kStat, tmp / "f", Mirel::kErrIO);
    EXPECT_TRUE(Mirel::Os::Stat(tmp / "f").exists);
    Probe before(tmp / "f");
    {
        Env::Scope use(faults);
        EXPECT_EQ(&Env::Current(), &faults);
        Mirel::Os::Info info;
        EXPECT_EQ(Mirel::Os::Stat(tmp / "f", info), Mirel::kErrIO);

        Probe inside(tmp / "f");
        ASSERT_TRUE(inside.Start(false).OK());
        inside.Join();
        EXPECT_EQ(inside.rc, Mirel::kErrIO);

        // So does a retry timer's callback, with the Env of the thread that armed it.
        std::promise<int> fired;
        Mirel::RetryTimer timer([&] {
            Mirel::Os::Info seen;
            fired.set_value(Mirel::Os::Stat(tmp / "f", seen));
        });
        timer.Arm(0);
        EXPECT_EQ(fired.get_future().get(), Mirel::kErrIO);
    }
    EXPECT_NE(&Env::Current(), &faults);
    ASSERT_TRUE(before.Start(false).OK());
    before.Join();
    EXPECT_TRUE(before.rc == 0 && before.info.isFile);
}
