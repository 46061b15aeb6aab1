// Test double of the adapter transport.
//
// Records every frame written to it (from any thread), lets a test wait for the n-th
// frame, can refuse or hold writes, reports a configurable interface, and plays the
// adapter: a responder maps each written frame to answer frames, which the fake's
// own thread hands to the delivery callback (point it at GestorInput::storeMsg).
// Answers are delivered in the order of the writes that caused them.
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

    struct Write {
        QByteArray frame;
        Clock::time_point at;
        std::thread::id thread;
    };

    FakeProxyLink();
    ~FakeProxyLink() override;  // stop()
    FakeProxyLink(const FakeProxyLink&) = delete;
    FakeProxyLink& operator=(const FakeProxyLink&) = delete;

    // ---- configuration (any time, any thread) ----
    void setInterface(const QString& type, int version, int other = 0);
    void setComChannel(int channel);
    void setInitializeResult(short rc);
    // true: writeData refuses every frame (returns false; nothing recorded or answered).
    void setFailWrites(bool fail);
    // true: writeData blocks until holdWrites(false) or stop(); the frame is then taken.
    void holdWrites(bool hold);
    void setResponder(Responder responder);
    void setDelivery(Delivery delivery);

    // Delivers an unsolicited adapter frame from the fake's thread.
    void deliver(const QByteArray& frame);

    // ---- observation ----
    QList<QByteArray> frames() const;
    std::vector<Write> writes() const;
    int frameCount() const;
    int failedWrites() const;
    int initializeCalls() const;
    int releaseCalls() const;
    void clearFrames();
    // Waits until at least n frames have been written; false on time-out.
    bool waitForFrames(int n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    // Waits until a writer is blocked by holdWrites(true); false on time-out.
    bool waitForHeldWriter(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    // Waits until every answer and delivery queued so far has been handed over.
    bool waitUntilIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

    // Ends the fake's thread (joins it) and releases held writers; answers not yet
    // delivered are dropped. Idempotent; writes are still recorded afterwards.
    void stop();

    // ---- IProxyLink ----
    short initializeConnection() override;
    bool writeData(const char* data, int length) override;
    void getTypeInterface(QString& type, int& version, int& other) override;
    void limpiarDescargarProxy() override;
    int getComChannel() override;

private:
    struct Work {
        bool respond;  // true: run the responder on `frame`; false: deliver `frame` as is
        QByteArray frame;
    };

    void loop();

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // writes, holds, work done, stop
    std::condition_variable workReady_;
    std::deque<Work> work_;
    bool busy_ = false;  // the thread is handling a work item outside the lock
    bool stopping_ = false;

    std::vector<Write> writes_;
    int failedWrites_ = 0;
    int heldWriters_ = 0;
    bool failWrites_ = false;
    bool holdWrites_ = false;
    int initializeCalls_ = 0;
    int releaseCalls_ = 0;

    QString type_ = QStringLiteral("K");
    int version_ = 1;
    int other_ = 0;
    int channel_ = 0;
    short initializeResult_ = 0;

    Responder responder_;
    Delivery delivery_;

    std::thread thread_;
};
