#include "platform/support/RateLimit.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace Mirel {

using Clock = std::chrono::steady_clock;
constexpr auto kMinute = std::chrono::seconds(60);

struct RateLimiter::State {
    State(unsigned perMinute, Report report) : perMinute(perMinute), report(std::move(report)) {}

    // Reports outside the lock: a report may write through another limiter.
    void Flush() {
        std::uint64_t n;
        {
            std::lock_guard<std::mutex> g(m);
            n = leftOut;
            leftOut = 0;
        }
        if (n && report) report(n);
    }

    const unsigned perMinute;
    const Report report;
    std::mutex m;
    Clock::time_point windowStart{};
    unsigned admitted = 0;
    std::uint64_t leftOut = 0;
};

namespace {

// One thread for all limiters, started by the first line left out: once a minute it says
// how many each one left out. It lives as long as the process: the ORB writes its trace
// while the process's objects are destroyed.
class Reporter {
public:
    static Reporter& Instance() {
        static Reporter* r = new Reporter;
        return *r;
    }
    void End() {
        {
            std::lock_guard<std::mutex> g(mM);
            mStop = true;
        }
        mCv.notify_all();
        if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) mThread.join();
        FlushAll();
    }
    void Add(const std::shared_ptr<RateLimiter::State>& s) {
        std::lock_guard<std::mutex> g(mM);
        mStates.push_back(s);
    }
    void Wake() {
        std::lock_guard<std::mutex> g(mM);
        if (!mThread.joinable() && !mStop) mThread = std::thread([this] { Run(); });
    }
    void FlushAll() {
        for (auto& s : Live()) s->Flush();
    }

private:
    std::vector<std::shared_ptr<RateLimiter::State>> Live() {
        std::lock_guard<std::mutex> g(mM);
        std::vector<std::shared_ptr<RateLimiter::State>> live;
        std::vector<std::weak_ptr<RateLimiter::State>> kept;
        for (auto& w : mStates)
            if (auto s = w.lock()) {
                live.push_back(s);
                kept.push_back(w);
            }
        mStates.swap(kept);
        return live;
    }
    void Run() {
        std::unique_lock<std::mutex> g(mM);
        while (!mStop) {
            if (mCv.wait_for(g, kMinute, [this] { return mStop; })) break;
            g.unlock();
            FlushAll();
            g.lock();
        }
    }

    std::mutex mM;
    std::condition_variable mCv;
    std::vector<std::weak_ptr<RateLimiter::State>> mStates;
    std::thread mThread;
    bool mStop = false;
};

}  // namespace

RateLimiter::RateLimiter(unsigned perMinute, Report report)
    : mState(std::make_shared<State>(perMinute, std::move(report))) {
    Reporter::Instance().Add(mState);
}

RateLimiter::~RateLimiter() {
    mState->Flush();
}

bool RateLimiter::Admit(std::uint64_t n) {
    {
        std::lock_guard<std::mutex> g(mState->m);
        Clock::time_point now = Clock::now();
        if (mState->admitted == 0 || now - mState->windowStart >= kMinute) {
            mState->windowStart = now;
            mState->admitted = 0;
        }
        if (mState->admitted < mState->perMinute) {
            ++mState->admitted;
            return true;
        }
        mState->leftOut += n;
    }
    Reporter::Instance().Wake();
    return false;
}

void RateLimiter::Flush() {
    mState->Flush();
}

void RateLimiter::FlushAll() {
    Reporter::Instance().FlushAll();
}

void RateLimiter::EndReports() {
    Reporter::Instance().End();
}

}  // namespace Mirel
