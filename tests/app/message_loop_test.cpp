// The application object's message loop and ORB endpoint, in-process.
#include <gtest/gtest.h>

#include "app/DidoraRezaraApp.h"
#include "platform/framework/OSInterface.h"
#include "platform/support/Debug.h"
#include "tests/TestUtil.h"

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

TEST_F(MessageLoopTest, QuitRequestEndsTheLoopOnlyWhileItRuns) {
    app.SetRunState(Talon::AppBase::kLoopRunning);
    app.GetMainMsgQ().PostMsg(1011);
    EXPECT_TRUE(app.Run().OK());
    EXPECT_EQ(app.GetMainMsgQ().Size(), 0u);
}

// Only a stop request or a quit ends the service cleanly: any other end of the loop is a
// failure, which the service manager restarts.
TEST_F(MessageLoopTest, AnEndWithoutAStopRequestIsAFailure) {
    app.SetRunState(Talon::AppBase::kLoopRunning);
    app.GetMainMsgQ().PostMsg(100);
    EXPECT_EQ(app.Run().GetError(), -1);
    EXPECT_NE(testutil::ReadFile(tmp / "talonibDebug.log").find("without a stop request"),
              std::string::npos);
}

TEST(MessageLoopNoOS, RunWithoutOSInterfaceFails) {
    DidoraRezaraApp app;
    app.GetMainMsgQ().PostMsg(100);
    EXPECT_EQ(app.Run().GetError(), -1);
}

TEST(OrbEndpointTest, EndpointArgumentsFollowTheRunState) {
    DidoraRezaraApp app;
    std::vector<std::string> args = {"x"};
    app.SetRunState(Talon::AppBase::kNoOSInit);
    EXPECT_TRUE(app.AddOrbEndpointArgs(args, "-ORBendPoint"));
    EXPECT_EQ(args.size(), 1u);
    app.SetRunState(Talon::AppBase::kRunApplication);
    ASSERT_TRUE(app.AddOrbEndpointArgs(args, "-ORBendPoint"));
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1], "-ORBendPoint");
    EXPECT_EQ(args[2], "giop:tcp:127.0.0.1:50004");
}
