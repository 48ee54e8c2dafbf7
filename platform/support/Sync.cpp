#include "platform/support/Sync.h"

#include <sched.h>
#include <unistd.h>

#include <chrono>

namespace Mirel {

void Semaphore::Post() {
    {
        std::lock_guard<std::mutex> g(mM);
        ++mCount;
    }
    mCv.notify_one();
}

void Semaphore::Wait() {
    std::unique_lock<std::mutex> g(mM);
    mCv.wait(g, [this] { return mCount > 0; });
    --mCount;
}

bool Semaphore::Wait(unsigned long ms) {
    std::unique_lock<std::mutex> g(mM);
    if (!mCv.wait_for(g, std::chrono::milliseconds(ms), [this] { return mCount > 0; }))
        return false;
    --mCount;
    return true;
}

std::uint64_t Tick::CurrentTick() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint64_t Tick::DiffSecs(std::uint64_t since) {
    std::uint64_t now = CurrentTick();
    return now > since ? (now - since) / 1000 : 0;
}

int Machine::GetProcessorCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace Mirel
