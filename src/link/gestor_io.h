// The output manager: frame builders, the send thread with flow control and
// segmentation, and the dispatch of the adapter's answers.
//
// Definitions by concern: frames.cpp (builders and message counter),
// send_thread.cpp (output list, send loop, in-flight limits, segmentation),
// dispatch.cpp (answer classification, reassembly of segmented messages).
//
// Threads: builders and the remove operations run on application threads; run() and
// enviarMSG() on the send thread; switchApplication() and its handlers on the receive
// thread. Lock order (checked by clang): listMutex_ before inFlightMutex_ before sentMutex_.
#pragma once

#include "common/clock.h"
#include "common/message_semaphore.h"
#include "common/mutex.h"
#include "link/igestor_output.h"
#include "common/protocols.h"
#include "common/wire_format.h"
#include <rp1210core/managers.h>
#include <rp1210core/types.h>

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class IGestorRespuestas;
class IProxyLink;

// One request frame waiting for the send thread.
struct TLink_Request_Msg {
    quint8 idCliente = 0;
    quint8 idBroadcast = rp1210core::internal::wire::kNoBroadcast;
    QByteArray trama;
};

// One segmented received message being reassembled.
struct LINK_SEG_MSG {
    QByteArray data;
    quint8 nextIndex = 0;
    quint8 segmentCount = 0;
    qint32 expectedLength = 0;
    qint32 receivedLength = 0;
};

class Gestor_IO final : public rp1210core::Gestor_IO, public IGestorOutput {
public:
    static constexpr int kMaxFrame = rp1210core::internal::segmentation::kMaxFrame;
    static constexpr int kHeaderLength = rp1210core::internal::segmentation::kHeaderLength;
    static constexpr int kHoldBackMs = 1500;     // a held-back head frees one slot per pass after this
    static constexpr int kInFlightCounters = rp1210core::internal::kInFlightCounters;

    Gestor_IO();
    ~Gestor_IO();
    Gestor_IO(const Gestor_IO&) = delete;
    Gestor_IO& operator=(const Gestor_IO&) = delete;

    // The manager that answers are dispatched to and that the send thread reports to.
    // Not owned. Until it is set, answers are dropped and nothing is reported.
    void setGestorRP1210(IGestorRespuestas* gestor)
    {
        gestor_ = gestor;
        wakeSendThread();  // its broadcast records are looked at
    }
    // The clock of the hold-back and of the broadcast due times: the manager's. Not
    // owned; must outlive the send thread. Defaults to the system clock. A clock that
    // cannot tell real instants must call wakeSendThread() when it moves.
    void setClock(const Rp1210Clock* clock)
    {
        clock_ = clock;
        wakeSendThread();
    }

    // ---- IGestorOutput: builders (frames.cpp) ----
    void GenerarTrama_ConectarCliente(quint8 idCliente, quint8 protocolo, quint8 velocidad, bool packetize) override;
    void GenerarTrama_DesconectarCliente(quint8 idCliente, quint8 protocolo) override;
    void GenerarTrama_GetHardwareStatus(quint8 idCliente) override;
    void GenerarTrama_ResetearTravoneLink() override;
    void GenerarTrama_EnviarMensaje(quint8 idCliente, quint8 protocolo, bool echo, const QByteArray& data,
                                    quint8 idBroadcast) override;
    void GenerarTrama_VersionFirmware(quint8 x) override;
    void GenerarTrama_J1939_AdressClaim(quint8 idCliente, const char* p) override;
    void GenerarTrama_ISO15765_Flow_Control(quint8 idCliente, quint8 protocolo, const char* data, int n) override;
    void GenerarTrama_ISO15765_Clear_Flow_Control(quint8 idCliente) override;
    void GenerarTrama_SET_GET_IOCTL(quint8 idCliente, quint8 protocolo, quint8 sub, const SCONFIG_LIST* list) override;
    void GenerarTrama_IOCTL_INIT(quint8 idCliente, quint8 protocolo, quint8 sub, const SBYTE_ARRAY* in,
                                 const SBYTE_ARRAY* out) override;
    void GenerarTrama_IOCTL_SendPulses(quint8 idCliente, quint8 protocolo, const SBYTE_ARRAY* in,
                                       const SBYTE_ARRAY* out) override;
    void GenerarTrama_IOCTL_BecomeMaster(quint8 idCliente, quint8 protocolo, const SBYTE_ARRAY* in,
                                         const SBYTE_ARRAY* out) override;
    void GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(quint8 idCliente, quint8 protocolo,
                                                                 IDS_RP1210_IOCTL id, const SBYTE_ARRAY* in) override;
    void GenerarTrama_CambioModo(quint8 idCliente, quint8 protocolo, quint8 mode) override;
    void GenerarTrama_CMMD_MUX(const QString& command) override;
    void GenerarTrama_PICConnection(quint8 velocidad) override;
    void GenerarTrama_SetBaud(quint8 idCliente, quint8 protocolo, quint8 a, quint8 b) override;
    void GenerarTrama_setBroadcastLink(quint8 idCliente, quint8 protocolo, quint8 slot, const char* m) override;
    void GenerarTrama_clearBroadcastLink(quint8 idCliente, quint8 protocolo, quint8 slot) override;
    void GenerarTrama_Set_J1850_Filter(const char* f) override;
    void GenerarTrama_ClearFilterJ1850() override;
    void GenerarTrama_Set_Padding_ISO15765(quint8 idCliente, quint8 protocolo, const char* p) override;
    void GenerarTrama_Set_Remote_CAN_Message(quint8 idCliente, quint8 protocolo, const char* p) override;
    void GenerarTrama_Set_Can_First_Consecutive_Frame_Value(quint8 idCliente, quint8 protocolo,
                                                            const char* p) override;
    void GenerarTrama_Set_J1939_Interpacket_Time(quint8 idCliente, quint8 protocolo, const char* p) override;
    void GenerarTrama_Set_CAN_Filter(const char* f) override;
    void GenerarTrama_ClearFilterCAN() override;
    void GenerarTrama_SetFiltersV6(quint8 idCliente, quint8 protocolo, const char* f, int n) override;
    void GenerarTrama_ClearAllFiltersV6(quint8 idCliente, quint8 protocolo) override;
    void GenerarTrama_ClearFilterV6(quint8 idCliente, quint8 protocolo, const QByteArray& pgns) override;
    void GenerarTrama_SetFilter_SA_V6(quint8 idCliente, quint8 protocolo, quint8 sa) override;
    void GenerarTrama_ClearFilter_SA_V6(quint8 idCliente, quint8 protocolo) override;
    void GenerarTrama_Set_ISO15765_Filter(quint8 idCliente, quint8 protocolo, quint8 action, const QByteArray* data,
                                          short n) override;
    void GenerarTrama_LogSegmentos(quint8 x) override;
    void GenerarTrama_testVelocidad() override;

    // ---- IGestorOutput: send thread and output list (send_thread.cpp) ----
    void ArrancarHiloEnvio(enum_VersionVCI generation, quint32 hwnd) override;
    bool pararHiloEnvio() override;
    void removeClientMessages(quint8 idCliente) override;
    void removeAllBroadcastMsgs() override;
    void removeBroadcastMsgByID(quint8 idBroadcast, quint8 idCliente) override;
    void removeAllOutputMessages() override;

    // ---- IGestorOutput: transport pass-throughs (frames.cpp) ----
    void setIProxyLink(IProxyLink* link) override { link_ = link; }
    short initializeConnection() override;
    void getTypeInterface(QString& type, int& version, int& other) override;
    void limpiarDescargarProxy() override;
    int getComChannel() override;

    // ---- IGestorOutput: the send thread's sleep (send_thread.cpp) ----
    // Makes the send thread look again at its list head, its hold-back and the
    // broadcast records, whatever its sleep was waiting for. Any thread.
    void wakeSendThread() override;

    // ---- send thread internals (send_thread.cpp) ----
    void addMessageSentList(quint8 idCliente, quint8 idBroadcast, const QByteArray& trama);
    int enviarMSG();  // 1 when the head request was held back by flow control
    void segmentarMSG(QList<TLink_Request_Msg>* out, const TLink_Request_Msg& msg, int inicio) const;
    void clearSemaphore();
    bool getRunning() const { return running_; }
    void setRunning(bool v) { running_ = v; }
    // True while a frame is remembered under the counter of send frame `trama`; with
    // `forgetStale` that frame is forgotten instead (its answer never came).
    bool counterBusy(const QByteArray& trama, bool forgetStale);
    bool increaseSendProtocolBuffer(int protocolo);
    void wakeHeldBack();  // a remembered frame was answered: its counter is free again
    void decreaseSendProtocolBuffer(int protocolo);
    static int segmentSize(int k, int i);
    static quint8 segmentValue(quint8 i, int k);
    void setHWDND(quint32 v) { hwdnd_ = v; }
    void sendMsgHWDND() {}

    // ---- message counter (frames.cpp) ----
    void increaseContIdMsgs();
    quint8 getContIdMsgs() const;

    // ---- answer dispatch, receive thread (dispatch.cpp) ----
    void switchApplication(QByteArray& frame);

    // ---- observation, for diagnostics and tests ----
    int outputListSize() const;
    int sentFramesCount() const;
    bool hasSentFrame(quint8 counter) const;
    int inFlight(int counter) const;
    bool isSegmenting() const { return segmenting_; }
    // Turns the send loop has made since it was created: each follows a wake.
    quint64 sendLoopPasses() const { return passes_; }
    enum_VersionVCI generation() const { return static_cast<enum_VersionVCI>(generation_.load()); }

private:
    IGestorRespuestas& gestor() { return *gestor_.load(); }  // only while dispatching
    void queueFrame(quint8 idCliente, const QByteArray& frame);  // queued as no broadcast
    void writeDirect(const QByteArray& frame);
    void run();
    // Whether a head held back on in-flight `counter` and message counter `msgCounter`
    // (-1: none) may go now.
    bool heldHeadMayGo(int counter, int msgCounter) const REQUIRES(inFlightMutex_);

    // dispatch.cpp
    void DeserializarRespuestaVersionFirmware(QByteArray& frame);
    void DeserializarRecepcionTrama(QByteArray& frame);
    void DeserializarRespuestaEstadoHardware(QByteArray& frame);
    void DeserializarRespuestaJ1939_AdressClaim(QByteArray& frame);
    void DeserializarSetJ1939InterpacketTime(QByteArray& frame);
    void DeserializarRespuestaEnvioMsj(QByteArray& frame);
    void Deserializar_IOCTL(QByteArray& frame);
    void Deserializar_TesterLink(QByteArray& frame);
    void Deserializar_Seg(QByteArray& frame);
    void actualizar_Seg(const QByteArray& frame, int offset, LINK_SEG_MSG* msg);
    bool comprobar_Seg(const QByteArray& frame, LINK_SEG_MSG* msg);

    std::atomic<IGestorRespuestas*> gestor_{nullptr};
    std::atomic<IProxyLink*> link_{nullptr};
    std::atomic<quint32> hwdnd_{0};
    std::atomic<const Rp1210Clock*> clock_{SystemClock::instance()};

    // Send thread only.
    bool holdBack_ = false;
    quint32 holdBackStartMs_ = 0;  // clock_'s processMillis() when the head was first held
    TLink_Request_Msg current_;
    QList<TLink_Request_Msg> segments_;

    // Lock order: listMutex_, then inFlightMutex_, then sentMutex_.
    mutable rp1210core::internal::Mutex listMutex_ ACQUIRED_BEFORE(inFlightMutex_, sentMutex_);
    QList<TLink_Request_Msg> outputList_ GUARDED_BY(listMutex_);  // listMutex_ is held during every write

    mutable rp1210core::internal::Mutex inFlightMutex_ ACQUIRED_BEFORE(sentMutex_);
    std::array<quint8, kInFlightCounters> inFlight_ GUARDED_BY(inFlightMutex_){};
    std::condition_variable inFlightCv_;  // a freed slot or counter wakes a held-back send loop

    mutable rp1210core::internal::Mutex sentMutex_;
    QMap<quint8, QByteArray> sentFrames_ GUARDED_BY(sentMutex_);

    mutable rp1210core::internal::Mutex counterMutex_;
    quint8 contIdMsgs_ GUARDED_BY(counterMutex_) = 1;

    MessageSemaphore listSemaphore_;  // one count per request put in the list

    std::atomic<bool> running_{false};
    std::thread thread_;
    // Bumped by wakeSendThread before it wakes the sleeps: a wake that comes while the
    // loop is awake is not lost.
    std::atomic<std::uint64_t> wakes_{0};
    std::atomic<quint64> passes_{0};

    // Receive thread only (and ArrancarHiloEnvio before the receive thread starts).
    QMap<int, LINK_SEG_MSG> reassembly_;

    std::atomic<bool> segmenting_{false};
    std::atomic<int> generation_{VCI_DESCONOCIDA};
};
