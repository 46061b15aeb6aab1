// The text of the driver's two INI files, generated from the connect-string parser's
// tables, what the software adapter carries and the built-in devices, so the files
// cannot drift from what the driver accepts.
#pragma once

#include "api/devices.h"

#include <QByteArray>

namespace rp1210core::api {

inline constexpr char kImplementationName[] = "TRAVONE";

// RP121032.ini: the list of RP1210 implementations on the machine.
QByteArray systemIniText();
// TRAVONE.ini: vendor information, devices and protocols.
QByteArray vendorIniText(const std::vector<DeviceEntry>& devices);

}  // namespace rp1210core::api
