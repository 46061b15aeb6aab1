// Counting semaphore for the received-message count of a client.
//
// Unlike a plain semaphore it can be woken without a token (wakeAll), so that a
// reader sleeping for a long time notices a pending disconnect at once instead of
// having to poll for it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "common/mutex.h"

class MessageSemaphore {
public:
    // Takes one token, waiting up to waitMs milliseconds (negative: without limit).
    // Returns early, without a token, when wakeAll() is called meanwhile, or when
    // *stop reads true (set it before calling wakeAll(); it is checked under the lock,
    // so a wake that comes just before the wait starts is not lost).
    bool tryAcquire(int waitMs, const std::atomic<bool>* stop = nullptr)
    {
        return tryAcquireUnless(waitMs, [stop] { return stop && stop->load(); });
    }

    // As tryAcquire, with any stop condition: stop() is called under the lock, so state
    // it reads must be changed before wakeAll() for the wake to be certain.
    template <class Stop>
    bool tryAcquireUnless(int waitMs, Stop stop)
    {
        if (waitMs < 0)
            return tryAcquireUntil(std::chrono::steady_clock::time_point::max(), stop);
        return tryAcquireUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs), stop);
    }

    // As tryAcquireUnless, waiting until `deadline` at most (time_point::max(): without
    // limit).
    template <class Stop>
    bool tryAcquireUntil(std::chrono::steady_clock::time_point deadline, Stop stop)
    {
        rp1210core::internal::UniqueLock lock(mutex_);
        const std::uint64_t wakeSeen = wakes_;
        const bool unlimited = deadline == std::chrono::steady_clock::time_point::max();
        while (tokens_ == 0 && wakes_ == wakeSeen && !stop()) {
            if (unlimited)
                lock.wait(available_);
            else if (lock.waitUntil(available_, deadline) == std::cv_status::timeout)
                break;
        }
        if (tokens_ > 0) {
            --tokens_;
            return true;
        }
        return false;
    }

    void release(int n = 1)
    {
        {
            rp1210core::internal::MutexLocker lock(mutex_);
            tokens_ += n;
        }
        available_.notify_all();
    }

    // Takes every token without waiting; returns how many there were.
    int drain()
    {
        rp1210core::internal::MutexLocker lock(mutex_);
        const int n = tokens_;
        tokens_ = 0;
        return n;
    }

    int available() const
    {
        rp1210core::internal::MutexLocker lock(mutex_);
        return tokens_;
    }

    // Wakes every waiter so it re-checks the state it watches.
    void wakeAll()
    {
        {
            rp1210core::internal::MutexLocker lock(mutex_);
            ++wakes_;
        }
        available_.notify_all();
    }

private:
    mutable rp1210core::internal::Mutex mutex_;
    std::condition_variable available_;
    int tokens_ GUARDED_BY(mutex_) = 0;
    std::uint64_t wakes_ GUARDED_BY(mutex_) = 0;
};
