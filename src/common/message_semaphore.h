// Counting semaphore for the received-message count of a client.
//
// Unlike a plain semaphore it can be woken without a token (wakeAll), so that a
// reader sleeping for a long time notices a pending disconnect at once instead of
// having to poll for it.
//
// A thread that releases many semaphores in a burst (the receive thread handing one
// frame to 16 clients, frame after frame) can hold a WakeBatch: the waiters of what it
// releases meanwhile are woken once, when the batch ends, instead of once per token.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "common/mutex.h"

class MessageSemaphore;

// Defers the wake-ups of the semaphores released on this thread while it lives (one
// batch per thread at a time; an inner one joins the outer). The tokens are counted at
// once: only the waiters' wake is late, never lost, and a semaphore that nobody waits
// on costs nothing. The semaphores released meanwhile must outlive the batch.
class WakeBatch {
public:
    WakeBatch() : outer_(current_)
    {
        if (outer_ == nullptr)
            current_ = this;
    }
    ~WakeBatch()
    {
        if (current_ == this) {
            flush();
            current_ = nullptr;
        }
    }
    WakeBatch(const WakeBatch&) = delete;
    WakeBatch& operator=(const WakeBatch&) = delete;

    // Wakes the waiters of everything released so far.
    inline void flush();

private:
    friend class MessageSemaphore;
    // Takes the wake of `s` for later; false when this thread holds no batch or the
    // batch is full (the caller then wakes at once).
    static inline bool defer(MessageSemaphore* s);

    static inline thread_local WakeBatch* current_ = nullptr;
    WakeBatch* outer_;
    std::array<MessageSemaphore*, 32> pending_{};
    int count_ = 0;
};

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
        // A token already there is taken without reading the clock: a reader that keeps
        // up with a stream takes most of its messages this way.
        if (tryTake())
            return true;
        if (waitMs == 0)
            return false;
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
            std::cv_status status = std::cv_status::no_timeout;
            ++waiters_;
            if (unlimited)
                lock.wait(available_);
            else
                status = lock.waitUntil(available_, deadline);
            --waiters_;
            if (status == std::cv_status::timeout)
                break;
        }
        if (tokens_ > 0) {
            --tokens_;
            return true;
        }
        return false;
    }

    // Adds n tokens. Waiters are woken at once, or when the thread's WakeBatch ends.
    void release(int n = 1)
    {
        {
            rp1210core::internal::MutexLocker lock(mutex_);
            tokens_ += n;
            // A waiter that comes later finds the tokens before it sleeps.
            if (waiters_ == 0)
                return;
        }
        if (!WakeBatch::defer(this))
            available_.notify_all();
    }

    // Takes one token if there is one, without waiting.
    bool tryTake()
    {
        rp1210core::internal::MutexLocker lock(mutex_);
        if (tokens_ == 0)
            return false;
        --tokens_;
        return true;
    }

    // Takes every token without waiting; returns how many there were.
    int drain()
    {
        rp1210core::internal::MutexLocker lock(mutex_);
        const int n = tokens_;
        tokens_ = 0;
        return n;
    }

    // Threads asleep in a wait (diagnostics and tests).
    int waiters() const
    {
        rp1210core::internal::MutexLocker lock(mutex_);
        return waiters_;
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
    friend class WakeBatch;
    // The tokens were counted under the mutex before: a waiter has either seen them or
    // is asleep on the condition, so the notification reaches it.
    void notifyWaiters() { available_.notify_all(); }

    mutable rp1210core::internal::Mutex mutex_;
    std::condition_variable available_;
    int tokens_ GUARDED_BY(mutex_) = 0;
    int waiters_ GUARDED_BY(mutex_) = 0;  // threads asleep in tryAcquireUntil
    std::uint64_t wakes_ GUARDED_BY(mutex_) = 0;
};

void WakeBatch::flush()
{
    for (int i = 0; i < count_; ++i)
        pending_[size_t(i)]->notifyWaiters();
    count_ = 0;
}

bool WakeBatch::defer(MessageSemaphore* s)
{
    WakeBatch* batch = current_;
    if (batch == nullptr)
        return false;
    for (int i = 0; i < batch->count_; ++i)
        if (batch->pending_[size_t(i)] == s)
            return true;
    if (batch->count_ == int(batch->pending_.size()))
        return false;
    batch->pending_[size_t(batch->count_++)] = s;
    return true;
}
