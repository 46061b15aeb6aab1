// Facts about each network protocol that several parts of the core rely on.
#pragma once

#include <rp1210core/types.h>

namespace rp1210core::internal {

// The CAN family shares one bus speed on the adapter.
inline bool isCanFamily(int protocolo)
{
    return protocolo == PROTOCOLO_CAN || protocolo == PROTOCOLO_TP20 || protocolo == PROTOCOLO_J1939 ||
           protocolo == PROTOCOLO_ISO15765 || protocolo == PROTOCOLO_ISO15765_ALT;
}

inline bool isIso15765Family(int protocolo)
{
    return protocolo == PROTOCOLO_ISO15765 || protocolo == PROTOCOLO_ISO15765_ALT;
}

}  // namespace rp1210core::internal
