#include "api/devices.h"

#include "adapter/adapter_clients.h"
#include "adapter/adapter_speeds.h"

namespace rp1210core::api {

const char* iniErrorText(short code)
{
    switch (code) {
    case apirc::INI_FILE_NOT_FOUND:
        return "The driver's INI file was not found or cannot be read";
    case apirc::INVALID_KEY_STRING:
        return "The device's DeviceParams in the INI file are invalid";
    default:
        return nullptr;
    }
}

short parseDeviceParams(const QString& text, DeviceSettings* out)
{
    DeviceSettings s;
    bool simulatorNamed = false;
    for (const QString& raw : text.split(QLatin1Char(';'))) {
        const QString pair = raw.trimmed();
        if (pair.isEmpty())
            continue;
        const int eq = pair.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return apirc::INVALID_KEY_STRING;
        const QString key = pair.left(eq).trimmed();
        const QString value = pair.mid(eq + 1).trimmed();
        bool ok = true;
        if (key.compare(QLatin1String("Bus"), Qt::CaseInsensitive) == 0) {
            ok = value.compare(QLatin1String("Simulator"), Qt::CaseInsensitive) == 0;
            simulatorNamed = true;
        } else if (key.compare(QLatin1String("Plugin"), Qt::CaseInsensitive) == 0) {
            ok = !value.isEmpty();
            s.plugin = value.toLower();
            s.bus = DeviceSettings::Bus::QtCan;
        } else if (key.compare(QLatin1String("Interface"), Qt::CaseInsensitive) == 0) {
            ok = !value.isEmpty();
            s.interface = value;
        } else if (key.compare(QLatin1String("AdapterType"), Qt::CaseInsensitive) == 0) {
            // One letter: the core tells generations apart by it.
            ok = value.size() == 1 && value.at(0).isLetter();
            s.adapterType = value.toUpper();
        } else if (key.compare(QLatin1String("AdapterVersion"), Qt::CaseInsensitive) == 0) {
            s.adapterVersion = value.toInt(&ok, 10);
            ok = ok && s.adapterVersion >= 0 && s.adapterVersion <= 255;
        } else if (key.compare(QLatin1String("TimestampUnitUs"), Qt::CaseInsensitive) == 0) {
            s.timestampUnitUs = value.toInt(&ok, 10);
            ok = ok && s.timestampUnitUs >= 1 && s.timestampUnitUs <= 1000000;
        } else {
            ok = false;
        }
        if (!ok)
            return apirc::INVALID_KEY_STRING;
    }
    // A plugin needs its interface, an interface belongs to a plugin, and the simulator
    // has neither.
    if (s.plugin.isEmpty() != s.interface.isEmpty() || (simulatorNamed && !s.plugin.isEmpty()))
        return apirc::INVALID_KEY_STRING;
    *out = s;
    return 0;
}

bool deviceCarries(const DeviceSettings& settings, quint8 protocol)
{
    switch (settings.bus) {
    case DeviceSettings::Bus::QtCan:
        return adapter::AdapterClients::onCanBus(protocol);
    case DeviceSettings::Bus::Simulator:
        break;
    }
    return adapter::carriesProtocol(protocol);
}

std::vector<DeviceEntry> builtInDevices()
{
    // The simulator with the interface of each adapter generation, so applications can
    // be tried against every one; the first is the default.
    struct Row {
        const char* type;
        int version;
        const char* generation;
    };
    constexpr Row kRows[] = {
        {"A", 7, "generation 2"}, {"X", 0, "generation 0"}, {"J", 1, "generation 1"},
        {"K", 1, "generation 3"}, {"K", 2, "generation 4"},       {"E", 1, "generation 5"},
    };
    std::vector<DeviceEntry> out;
    int id = 1;
    for (const Row& r : kRows) {
        DeviceEntry d;
        d.id = id++;
        d.name = QStringLiteral("Simulator %1%2").arg(QLatin1String(r.type)).arg(r.version);
        d.description = QStringLiteral("Simulated vehicle on the software adapter, interface %1 version %2 (%3)")
                            .arg(QLatin1String(r.type))
                            .arg(r.version)
                            .arg(QLatin1String(r.generation));
        d.params = QStringLiteral("Bus=Simulator;AdapterType=%1;AdapterVersion=%2;TimestampUnitUs=1000")
                       .arg(QLatin1String(r.type))
                       .arg(r.version);
        out.push_back(d);
    }
    // CAN interfaces through Qt Serial Bus: the usual SocketCAN names, and Qt's virtual
    // bus, which needs no hardware.
    struct Interface {
        const char* plugin;
        const char* interface;
        const char* name;
        const char* description;
    };
    constexpr Interface kInterfaces[] = {
        {"socketcan", "can0", "SocketCAN can0", "SocketCAN interface can0 (set its rate with ip link)"},
        {"socketcan", "can1", "SocketCAN can1", "SocketCAN interface can1 (set its rate with ip link)"},
        {"virtualcan", "can0", "Virtual CAN can0", "Qt's virtual CAN bus can0 (TCP on 127.0.0.1:35468)"},
    };
    for (const Interface& i : kInterfaces) {
        DeviceEntry d;
        d.id = id++;
        d.name = QLatin1String(i.name);
        d.description = QLatin1String(i.description) + QStringLiteral(": J1939, CAN and ISO 15765");
        d.params = QStringLiteral("Plugin=%1;Interface=%2").arg(QLatin1String(i.plugin), QLatin1String(i.interface));
        out.push_back(d);
    }
    return out;
}

}  // namespace rp1210core::api
