#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace Mirel {

template <class StdMutex>
class BasicMutex {
public:
    void Lock() { mM.lock(); }
    void Unlock() { mM.unlock(); }
    bool TryLock() { return mM.try_lock(); }
    // Standard Lockable names, so std::lock_guard and std::unique_lock work too.
    void lock() { mM.lock(); }
    void unlock() { mM.unlock(); }

private:
    StdMutex mM;
};
using Mutex = BasicMutex<std::mutex>;
using ReentrantMutex = BasicMutex<std::recursive_mutex>;

// Holds a lock for its scope.
template <class M>
class MutexHolder {
public:
    explicit MutexHolder(M& m) : mM(m) { mM.Lock(); }
    ~MutexHolder() { mM.Unlock(); }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

private:
    M& mM;
};
using LockMutex = MutexHolder<Mutex>;
using LockReentrant = MutexHolder<ReentrantMutex>;

// A member of a class the compiler copies: a copy of the owner starts with a fresh T (a
// lock of its own, no error), while assigning one owner to another assigns a T that can be
// assigned and leaves a lock as it is.
template <class T>
class FreshOnCopy : public T {
public:
    using T::operator=;
    FreshOnCopy() = default;
    FreshOnCopy(const FreshOnCopy&) : T() {}
    FreshOnCopy& operator=(const FreshOnCopy& other) {
        if constexpr (std::is_copy_assignable_v<T>) T::operator=(other);
        return *this;
    }
};

class Semaphore {
public:
    explicit Semaphore(unsigned initial = 0) : mCount(initial) {}
    void Post();
    void Wait();
    // False when the time ran out first.
    bool Wait(unsigned long ms);

private:
    std::mutex mM;
    std::condition_variable mCv;
    unsigned mCount;
};

// Milliseconds on the monotonic clock.
struct Tick {
    static std::uint64_t CurrentTick();
    // Whole seconds elapsed since `since`.
    static std::uint64_t DiffSecs(std::uint64_t since);
};

struct Machine {
    static int GetProcessorCount();
};

inline void AtomicBool32Set(std::atomic<std::int32_t>& flag) {
    flag.store(1);
}
inline void AtomicBool32Clear(std::atomic<std::int32_t>& flag) {
    flag.store(0);
}
template <class T>
inline void AtomicSetPointer(std::atomic<T*>& p, T* value) {
    p.store(value, std::memory_order_release);
}

}  // namespace Mirel
