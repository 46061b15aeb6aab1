// The driver's devices as the vendor INI describes them, and the settings a device's
// "DeviceParams" carry: "Key=Value" pairs separated by ';'.
//
//   Bus=Simulator            the simulated vehicle on the software adapter
//   Plugin=socketcan         a CAN interface through a Qt Serial Bus plugin (socketcan,
//   Interface=can0             peakcan, virtualcan, ...) and its interface name; the
//                              software adapter runs J1939, CAN and ISO 15765 over it
//   AdapterType=A            the interface letter the adapter reports (X, J, A, K, L, E)
//   AdapterVersion=7         its version; with the letter it fixes the adapter generation
//   TimestampUnitUs=1000     one timestamp count, in microseconds
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace rp1210core::api {

// Codes of the driver's devices, beyond those of the core.
namespace apirc {
enum : short {
    INVALID_DEVICE = 134,      // no such device in the vendor INI
    DEVICE_IN_USE = 135,       // another device is open: the core drives one adapter
    BUS_OFF = 151,             // the CAN interface is bus-off: nothing can be sent
    INI_FILE_NOT_FOUND = 202,  // RP1210C ERR_INI_FILE_NOT_IN_WIN_DIR
    INVALID_KEY_STRING = 206,  // a device's DeviceParams cannot be used
};
}  // namespace apirc

// The texts of the codes above; null for any other code.
const char* iniErrorText(short code);

struct DeviceSettings {
    enum class Bus { Simulator, QtCan };
    Bus bus = Bus::Simulator;
    QString plugin, interface;  // QtCan
    QString adapterType = QStringLiteral("A");
    int adapterVersion = 7;
    int timestampUnitUs = 1000;
};

// 0 and the settings, or INVALID_KEY_STRING for an unknown key, a bad value or a
// malformed pair. Empty text gives the defaults.
short parseDeviceParams(const QString& text, DeviceSettings* out);

// Whether a device of these settings carries the protocol (a CAN interface only the CAN
// family); the INI lists and the connect refuse the others.
bool deviceCarries(const DeviceSettings& settings, quint8 protocol);

struct DeviceEntry {
    int id = 0;
    QString name;
    QString description;
    QString params;  // DeviceParams
};

// The devices this build offers, in INI order; device 1 is the default.
std::vector<DeviceEntry> builtInDevices();

}  // namespace rp1210core::api
