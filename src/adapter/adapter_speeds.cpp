#include "adapter/adapter_speeds.h"

#include "adapter/adapter_clients.h"
#include "common/protocols.h"

#include <rp1210core/types.h>

namespace rp1210core::adapter {

bool carriesProtocol(quint8 protocol)
{
    return AdapterClients::onCanBus(protocol) || AdapterClients::onJ1708Bus(protocol);
}

bool acceptsSpeed(quint8 protocol, quint8 speed)
{
    if (AdapterClients::onCanBus(protocol)) {
        // The CAN rates of the vehicle networks, high-speed and the 666 kbit/s powertrain bus.
        switch (speed) {
        case VELOCIDAD_125000:
        case VELOCIDAD_250000:
        case VELOCIDAD_500000:
        case VELOCIDAD_666666:
        case VELOCIDAD_1000000:
            return true;
        default:
            return false;
        }
    }
    if (AdapterClients::onJ1708Bus(protocol)) {
        // J1708 runs at 9600, the faster rates are those RP1210 lets an application set;
        // CAT's data link runs at 62500.
        switch (speed) {
        case VELOCIDAD_62500:
            return protocol == PROTOCOLO_CAT;
        case VELOCIDAD_9600:
        case VELOCIDAD_19200:
        case VELOCIDAD_38400:
        case VELOCIDAD_57600:
        case VELOCIDAD_115200:
            return true;
        default:
            return false;
        }
    }
    return false;
}

}  // namespace rp1210core::adapter
