#include "bus/qt_event_thread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
// Qt delivers events on a thread without a QCoreApplication only to threads marked as
// not needing one, as its own helper threads are; no public call does this.
#include <QtCore/private/qthread_p.h>


namespace rp1210core::bus {

using internal::MutexLocker;
using internal::UniqueLock;

// Lives on the thread; an event posted to it makes the thread run the queued tasks.
class QtEventThread::Waker final : public QObject {
public:
    explicit Waker(QtEventThread* owner) : owner_(owner) {}
    static QEvent::Type type()
    {
        static const int registered = QEvent::registerEventType();
        return static_cast<QEvent::Type>(registered);
    }

protected:
    // Only our wake-ups reach it. The event itself is not read: Qt hands it over under
    // its own lock, which the sanitizer does not see.
    void customEvent(QEvent*) override { owner_->runQueued(); }

private:
    QtEventThread* const owner_;
};

namespace {

internal::Mutex sharedMutex;
std::shared_ptr<QtEventThread> sharedThread GUARDED_BY(sharedMutex);

void stopShared()
{
    std::shared_ptr<QtEventThread> thread;
    {
        MutexLocker lock(sharedMutex);
        thread = sharedThread;
    }
    if (thread)
        thread->stop();
}

}  // namespace

std::shared_ptr<QtEventThread> QtEventThread::shared()
{
    // Released when the library goes; the thread itself stops with its last user.
    MutexLocker lock(sharedMutex);
    if (!sharedThread)
        sharedThread = std::make_shared<QtEventThread>();
    return sharedThread;
}

void QtEventThread::stopSharedBeforeExit()
{
    // Static objects go in the reverse order of their making: made after the plugin's
    // object, this goes before it (at exit, or when this library is unloaded first).
    struct Stopper {
        ~Stopper() { stopShared(); }
    };
    static Stopper stopper;
}

QtEventThread::QtEventThread()
{
    thread_ = std::thread([this] { run(); });
    id_ = thread_.get_id();
    // Tasks can be posted once the waker exists.
    UniqueLock lock(mutex_);
    while (!started_)
        lock.wait(changed_);
}

QtEventThread::~QtEventThread() { stop(); }

void QtEventThread::stop()
{
    MutexLocker life(lifecycle_);
    if (!thread_.joinable())
        return;
    {
        MutexLocker lock(mutex_);
        stopping_ = true;
        if (waker_ != nullptr)
            QCoreApplication::postEvent(waker_, new QEvent(Waker::type()));
    }
    thread_.join();
}

int QtEventThread::addStopTask(Task task)
{
    MutexLocker lock(stopTasksMutex_);
    stopTasks_.emplace_back(++nextStopTask_, std::move(task));
    return nextStopTask_;
}

void QtEventThread::removeStopTask(int id)
{
    MutexLocker lock(stopTasksMutex_);
    for (auto it = stopTasks_.begin(); it != stopTasks_.end(); ++it) {
        if (it->first == id) {
            stopTasks_.erase(it);
            return;
        }
    }
}

bool QtEventThread::post(Task task)
{
    MutexLocker lock(mutex_);
    if (stopping_)
        return false;
    const bool wake = tasks_.empty();
    tasks_.push_back(std::move(task));
    // Posted under the lock: the waker cannot go while we hold it.
    if (wake && waker_ != nullptr)
        QCoreApplication::postEvent(waker_, new QEvent(Waker::type()));
    return true;
}

bool QtEventThread::call(const Task& task)
{
    if (onThread()) {
        task();
        return true;
    }
    struct Done {
        internal::Mutex mutex;
        std::condition_variable changed;
        bool done GUARDED_BY(mutex) = false;
    };
    auto done = std::make_shared<Done>();
    const bool queued = post([&task, done] {
        task();
        MutexLocker lock(done->mutex);
        done->done = true;
        done->changed.notify_all();
    });
    if (!queued)
        return false;
    // Every queued task runs, also while the thread stops, so this wait ends.
    UniqueLock lock(done->mutex);
    while (!done->done)
        lock.wait(done->changed);
    return true;
}

void QtEventThread::runQueued()
{
    for (;;) {
        std::deque<Task> batch;
        bool stop = false;
        {
            MutexLocker lock(mutex_);
            batch.swap(tasks_);
            stop = stopping_;
        }
        if (batch.empty()) {
            if (stop && loop_ != nullptr)
                loop_->quit();
            return;
        }
        for (const Task& t : batch)
            t();
    }
}

void QtEventThread::run()
{
    QThreadData::get2(QThread::currentThread())->requiresCoreApplication = false;
    QEventLoop loop;  // creates the thread's event dispatcher
    Waker waker(this);
    loop_ = &loop;
    {
        MutexLocker lock(mutex_);
        waker_ = &waker;
        started_ = true;
    }
    changed_.notify_all();
    loop.exec();  // until the stop's wake-up: exec, not processEvents, so deleteLater works
    {
        MutexLocker lock(mutex_);
        waker_ = nullptr;
    }
    loop_ = nullptr;
    // What was queued before the stop still runs, so no caller of call() waits for ever;
    // then what lives here goes, while the thread still runs.
    runQueued();
    MutexLocker lock(stopTasksMutex_);
    for (const auto& task : stopTasks_)
        task.second();
    stopTasks_.clear();
}

}  // namespace rp1210core::bus
