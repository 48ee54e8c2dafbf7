#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/support/Error.h"

namespace Mirel {

// A message carrying a 32-bit code. Created by the sender; the queue owns it until it is
// taken, and then the taker does.
class Msg {
public:
    explicit Msg(std::int32_t code) : mCode(code) {}
    virtual ~Msg() = default;
    std::int32_t GetMsgCode() const { return mCode; }

private:
    std::int32_t mCode;
};

// Many producers, one consumer; messages come out in the order they were posted.
class MsgQ {
public:
    void PostMsg(std::unique_ptr<Msg> msg);
    void PostMsg(std::int32_t code) { PostMsg(std::make_unique<Msg>(code)); }
    // Blocks until a message arrives.
    std::unique_ptr<Msg> GetMsg();
    // Null when nothing arrived within `ms`.
    std::unique_ptr<Msg> GetMsg(unsigned long ms);
    std::size_t Size() const;

private:
    mutable std::mutex mM;
    std::condition_variable mCv;
    std::deque<std::unique_ptr<Msg>> mQ;
};

// A thread with its own message queue. RunThread calls Construct, Main and Destruct on
// the new thread. The object must outlive its thread; the destructor joins it.
class Thread {
public:
    Thread() = default;
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    virtual const char* GetName() const { return "Thread"; }
    virtual void Main() = 0;
    virtual void Construct() {}
    virtual void Destruct() {}
    void RunThread();

    // waitUntilRunning: return only once Construct has finished on the new thread.
    Error Start(bool waitUntilRunning);
    void Join();
    bool IsRunning() const;

    MsgQ& GetMyMsgQ() { return mQueue; }
    static void Sleep(unsigned long ms);

private:
    MsgQ mQueue;
    std::thread mThread;
    mutable std::mutex mStateM;
    std::condition_variable mStateCv;
    bool mConstructed = false;
    bool mRunning = false;
};

}  // namespace Mirel
