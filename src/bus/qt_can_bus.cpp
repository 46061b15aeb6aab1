#include "bus/qt_can_bus.h"

#include "bus/qt_event_thread.h"
#include "bus/socketcan_link.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QCoreApplication>
#include <QVariant>

#include <chrono>

// LeakSanitizer is told of the one device kept on purpose (below).
#if defined(__SANITIZE_ADDRESS__)
#define RP1210_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RP1210_LEAK_CHECKED 1
#endif
#endif
#ifdef RP1210_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace rp1210core::bus {

using internal::MutexLocker;
using internal::UniqueLock;

namespace {

// Frames handed to the device and never confirmed are forgotten past this many: a
// device that drops frames without a word must not make the list grow for ever.
constexpr size_t kMaxInFlight = 4096;

bool isSocketCan(const QString& plugin)
{
    return plugin == QLatin1String("socketcan");
}

qint64 monotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString errorFrameText(const QCanBusFrame& frame, CanHealth* health)
{
    const QCanBusFrame::FrameErrors e = frame.error();
    const QByteArray payload = frame.payload();
    // SocketCAN's controller status byte: warning, passive and back-to-active bits.
    const quint8 controller = payload.size() > 1 ? quint8(payload.at(1)) : 0;
    *health = CanHealth::Warning;
    if (e & QCanBusFrame::BusOffError) {
        *health = CanHealth::BusOff;
        return QStringLiteral("bus off");
    }
    if (e & QCanBusFrame::ControllerRestartError) {
        *health = CanHealth::Ok;
        return QStringLiteral("controller restarted after bus off");
    }
    if (e & QCanBusFrame::ControllerError) {
        if (controller & 0x30) {
            *health = CanHealth::Passive;
            return QStringLiteral("controller error passive");
        }
        if (controller & 0x40) {
            *health = CanHealth::Ok;
            return QStringLiteral("controller error active again");
        }
        return QStringLiteral("controller error warning");
    }
    if (e & QCanBusFrame::MissingAcknowledgmentError)
        return QStringLiteral("frames not acknowledged (no other node on the bus?)");
    if (e & QCanBusFrame::TransmissionTimeoutError)
        return QStringLiteral("transmission timed out");
    if (e & QCanBusFrame::TransceiverError)
        return QStringLiteral("transceiver error (wiring?)");
    if (e & QCanBusFrame::ProtocolViolationError)
        return QStringLiteral("protocol violation on the bus");
    if (e & QCanBusFrame::BusError)
        return QStringLiteral("bus error");
    if (e & QCanBusFrame::LostArbitrationError)
        return QStringLiteral("arbitration lost");
    return QStringLiteral("error frame");
}

}  // namespace

QtCanBus::QtCanBus(QString plugin, QString interface)
    : plugin_(std::move(plugin)), interface_(std::move(interface)), thread_(QtEventThread::shared())
{
}

QtCanBus::~QtCanBus() { close(); }

QString QtCanBus::name() const { return plugin_ + QLatin1Char(' ') + interface_; }

QString QtCanBus::openError() const
{
    MutexLocker lock(mutex_);
    return openError_;
}

quint32 QtCanBus::presetBitrate() const
{
    if (!isSocketCan(plugin_))
        return 0;
    const std::optional<SocketCanLink> link = readSocketCanLink(interface_);
    return link ? link->bitrate : 0;
}

bool QtCanBus::open(quint32 bitrate, Receiver receiver)
{
    close();
    if (!receiver)
        return false;
    receiver_ = std::move(receiver);
    {
        MutexLocker lock(mutex_);
        openState_ = 0;
        openError_.clear();
        outgoing_.clear();
    }
    if (!thread_->post([this, bitrate] { start(bitrate); }))
        return false;
    open_ = true;
    stopTask_ = thread_->addStopTask([this] { stop(); });
    bool ok = false;
    {
        UniqueLock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOpenLimitMs);
        while (openState_ == 0) {
            if (lock.waitUntil(opened_, deadline) == std::cv_status::timeout)
                break;
        }
        ok = openState_ == 1;
        if (openState_ == 0)
            openError_ = QStringLiteral("%1 did not connect within %2 ms").arg(name()).arg(kOpenLimitMs);
    }
    if (!ok)
        close();
    return ok;
}

bool QtCanBus::write(const CanFrame& frame)
{
    if (!open_ || !usable_.load() || frame.length > 8)
        return false;
    bool wake = false;
    {
        MutexLocker lock(mutex_);
        wake = outgoing_.empty();
        outgoing_.push_back(frame);
    }
    // One hand-over for a burst: the event thread sends all that is queued.
    if (!wake || thread_->post([this] { flush(); }))
        return true;
    MutexLocker lock(mutex_);  // the thread is stopping: nothing will send it
    outgoing_.clear();
    return false;
}

void QtCanBus::close()
{
    if (!open_)
        return;
    usable_ = false;
    // Runs after every task posted before it; once it has, nothing is delivered. A thread
    // that stopped already ran the stop task instead.
    thread_->call([this] { stop(); });
    thread_->removeStopTask(stopTask_);
    open_ = false;
}

// ---- the event thread ----

void QtCanBus::start(quint32 bitrate)
{
    // This plugin runs a Qt thread of its own, whose events flow only under an application
    // object: without one it never connects and hangs when closed.
    if (plugin_ == QLatin1String("passthrucan") && QCoreApplication::instance() == nullptr) {
        finishOpen(false, QStringLiteral("the passthrucan plugin needs a Qt application (QCoreApplication)"));
        return;
    }
    QString error;
    QCanBusDevice* device = QCanBus::instance()->createDevice(plugin_, interface_, &error);
    if (device == nullptr) {
        finishOpen(false, error.isEmpty() ? QStringLiteral("no CAN plugin %1").arg(plugin_) : error);
        return;
    }
    device_ = device;
    connected_ = false;
    // Our own frames back once on the wire: the confirmations. Plugins without it
    // confirm through framesWritten.
    device->setConfigurationParameter(QCanBusDevice::ReceiveOwnKey, true);
    echo_ = device->configurationParameter(QCanBusDevice::ReceiveOwnKey).toBool();
    // Error frames: SocketCAN forwards every kind by default. The filter is not set from
    // here: a QVariant of QCanBusFrame::FrameErrors would register that type's helpers
    // from this library, and Qt would call them after an unload (a crash on the next load).
    // An interface set up with `ip link` keeps its rate: another one is refused. Other
    // plugins take the rate where they can; where they cannot, and it cannot be read,
    // the bus runs at what it runs at.
    const quint32 preset = presetBitrate();
    if (bitrate != 0 && preset != 0 && preset != bitrate) {
        finishOpen(false, QStringLiteral("%1 runs at %2 bit/s, not %3").arg(name()).arg(preset).arg(bitrate));
        return;
    }
    if (bitrate != 0 && preset == 0 && !isSocketCan(plugin_))
        device->setConfigurationParameter(QCanBusDevice::BitRateKey, bitrate);

    QObject::connect(device, &QCanBusDevice::framesReceived, device, [this] { onFramesReceived(); });
    QObject::connect(device, &QCanBusDevice::framesWritten, device, [this](qint64 n) { onFramesWritten(n); });
    QObject::connect(device, &QCanBusDevice::stateChanged, device,
                     [this](QCanBusDevice::CanBusDeviceState s) { onState(int(s)); });
    QObject::connect(device, &QCanBusDevice::errorOccurred, device,
                     [this](QCanBusDevice::CanBusError e) { onError(int(e)); });
    if (!device->connectDevice()) {
        finishOpen(false, device->errorString().isEmpty() ? QStringLiteral("%1 cannot connect").arg(name())
                                                          : device->errorString());
        return;
    }
    // Qt's virtual bus may now be served from this thread, by an object of the plugin's
    // that lives as long as the process: the thread must stop before it goes.
    if (plugin_ == QLatin1String("virtualcan"))
        QtEventThread::stopSharedBeforeExit();
    if (device->state() == QCanBusDevice::ConnectedState) {
        connected_ = true;
        finishOpen(true, QString());
    }
}

void QtCanBus::finishOpen(bool ok, const QString& text)
{
    {
        MutexLocker lock(mutex_);
        if (openState_ != 0)
            return;
        openState_ = ok ? 1 : -1;
        openError_ = text;
        if (ok)
            usable_ = true;
    }
    opened_.notify_all();
}

void QtCanBus::stop()
{
    usable_ = false;
    if (QCanBusDevice* device = device_) {
        device_ = nullptr;
        QObject::disconnect(device, nullptr, nullptr, nullptr);
        // Qt's passthrucan leaves its I/O thread running after a failed open: deleting the
        // device then aborts the process, or leaks its I/O objects when the open is still
        // winding down. Such a device is left alive, idle, for good.
        if (plugin_ == QLatin1String("passthrucan") && !connected_) {
#ifdef RP1210_LEAK_CHECKED
            __lsan_ignore_object(device);
#endif
        } else {
            const auto state = device->state();
            if (state != QCanBusDevice::UnconnectedState && state != QCanBusDevice::ClosingState)
                device->disconnectDevice();
            delete device;
        }
    }
    inFlight_.clear();
    health_ = CanHealth::Ok;
    healthText_.clear();
    MutexLocker lock(mutex_);
    outgoing_.clear();
}

void QtCanBus::flush()
{
    std::deque<CanFrame> batch;
    {
        MutexLocker lock(mutex_);
        batch.swap(outgoing_);
    }
    for (const CanFrame& f : batch) {
        const bool connected = device_ != nullptr && device_->state() == QCanBusDevice::ConnectedState &&
                               health_ != CanHealth::Gone;
        QCanBusFrame q(f.id, QByteArray(reinterpret_cast<const char*>(f.data.data()), f.length));
        q.setExtendedFrameFormat(f.extended);
        // Listed before the write: a plugin may echo it from inside writeFrame.
        inFlight_.push_back(f);
        if (inFlight_.size() > kMaxInFlight)
            inFlight_.pop_front();
        if (!connected || !device_->writeFrame(q)) {
            inFlight_.pop_back();
            if (events_)
                events_(Event{Event::Kind::WriteFailed, f, health_, healthText_});
        }
    }
}

void QtCanBus::onFramesReceived()
{
    while (device_ != nullptr && device_->framesAvailable() > 0) {
        const QCanBusFrame q = device_->readFrame();
        if (q.frameType() == QCanBusFrame::ErrorFrame) {
            CanHealth health = CanHealth::Warning;
            const QString text = errorFrameText(q, &health);
            report(health, text);
            continue;
        }
        const QByteArray payload = q.payload();
        if (q.frameType() != QCanBusFrame::DataFrame || q.hasFlexibleDataRateFormat() || payload.size() > 8)
            continue;  // classic data frames only
        CanFrame f = CanFrame::make(q.frameId(), q.hasExtendedFrameFormat(),
                                    reinterpret_cast<const quint8*>(payload.constData()), payload.size());
        f.timestampUs = monotonicUs();
        const bool own = q.hasLocalEcho();
        if (own) {
            for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
                if (it->sameContent(f)) {
                    inFlight_.erase(it);
                    break;
                }
            }
            // Our frame went out: whatever held the bus has passed.
            if (health_ != CanHealth::Ok)
                report(CanHealth::Ok, QString());
        }
        if (receiver_)
            receiver_(f, own);
    }
}

void QtCanBus::onFramesWritten(qint64 count)
{
    if (echo_)
        return;  // the echoes confirm
    for (qint64 i = 0; i < count && !inFlight_.empty(); ++i) {
        CanFrame f = inFlight_.front();
        inFlight_.pop_front();
        f.timestampUs = monotonicUs();
        if (receiver_)
            receiver_(f, true);
    }
}

void QtCanBus::onState(int state)
{
    if (state == QCanBusDevice::ConnectedState) {
        connected_ = true;
        finishOpen(true, QString());
        return;
    }
    if (state != QCanBusDevice::UnconnectedState)
        return;
    usable_ = false;
    const QString why = device_ != nullptr && !device_->errorString().isEmpty()
                            ? device_->errorString()
                            : QStringLiteral("the connection closed");
    finishOpen(false, QStringLiteral("%1: %2").arg(name(), why));
    failInFlight();
    report(CanHealth::Gone, QStringLiteral("%1 is gone: %2").arg(name(), why));
}

void QtCanBus::onError(int error)
{
    if (device_ == nullptr)
        return;
    const QString text = QStringLiteral("%1: %2").arg(name(), device_->errorString());
    switch (error) {
    case QCanBusDevice::ConnectionError:
        usable_ = false;
        finishOpen(false, text);
        failInFlight();
        report(CanHealth::Gone, text);
        break;
    case QCanBusDevice::ReadError:
    case QCanBusDevice::WriteError: {
        // An interface taken down or unplugged fails every read and write: it is gone
        // until it comes back; anything else is a warning.
        bool gone = false;
        if (isSocketCan(plugin_)) {
            const std::optional<SocketCanLink> link = readSocketCanLink(interface_);
            gone = !link || !link->up;
        }
        if (gone) {
            usable_ = false;
            failInFlight();
        }
        report(gone ? CanHealth::Gone : CanHealth::Warning, text);
        break;
    }
    default:
        break;  // configuration and operation errors concern a call, not the bus
    }
}

void QtCanBus::failInFlight()
{
    std::deque<CanFrame> lost;
    lost.swap(inFlight_);
    if (!events_)
        return;
    for (const CanFrame& f : lost)
        events_(Event{Event::Kind::WriteFailed, f, health_, healthText_});
}

void QtCanBus::report(CanHealth health, const QString& text)
{
    if (health == health_ && text == healthText_)
        return;
    health_ = health;
    healthText_ = text;
    if (events_)
        events_(Event{Event::Kind::Health, CanFrame(), health, text});
}

}  // namespace rp1210core::bus
