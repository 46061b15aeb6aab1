// The INI reader on any bytes, and the lookups the driver makes in the vendor file:
// the vendor section, a device's id and its DeviceParams, and the protocol lists.
#include "api/devices.h"
#include "api/ini_file.h"

#include <cstdint>

using namespace rp1210core::api;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const IniFile ini = IniFile::parse(QByteArray(reinterpret_cast<const char*>(data), int(size)));
    ini.hasSection(QStringLiteral("VendorInformation"));
    const QStringList devices = splitList(ini.value(QStringLiteral("VendorInformation"), QStringLiteral("Devices")));
    for (int i = 0; i < devices.size() && i < 8; ++i) {
        const QString section = QStringLiteral("DeviceInformation%1").arg(devices.at(i));
        ini.intValue(section, QStringLiteral("DeviceID"), -1);
        DeviceSettings settings;
        parseDeviceParams(ini.value(section, QStringLiteral("DeviceParams")), &settings);
    }
    const QStringList protocols = splitList(ini.value(QStringLiteral("VendorInformation"), QStringLiteral("Protocols")));
    for (int i = 0; i < protocols.size() && i < 8; ++i) {
        const QString section = QStringLiteral("ProtocolInformation%1").arg(protocols.at(i));
        splitList(ini.value(section, QStringLiteral("ProtocolSpeed")));
        splitList(ini.value(section, QStringLiteral("Devices")));
    }
    return 0;
}
