// What the software adapter carries: the protocols it connects and the speeds it runs
// each at. The connect answers and the vendor INI's protocol lists both come from here.
#pragma once

#include <QtGlobal>

namespace rp1210core::adapter {

bool carriesProtocol(quint8 protocol);
// A speed the adapter can run the protocol's bus at (the "leave it to the adapter"
// values Auto, All and none are not speeds and are not accepted here).
bool acceptsSpeed(quint8 protocol, quint8 speed);
// The speed code of `bitrate` bits/s for the protocol; 0 when it has none.
quint8 speedCodeOf(quint8 protocol, quint32 bitrate);

}  // namespace rp1210core::adapter
