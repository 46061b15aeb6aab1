// Pin multiplexer command tables: protocol and pin pair to a five-character command.
#pragma once

#include <rp1210core/export.h>

#include <QString>

// Entry index = first pin * 16 + second pin; empty entries mean "not routable".
RP1210CORE_EXPORT extern const QString multpiplexCmmd_K[256];
RP1210CORE_EXPORT extern const QString multpiplexCmmd_J1708[256];
RP1210CORE_EXPORT extern const QString multpiplexCmmd_CAN[256];
RP1210CORE_EXPORT extern const QString multpiplexCmmd_CAN_ISOLATED_GROUNDS[256];

// The multiplexer command for a protocol and pin pair, or an empty text when the
// combination is not supported (pins outside 0..15, protocol above 33 included).
RP1210CORE_EXPORT QString getMUXCommand(unsigned char protocolo, int pin1, int pin2, bool volts24);
