// rp1210 devices: the implementations RP121032.ini lists, their devices and protocols,
// from the INI files alone.
#include "commands.h"

#include "api/ini_file.h"

#include <QDir>
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
    if (ctx.console.json())
        ctx.console.print(QString(), QJsonObject{{QStringLiteral("ini"), dir.absolutePath()},
                                                 {QStringLiteral("implementations"), all}});
    return kOk;
}

}  // namespace

Subcommand devicesCommand()
{
    return {"devices",
            "",
            "The implementation, its devices and their protocols, from the INI files.",
            false,
            [](QCommandLineParser&) {},
            run};
}

}  // namespace rp1210tool
