#include "support/fake_proxy_link.h"

FakeProxyLink::FakeProxyLink()
    : thread_([this] { loop(); })
{
}

FakeProxyLink::~FakeProxyLink()
{
    stop();
}

void FakeProxyLink::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        work_.clear();
    }
    workReady_.notify_all();
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void FakeProxyLink::loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        workReady_.wait(lock, [this] { return stopping_ || !work_.empty(); });
        if (stopping_)
            return;
        Work item = std::move(work_.front());
        work_.pop_front();
        busy_ = true;
        const Responder responder = responder_;
        const Delivery delivery = delivery_;
        lock.unlock();

        QList<QByteArray> out;
        if (!item.respond)
            out.append(item.frame);
        else if (responder)
            out = responder(item.frame);
        if (delivery) {
            for (const QByteArray& f : out)
                delivery(f);
        }

        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void FakeProxyLink::setInterface(const QString& type, int version, int other)
{
    std::lock_guard<std::mutex> lock(mutex_);
    type_ = type;
    version_ = version;
    other_ = other;
}

void FakeProxyLink::setComChannel(int channel)
{
    std::lock_guard<std::mutex> lock(mutex_);
    channel_ = channel;
}

void FakeProxyLink::setInitializeResult(short rc)
{
    std::lock_guard<std::mutex> lock(mutex_);
    initializeResult_ = rc;
}

void FakeProxyLink::setFailWrites(bool fail)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failWrites_ = fail;
}

void FakeProxyLink::holdWrites(bool hold)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holdWrites_ = hold;
    }
    changed_.notify_all();
}

void FakeProxyLink::setResponder(Responder responder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void FakeProxyLink::setDelivery(Delivery delivery)
{
    std::lock_guard<std::mutex> lock(mutex_);
    delivery_ = std::move(delivery);
}

void FakeProxyLink::deliver(const QByteArray& frame)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        work_.push_back(Work{false, frame});
    }
    workReady_.notify_one();
}

QList<QByteArray> FakeProxyLink::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    QList<QByteArray> out;
    out.reserve(static_cast<int>(writes_.size()));
    for (const Write& w : writes_)
        out.append(w.frame);
    return out;
}

std::vector<FakeProxyLink::Write> FakeProxyLink::writes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

int FakeProxyLink::frameCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(writes_.size());
}

int FakeProxyLink::failedWrites() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failedWrites_;
}

int FakeProxyLink::initializeCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return initializeCalls_;
}

int FakeProxyLink::releaseCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return releaseCalls_;
}

void FakeProxyLink::clearFrames()
{
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.clear();
}

bool FakeProxyLink::waitForFrames(int n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return static_cast<int>(writes_.size()) >= n; });
}

bool FakeProxyLink::waitForHeldWriter(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return heldWriters_ > 0; });
}

bool FakeProxyLink::waitUntilIdle(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return stopping_ || (work_.empty() && !busy_); });
}

short FakeProxyLink::initializeConnection()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++initializeCalls_;
    return initializeResult_;
}

bool FakeProxyLink::writeData(const char* data, int length)
{
    // Copied at once: the caller's buffer is only valid during the call.
    const QByteArray frame(data, length);
    std::unique_lock<std::mutex> lock(mutex_);
    if (holdWrites_ && !stopping_) {
        ++heldWriters_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holdWrites_ || stopping_; });
        --heldWriters_;
    }
    if (failWrites_) {
        ++failedWrites_;
        return false;
    }
    writes_.push_back(Write{frame, Clock::now(), std::this_thread::get_id()});
    const bool answer = static_cast<bool>(responder_) && !stopping_;
    if (answer)
        work_.push_back(Work{true, frame});
    lock.unlock();
    changed_.notify_all();
    if (answer)
        workReady_.notify_one();
    return true;
}

void FakeProxyLink::getTypeInterface(QString& type, int& version, int& other)
{
    std::lock_guard<std::mutex> lock(mutex_);
    type = type_;
    version = version_;
    other = other_;
}

void FakeProxyLink::limpiarDescargarProxy()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++releaseCalls_;
}

int FakeProxyLink::getComChannel()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return channel_;
}
