// The adapter transport's double: records writes, can refuse or hold them, and plays the
// adapter: its own thread hands the responder's answers to the delivery, in write order.
#pragma once

#include <rp1210core/iproxy_link.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class FakeProxyLink final : public IProxyLink {
public:
    using Responder = std::function<QList<QByteArray>(const QByteArray& written)>;
    using Delivery = std::function<void(const QByteArray& frame)>;
    using Clock = std::chrono::steady_clock;
    using ms = std::chrono::milliseconds;
    struct Write {
        QByteArray frame;
        Clock::time_point at;
        std::thread::id thread;
    };

    FakeProxyLink() : thread_([this] { loop(); }) {}
    ~FakeProxyLink() override { stop(); }

    void setInterface(const QString& type, int version, int other = 0) { locked([&] { type_ = type, version_ = version, other_ = other; }); }
    void setComChannel(int channel) { locked([&] { channel_ = channel; }); }
    void setInitializeResult(short rc) { locked([&] { initializeResult_ = rc; }); }
    // Refused writes are neither recorded nor answered.
    void setFailWrites(bool fail) { locked([&] { failWrites_ = fail; }); }
    // Held writes block until holdWrites(false) or stop(), then go through.
    void holdWrites(bool hold) { locked([&] { holdWrites_ = hold; }), changed_.notify_all(); }
    void setResponder(Responder r) { locked([&] { responder_ = std::move(r); }); }
    void setDelivery(Delivery d) { locked([&] { delivery_ = std::move(d); }); }
    void deliver(const QByteArray& frame) { enqueue(false, frame); }

    QList<QByteArray> frames() const
    {
        QList<QByteArray> out;
        for (const Write& w : writes())
            out.append(w.frame);
        return out;
    }
    std::vector<Write> writes() const { return locked([&] { return writes_; }); }
    int frameCount() const { return locked([&] { return int(writes_.size()); }); }
    int failedWrites() const { return locked([&] { return failedWrites_; }); }
    int initializeCalls() const { return locked([&] { return initializeCalls_; }); }
    int releaseCalls() const { return locked([&] { return releaseCalls_; }); }
    void clearFrames() { locked([&] { writes_.clear(); }); }
    // Each wait returns false on time-out.
    bool waitForFrames(int n, ms timeout = ms(5000)) const { return waitFor(timeout, [&] { return int(writes_.size()) >= n; }); }
    bool waitForHeldWriter(ms timeout = ms(5000)) const { return waitFor(timeout, [&] { return heldWriters_ > 0; }); }
    // Every answer and delivery queued so far has been handed over.
    bool waitUntilIdle(ms timeout = ms(5000)) const { return waitFor(timeout, [&] { return stopping_ || (work_.empty() && !busy_); }); }
    // Joins the thread, releases held writers, drops undelivered answers; idempotent.
    void stop();

    short initializeConnection() override { return locked([&] { return ++initializeCalls_, initializeResult_; }); }
    bool writeData(const char* data, int length) override;
    void getTypeInterface(QString& type, int& version, int& other) override { locked([&] { type = type_, version = version_, other = other_; }); }
    void limpiarDescargarProxy() override { locked([&] { ++releaseCalls_; }); }
    int getComChannel() override { return locked([&] { return channel_; }); }

private:
    template <class F>
    auto locked(F f) const -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    template <class P>
    bool waitFor(ms timeout, P p) const
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, p);
    }
    void enqueue(bool respond, const QByteArray& frame);
    void loop();

    struct Work {
        bool respond;  // or deliver `frame` as it is
        QByteArray frame;
    };
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // writes, holds, work done, stop
    std::condition_variable workReady_;
    std::deque<Work> work_;
    bool busy_ = false, stopping_ = false;  // busy: the thread handles a work item outside the lock
    std::vector<Write> writes_;
    int failedWrites_ = 0, heldWriters_ = 0, initializeCalls_ = 0, releaseCalls_ = 0;
    bool failWrites_ = false, holdWrites_ = false;
    QString type_ = QStringLiteral("K");
    int version_ = 1, other_ = 0, channel_ = 0;
    short initializeResult_ = 0;
    Responder responder_;
    Delivery delivery_;
    std::thread thread_;  // last: starts once everything it reads exists
};
