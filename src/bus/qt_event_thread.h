// The thread on which the driver's Qt Serial Bus devices live. Qt delivers a device's
// frames and state changes through an event loop; applications need not run one, and
// the host may have no QCoreApplication at all, so the driver keeps its own.
//
// One per process and kept while any device or the library holds it: a virtual CAN
// server a device of ours started belongs to this thread, and keeps serving the other
// programs on that bus only while the thread runs.
//
// Work is handed over through a queue under our own mutex, so what crosses threads is
// ordered by a lock the sanitizers see; a posted Qt event only wakes the loop.
#pragma once

#include "common/mutex.h"

#include <QObject>

class QEventLoop;

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace rp1210core::bus {

class QtEventThread {
public:
    using Task = std::function<void()>;

    // The process's thread, started on first use.
    static std::shared_ptr<QtEventThread> shared();

    QtEventThread();
    ~QtEventThread();
    QtEventThread(const QtEventThread&) = delete;
    QtEventThread& operator=(const QtEventThread&) = delete;

    // Runs `task` on the thread, later. False once the thread is stopping.
    bool post(Task task);
    // Runs `task` on the thread and returns when it has run (at once when called on it).
    // False when it could not run.
    bool call(const Task& task);
    bool onThread() const { return std::this_thread::get_id() == id_; }

    // `task` runs on the thread when it stops with the task still registered, so what
    // lives there goes with it. Removing waits for a task that is running.
    int addStopTask(Task task);
    void removeStopTask(int id);
    // Stops the thread (once): what is queued runs, then the stop tasks.
    void stop();
    // Stops the shared thread before the process's static objects go: a plugin's own
    // (Qt's virtual CAN server) may live on it and must not go while it runs. Call after
    // such an object may have been made; the first call counts.
    static void stopSharedBeforeExit();

private:
    class Waker;
    void run();
    void runQueued();

    internal::Mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task> tasks_ GUARDED_BY(mutex_);
    Waker* waker_ GUARDED_BY(mutex_) = nullptr;  // lives on the thread; null until it runs
    bool started_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    internal::Mutex stopTasksMutex_ ACQUIRED_BEFORE(mutex_);  // held while they run
    std::vector<std::pair<int, Task>> stopTasks_ GUARDED_BY(stopTasksMutex_);
    int nextStopTask_ GUARDED_BY(stopTasksMutex_) = 0;
    internal::Mutex lifecycle_;  // stop() and the join
    QEventLoop* loop_ = nullptr;  // the thread's own
    std::thread thread_;
    std::thread::id id_;
};

}  // namespace rp1210core::bus
