// Speed values: their decimal texts, the RP1210 baud codes and the K-line mark.
#pragma once

#include <rp1210core/types.h>

namespace rp1210core::internal {

// Writes the decimal text of a speed value and a terminating zero (at most 8 bytes);
// an empty text for values without one.
void EnumSpeed_to_StringValue(unsigned char velocidad, char* out);
// The decimal text of a speed value ("" for values without one).
const char* speedText(unsigned char velocidad);
// Speed for an RP1210 J1708 / CAN baud code, VELOCIDAD_NINGUNA when the code has none.
enu_GATEWAY_Velocidad translateSpeed_SetBaud_J1708(unsigned char code);
enu_GATEWAY_Velocidad translateSpeed_SetBaud_CAN(unsigned char code);
bool isKLineBaudRate(unsigned char velocidad);

}  // namespace rp1210core::internal
