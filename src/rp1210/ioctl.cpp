// RP1210_Ioctl: the J2534-style parameter and initialisation services and the adapter's
// own ioctls. Each becomes one SERV_IOCTL request; all but identifier 6 wait for the
// answer, which the answer updates leave in the client record.
//
// No manager lock is taken: an ioctl may run beside a command or another ioctl. Ioctls
// of one client share the SERV_IOCTL state, so the first answer ends every such wait.
#include "rp1210/gestor_rp1210.h"

#include "link/igestor_output.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

constexpr int kGetConfigLimitS = 6;
constexpr int kSetConfigLimitS = 7;
constexpr int kFiveBaudLimitS = 8;
constexpr int kDefaultLimitS = 6;
constexpr int kPulsesBaseLimitS = 6;

// A list whose entries the request reads must have them.
bool validList(const SCONFIG_LIST* list)
{
    return list != nullptr && (list->NumOfParams == 0 || list->ConfigPtr != nullptr);
}

// A byte array whose bytes the request reads must have them.
bool validInput(const SBYTE_ARRAY* in)
{
    return in != nullptr && (in->NumOfBytes == 0 || in->BytePtr != nullptr);
}

// The room the caller gave for an answer; a missing byte pointer gives none.
quint32 capacityOf(const SBYTE_ARRAY* out)
{
    return out->BytePtr != nullptr ? out->NumOfBytes : 0;
}

// Sum of the pulse lengths of a send-pulses description, in seconds. A non-zero first
// byte is the pulse count with the values from byte 1; a zero first byte puts the count
// in byte 1 and the values from byte 2. Values are 16-bit big-endian. Only values lying
// wholly inside the caller's bytes are read.
int pulseTotal(const SBYTE_ARRAY& in)
{
    const quint32 size = in.NumOfBytes;
    const quint8* b = in.BytePtr;
    if (size == 0)
        return 0;
    quint32 count = b[0];
    quint32 first = 1;
    if (count == 0) {
        count = size > 1 ? b[1] : 0;
        first = 2;
    }
    int total = 0;  // at most 255 * 65535
    for (quint32 i = 0; i < count; ++i) {
        const quint32 at = first + 2 * i;
        if (at + 1 >= size)
            break;
        total += (int(b[at]) << 8) | b[at + 1];
    }
    return total;
}

// Copies an answer into the caller's array without passing the capacity it gave on
// entry. A longer answer is cut to what fits and reported as too long.
short copyAnswer(const QByteArray& answer, SBYTE_ARRAY& out, quint32 capacity)
{
    const quint32 n = std::min<quint32>(static_cast<quint32>(answer.size()), capacity);
    if (n > 0)
        std::memcpy(out.BytePtr, answer.constData(), n);
    out.NumOfBytes = n;
    return static_cast<quint32>(answer.size()) > capacity ? rp1210rc::MESSAGE_TOO_LONG : rp1210rc::OK;
}

// The outcome of one ioctl round trip.
struct IoctlAnswer {
    int state;
    bool disconnected;  // the client left while no answer had come
};

IoctlAnswer roundTrip(GestorRP1210& g, Cliente& c, int limitSeconds, const std::function<void()>& send)
{
    // The disconnect raises its flag and wakes the waits: a long wait ends with it.
    const AnswerWait::Result r = AnswerWait(g, c, SERV_IOCTL, EndsEarlyOn::Disconnect).request(limitSeconds, send);
    // Here an answer outranks a disconnect that came with it.
    return {r.state, r.state == RESP_SERV_PENDING && r.clientLeft};
}

}  // namespace

short GestorRP1210::RP1210_Ioctl(short clientId, qint32 ioctlId, void* input, void* output)
{
    if (clientId < 1 || clientId > kMaxClients)
        return rp1210rc::INVALID_CLIENT_ID;
    Cliente* c = getCliente(static_cast<quint8>(clientId));
    if (!c->getConectado())
        return rp1210rc::CLIENT_DISCONNECTED;

    const quint8 id = c->getIdCliente();
    const quint8 protocolo = c->getProtocolo();
    auto* list = static_cast<SCONFIG_LIST*>(input);
    auto* in = static_cast<SBYTE_ARRAY*>(input);
    auto* out = static_cast<SBYTE_ARRAY*>(output);

    // Maps a finished round trip; `negative` replaces 511 (a negative or unknown answer).
    auto mapped = [&](const IoctlAnswer& a, short negative) -> short {
        if (a.disconnected)
            return rp1210rc::CLIENT_DISCONNECTED;
        const short rc = checkLinkAnswer(a.state, c);
        return rc == rp1210rc::ADAPTER_NEGATIVE ? negative : rc;
    };

    switch (ioctlId) {
    case IOCTL_GET_CONFIG: {
        if (!validList(list))
            return rp1210rc::NULL_PARAMETER;
        const IoctlAnswer a = roundTrip(*this, *c, kGetConfigLimitS, [&] {
            output_->GenerarTrama_SET_GET_IOCTL(id, protocolo, IOCTL_GET_CONFIG, list);
        });
        if (a.state != RESP_SERV_OK)
            return mapped(a, rp1210rc::ADAPTER_NEGATIVE);
        // A parameter the answer did not name reads 0.
        for (quint32 i = 0; i < list->NumOfParams; ++i)
            list->ConfigPtr[i].Value = c->get_IOCTL_SingleParam(list->ConfigPtr[i].Parameter);
        return rp1210rc::OK;
    }
    case IOCTL_SET_CONFIG: {
        if (!validList(list))
            return rp1210rc::NULL_PARAMETER;
        const IoctlAnswer a = roundTrip(*this, *c, kSetConfigLimitS, [&] {
            output_->GenerarTrama_SET_GET_IOCTL(id, protocolo, IOCTL_SET_CONFIG, list);
        });
        return mapped(a, rp1210rc::COMMAND_NOT_SUPPORTED);
    }
    case IOCTL_FIVE_BAUD_INIT:
    case IOCTL_FAST_INIT: {
        if (!validInput(in) || out == nullptr)
            return rp1210rc::NULL_PARAMETER;
        const bool fiveBaud = ioctlId == IOCTL_FIVE_BAUD_INIT;
        // Five-baud initialisation sends exactly one address byte.
        if (fiveBaud && in->NumOfBytes != 1)
            return rp1210rc::COMMAND_NOT_SUPPORTED;
        const quint32 capacity = capacityOf(out);
        const IoctlAnswer a = roundTrip(*this, *c, fiveBaud ? kFiveBaudLimitS : kDefaultLimitS, [&] {
            output_->GenerarTrama_IOCTL_INIT(id, protocolo, static_cast<quint8>(ioctlId), in, out);
        });
        if (a.state != RESP_SERV_OK)
            return mapped(a, rp1210rc::ADAPTER_NEGATIVE);
        return copyAnswer(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG(), *out, capacity);
    }
    case IOCTL_INIT_NO_WAIT:
        if (!validInput(in))
            return rp1210rc::NULL_PARAMETER;
        output_->GenerarTrama_IOCTL_INIT(id, protocolo, IOCTL_INIT_NO_WAIT, in, nullptr);
        return rp1210rc::OK;
    case IOCTL_REQUEST_COMMANDS:
    case IOCTL_TEARDOWN_CONNECTION:
    case IOCTL_REQUEST_CONNECTION: {
        if (!validInput(in))
            return rp1210rc::NULL_PARAMETER;
        const IoctlAnswer a = roundTrip(*this, *c, kDefaultLimitS, [&] {
            output_->GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(
                id, protocolo, static_cast<IDS_RP1210_IOCTL>(ioctlId), in);
        });
        return mapped(a, rp1210rc::OK);
    }
    case IOCTL_BECOME_MASTER: {
        if (!validInput(in))
            return rp1210rc::NULL_PARAMETER;
        const IoctlAnswer a = roundTrip(*this, *c, kDefaultLimitS,
                                        [&] { output_->GenerarTrama_IOCTL_BecomeMaster(id, protocolo, in, out); });
        return mapped(a, rp1210rc::COMMAND_NOT_SUPPORTED);
    }
    case IOCTL_SET_POLL_RESPONSE: {
        if (!validInput(in))
            return rp1210rc::NULL_PARAMETER;
        const IoctlAnswer a = roundTrip(*this, *c, kDefaultLimitS, [&] {
            output_->GenerarTrama_IOCTL_INIT(id, protocolo, IOCTL_SET_POLL_RESPONSE, in, out);
        });
        return mapped(a, rp1210rc::ADAPTER_NEGATIVE);
    }
    case IOCTL_SEND_PULSES: {
        if (!validInput(in) || out == nullptr)
            return rp1210rc::NULL_PARAMETER;
        if (in->NumOfBytes == 0)
            return rp1210rc::COMMAND_NOT_SUPPORTED;
        const quint32 capacity = capacityOf(out);
        // The adapter answers once every pulse has been sent.
        const int limit = kPulsesBaseLimitS + pulseTotal(*in);
        const IoctlAnswer a = roundTrip(*this, *c, limit,
                                        [&] { output_->GenerarTrama_IOCTL_SendPulses(id, protocolo, in, out); });
        if (a.state != RESP_SERV_OK)
            return mapped(a, rp1210rc::ADAPTER_NEGATIVE);
        return copyAnswer(c->GetSendPulsesInit_Response(), *out, capacity);
    }
    default:
        return rp1210rc::INVALID_IOCTL_ID;
    }
}
