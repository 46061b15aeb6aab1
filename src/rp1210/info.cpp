// The informational operations: fixed version texts, the firmware version the adapter
// reported, the per-client hardware status with its adapter round trip, and error texts.
#include "rp1210/gestor_rp1210.h"

#include "common/protocols.h"
#include "common/wire_format.h"

#include "link/igestor_output.h"

#include <algorithm>
#include <cstring>

using namespace rp1210core::internal;

namespace {

const QString kDllMajor = QStringLiteral("17.2");
const QString kDllMinor = QStringLiteral("1.1");
const QString kApiMajor = QStringLiteral("4");
const QString kApiMinor = QStringLiteral("00");

constexpr int kHardwareStatusLimitS = 5;
constexpr int kStatusFillBytes = 16;    // cleared to "0" before anything else is checked
constexpr int kStatusRecordBytes = 20;  // the record built from the adapter's answer
constexpr int kFirmwareTextMax = 17;

// Version texts are plain ASCII: copy them whole; a null buffer is skipped.
void writeText(const QString& text, char* out)
{
    copyTextOut(text, out, text.size());
}

bool isClientId(short id)
{
    return id >= 1 && id <= GestorRP1210::kMaxClients;
}

bool leaving(const Cliente& c)
{
    return AnswerWait::clientLeaving(c);
}

quint8 low8(int n)
{
    return static_cast<quint8>(n & 0xFF);
}

}  // namespace

short GestorRP1210::RP1210_ReadVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor)
{
    writeText(kDllMajor, dllMajor);
    writeText(kDllMinor, dllMinor);
    writeText(kApiMajor, apiMajor);
    writeText(kApiMinor, apiMinor);
    return rp1210rc::OK;
}

short GestorRP1210::RP1210_ReadDetailedVersion(short clientId, char* apiVersion, char* dllVersion,
                                               char* firmwareVersion)
{
    if (!isClientId(clientId))
        return rp1210rc::INVALID_CLIENT_ID;
    // Fixed texts: the client need not be connected and the adapter is not asked.
    writeText(kApiMajor + QLatin1Char('.') + kApiMinor, apiVersion);
    writeText(kDllMajor + QLatin1Char('.') + kDllMinor, dllVersion);
    get_Detailed_Version(firmwareVersion);
    return rp1210rc::OK;
}

short GestorRP1210::RP1210_GetHardwareStatus(short clientId, char* status, short size, short blockOnRequest)
{
    // A null buffer has no room at all; a size below 1 writes nothing.
    const int capacity = status != nullptr ? std::max<int>(size, 0) : 0;
    if (capacity > 0)
        std::memset(status, '0', static_cast<size_t>(std::min(kStatusFillBytes, capacity)));

    if (!isClientId(clientId))
        return rp1210rc::INVALID_CLIENT_ID;
    const quint8 id = static_cast<quint8>(clientId);
    Cliente* c = getCliente(id);

    std::unique_lock<Mutex> statusLock(statusLocks_[id], std::defer_lock);
    if (blockOnRequest != 0) {
        // A disconnect under way holds this lock until it is done; do not queue behind it.
        if (leaving(*c))
            return rp1210rc::CLIENT_DISCONNECTED;
        statusLock.lock();
    }
    if (leaving(*c))
        return rp1210rc::CLIENT_DISCONNECTED;

    // A disconnect raises its flag and wakes the waits, so this ends at once then, and
    // 148 outranks an answer that came with it.
    const AnswerWait::Result r =
        AnswerWait(*this, *c, SERV_ESTADO_HARDWARE, EndsEarlyOn::Disconnect)
            .request(kHardwareStatusLimitS, [&] { output_->GenerarTrama_GetHardwareStatus(id); });
    if (r.clientLeft || r.state != RESP_SERV_OK)
        return r.code;
    c->getBufferHardwareStatus(status, static_cast<short>(std::min(capacity, kStatusRecordBytes)));
    return rp1210rc::OK;
}

void GestorRP1210::SetHardwareSatusResponse(quint8 idCliente, const QByteArray& answer)
{
    if (idCliente == wire::kAllClients) {
        // An adapter-wide status: the answer the device reset waits for.
        setIsHardwareStatusEnded(RESP_SERV_OK);
        return;
    }
    Cliente* c = getCliente(idCliente);
    if (c == nullptr || !c->getConectado() || answer.size() <= 5)
        return;

    auto a = [&answer](int i) { return i < answer.size() ? static_cast<quint8>(answer.at(i)) : quint8(0); };
    auto count = [this](int protocolo) { return static_cast<int>(otrosClientesConProtocolo(quint8(protocolo))); };
    int kLine = 0;
    for (const ProtocolFacts& row : protocol_table::kRows)
        if (row.kLineStatus)
            kLine += count(row.protocolo);

    QList<quint8> record;
    record.reserve(kStatusRecordBytes);
    record << a(0) << low8(numeroClientesConectados())       //
           << a(1) << low8(count(PROTOCOLO_J1939))           //
           << a(2) << low8(count(PROTOCOLO_J1708))           //
           << a(3) << low8(count(PROTOCOLO_CAN))             //
           << a(4) << low8(count(PROTOCOLO_J1850))           //
           << 0 << 0 << 0 << 0 << 0 << 0                     // bytes 10 to 15; answer byte 5 is not used
           << a(6) << low8(kLine)                            //
           << a(7) << low8(count(PROTOCOLO_KWP2000));
    // Bytes before state: a waiter that sees the answer also sees its bytes.
    c->setBufferHardwareStatus(record);
    c->setServiceRequestState(SERV_ESTADO_HARDWARE, RESP_SERV_OK);
    wakeWaiters();
}

short GestorRP1210::RP1210_GetErrorMsg(short code, char* text)
{
    if (text == nullptr)
        return rp1210rc::NULL_PARAMETER;
    return errores_.ObtenerMsgError(code, text);
}

short GestorRP1210::RP1210_GetLastErrorMsg(short code, int* subCode, char* text, short /*clientId*/)
{
    if (subCode != nullptr)
        *subCode = -1;
    return RP1210_GetErrorMsg(code, text);
}

int GestorRP1210::modificarEstadoDetailedVersion(const QString& text)
{
    {
        // Text and state change together, so a reader never pairs a new state with an old text.
        MutexLocker lock(detailedVersionLock_);
        detailedVersion_ = text;
        detailedVersionEnded_ = RESP_SERV_OK;
    }
    wakeWaiters();
    return 0;
}

void GestorRP1210::set_Detailed_Version(const QString& text)
{
    MutexLocker lock(detailedVersionLock_);
    detailedVersion_ = text;
}

RESPONSES_SERV_RP1210 GestorRP1210::get_detailedVersionEnded() const
{
    return static_cast<RESPONSES_SERV_RP1210>(detailedVersionEnded_.load());
}

void GestorRP1210::set_detailedVersionEnded(RESPONSES_SERV_RP1210 v)
{
    {
        MutexLocker lock(detailedVersionLock_);
        detailedVersionEnded_ = v;
    }
    wakeWaiters();
}

bool GestorRP1210::get_Detailed_Version(char* out) const
{
    MutexLocker lock(detailedVersionLock_);
    if (out == nullptr || detailedVersionEnded_ != RESP_SERV_OK)
        return true;
    copyTextOut(detailedVersion_, out, kFirmwareTextMax);
    return false;
}
