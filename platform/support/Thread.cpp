#include "platform/support/Thread.h"

#include <chrono>

#include "platform/support/Env.h"

namespace Mirel {

void MsgQ::PostMsg(std::unique_ptr<Msg> msg) {
    if (!msg) return;
    {
        std::lock_guard<std::mutex> g(mM);
        mQ.push_back(std::move(msg));
    }
    mCv.notify_one();
}

std::unique_ptr<Msg> MsgQ::GetMsg() {
    std::unique_lock<std::mutex> g(mM);
    mCv.wait(g, [this] { return !mQ.empty(); });
    auto m = std::move(mQ.front());
    mQ.pop_front();
    return m;
}

std::unique_ptr<Msg> MsgQ::GetMsg(unsigned long ms) {
    std::unique_lock<std::mutex> g(mM);
    if (!mCv.wait_for(g, std::chrono::milliseconds(ms), [this] { return !mQ.empty(); }))
        return nullptr;
    auto m = std::move(mQ.front());
    mQ.pop_front();
    return m;
}

std::size_t MsgQ::Size() const {
    std::lock_guard<std::mutex> g(mM);
    return mQ.size();
}

Thread::~Thread() {
    Join();
}

void Thread::RunThread() {
    Construct();
    {
        std::lock_guard<std::mutex> g(mStateM);
        mConstructed = true;
    }
    mStateCv.notify_all();
    Main();
    Destruct();
    std::lock_guard<std::mutex> g(mStateM);
    mRunning = false;
}

Error Thread::Start(bool waitUntilRunning) {
    {
        std::lock_guard<std::mutex> g(mStateM);
        if (mRunning || mThread.joinable()) return Error(kErrGeneric);
        mRunning = true;
        mConstructed = false;
    }
    try {
        // The new thread works on the files its starter was given.
        Env* env = &Env::Current();
        mThread = std::thread([this, env] {
            Env::Scope use(*env);
            RunThread();
        });
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> g(mStateM);
        mRunning = false;
        return Error(kErrOS);
    }
    if (waitUntilRunning) {
        std::unique_lock<std::mutex> g(mStateM);
        mStateCv.wait(g, [this] { return mConstructed; });
    }
    return Error();
}

void Thread::Join() {
    if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) mThread.join();
}

bool Thread::IsRunning() const {
    std::lock_guard<std::mutex> g(mStateM);
    return mRunning;
}

void Thread::Sleep(unsigned long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace Mirel
