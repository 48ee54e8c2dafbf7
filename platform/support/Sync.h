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

// A mutex its holder may take again. It counts its holder's holds, so that holder can let go
// of all of them for a while (long file work that others must not wait behind) and take them
// back; the count is only ever touched with the mutex held.
class ReentrantMutex {
public:
    void Lock() {
        mM.lock();
        ++mDepth;
    }
    void Unlock() {
        --mDepth;
        mM.unlock();
    }
    bool TryLock() {
        if (!mM.try_lock()) return false;
        ++mDepth;
        return true;
    }
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    // The caller holds it: every hold is given up, and their number answered for Retake.
    int ReleaseAll() {
        const int depth = mDepth;
        for (int i = 0; i < depth; ++i) Unlock();
        return depth;
    }
    void Retake(int depth) {
        for (int i = 0; i < depth; ++i) Lock();
    }

private:
    std::recursive_mutex mM;
    int mDepth = 0;
};

// Lets go of every hold the thread has on a ReentrantMutex for its scope. Whatever the
// holder looked at before may have changed when the scope ends.
class UnlockAll {
public:
    explicit UnlockAll(ReentrantMutex& m) : mM(m), mDepth(m.ReleaseAll()) {}
    ~UnlockAll() { mM.Retake(mDepth); }
    UnlockAll(const UnlockAll&) = delete;
    UnlockAll& operator=(const UnlockAll&) = delete;

private:
    ReentrantMutex& mM;
    int mDepth;
};

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
