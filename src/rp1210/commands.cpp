// RP1210_SendCommand: entry checks and dispatch, the client settings, the speed
// changes and the device reset. Filter commands live in filter_commands.cpp, the
// transport-layer ones in transport_commands.cpp, broadcasts in broadcast.cpp.
//
// Every command reads only the bytes the caller gave: a command that needs more
// than `size` bytes, a negative size, or a null buffer with a size is refused with
// 144 before anything changes or is sent.
#include "rp1210/gestor_rp1210.h"

#include "common/protocols.h"
#include "common/wire_format.h"

#include "link/byte_order.h"
#include "link/igestor_output.h"
#include "rp1210/speeds.h"

#include <cstring>

using namespace rp1210core::internal;

namespace {

constexpr int kSetBaudLimitS = 7;
constexpr int kResetSettleLimitS = 5;
constexpr int kResetStatusLimitS = 2;
constexpr int kComChannelWireless = 3;

// Command numbers handled here (the rest are in filter_commands.cpp and
// transport_commands.cpp, or go to the broadcast handlers).
enum Command : short {
    kResetDevice = 0,
    kSetAllFiltersToPass = 3,
    kFilterJ1939 = 4,
    kFilterCan = 5,
    kFilterJ1708 = 7,
    kFilterJ1850 = 8,
    kFilterIso15765 = 9,
    kSetJ1708Mode = 15,
    kEchoTransmitted = 16,
    kSetAllFiltersToDiscard = 17,
    kSetMessageReceive = 18,
    kProtectJ1939Address = 19,
    kBroadcastJ1708 = 20,
    kBroadcastCan = 21,
    kBroadcastJ1939 = 22,
    kBroadcastJ1850 = 23,
    kFilterTypeJ1708 = 24,
    kFilterTypeJ1939 = 25,
    kFilterTypeCan = 26,
    kJ1939InterpacketTime = 27,
    kMaxErrorMsgSize = 28,
    kDisallowConnections = 29,
    kFilterTypeJ1850 = 30,
    kReleaseJ1939Address = 31,
    kFilterTypeIso15765 = 32,
    kBroadcastIso15765 = 33,
    kSetIso15765FlowControl = 34,
    kClearIso15765FlowControl = 35,
    kSetJ1939Baud = 37,
    kSetIso15765Baud = 38,
    kFlushBuffers = 39,
    kBroadcastIso9141 = 41,
    kBroadcastKwp2000 = 42,
    kGetConnectionSpeed = 45,
    kSetIso9141Mode = 46,
    kSetCanBaud = 47,
    kGetWirelessState = 48,
    kFilterCdl = 211,
    kSetBlockingTimeout = 215,
    kSetJ1708Baud = 305,
    kSetProtocolBaud = 1000,
    kSetPaddingIso15765 = 1001,
    kSetRemoteCanMessage = 1002,
    kSetCanFirstConsecutiveFrame = 1003,
};

// The caller's command buffer: checks how many bytes may be read from it.
struct CommandData {
    const char* data;
    short size;

    // No negative size, and no null buffer that claims bytes.
    bool valid() const { return size >= 0 && (data != nullptr || size == 0); }
    bool has(int n) const { return valid() && size >= n; }
    quint8 byte(int i) const { return static_cast<quint8>(data[i]); }
};

// Command 1000 takes the speed value itself; the CAN family speeds and the
// values without a K-line meaning are refused.
enu_GATEWAY_Velocidad translateSpeed_SetProtocolBaud(quint8 code)
{
    if ((code >= VELOCIDAD_200 && code <= VELOCIDAD_57600) || code == VELOCIDAD_115200 ||
        code == VELOCIDAD_J1850_PWM || (code >= VELOCIDAD_5 && code <= VELOCIDAD_7812))
        return static_cast<enu_GATEWAY_Velocidad>(code);
    return VELOCIDAD_NINGUNA;
}

// Commands that act on the manager or the adapter as a whole, or check the slot
// themselves (the device reset answers 148 for a client that is not connected).
bool needsNoConnectedSlot(short command)
{
    return command == kResetDevice || command == kMaxErrorMsgSize || command == kDisallowConnections ||
           command == kGetWirelessState;
}

bool filterTypeFits(short command, quint8 protocolo)
{
    switch (command) {
    case kFilterTypeJ1708: return protocolo == PROTOCOLO_J1708;
    case kFilterTypeJ1939: return protocolo == PROTOCOLO_J1939;
    case kFilterTypeCan: return protocolo == PROTOCOLO_CAN;
    case kFilterTypeJ1850: return protocolo == PROTOCOLO_J1850;
    case kFilterTypeIso15765: return isIso15765Family(protocolo);
    default: return false;
    }
}

// A speed change: byte 0 goes to the adapter unchanged, byte 1 is the speed code.
// The new speed is stored whatever the adapter answers.
short changeSpeed(GestorRP1210& g, Cliente* cliente, const CommandData& cmd,
                  enu_GATEWAY_Velocidad (*translate)(quint8), short unknownSpeed)
{
    if (!cmd.has(2))
        return rp1210rc::INVALID_COMMAND;
    const quint8 protocolo = cliente->getProtocolo();
    // The speed is the adapter's, shared by every client of the protocol.
    if (g.otrosClientesConProtocolo(protocolo) != 1)
        return rp1210rc::MULTIPLE_CLIENTS_CONNECTED;
    const enu_GATEWAY_Velocidad velocidad = translate(cmd.byte(1));
    if (velocidad == VELOCIDAD_NINGUNA)
        return unknownSpeed;
    const quint8 speedArg = cmd.byte(0);
    const short result =
        AnswerWait(g, *cliente, SERV_SET_BAUD, EndsEarlyOn::Nothing).request(kSetBaudLimitS, [&] {
            g.getIGestorOutput()->GenerarTrama_SetBaud(cliente->getIdCliente(), protocolo, speedArg,
                                                        static_cast<quint8>(velocidad));
        }).code;
    cliente->setProtocolSpeed(velocidad);
    return result;
}

}  // namespace

short GestorRP1210::RP1210_SendCommand(short command, short clientId, char* data, short size)
{
    // Range-check before narrowing: client 257 must not become client 1.
    Cliente* cliente =
        (clientId >= 1 && clientId <= kMaxClients) ? getCliente(static_cast<quint8>(clientId)) : nullptr;
    // Held through every answer wait: commands of all clients run one at a time.
    MutexLocker lock(commandLock_);
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (linkError_ != 0)
        return static_cast<short>(linkError_.load());
    if (!output_)
        return rp1210rc::DLL_NOT_INITIALIZED;
    // A free slot belongs to no client: its settings are reset by the next connect, and a
    // speed change for it would move the bus of another client of its old protocol.
    if (!cliente->getConectado() && !needsNoConnectedSlot(command))
        return rp1210rc::INVALID_CLIENT_ID;

    const CommandData cmd{data, size};
    const quint8 id = cliente->getIdCliente();
    const quint8 protocolo = cliente->getProtocolo();

    switch (command) {
    case kResetDevice:
        return Cmd_ResetDevice(cliente);

    case kSetAllFiltersToPass:
        cliente->deleteAllFilters();
        cliente->setFilterState(1);
        return 0;

    case kFilterJ1939:
    case kFilterCan:
    case kFilterJ1708:
    case kFilterJ1850:
    case kFilterIso15765:
    case kSetAllFiltersToDiscard:
    case kFilterCdl:
        return dispatchFilterCommand(command, cliente, data, size);

    case kSetJ1708Mode:
        if (!cmd.has(1))
            return rp1210rc::INVALID_COMMAND;
        cliente->setJ1708Mode(cmd.byte(0));
        return 0;

    case kEchoTransmitted: {
        if (!cmd.has(1))
            return rp1210rc::INVALID_COMMAND;
        const char v = data[0];
        if (v == 0 || v == '0') {
            cliente->setEchoMode(false);
            return 0;
        }
        if (v != 1 && v != '1')
            return rp1210rc::INVALID_COMMAND;
        // Messages queued before echo was on would come back without their echo byte.
        cliente->deleteMsjRecibido();
        cliente->deleteMsjSaliente();
        output_->removeClientMessages(id);
        cliente->setEchoMode(true);
        return 0;
    }

    case kSetMessageReceive:
        if (!cmd.has(1) || cmd.byte(0) > 1)
            return rp1210rc::INVALID_COMMAND;
        cliente->setMessageReceive(cmd.byte(0) == 1);
        return 0;

    case kProtectJ1939Address:
        if (!cmd.valid() || size != 10)
            return rp1210rc::INVALID_COMMAND;
        return Cmd_Protect_J1939_Address(cliente, data);

    case kBroadcastJ1708:
    case kBroadcastJ1939:
    case kBroadcastJ1850:
    case kBroadcastIso15765:
        if (!cmd.valid())
            return rp1210rc::INVALID_COMMAND;
        return static_cast<short>(Cmd_Set_Broadcast_Msg(cliente, data, size));

    case kBroadcastCan:
    case kBroadcastIso9141:
    case kBroadcastKwp2000:
        if (!cmd.valid())
            return rp1210rc::INVALID_COMMAND;
        return static_cast<short>(broadcast_Link(cliente, data, size));

    case kFilterTypeJ1708:
    case kFilterTypeJ1939:
    case kFilterTypeCan:
    case kFilterTypeJ1850:
    case kFilterTypeIso15765:
        if (!filterTypeFits(command, protocolo) || !cmd.has(1))
            return rp1210rc::INVALID_COMMAND;
        cliente->deleteAllFilters();
        cliente->setFilterMode(cmd.byte(0));
        return 0;

    case kJ1939InterpacketTime:
        if (!cmd.valid() || size != 4)
            return rp1210rc::INVALID_COMMAND;
        return Cmd_Set_J1939_Interpacket_Time(cliente, data);

    case kMaxErrorMsgSize:
        if (!cmd.valid() || size != 2)
            return rp1210rc::INVALID_COMMAND;
        return errores_.setMaxErrorMsgSize(readWORD(reinterpret_cast<const unsigned char*>(data), 0));

    case kDisallowConnections:
        if (numeroClientesConectados() > 1)
            return rp1210rc::MULTIPLE_CLIENTS_CONNECTED;
        connectionsDisallowed_ = true;
        return 0;

    case kReleaseJ1939Address:
        if (!cmd.has(1))
            return rp1210rc::INVALID_COMMAND;
        return Cmd_Release_J1939_Address(cliente, data[0]);

    case kSetIso15765FlowControl: {
        const short result = Cmd_ISO15765_Flow_Control(cliente, data, size);
        return result == rp1210rc::ADAPTER_NEGATIVE ? short(rp1210rc::INVALID_COMMAND) : result;
    }

    case kClearIso15765FlowControl:
        return Cmd_ISO15765_Clear_Flow_Control(cliente);

    case kSetJ1939Baud:
        return changeSpeed(*this, cliente, cmd, translateSpeed_SetBaud_CAN, rp1210rc::J1939_BAUD_NONSTANDARD);
    case kSetIso15765Baud:
        return changeSpeed(*this, cliente, cmd, translateSpeed_SetBaud_CAN, rp1210rc::ISO15765_BAUD_NONSTANDARD);
    case kSetCanBaud:
        return changeSpeed(*this, cliente, cmd, translateSpeed_SetBaud_CAN, rp1210rc::CAN_SPEED_MISMATCH);
    case kSetJ1708Baud:
        return changeSpeed(*this, cliente, cmd, translateSpeed_SetBaud_J1708, rp1210rc::J1708_BAUD_NONSTANDARD);
    case kSetProtocolBaud:
        return changeSpeed(*this, cliente, cmd, translateSpeed_SetProtocolBaud, rp1210rc::KLINE_BAUD_NOT_SUPPORTED);

    case kFlushBuffers:
        cliente->deleteMsjSaliente();
        cliente->deleteMsjRecibido();
        output_->removeClientMessages(id);
        return 0;

    case kGetConnectionSpeed: {
        const quint8 velocidad = static_cast<quint8>(cliente->getProtocolSpeed());
        // The text and its terminating zero must fit the caller's buffer.
        if (!cmd.has(static_cast<int>(std::strlen(speedText(velocidad))) + 1))
            return rp1210rc::INVALID_COMMAND;
        EnumSpeed_to_StringValue(velocidad, data);
        return 0;
    }

    case kSetIso9141Mode: {
        if (!cmd.has(1))
            return rp1210rc::INVALID_COMMAND;
        // Byte 0 is compared as a signed byte: 128 and above never match the stored
        // mode, so such a mode is always sent again.
        const int requested = static_cast<qint8>(data[0]);
        if (requested == static_cast<int>(cliente->getISO9141_KWP200_Mode()))
            return 0;
        cliente->setISO9141_KWP200_Mode(cmd.byte(0));
        output_->GenerarTrama_CambioModo(id, protocolo, cmd.byte(0));
        return 0;
    }

    case kGetWirelessState:
        return output_->getComChannel() == kComChannelWireless ? 0 : 1;

    case kSetBlockingTimeout:
        if (!cmd.has(2))
            return rp1210rc::INVALID_COMMAND;
        // Applications pass both factors as unsigned bytes: {1, 200} is 200 ms.
        cliente->setBlockingTimeout(quint32(cmd.byte(0)) * cmd.byte(1));
        return 0;

    case kSetPaddingIso15765: {
        const short result = Cmd_Set_Padding_ISO15765(cliente, data, size);
        return result == rp1210rc::ADAPTER_NEGATIVE ? short(rp1210rc::INVALID_COMMAND) : result;
    }
    case kSetRemoteCanMessage:
        return Cmd_Set_Remote_CAN_Message(cliente, data, size);
    case kSetCanFirstConsecutiveFrame:
        return Cmd_Set_Can_First_Consecutive_Frame_Value(cliente, data, size);

    default:
        return rp1210rc::COMMAND_NOT_SUPPORTED;
    }
}

short GestorRP1210::Cmd_ResetDevice(Cliente* cliente)
{
    // Inside the command lock; nothing takes the two in the other order.
    MutexLocker lock(connectionLock_);
    if (numeroClientesConectados() != 1)
        return rp1210rc::MULTIPLE_CLIENTS_CONNECTED;
    if (!cliente || cliente->getIdCliente() < 1 || cliente->getIdCliente() > kMaxClients)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!cliente->getConectado())
        return rp1210rc::CLIENT_DISCONNECTED;
    if (!output_)
        return rp1210rc::DLL_NOT_INITIALIZED;

    output_->removeAllOutputMessages();
    output_->GenerarTrama_ResetearTravoneLink();
    cliente->setConectado(false);

    // The client was just marked not connected: only the answer or the limit ends these.
    AnswerWait status(*this, isHardwareStatusEnded, cliente, EndsEarlyOn::Nothing);
    // Let the adapter restart: a slot left at 0 by an earlier status answer holds the
    // wait for its full length, one still pending from creation lets it pass at once.
    status.waitWhileState(RESP_SERV_OK, kResetSettleLimitS);

    // The adapter is back once it answers a status request.
    const short result =
        status.request(kResetStatusLimitS, [&] { output_->GenerarTrama_GetHardwareStatus(wire::kAllClients); }).code;
    // The reset ended the only connection as a last disconnect would: connections are
    // allowed again and the link is released, so the next connect opens it afresh. Only
    // after the status wait, which needs both threads.
    connectionsDisallowed_ = false;
    closeLinkIfIdle();
    return result;
}
