// The project's mutexes, annotated so that clang's thread-safety analysis
// (-Wthread-safety) checks at compile time that every guarded member is touched only
// with its mutex held and that mutexes are taken in their declared order. Other
// compilers see plain std::mutex wrappers.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define RP1210_TSA(x) __attribute__((x))
#else
#define RP1210_TSA(x)
#endif

#define CAPABILITY(x) RP1210_TSA(capability(x))
#define SCOPED_CAPABILITY RP1210_TSA(scoped_lockable)
#define GUARDED_BY(x) RP1210_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) RP1210_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) RP1210_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) RP1210_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) RP1210_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) RP1210_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) RP1210_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) RP1210_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) RP1210_TSA(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS RP1210_TSA(no_thread_safety_analysis)

namespace rp1210core::internal {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

private:
    friend class UniqueLock;
    std::mutex m_;
};

// Holds a mutex for a scope.
class SCOPED_CAPABILITY MutexLocker {
public:
    explicit MutexLocker(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~MutexLocker() RELEASE() { m_.unlock(); }
    MutexLocker(const MutexLocker&) = delete;
    MutexLocker& operator=(const MutexLocker&) = delete;

private:
    Mutex& m_;
};

// Holds a mutex for a scope and lets a condition variable wait on it. A wait releases
// and retakes the mutex inside the call; to the analysis the scope holds it throughout,
// so conditions are checked in the caller's loop, not in a predicate lambda.
class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& m) ACQUIRE(m) : lock_(m.m_) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void wait(std::condition_variable& cv) { cv.wait(lock_); }
    template <class TimePoint>
    std::cv_status waitUntil(std::condition_variable& cv, const TimePoint& t)
    {
        return cv.wait_until(lock_, t);
    }
    template <class Duration>
    std::cv_status waitFor(std::condition_variable& cv, const Duration& d)
    {
        return cv.wait_for(lock_, d);
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace rp1210core::internal
