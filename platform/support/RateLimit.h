// Bounds on what a flood can make the service write: a few lines of one kind a minute, and
// once a minute one line that says how many were left out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace Mirel {

// A limiter that lives as long as the process is best made with new and never deleted:
// lines may come while the process's objects are destroyed at its end.
class RateLimiter {
public:
    // Called with the number left out since the last report: once a minute while there are
    // any (on the limiter's own thread), and when the limiter ends or Flush is called.
    using Report = std::function<void(std::uint64_t leftOut)>;

    RateLimiter(unsigned perMinute, Report report);
    ~RateLimiter();
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    // True: write it (`n` lines of one kind). False: they are counted as left out.
    bool Admit(std::uint64_t n = 1);
    // Reports what is counted now.
    void Flush();
    // Every limiter's Flush.
    static void FlushAll();
    // At the end of the process, while what reports write to still exists: the minute's
    // thread ends and every count is reported. Later counts are reported by Flush and when
    // their limiter ends.
    static void EndReports();

    struct State;

private:
    std::shared_ptr<State> mState;
};

}  // namespace Mirel
