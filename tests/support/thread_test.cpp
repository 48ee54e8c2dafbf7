#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/support/Sync.h"
#include "platform/support/Thread.h"

using Mirel::Msg;
using Mirel::MsgQ;

namespace {

std::atomic<int> gLiveMsgs{0};

class CountedMsg : public Msg {
public:
    CountedMsg(std::int32_t code, int producer, int seq) : Msg(code), producer(producer), seq(seq) {
        ++gLiveMsgs;
    }
    ~CountedMsg() override { --gLiveMsgs; }
    int producer, seq;
};

}  // namespace

TEST(MsgQTest, EachProducersOrderSurvivesAndEveryMessageIsFreedOnce) {
    MsgQ q;
    constexpr int kProducers = 4, kEach = 2000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&q, p] {
            for (int i = 0; i < kEach; ++i) q.PostMsg(std::make_unique<CountedMsg>(1229, p, i));
        });
    std::map<int, int> next;
    for (int n = 0; n < kProducers * kEach; ++n) {
        auto m = q.GetMsg();
        auto* cm = dynamic_cast<CountedMsg*>(m.get());
        ASSERT_NE(cm, nullptr);
        EXPECT_EQ(cm->seq, next[cm->producer]++);
    }
    for (auto& t : producers) t.join();
    EXPECT_TRUE(gLiveMsgs.load() == 0 && q.Size() == 0);
}

TEST(MsgQTest, QueueOwnsUntakenMessagesAndTimedGetAnswersNull) {
    {
        MsgQ q;
        for (int i = 0; i < 2; ++i) q.PostMsg(std::make_unique<CountedMsg>(100, 0, i));
        EXPECT_EQ(gLiveMsgs.load(), 2);
    }
    EXPECT_EQ(gLiveMsgs.load(), 0);
    MsgQ q;
    EXPECT_EQ(q.GetMsg(10), nullptr);
    q.PostMsg(1231);
    auto m = q.GetMsg(10);
    EXPECT_TRUE(m && m->GetMsgCode() == 1231);
}

namespace {
class Worker : public Mirel::Thread {
public:
    std::vector<std::string> trace;
    std::vector<int> codes;
    void Construct() override { trace.push_back("construct"); }
    void Main() override {
        trace.push_back("main");
        for (;;) {
            auto m = GetMyMsgQ().GetMsg();
            codes.push_back(m->GetMsgCode());
            if (m->GetMsgCode() == 100) break;
        }
    }
    void Destruct() override { trace.push_back("destruct"); }
};
}  // namespace

TEST(ThreadTest, RunsConstructMainDestructAndServesItsQueue) {
    Worker w;
    ASSERT_TRUE(w.Start(true).OK());
    EXPECT_FALSE(w.Start(false).OK());  // one thread per object
    for (int code : {1229, 7, 100}) w.GetMyMsgQ().PostMsg(code);
    w.Join();
    EXPECT_FALSE(w.IsRunning());
    EXPECT_EQ(w.trace, (std::vector<std::string>{"construct", "main", "destruct"}));
    EXPECT_EQ(w.codes, (std::vector<int>{1229, 7, 100}));
}

// Whether another thread could take `m` now.
template <class M>
bool FreeElsewhere(M& m) {
    std::atomic<bool> free{false};
    std::thread t([&] {
        free = m.TryLock();
        if (free) m.Unlock();
    });
    t.join();
    return free.load();
}

TEST(SyncTest, ASemaphoreWaitsForItsPostAndTicksCountWholeSeconds) {
    Mirel::Semaphore sem;
    EXPECT_FALSE(sem.Wait(5));
    std::thread t([&] { sem.Post(); });
    sem.Wait();
    t.join();
    // Whole seconds since a tick, however long this line took.
    EXPECT_GE(Mirel::Tick::DiffSecs(Mirel::Tick::CurrentTick() - 2500), 2u);
}

// A reentrant mutex is held by its thread however deep; UnlockAll gives up every hold for
// its scope, and all come back after it.
TEST(SyncTest, UnlockAllGivesUpEveryHoldForItsScope) {
    Mirel::ReentrantMutex rm;
    Mirel::LockReentrant outer(rm);
    {
        Mirel::LockReentrant middle(rm);
        Mirel::LockReentrant inner(rm);
        {
            Mirel::UnlockAll none(rm);
            EXPECT_TRUE(FreeElsewhere(rm));
        }
        EXPECT_FALSE(FreeElsewhere(rm));
    }
    // The two inner holds went with their scopes; the outer one is still held.
    EXPECT_FALSE(FreeElsewhere(rm));
    {
        Mirel::UnlockAll none(rm);
        EXPECT_TRUE(FreeElsewhere(rm));
    }
    EXPECT_FALSE(FreeElsewhere(rm));
}

// An owner of a lock and an error of its own, copied by the compiler.
struct Owner {
    int value = 0;
    Mirel::FreshOnCopy<Mirel::Mutex> lock;
    Mirel::FreshOnCopy<Mirel::Error> err;
};

TEST(SyncTest, ACopyGetsAFreshLockAndNoErrorWhileAssignmentCarriesTheError) {
    Owner a;
    a.value = 7;
    a.err = Mirel::Error(10709);
    Mirel::LockMutex held(a.lock);

    Owner copy = a;
    // A copy starts without the original's error and with a lock of its own.
    EXPECT_TRUE(copy.value == 7 && copy.err.OK() && FreeElsewhere(copy.lock));
    Owner target;
    target = a;
    // Assignment carries the error and leaves the target's lock alone.
    EXPECT_TRUE(target.value == 7 && target.err.GetError() == 10709 && FreeElsewhere(target.lock));
    copy.err = a.err;
    EXPECT_EQ(copy.err.GetError(), 10709);
}
