// Transport-layer commands: ISO 15765 flow control, padding and filters held in the
// adapter, remote CAN frames, J1939 interpacket time and address protect/release.
#include "rp1210/gestor_rp1210.h"

#include "link/igestor_output.h"

namespace {
constexpr int kIso15765FilterLimitS = 4;
constexpr int kFlowControlLimitS = 3;
}  // namespace

short GestorRP1210::Cmd_ISO15765_Clear_Filter(Cliente* cliente)
{
    return requestSlotService(&GestorRP1210::setISO15765FilterStatus, &GestorRP1210::getISO15765FilterStatus, cliente,
                              kIso15765FilterLimitS, [&] {
                                  output_->GenerarTrama_Set_ISO15765_Filter(cliente->getIdCliente(),
                                                                            cliente->getProtocolo(), 0, nullptr, 0);
                              });
}

short GestorRP1210::Cmd_ISO15765_Clear_Flow_Control(Cliente* cliente)
{
    return requestClientService(cliente, SERV_ISO15765_CLEAR_FLOW_CONTROL, kFlowControlLimitS, [&] {
        output_->GenerarTrama_ISO15765_Clear_Flow_Control(cliente->getIdCliente());
    });
}
