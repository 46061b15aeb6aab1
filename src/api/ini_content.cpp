#include "api/ini_content.h"

#include "adapter/adapter_clients.h"
#include "adapter/adapter_speeds.h"
#include "common/protocols.h"
#include "rp1210/connect_keywords.h"

#include <QStringList>

namespace rp1210core::api {

namespace {

const char* describe(enu_GATEWAY_Protocolo p)
{
    switch (p) {
    case PROTOCOLO_J1939:
        return "SAE J1939 with transport protocol and address claim";
    case PROTOCOLO_CAN:
        return "Raw CAN, 11- and 29-bit identifiers";
    case PROTOCOLO_ISO15765:
    case PROTOCOLO_ISO15765_ALT:
        return "ISO 15765-2 transport on CAN";
    case PROTOCOLO_J1708:
        return "SAE J1708 / J1587";
    case PROTOCOLO_CAT:
        return "J1708 with CAT data link framing";
    case PROTOCOLO_J1850:
        return "SAE J1850";
    case PROTOCOLO_KWP2000:
        return "ISO 14230 (KWP2000) on K-line";
    default:
        return "ISO 9141 family on K-line";
    }
}

// What the parser reports for a keyword (the ZF J1708 variant reaches callers as ISO 9141-1).
enu_GATEWAY_Protocolo reported(enu_GATEWAY_Protocolo p)
{
    return p == PROTOCOLO_ZF_J1708 ? PROTOCOLO_ISO9141_1 : p;
}

// Every "Baud=" value the parser accepts for the keyword and the adapter runs it at. A
// keyword whose own speed no "Baud=" value names (J1850 PWM) lists just that rate.
QStringList speedsOf(const internal::ConnectKeyword& k)
{
    const enu_GATEWAY_Protocolo p = reported(k.protocolo);
    bool ownNamed = false;
    for (const internal::ConnectBaudText& b : internal::connectBaudTexts())
        ownNamed = ownNamed || b.velocidad == k.velocidad;
    if (!ownNamed)
        return {QString::number(adapter::AdapterClients::bitrate(k.velocidad))};
    QStringList out;
    for (const internal::ConnectBaudText& b : internal::connectBaudTexts()) {
        if (adapter::acceptsSpeed(p, b.velocidad))
            out.append(QString::fromLatin1(b.text).mid(5));  // after "Baud="
    }
    if (internal::isCanFamily(p)) {
        out.append(QStringLiteral("1000"));  // 1 Mbit/s for the CAN family
        out.append(QStringLiteral("Auto"));
    }
    out.removeDuplicates();
    return out;
}

QByteArray join(const QStringList& lines)
{
    return (lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n")).toUtf8();
}

}  // namespace

QByteArray systemIniText()
{
    return join({QStringLiteral("[RP1210Support]"),
                 QStringLiteral("APIImplementations=%1").arg(QLatin1String(kImplementationName))});
}

QByteArray vendorIniText(const std::vector<DeviceEntry>& devices)
{
    QStringList deviceIds;
    for (const DeviceEntry& d : devices)
        deviceIds.append(QString::number(d.id));

    // Each protocol names the devices that carry it; one no device carries is not listed.
    std::vector<DeviceSettings> settings;
    for (const DeviceEntry& d : devices) {
        DeviceSettings s;
        parseDeviceParams(d.params, &s);
        settings.push_back(s);
    }
    QStringList protocols;
    QStringList sections;
    int n = 0;
    for (const internal::ConnectKeyword& k : internal::connectKeywords()) {
        if (k.protocolo == PROTOCOLO_NULL)
            continue;
        QStringList carriers;
        for (size_t i = 0; i < devices.size(); ++i)
            if (deviceCarries(settings[i], reported(k.protocolo)))
                carriers.append(QString::number(devices[i].id));
        if (carriers.isEmpty())
            continue;
        ++n;
        protocols.append(QString::number(n));
        sections << QString() << QStringLiteral("[ProtocolInformation%1]").arg(n)
                 << QStringLiteral("ProtocolString=%1").arg(QLatin1String(k.text))
                 << QStringLiteral("ProtocolDescription=%1").arg(QLatin1String(describe(reported(k.protocolo))))
                 << QStringLiteral("ProtocolSpeed=%1").arg(speedsOf(k).join(QLatin1Char(',')))
                 << QStringLiteral("ProtocolParams=") << QStringLiteral("Devices=%1").arg(carriers.join(QLatin1Char(',')));
    }

    QStringList lines{
        QStringLiteral("[VendorInformation]"),
        QStringLiteral("Name=TRAVONE RP1210 driver"),
        QStringLiteral("Address="),
        QStringLiteral("City="),
        QStringLiteral("State="),
        QStringLiteral("Country="),
        QStringLiteral("Postal="),
        QStringLiteral("Telephone="),
        QStringLiteral("Fax="),
        QStringLiteral("VendorURL="),
        QStringLiteral("Version=%1").arg(QLatin1String(RP1210_DRIVER_VERSION)),
        QStringLiteral("RP1210=C"),
        QStringLiteral("TimestampWeight=1000"),  // microseconds per count, as the devices run
        QStringLiteral("AutoDetectCapable=no"),
        QStringLiteral("CANAutoBaud=TRUE"),
        QStringLiteral("CANFormatsSupported=1,2"),
        QStringLiteral("J1939FormatsSupported=1,2"),
        QStringLiteral("J1708FormatsSupported=1,2"),
        QStringLiteral("ISO15765FormatsSupported=1,2"),
        QStringLiteral("Devices=%1").arg(deviceIds.join(QLatin1Char(','))),
        QStringLiteral("Protocols=%1").arg(protocols.join(QLatin1Char(','))),
    };
    for (const DeviceEntry& d : devices) {
        lines << QString() << QStringLiteral("[DeviceInformation%1]").arg(d.id) << QStringLiteral("DeviceID=%1").arg(d.id)
              << QStringLiteral("DeviceName=%1").arg(d.name) << QStringLiteral("DeviceDescription=%1").arg(d.description)
              << QStringLiteral("MultiCANChannels=1") << QStringLiteral("MultiJ1939Channels=1")
              << QStringLiteral("MultiISO15765Channels=1") << QStringLiteral("DeviceParams=%1").arg(d.params);
    }
    lines << sections;
    return join(lines);
}

}  // namespace rp1210core::api
