// Calls a function once, a delay after it was armed, on a thread of its own: for work that
// runs only when something happens and must come back to a failure that happens once (a
// full disk, an I/O error).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace Mirel {

class RetryTimer {
public:
    explicit RetryTimer(std::function<void()> fire) : mFire(std::move(fire)) {}
    ~RetryTimer();
    RetryTimer(const RetryTimer&) = delete;
    RetryTimer& operator=(const RetryTimer&) = delete;

    // Fires once, `delayMs` from now (an earlier arming is replaced).
    void Arm(std::uint64_t delayMs);
    void Cancel();
    // Armed, and not done firing yet.
    bool Pending() const;
    // Ends the thread; nothing fires afterwards.
    void Stop();

private:
    void Run();

    std::function<void()> mFire;
    mutable std::mutex mM;
    std::condition_variable mCv;
    std::thread mThread;
    bool mArmed = false;
    std::uint64_t mSequence = 0;       // arming count
    std::uint64_t mFiredSequence = 0;  // the arming that last fired
    bool mStop = false;
    std::chrono::steady_clock::time_point mAt;
};

}  // namespace Mirel
