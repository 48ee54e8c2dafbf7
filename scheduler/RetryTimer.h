// Runs the interval cycle again after a delay. The cycle has no timer of its own: it runs
// when something happens. A failure of the environment (a full disk, an I/O error) is such
// a thing only once, so this makes sure the cycle comes back to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

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
