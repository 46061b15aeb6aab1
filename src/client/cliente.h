// One RP1210 client slot: settings, queues with byte accounting, filters, periodic
// broadcast records, service states and the adapter answers stored for the client.
//
// Threads: application threads (send, read, commands), the receive thread (routing
// of received messages and echoes, answer updates) and the send thread (broadcasts)
// use a slot at the same time. Scalar fields are atomics; each container has its own
// short lock, held for one operation and never nested with another of this class.
#pragma once

#include "client/broadcast_msg.h"
#include "common/message_semaphore.h"
#include "common/mutex.h"
#include <rp1210core/types.h>

#include <QByteArray>
#include <QList>
#include <QMap>

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class GestionFiltro;
class Rp1210Clock;

class Cliente {
public:
    static constexpr qint32 kDefaultBufferSize = 8192;
    static constexpr int kMaxFilters = 65;
    static constexpr int kMaxBroadcasts = 16;    // library repetition: keys 0..15
    static constexpr int kLastLinkMapKey = 14;   // adapter repetition: link record, then keys 1..14
    static constexpr int kBroadcastFull = 255;   // add answer when every key is taken

    // Containers, locks and semaphore only; no defaults applied.
    Cliente();
    Cliente(quint8 idCliente, quint8 protocolo, qint32 txSize, qint32 rxSize, bool packetize);
    ~Cliente();
    Cliente(const Cliente&) = delete;
    Cliente& operator=(const Cliente&) = delete;

    // Resets the per-connection state and empties queues, filters and broadcasts
    // (the broadcast map and the link record).
    void valoresPorDefecto();

    // --- identity, flags and modes (lock-free) ---
    quint8 getIdCliente() const { return idCliente_; }
    void setIdCliente(quint8 id) { idCliente_ = id; }
    bool getConectado() const { return conectado_; }
    void setConectado(bool v) { conectado_ = v; }
    quint8 getProtocolo() const { return protocolo_; }
    void setProtocolo(quint8 p) { protocolo_ = p; }
    enu_GATEWAY_Velocidad getProtocolSpeed() const { return velocidad_; }
    void setProtocolSpeed(enu_GATEWAY_Velocidad v) { velocidad_ = v; }
    bool getPendiente_desconexion() const { return pendienteDesconexion_; }
    // Setting it wakes a reader blocked on this slot so it can leave at once.
    void setPendiente_desconexion(bool v);
    bool getPendienteConexion() const { return pendienteConexion_; }
    void setPendienteConexion(bool v) { pendienteConexion_ = v; }
    quint32 getBlockingTimeout() const { return blockingTimeout_; }
    void setBlockingTimeout(quint32 ms) { blockingTimeout_ = ms; }
    bool getMessageReceive() const { return messageReceive_; }
    void setMessageReceive(bool v) { messageReceive_ = v; }
    bool getEchoMode() const { return echoMode_; }
    void setEchoMode(bool v);  // flushes both queues when the value changes
    bool getJ1939Packetize() const { return j1939Packetize_; }
    void setJ1939Packetize(bool v) { j1939Packetize_ = v; }
    qint16 get_J1939_Claim_Address_Value() const { return claimAddressValue_; }
    void set_J1939_Claim_Address_Value(qint16 v) { claimAddressValue_ = v; }
    qint16 get_J1939_Claim_Address_State() const { return claimAddressState_; }
    void set_J1939_Claim_Address_State(qint16 v) { claimAddressState_ = v; }
    quint8 getFilterState() const { return filterState_; }
    void setFilterState(quint8 v) { filterState_ = v; }
    quint8 getJ1708Mode() const { return j1708Mode_; }
    void setJ1708Mode(quint8 v);  // flushes both queues when the value changes
    quint8 getISO9141_KWP200_Mode() const { return iso9141Mode_; }
    void setISO9141_KWP200_Mode(quint8 v);  // flushes both queues when the value changes
    quint8 getFilterMode() const { return filterMode_; }
    void setFilterMode(quint8 v) { filterMode_ = v ? 1 : 0; }
    bool getRX_FULL() const { return rxFull_; }
    void setRX_FULL(bool v) { rxFull_ = v; }
    // Received messages and echoes the queue refused for want of room since the connect.
    quint64 getRxRefused() const { return rxRefused_; }

    // --- buffer sizes and free bytes ---
    qint32 getTamanoBufferEntrada() const { return rxSize_; }
    void setTamanoBufferEntrada(qint32 size);  // below 1: 8192; also resets the free count
    qint32 getfreeBufferEntrada() const;
    void setfreeBufferEntrada(qint32 v);
    qint32 getTamanoBufferSalida() const { return txSize_; }
    void setTamanoBufferSalida(qint32 size);  // below 1: 8192; also resets the free count
    qint32 getfreeBufferSalida() const;
    void setfreeBufferSalida(qint32 v);

    // --- transmit queue ---
    // Prepares (J1708 checksum, CAT prefix) and queues len bytes; 0 or 137, or 141 when
    // the prepared message is longer than maxLength (nothing queued). len must be 0 or more.
    quint32 addMsjSaliente(const char* msg, short len, int maxLength = std::numeric_limits<int>::max());
    // Oldest queued message, or an empty array.
    QByteArray GetMsjToSend();
    void deleteMsjSaliente();

    // --- receive queue ---
    // Queues a received network message through message receive, filter state and filters; 0 or 139.
    quint32 addMsjRecibido(QByteArray& msg);
    // Queues an echo of the client's own message, bypassing receive flag and filters; 0 or 139.
    quint32 addMsjRecibidoECHO(QByteArray& msg);
    // Hands the oldest message to buffer: byte count, 0 (nothing within waitMs; negative
    // waits without limit) or -141 (buffer too small, message kept). Returns 0 early
    // when the slot is woken for a pending disconnect, or by wakeReaders() once
    // *linkError is non-zero. bufferSize below 1 never writes.
    qint16 GetMsjToRead(char* buffer, int bufferSize, int waitMs = 1, const std::atomic<int>* linkError = nullptr);
    // Wakes a reader blocked in GetMsjToRead so that it re-checks the link error.
    void wakeReaders() { rxCount_.wakeAll(); }
    void deleteMsjRecibido();
    int receivedCount() const;  // number of messages in the receive queue

    // --- filters ---
    // Adds one filter built from a command record for the client's protocol; 0 or 501.
    quint32 addFiltro(const unsigned char* record);
    bool containsFilter(const GestionFiltro* filter) const;
    // Cuts out the 11-byte records the client already holds; true when any is left.
    bool areISO15765FiltersCorrect(QByteArray& records, int& length) const;
    void deleteAllFilters();
    int getFilterSize() const;
    // The filter at index, or null. Valid until the list is next emptied.
    const GestionFiltro* getActiveFilter(int index) const;

    // --- periodic broadcasts (broadcast lock; commands, send thread, receive thread) ---
    // `record` is a command record (interval, length, message) of which `size` bytes
    // may be read. The add operations answer the key, kBroadcastFull when every key is
    // taken, or 144 (nothing stored) when the record does not fit in size.
    //
    // Library repetition: J1708 mode 1 appends the J1708 checksum (over the message
    // without its priority byte); CAT puts 0x01 in front and, in J1708 mode 1, appends
    // the checksum over the message. Keys 0..15.
    int addBroadcastMSG(const char* record, int size);
    // Adapter repetition: the first record becomes the link record (key 0), later ones
    // go to the map under keys 1..14. The bytes are stored as given.
    int addBroadcastMSG_Link(const char* record, int size);
    // Writes the view of the map record `id` into out, of which outSize bytes may be
    // written: 0 written, 1 no such record, 144 the view does not fit (nothing written).
    int viewBroadcastMSG(char* out, int outSize, quint8 id) const;
    // As viewBroadcastMSG, with id 0 naming the link record while there is one.
    int viewBroadcastMSG_Link(char* out, int outSize, quint8 id) const;
    // 0 removed, 1 not in the map. The link record is not touched.
    int removeBroadcastMsg(quint8 id);
    // Empties the map and answers how many records it held; their keys go to
    // removedKeys when given. The link record is not touched.
    int clearBroadcastMsgList(QList<quint8>* removedKeys = nullptr);
    int broadcastMsgListSize() const;
    int broadcastMsgListSize_Link() const;  // map records plus 1 for a link record
    bool brodCastMSGLinkState_Link() const;  // a link record exists
    void deleteBrodCastMSGLink();
    // Copies the stored bytes of the link record; false when there is none.
    bool getBroadcastMSG_Link(QByteArray* msg) const;
    // Appends, in key order, copies of the map records whose interval has run out on
    // clock.processMillis() and marks them sent; true when any was due. Nothing is
    // allocated when none is due (it runs on every turn of the send loop). With
    // `nextDue`, the earlier of it and the time the first record falls due next is left
    // there (it stays empty when the client holds no record).
    bool broadcastMsgToSend(QList<BroadcastMSG>* due, const Rp1210Clock& clock,
                            std::optional<quint32>* nextDue = nullptr);

    // --- service states (written by the receive thread, read by waiting threads) ---
    void setServiceRequestState(IDS_SERV_RP1210 id, RESPONSES_SERV_RP1210 state);
    RESPONSES_SERV_RP1210 getServiceRequestState(IDS_SERV_RP1210 id) const;  // 0 when never set

    // --- ioctl parameters and stored adapter answers ---
    void set_IOCTL_Params(const QList<quint32>& pairs);
    quint32 get_IOCTL_SingleParam(quint32 parameter) const;
    void setBufferHardwareStatus(const QList<quint8>& bytes);
    void getBufferHardwareStatus(char* out, short n) const;
    void setFAST_INIT_AND_FIVE_BAUD_INIT_MSG(const QByteArray& bytes);
    QByteArray GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG() const;
    void setSendPulsesInit_Response(const QByteArray& bytes);
    QByteArray GetSendPulsesInit_Response() const;

    bool checkJ1939TransporLayer(quint8, quint8, quint8, short) const { return false; }
    // Two's complement of the 8-bit sum of the first len bytes; 0 when len < 1.
    static quint8 J1708_CalculaChecksum(const char* data, short len);

private:
    bool passesFilters(QByteArray& msg) const;
    quint32 storeReceived(QByteArray& msg, bool removePriority);
    void dropBroadcasts();
    int storeBroadcastLocked(BroadcastMSG& record, int firstKey, int lastKey) REQUIRES(broadcastLock_);

    std::atomic<quint8> idCliente_{0};
    std::atomic<bool> conectado_{false};
    std::atomic<quint8> protocolo_{0};
    std::atomic<enu_GATEWAY_Velocidad> velocidad_{VELOCIDAD_NINGUNA};
    std::atomic<bool> pendienteDesconexion_{false};
    std::atomic<bool> pendienteConexion_{false};
    std::atomic<quint32> blockingTimeout_{0};
    std::atomic<bool> messageReceive_{true};
    std::atomic<bool> echoMode_{false};
    std::atomic<bool> j1939Packetize_{false};
    std::atomic<qint16> claimAddressValue_{0};
    std::atomic<qint16> claimAddressState_{0};
    std::atomic<quint8> filterState_{0};
    std::atomic<quint8> j1708Mode_{1};
    std::atomic<quint8> iso9141Mode_{1};
    std::atomic<quint8> filterMode_{0};
    std::atomic<bool> rxFull_{false};
    std::atomic<quint64> rxRefused_{0};
    std::atomic<qint32> rxSize_{kDefaultBufferSize};
    std::atomic<qint32> txSize_{kDefaultBufferSize};

    mutable rp1210core::internal::Mutex rxLock_;
    QList<QByteArray> rxQueue_ GUARDED_BY(rxLock_);
    qint32 rxFree_ GUARDED_BY(rxLock_) = kDefaultBufferSize;
    MessageSemaphore rxCount_;  // one token per message in rxQueue_

    mutable rp1210core::internal::Mutex txLock_;
    QList<QByteArray> txQueue_ GUARDED_BY(txLock_);
    qint32 txFree_ GUARDED_BY(txLock_) = kDefaultBufferSize;

    mutable rp1210core::internal::Mutex filterLock_;
    std::vector<std::unique_ptr<GestionFiltro>> filters_ GUARDED_BY(filterLock_);

    mutable rp1210core::internal::Mutex broadcastLock_;
    QMap<qint32, BroadcastMSG> broadcasts_ GUARDED_BY(broadcastLock_);
    std::optional<BroadcastMSG> broadcastLink_ GUARDED_BY(broadcastLock_);  // the record the adapter repeats

    mutable rp1210core::internal::Mutex storeLock_;
    QMap<int, int> serviceStates_ GUARDED_BY(storeLock_);
    QMap<quint32, quint32> ioctlParams_ GUARDED_BY(storeLock_);
    QList<quint8> hwStatus_ GUARDED_BY(storeLock_);
    QByteArray fastInit_ GUARDED_BY(storeLock_);
    QByteArray pulses_ GUARDED_BY(storeLock_);
};
