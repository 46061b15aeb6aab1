// A CAN bus on a Qt Serial Bus device: any installed QCanBus plugin and interface
// (socketcan can0, peakcan usb0, virtualcan can0 or tcp://127.0.0.1:PORT/can0, ...).
//
// The device lives on the process's Qt event thread; open, write and close hand work to
// it. A written frame is confirmed (own=true) when the device reports it sent: by its
// echo where the plugin gives one (ReceiveOwnKey), else by framesWritten. Frames the
// device refuses or loses, and changes of the bus's state (error frames, bus-off, the
// interface or virtual server gone), come as events, never as silence.
#pragma once

#include "bus/bus.h"
#include "common/mutex.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>

class QCanBusDevice;
class QCanBusFrame;

namespace rp1210core::bus {

class QtEventThread;

class QtCanBus final : public CanBus {
public:
    // How long open() waits for the device to connect (a virtual server, a USB adapter).
    static constexpr int kOpenLimitMs = 3000;

    QtCanBus(QString plugin, QString interface);
    ~QtCanBus() override;
    QtCanBus(const QtCanBus&) = delete;
    QtCanBus& operator=(const QtCanBus&) = delete;

    bool open(quint32 bitrate, Receiver receiver) override;
    bool write(const CanFrame& frame) override;
    void close() override;
    bool confirmsTransmission() const override { return true; }
    void setEventReceiver(EventReceiver receiver) override { events_ = std::move(receiver); }
    quint32 presetBitrate() const override;

    QString openError() const override;
    // "socketcan can0": how texts name the interface.
    QString name() const;

private:
    // On the event thread only.
    void start(quint32 bitrate);
    void stop();
    void flush();
    void onFramesReceived();
    void onFramesWritten(qint64 count);
    void onState(int state);
    void onError(int error);
    void onErrorFrame(const QCanBusFrame& frame);
    void report(CanHealth health, const QString& text);
    void finishOpen(bool ok, const QString& text);
    void failInFlight();

    const QString plugin_, interface_;
    const std::shared_ptr<QtEventThread> thread_;
    Receiver receiver_;      // set while closed, read on the event thread while open
    EventReceiver events_;   // likewise
    std::atomic<bool> usable_{false};  // connected: writes are taken
    bool open_ = false;                // the caller's view: between open() and close()
    int stopTask_ = 0;                 // closes the device if the thread stops first

    mutable internal::Mutex mutex_;
    std::condition_variable opened_;
    std::deque<CanFrame> outgoing_ GUARDED_BY(mutex_);  // written, for the event thread to send
    int openState_ GUARDED_BY(mutex_) = 0;               // 0 waiting, 1 connected, -1 failed
    QString openError_ GUARDED_BY(mutex_);

    // The event thread's own.
    QCanBusDevice* device_ = nullptr;
    bool connected_ = false;          // the device reached the connected state
    bool echo_ = false;               // the device echoes our frames: they confirm
    std::deque<CanFrame> inFlight_;   // handed to the device, not yet confirmed
    CanHealth health_ = CanHealth::Ok;
    QString healthText_;
};

}  // namespace rp1210core::bus
