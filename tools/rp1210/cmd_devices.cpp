// rp1210 devices: the implementations RP121032.ini lists, their devices and protocols,
// from the INI files alone; then the CAN interfaces Qt Serial Bus finds, which a device's
// DeviceParams can name (Plugin=socketcan;Interface=can0).
#include "commands.h"

#include "api/ini_file.h"

#include <QCanBus>
#include <QDir>
#include <QLoggingCategory>
#include <QJsonArray>
#include <QJsonObject>

namespace rp1210tool {

using rp1210core::api::IniFile;
using rp1210core::api::splitList;

namespace {

QJsonObject implementation(Console& console, const QDir& dir, const QString& name)
{
    QJsonObject out{{QStringLiteral("implementation"), name}};
    IniFile ini;
    if (!IniFile::load(dir.filePath(name + QStringLiteral(".ini")), &ini)) {
        console.printText(QStringLiteral("%1: no %1.ini").arg(name));
        out.insert(QStringLiteral("error"), QStringLiteral("no INI file"));
        return out;
    }
    const QString vendor = QStringLiteral("VendorInformation");
    auto get = [&ini](const QString& section, const char* key) { return ini.value(section, QLatin1String(key)); };
    console.printText(QStringLiteral("%1  %2, version %3, RP1210%4, timestamps of %5 µs")
                          .arg(name, get(vendor, "Name"), get(vendor, "Version"), get(vendor, "RP1210"),
                               get(vendor, "TimestampWeight")));
    out.insert(QStringLiteral("name"), get(vendor, "Name"));
    out.insert(QStringLiteral("version"), get(vendor, "Version"));

    console.printText(QStringLiteral("devices"));
    QJsonArray devices;
    for (const QString& id : splitList(get(vendor, "Devices"))) {
        const QString s = QStringLiteral("DeviceInformation") + id;
        console.printText(
            QStringLiteral("  %1  %2  %3").arg(id, -3).arg(get(s, "DeviceName"), -14).arg(get(s, "DeviceDescription")));
        devices.append(QJsonObject{{QStringLiteral("id"), id.toInt()},
                                   {QStringLiteral("name"), get(s, "DeviceName")},
                                   {QStringLiteral("description"), get(s, "DeviceDescription")},
                                   {QStringLiteral("params"), get(s, "DeviceParams")}});
    }
    out.insert(QStringLiteral("devices"), devices);

    console.printText(QStringLiteral("protocols"));
    QJsonArray protocols;
    for (const QString& n : splitList(get(vendor, "Protocols"))) {
        const QString s = QStringLiteral("ProtocolInformation") + n;
        console.printText(QStringLiteral("  %1  %2  Baud=%3  devices %4")
                              .arg(get(s, "ProtocolString"), -18)
                              .arg(get(s, "ProtocolDescription"), -50)
                              .arg(get(s, "ProtocolSpeed"), get(s, "Devices")));
        protocols.append(
            QJsonObject{{QStringLiteral("string"), get(s, "ProtocolString")},
                        {QStringLiteral("description"), get(s, "ProtocolDescription")},
                        {QStringLiteral("speeds"), QJsonArray::fromStringList(splitList(get(s, "ProtocolSpeed")))},
                        {QStringLiteral("devices"), get(s, "Devices")}});
    }
    out.insert(QStringLiteral("protocols"), protocols);
    return out;
}

QJsonArray canInterfaces(Console& console)
{
    // The plugins say why they cannot list (a vendor library missing) in the list itself.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    console.printText(QStringLiteral("CAN interfaces (Qt Serial Bus: DeviceParams Plugin=NAME;Interface=NAME)"));
    QJsonArray out;
    for (const QString& plugin : QCanBus::instance()->plugins()) {
        QString error;
        const QList<QCanBusDeviceInfo> found = QCanBus::instance()->availableDevices(plugin, &error);
        if (found.isEmpty())
            console.printText(QStringLiteral("  %1  %2").arg(plugin, -10).arg(
                error.isEmpty() ? QStringLiteral("no interface") : QStringLiteral("not available: ") + error));
        for (const QCanBusDeviceInfo& i : found) {
            console.printText(QStringLiteral("  %1  %2  %3%4")
                                  .arg(plugin, -10)
                                  .arg(i.name(), -8)
                                  .arg(i.description().isEmpty() ? QStringLiteral("-") : i.description())
                                  .arg(i.isVirtual() ? QStringLiteral(" (virtual)") : QString()));
            out.append(QJsonObject{{QStringLiteral("plugin"), plugin},
                                   {QStringLiteral("interface"), i.name()},
                                   {QStringLiteral("description"), i.description()},
                                   {QStringLiteral("virtual"), i.isVirtual()}});
        }
    }
    return out;
}

int run(Context& ctx)
{
    const QDir dir(ctx.iniFolder);
    IniFile system;
    if (!IniFile::load(dir.filePath(QStringLiteral("RP121032.ini")), &system)) {
        Console::error(QStringLiteral("cannot read %1 (give the folder with --ini or RP1210_INI)")
                           .arg(dir.filePath(QStringLiteral("RP121032.ini"))));
        return kRp1210Error;
    }
    ctx.console.printText(QStringLiteral("INI folder  %1").arg(dir.absolutePath()));
    QJsonArray all;
    for (const QString& name :
         splitList(system.value(QStringLiteral("RP1210Support"), QStringLiteral("APIImplementations"))))
        all.append(implementation(ctx.console, dir, name));
    const QJsonArray interfaces = canInterfaces(ctx.console);
    if (ctx.console.json())
        ctx.console.print(QString(), QJsonObject{{QStringLiteral("ini"), dir.absolutePath()},
                                                 {QStringLiteral("implementations"), all},
                                                 {QStringLiteral("canInterfaces"), interfaces}});
    return kOk;
}

}  // namespace

Subcommand devicesCommand()
{
    return {"devices",
            "",
            "The implementation, its devices and their protocols, from the INI files, and the CAN "
            "interfaces Qt finds.",
            false,
            [](QCommandLineParser&) {},
            run};
}

}  // namespace rp1210tool
