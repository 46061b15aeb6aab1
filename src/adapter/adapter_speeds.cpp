#include "adapter/adapter_speeds.h"

#include "adapter/adapter_clients.h"
#include "rp1210/speeds.h"

#include <rp1210core/types.h>

namespace rp1210core::adapter {

bool carriesProtocol(quint8 protocol)
{
    return AdapterClients::busOf(protocol) != AdapterClients::Bus::None;
}

bool acceptsSpeed(quint8 protocol, quint8 speed)
{
    switch (AdapterClients::busOf(protocol)) {
    case AdapterClients::Bus::Can:
        // The CAN rates of the vehicle networks, high-speed and the 666 kbit/s powertrain bus.
        return speed == VELOCIDAD_125000 || speed == VELOCIDAD_250000 || speed == VELOCIDAD_500000 ||
               speed == VELOCIDAD_666666 || speed == VELOCIDAD_1000000;
    case AdapterClients::Bus::J1708:
        // J1708 runs at 9600, the faster rates are those RP1210 lets an application set;
        // CAT's data link runs at 62500.
        return speed == VELOCIDAD_9600 || speed == VELOCIDAD_19200 || speed == VELOCIDAD_38400 ||
               speed == VELOCIDAD_57600 || speed == VELOCIDAD_115200 ||
               (speed == VELOCIDAD_62500 && protocol == PROTOCOLO_CAT);
    case AdapterClients::Bus::KLine:
        // The line rates the core marks as K-line ones, ALDL's and J2610's among them; the
        // PWM and 5-baud marks name no UART rate.
        return internal::isKLineBaudRate(speed) && speed != VELOCIDAD_J1850_PWM && speed != VELOCIDAD_5 &&
               AdapterClients::bitrate(speed) != 0;
    case AdapterClients::Bus::J1850:
        return speed == VELOCIDAD_10400 || speed == VELOCIDAD_J1850_PWM;
    case AdapterClients::Bus::None:
        break;
    }
    return false;
}

quint8 speedCodeOf(quint8 protocol, quint32 bitrate)
{
    if (bitrate == 0)
        return 0;
    for (int code = 0; code <= 0xFF; ++code)
        if (AdapterClients::bitrate(quint8(code)) == bitrate && acceptsSpeed(protocol, quint8(code)))
            return quint8(code);
    return 0;
}

}  // namespace rp1210core::adapter
