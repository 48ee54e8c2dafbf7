// The application object's message loop and ORB endpoint, in-process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "app/DidoraRezaraApp.h"
#include "platform/framework/OSInterface.h"
#include "platform/support/Debug.h"
#include "platform/support/Env.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"

namespace {

class CountingFunctor : public Talon::EventFunctor {
public:
    explicit CountingFunctor(int* calls) : Talon::EventFunctor("counting"), mCalls(calls) {}
    bool operator()() override {
        ++*mCalls;
        return true;
    }

private:
    int* mCalls;
};

class MessageLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        Mirel::gDebugger.SetLogFile(tmp.path(), "talonibDebug.log");
        app.SetOSInterface(new Talon::OSInterface());
    }
    testutil::TempDir tmp;
    DidoraRezaraApp app;
};

}  // namespace

// A lock held elsewhere is another instance; one that cannot be taken is a refused start.
TEST_F(MessageLoopTest, TheInstanceLockTellsAnotherInstanceFromALockThatCannotBeTaken) {
    ::setenv("VELLUMARK_RUN_DIR", tmp.path().c_str(), 1);
    const std::string lock = tmp / "talonib.lock";
    testutil::WriteFile(lock, "");
    const int held = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    app.SetRunState(Talon::AppBase::kRunApplication);
    EXPECT_EQ(app.InitOS().GetError(), Mirel::kErrAnotherInstance);
    EXPECT_EQ(app.GetRunState(), Talon::AppBase::kAnotherInstance);
    ::close(held);

    Mirel::FaultEnv faults;
    Mirel::Env::Scope files(faults);
    faults.Arm(Mirel::FsOp::kLock, lock, Mirel::kErrIO);
    app.SetRunState(Talon::AppBase::kRunApplication);
    EXPECT_EQ(app.InitOS().GetError(), Mirel::kErrStartRefused);
    EXPECT_EQ(app.GetRunState(), Talon::AppBase::kStartRefused);
    ::unsetenv("VELLUMARK_RUN_DIR");
}

TEST_F(MessageLoopTest, UnknownCodesAndOutOfStateRequestsAreDropped) {
    int functorCalls = 0;
    app.GetOSInterface()->SetOSEventFunctor(16, new CountingFunctor(&functorCalls));
    app.GetOSInterface()->SetOSEventFunctor(7, new ExpeditedShutdownFunctor(&app));
    app.SetRunState(Talon::AppBase::kRunApplication);
    auto& q = app.GetMainMsgQ();
    q.PostMsg(4242);                                     // unknown: dropped
    q.PostMsg(1011);                                     // not in run state 5: nothing
    q.PostMsg(std::make_unique<Talon::OSEventMsg>(3));   // no functor for 3: ignored
    q.PostMsg(std::make_unique<Talon::OSEventMsg>(16));  // the counting functor
    q.PostMsg(std::make_unique<Talon::OSEventMsg>(7));   // Shutdown, which posts 100
    ASSERT_TRUE(app.Run().OK());
    EXPECT_EQ(functorCalls, 1);
    EXPECT_TRUE(app.IsStopInitiated());
    EXPECT_EQ(q.Size(), 0u);
    EXPECT_EQ(app.GetOSInterface()->GetStatus(), 2u);
}

TEST_F(MessageLoopTest, EachStopRequestPostsItsOwnEnd) {
    auto& q = app.GetMainMsgQ();
    q.PostMsg(1224);
    q.PostMsg(1224);
    q.PostMsg(1231);  // the cycle runs even with no backup folder: it finds nothing to do
    ASSERT_TRUE(app.Run().OK());
    // The loop ended at the first 100; the second 1224's 100 is still waiting.
    ASSERT_EQ(q.Size(), 1u);
    EXPECT_EQ(q.GetMsg()->GetMsgCode(), 100);
}

// Any end of the loop but a stop request or a quit is a failure (restarted by systemd).
TEST_F(MessageLoopTest, AnEndWithoutAStopRequestIsAFailure) {
    app.SetRunState(Talon::AppBase::kLoopRunning);
    DidoraRezaraApp bare;
    for (DidoraRezaraApp* a : {&app, &bare}) {
        a->GetMainMsgQ().PostMsg(100);
        EXPECT_EQ(a->Run().GetError(), -1);
    }
}

// A command line such as install takes no port; the service listens on loopback only.
TEST(OrbEndpointTest, EndpointArgumentsFollowTheRunState) {
    DidoraRezaraApp app;
    std::vector<std::string> args = {"x"};
    app.SetRunState(Talon::AppBase::kNoOSInit);
    EXPECT_TRUE(app.AddOrbEndpointArgs(args, "-ORBendPoint"));
    EXPECT_EQ(args, std::vector<std::string>{"x"});
    app.SetRunState(Talon::AppBase::kRunApplication);
    ASSERT_TRUE(app.AddOrbEndpointArgs(args, "-ORBendPoint"));
    EXPECT_EQ(args, (std::vector<std::string>{"x", "-ORBendPoint", "giop:tcp:127.0.0.1:50004"}));
}

// A stop signal ends a process whose main thread hangs (here on a pipe): past the limit, 1.
TEST_F(MessageLoopTest, AStopSignalEndsAProcessWhoseMainThreadIsHeldUp) {
    int ready[2], never[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(never, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("VELLUMARK_STOP_LIMIT_MS", "300", 1);
        auto* os = new Talon::WinOSInterface(u"test");
        if (!os->StartSignalThread(app).OK()) ::_exit(90);
        [[maybe_unused]] ssize_t w = ::write(ready[1], "r", 1);
        char c;
        [[maybe_unused]] ssize_t r = ::read(never[0], &c, 1);
        ::_exit(91);
    }
    ASSERT_GT(pid, 0);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    const auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM);
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = ::poll(&p, 1, 10000) == 1;
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(pidfd);
    for (int fd : {ready[0], ready[1], never[0], never[1]}) ::close(fd);
    ASSERT_TRUE(ended) << "the process ignored SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}
