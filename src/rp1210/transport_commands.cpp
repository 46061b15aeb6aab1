// Transport-layer commands: ISO 15765 flow control, padding and filters held in the
// adapter, remote CAN frames, J1939 interpacket time and address protect/release.
#include "rp1210/gestor_rp1210.h"

#include "link/igestor_output.h"

namespace {
constexpr int kIso15765FilterLimitS = 4;
constexpr int kFlowControlLimitS = 3;
constexpr int kTransportLimitS = 3;  // padding, remote CAN, first consecutive frame, interpacket time
constexpr int kProtectLimitS = 5;
constexpr int kProtectBlockingByte = 9;
constexpr int kPaddingBytes = 2;
}  // namespace

short GestorRP1210::Cmd_ISO15765_Clear_Filter(Cliente* cliente)
{
    // Also run by the client's disconnect, with its disconnect flag up: no early end.
    return AnswerWait(*this, iso15765FilterStatus, cliente, EndsEarlyOn::Nothing)
        .request(kIso15765FilterLimitS, [&] {
            output_->GenerarTrama_Set_ISO15765_Filter(cliente->getIdCliente(), cliente->getProtocolo(), 0, nullptr, 0);
        })
        .code;
}

short GestorRP1210::Cmd_ISO15765_Clear_Flow_Control(Cliente* cliente)
{
    // Also run by the client's disconnect, with its disconnect flag up: no early end.
    return AnswerWait(*this, *cliente, SERV_ISO15765_CLEAR_FLOW_CONTROL, EndsEarlyOn::Nothing)
        .request(kFlowControlLimitS,
                 [&] { output_->GenerarTrama_ISO15765_Clear_Flow_Control(cliente->getIdCliente()); })
        .code;
}

// The builders below read a fixed number of bytes from data (named in IGestorOutput);
// a shorter buffer is refused with 144 and nothing is sent.

short GestorRP1210::Cmd_ISO15765_Flow_Control(Cliente* cliente, const char* data, int size)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (size < 0 || (!data && size > 0))
        return rp1210rc::INVALID_COMMAND;
    return AnswerWait(*this, *cliente, SERV_ISO15765_FLOW_CONTROL, EndsEarlyOn::Nothing)
        .request(kFlowControlLimitS, [&] {
            output_->GenerarTrama_ISO15765_Flow_Control(cliente->getIdCliente(), cliente->getProtocolo(), data, size);
        })
        .code;
}

short GestorRP1210::Cmd_Set_Padding_ISO15765(Cliente* cliente, const char* data, int size)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!data || size < kPaddingBytes)
        return rp1210rc::INVALID_COMMAND;
    return AnswerWait(*this, *cliente, SERV_SET_PADDING_ISO15765, EndsEarlyOn::Nothing)
        .request(kTransportLimitS, [&] {
            output_->GenerarTrama_Set_Padding_ISO15765(cliente->getIdCliente(), cliente->getProtocolo(), data);
        })
        .code;
}

short GestorRP1210::Cmd_Set_Remote_CAN_Message(Cliente* cliente, const char* data, int size)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!data || size < 1)
        return rp1210rc::INVALID_COMMAND;
    return AnswerWait(*this, *cliente, SERV_SET_REMOTE_CAN_MESSAGE, EndsEarlyOn::Nothing)
        .request(kTransportLimitS, [&] {
            output_->GenerarTrama_Set_Remote_CAN_Message(cliente->getIdCliente(), cliente->getProtocolo(), data);
        })
        .code;
}

short GestorRP1210::Cmd_Set_Can_First_Consecutive_Frame_Value(Cliente* cliente, const char* data, int size)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!data || size < 1)
        return rp1210rc::INVALID_COMMAND;
    return AnswerWait(*this, *cliente, SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, EndsEarlyOn::Nothing)
        .request(kTransportLimitS, [&] {
            output_->GenerarTrama_Set_Can_First_Consecutive_Frame_Value(cliente->getIdCliente(),
                                                                        cliente->getProtocolo(), data);
        })
        .code;
}

// data: 4 bytes, the time in the caller's (little-endian) order.
short GestorRP1210::Cmd_Set_J1939_Interpacket_Time(Cliente* cliente, const char* data)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!data)
        return rp1210rc::INVALID_COMMAND;
    return AnswerWait(*this, *cliente, SERV_J1939_INTERPACKET_TIME, EndsEarlyOn::Nothing)
        .request(kTransportLimitS, [&] {
            output_->GenerarTrama_Set_J1939_Interpacket_Time(cliente->getIdCliente(), cliente->getProtocolo(), data);
        })
        .code;
}

// data: 10 bytes, address, 8-byte NAME, blocking mode. Only a blocking request (mode
// 0) waits; otherwise the state is read at once and is still pending unless the
// answer has already come. The answer, not this command, records the claim.
short GestorRP1210::Cmd_Protect_J1939_Address(Cliente* cliente, const char* data)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!data)
        return rp1210rc::INVALID_COMMAND;
    const int limit = data[kProtectBlockingByte] == 0 ? kProtectLimitS : 0;
    const short result =
        AnswerWait(*this, *cliente, SERV_PROTECT_J1939_ADDRESS, EndsEarlyOn::Nothing)
            .request(limit, [&] { output_->GenerarTrama_J1939_AdressClaim(cliente->getIdCliente(), data); })
            .code;
    return result == 0 ? 0 : rp1210rc::ADDRESS_CLAIM_FAILED;
}

// Local only: the adapter keeps no record of a release.
short GestorRP1210::Cmd_Release_J1939_Address(Cliente* cliente, char address)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (static_cast<quint8>(address) != cliente->get_J1939_Claim_Address_Value())
        return rp1210rc::CANNOT_RELEASE_ADDRESS;
    cliente->set_J1939_Claim_Address_Value(0);
    cliente->set_J1939_Claim_Address_State(0);
    return 0;
}
