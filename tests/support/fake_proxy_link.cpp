#include "support/fake_proxy_link.h"

void FakeProxyLink::stop()
{
    locked([&] { stopping_ = true, work_.clear(); });
    workReady_.notify_all();
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void FakeProxyLink::enqueue(bool respond, const QByteArray& frame)
{
    locked([&] {
        if (!stopping_)
            work_.push_back(Work{respond, frame});
    });
    workReady_.notify_one();
}

void FakeProxyLink::loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        workReady_.wait(lock, [this] { return stopping_ || !work_.empty(); });
        if (stopping_)
            return;
        const Work item = std::move(work_.front());
        work_.pop_front();
        busy_ = true;
        const Responder responder = responder_;
        const Delivery delivery = delivery_;
        lock.unlock();
        // Outside the lock: the delivery may block (a full receive ring) or write again.
        const QList<QByteArray> out = !item.respond ? QList<QByteArray>{item.frame}
                                      : responder   ? responder(item.frame)
                                                    : QList<QByteArray>();
        for (const QByteArray& f : out)
            if (delivery)
                delivery(f);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

bool FakeProxyLink::writeData(const char* data, int length)
{
    const QByteArray frame(data, length);  // the caller's buffer lives only during the call
    std::unique_lock<std::mutex> lock(mutex_);
    if (holdWrites_ && !stopping_) {
        ++heldWriters_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holdWrites_ || stopping_; });
        --heldWriters_;
    }
    if (failWrites_)
        return ++failedWrites_, false;
    writes_.push_back(Write{frame, Clock::now(), std::this_thread::get_id()});
    const bool answer = responder_ && !stopping_;
    if (answer)
        work_.push_back(Work{true, frame});
    lock.unlock();
    changed_.notify_all();
    if (answer)
        workReady_.notify_one();
    return true;
}
