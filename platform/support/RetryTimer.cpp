#include "platform/support/RetryTimer.h"

#include "platform/support/Env.h"

namespace Mirel {

RetryTimer::~RetryTimer() {
    Stop();
}

void RetryTimer::Arm(std::uint64_t delayMs) {
    std::lock_guard<std::mutex> g(mM);
    if (mStop) return;
    mAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    mArmed = true;
    ++mSequence;
    // Its callback works on the files its arming thread was given.
    if (!mThread.joinable())
        mThread = std::thread([this, env = &Env::Current()] {
            Env::Scope use(*env);
            Run();
        });
    mCv.notify_all();
}

void RetryTimer::Cancel() {
    std::lock_guard<std::mutex> g(mM);
    mArmed = false;
    mCv.notify_all();
}

bool RetryTimer::Pending() const {
    std::lock_guard<std::mutex> g(mM);
    return mArmed;
}

void RetryTimer::Stop() {
    {
        std::lock_guard<std::mutex> g(mM);
        mStop = true;
        mArmed = false;
        mCv.notify_all();
    }
    if (mThread.joinable()) mThread.join();
}

void RetryTimer::Run() {
    std::unique_lock<std::mutex> l(mM);
    for (;;) {
        mCv.wait(l, [this] { return mStop || (mArmed && mFiredSequence != mSequence); });
        if (mStop) return;
        if (mCv.wait_until(l, mAt, [this] { return mStop || !mArmed; })) continue;
        if (std::chrono::steady_clock::now() < mAt) continue;  // re-armed later meanwhile
        mFiredSequence = mSequence;
        // Pending until the fire has done its work: whoever asks in between must not see
        // neither a pending retry nor the work it posts.
        const std::uint64_t armed = mSequence;
        l.unlock();
        mFire();
        l.lock();
        if (mSequence == armed) mArmed = false;
    }
}

}  // namespace Mirel
