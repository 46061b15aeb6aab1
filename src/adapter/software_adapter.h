// A software adapter: an IProxyLink that plays, in-process, the vehicle adapter's side of
// the wire format over a CAN bus, a J1708 bus, a K-line and a J1850 bus. Requests are
// copied in writeData and answered from the adapter's own thread, as a real adapter
// answers over its link; that thread also runs the J1939 and ISO 15765 transports and the
// K-line initialisations, and turns bus traffic into received-message frames. It sleeps
// until a request, a bus frame, a transport deadline or a stop.
//
// Requests and received traffic are handled in software_adapter.cpp; sends, transports and
// address claim in software_adapter_send.cpp; opening and closing buses in
// software_adapter_buses.cpp; the K-line and J1850 in software_adapter_serial.cpp; the
// confirmation of CAN frames by buses that report their transmissions, and the CAN bus's
// health, in software_adapter_confirm.cpp.
#pragma once

#include "adapter/adapter_clients.h"
#include "adapter/iso15765_transport.h"
#include "adapter/j1939_address_claim.h"
#include "adapter/j1939_transport.h"
#include "adapter/request_parser.h"
#include "bus/bus.h"
#include "common/mutex.h"

#include <rp1210core/iproxy_link.h>

#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace rp1210core::adapter {

class SoftwareAdapter final : public IProxyLink {
public:
    // Receives every answer frame, on the adapter's thread (point it at GestorInput::storeMsg).
    using Delivery = std::function<void(const QByteArray& frame)>;

    struct Config {
        QString interfaceType = QStringLiteral("A");  // with the version, fixes the generation
        int interfaceVersion = 7;
        qint64 timestampUnitUs = 1000;  // one timestamp count, in microseconds
        QByteArray firmware = "SW ADAPTER 1.0";
        bool sendTesterAtStart = false;  // checks the link as a real adapter may
        // On a bus that confirms its transmissions, how long a written frame may wait for
        // its confirmation; a send whose frames are not all confirmed by then fails.
        int confirmLimitMs = 1000;
    };
    // Told on the adapter's thread when the CAN bus's health changes, with the bus's words.
    using FaultHandler = std::function<void(bus::CanHealth health, const QString& text)>;

    // Any bus may be null: its protocols are then refused at connect.
    struct Buses {
        bus::CanBus* can = nullptr;
        bus::J1708Bus* j1708 = nullptr;
        bus::KLineBus* kline = nullptr;
        bus::J1850Bus* j1850 = nullptr;
    };

    SoftwareAdapter(Config config, Buses buses);
    ~SoftwareAdapter() override;
    SoftwareAdapter(const SoftwareAdapter&) = delete;
    SoftwareAdapter& operator=(const SoftwareAdapter&) = delete;

    // Set before initializeConnection.
    void setDelivery(Delivery delivery) { delivery_ = std::move(delivery); }
    void setFaultHandler(FaultHandler handler) { faultHandler_ = std::move(handler); }

    short initializeConnection() override;
    bool writeData(const char* data, int length) override;
    void getTypeInterface(QString& type, int& version, int& other) override;
    void limpiarDescargarProxy() override;
    int getComChannel() override { return 0; }

    // The generation a core derives from an interface letter and version.
    static int generationOf(const QString& type, int version);

    // The connect state of a CAN interface that cannot be reached: the library reads it
    // as an unavailable device.
    static constexpr quint8 kStateBusUnavailable = 16;

private:
    struct Event {
        enum class Kind : quint8 {
            Request, Can, CanOwn, CanLost, CanHealth, J1708, KLine, KLineInit, J1850
        } kind = Kind::Request;
        QByteArray bytes;  // request, message, or the answer to a K-line initialisation
        bus::CanFrame can;
        quint32 init = 0;     // the K-line initialisation answered
        quint32 opening = 0;  // CAN: the bus's opening it comes from
        bus::CanHealth health = bus::CanHealth::Ok;
        QString text;
    };
    // A message the adapter repeats on its own (broadcast link), confirmed under counter 0.
    struct Repeated {
        quint8 client = 0;
        quint8 protocol = 0;
        qint64 intervalMs = 1;
        qint64 dueMs = 0;
        QByteArray message;
    };
    struct PendingSend {
        quint8 protocol = 0;
        quint8 counter = 0;
        quint64 firstWrite = 0;  // the CAN write count when it started
        // A frame of the message never reached the bus: it is confirmed as a failure.
        bool lost = false;
        // J1939: the source and destination its frames carry, and whether no peer
        // acknowledges it (a single frame, a broadcast). Only such a message is marked
        // lost; a peer's end-of-message acknowledgement proves delivery.
        quint8 source = 0, destination = 0;
        bool unacknowledged = false;
    };
    // A CAN frame handed to a bus that confirms it, numbered by the write count.
    struct InFlight {
        bus::CanFrame frame;
        quint64 write = 0;
        qint64 dueMs = 0;
    };
    // A send's confirmation waiting for its frames (writes first+1 to last).
    struct Deferred {
        quint8 protocol = 0, state = 0, counter = 0;
        quint64 first = 0, last = 0;
    };
    // The K-line initialisation under way: whose ioctl its answer goes to.
    struct PendingInit {
        quint32 id = 0;
        quint8 client = 0;
        quint8 sub = 0;  // the ioctl; IOCTL_INIT_NO_WAIT wants no answer
        bool checksummed = false;
    };
    using J1850Filter = std::array<quint8, 6>;  // masks of the three header bytes, then their values

    void post(Event e);
    void run();
    void stopThread();

    // All below run on the adapter's thread only.
    void handleRequest(const QByteArray& frame);
    void dispatch(const Request& r);
    QByteArray failureAnswer(const Request& r) const;
    void onConnect(const Request& r);
    // Disconnects `client`; the answer names answerAs (0: the client itself).
    void onDisconnect(quint8 client, bool answer, quint8 answerAs = 0);
    void onSend(const Request& r);
    void sendJ1939(const Request& r);
    void sendCan(const Request& r);
    void sendIso(const Request& r, AdapterClient& c);
    void sendJ1708(const Request& r);
    void onFlowControl(const Request& r);
    void clearFlowControl(AdapterClient& c);
    void onAddressClaim(const Request& r);
    void onCanFrame(const bus::CanFrame& f);
    void onJ1708Message(const QByteArray& m);

    // K-line and J1850 (software_adapter_serial.cpp).
    bool openKLine(quint8 speed);
    bool openJ1850(quint8 speed);
    void onPicConnection(const Request& r);
    void onJ1850Filter(const Request& r);
    void onKLineInit(const Request& r);
    void onKLineInitDone(quint32 id, const QByteArray& answer);
    void sendKLine(const Request& r, const AdapterClient& c);
    void sendJ1850(const Request& r);
    void onKLineMessage(const QByteArray& m);
    void onJ1850Message(const QByteArray& m);
    static bool klineChecksummed(const AdapterClient& c);
    quint8 hardwareStatusOf(AdapterClients::Bus bus) const;
    void reset();
    void onBroadcastLink(const Request& r);
    void repeatDue(qint64 now);

    void flushJ1939();
    void flushIso(IsoTpOutput& out);
    void flushClaims();
    void pollEngines();
    qint64 nextDeadline() const;
    bool writeCan(const bus::CanFrame& f);
    // A frame of an outgoing message the bus refused: marks the pending send it belongs to.
    void markJ1939Lost(const bus::CanFrame& f);
    void markIsoLost(const bus::CanFrame& f);
    bool openCan(quint8 speed);
    quint8 openFailure(AdapterClients::Bus bus, quint8 speed) const;
    quint8 autoSpeed(quint8 protocol, quint8 speed) const;

    // Confirmations from the bus (software_adapter_confirm.cpp).
    void confirmWrites(quint8 protocol, quint8 state, quint8 counter, quint64 firstWrite);
    void settleWrites();
    void onCanOwn(const bus::CanFrame& f);
    void onCanLost(const bus::CanFrame& f);
    void loseAllWrites();
    void expireWrites(qint64 now);
    void setCanHealth(bus::CanHealth health, const QString& text);
    quint8 canStatus(bool active) const;
    bool openJ1708(quint8 speed);
    bool openBus(AdapterClients::Bus bus, quint8 speed);
    bool hasBus(AdapterClients::Bus bus) const;
    // Queues the messages of other nodes on a message bus as events of `kind`.
    bus::J1708Bus::Receiver messageReceiver(Event::Kind kind);
    void closeBus(AdapterClients::Bus bus);
    void closeBuses();

    void confirm(quint8 protocol, quint8 state, quint8 counter);
    void deliverReceived(quint8 protocol, const QByteArray& message);
    void deliver(const QByteArray& frame);
    bool anyClientOn(quint8 protocol) const;
    qint64 nowMs() const;
    quint32 timestamp() const;

    const Config config_;
    const int generation_;
    const bool segmenting_;
    const bool adapterFilters_;
    bus::CanBus* const canBus_;
    bus::J1708Bus* const j1708Bus_;
    bus::KLineBus* const klineBus_;
    bus::J1850Bus* const j1850Bus_;
    Delivery delivery_;
    FaultHandler faultHandler_;
    const bool canConfirms_;
    const std::chrono::steady_clock::time_point start_;

    internal::Mutex lifecycle_;  // start and stop of the thread
    std::thread thread_;         // touched under lifecycle_ only

    internal::Mutex mutex_;
    std::condition_variable wake_;
    std::deque<Event> queue_ GUARDED_BY(mutex_);
    bool stop_ GUARDED_BY(mutex_) = false;

    // The adapter thread's own state.
    AdapterClients clients_;
    SegmentJoiner joiner_;
    J1939Transport j1939_;
    IsoTpEngine isotp_;
    std::map<int, PendingSend> j1939Pending_;  // by ticket
    std::map<int, PendingSend> isoPending_;    // by connection
    std::map<int, std::pair<quint8, IsoFlowRecord>> isoConnections_;  // connection -> client, record
    std::map<quint8, J1939AddressClaim> claims_;                       // by client
    std::map<quint32, quint32> ioctlConfig_;
    std::map<quint8, Repeated> repeated_;  // by the frame's slot and client byte
    bool canOpen_ = false, j1708Open_ = false, klineOpen_ = false;
    quint32 j1850Bitrate_ = 0;  // 0 while the J1850 bus is closed
    std::vector<J1850Filter> j1850Filters_;
    std::optional<PendingInit> klineInit_;
    quint32 lastInit_ = 0;
    quint8 segmentKey_ = 0;
    // CAN writes awaiting the bus's confirmation, in write order; the sends waiting for
    // them; the writes that failed, kept while a send may still ask about them.
    quint64 writes_ = 0;
    quint32 canOpens_ = 0;  // counts the CAN bus's openings
    std::deque<InFlight> inFlight_;
    std::deque<Deferred> deferred_;
    std::set<quint64> lostWrites_;
    bus::CanHealth canHealth_ = bus::CanHealth::Ok;
    qint64 canTrafficMs_ = -1;  // last frame heard or confirmed
};

}  // namespace rp1210core::adapter
