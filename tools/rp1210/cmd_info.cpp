// rp1210 status, version and error: what the driver says about the device, itself and
// its return codes.
#include "commands.h"

#include "api/ini_file.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>

namespace rp1210tool {

namespace {

QString deviceName(const Context& ctx)
{
    rp1210core::api::IniFile ini;
    if (!rp1210core::api::IniFile::load(
            QDir(ctx.iniFolder).filePath(ctx.lib->implementation() + QStringLiteral(".ini")), &ini))
        return QString();
    return ini.value(QStringLiteral("DeviceInformation%1").arg(ctx.device), QStringLiteral("DeviceName"));
}

int status(Context& ctx)
{
    const QString protocol = ctx.parser.value(QStringLiteral("protocol"));
    Client client(*ctx.lib, ctx.device, protocol);
    if (const int status = ctx.connectStatus(client, protocol))
        return status;
    char apiVersion[32] = {}, dllVersion[32] = {}, firmware[32] = {};
    if (const short rc = ctx.lib->ReadDetailedVersion(client.id(), apiVersion, dllVersion, firmware))
        return ctx.failed(QStringLiteral("detailed version"), rc);
    char record[64] = {};
    if (const short rc = ctx.lib->GetHardwareStatus(client.id(), record, sizeof record, NON_BLOCKING_IO))
        return ctx.failed(QStringLiteral("hardware status"), rc);

    auto byte = [&record](int i) { return int(quint8(record[i])); };
    QJsonObject out{{QStringLiteral("device"), ctx.device},
                    {QStringLiteral("deviceName"), deviceName(ctx)},
                    {QStringLiteral("client"), client.id()},
                    {QStringLiteral("api"), QLatin1String(apiVersion)},
                    {QStringLiteral("dll"), QLatin1String(dllVersion)},
                    {QStringLiteral("firmware"), QLatin1String(firmware)},
                    {QStringLiteral("located"), (byte(0) & 1) != 0},
                    {QStringLiteral("clients"), byte(1)}};
    QStringList lines{QStringLiteral("device %1 (%2), client %3 on %4")
                          .arg(ctx.device)
                          .arg(deviceName(ctx))
                          .arg(client.id())
                          .arg(protocol),
                      QStringLiteral("versions  API %1, DLL %2, firmware %3")
                          .arg(QLatin1String(apiVersion), QLatin1String(dllVersion), QLatin1String(firmware)),
                      QStringLiteral("hardware  %1, %2 client(s) of this program")
                          .arg(byte(0) & 1 ? QStringLiteral("located") : QStringLiteral("not located"))
                          .arg(byte(1))};
    // Per network: a status byte (bit 0: active) and its number of clients.
    struct Network {
        const char* name;
        int at;
    };
    constexpr Network kNetworks[] = {{"J1939", 2}, {"J1708", 4},   {"CAN", 6},
                                     {"J1850", 8}, {"K-line", 16}, {"KWP2000", 18}};
    QJsonArray networks;
    for (const Network& n : kNetworks) {
        const bool active = (byte(n.at) & 1) != 0;
        lines.append(QStringLiteral("  %1 %2, %3 client(s)")
                         .arg(QLatin1String(n.name), -9)
                         .arg(active ? QStringLiteral("active  ") : QStringLiteral("inactive"))
                         .arg(byte(n.at + 1)));
        networks.append(QJsonObject{{QStringLiteral("network"), QLatin1String(n.name)},
                                    {QStringLiteral("active"), active},
                                    {QStringLiteral("clients"), byte(n.at + 1)}});
    }
    out.insert(QStringLiteral("networks"), networks);
    ctx.console.print(lines.join(QLatin1Char('\n')), out);
    return kOk;
}

int version(Context& ctx)
{
    char dllMajor[17] = {}, dllMinor[17] = {}, apiMajor[17] = {}, apiMinor[17] = {};
    ctx.lib->ReadVersion(dllMajor, dllMinor, apiMajor, apiMinor);
    const QString dll = QStringLiteral("%1.%2").arg(QLatin1String(dllMajor), QLatin1String(dllMinor));
    const QString api = QStringLiteral("%1.%2").arg(QLatin1String(apiMajor), QLatin1String(apiMinor));
    ctx.console.print(QStringLiteral("implementation  %1\nlibrary         %2\nDLL version     %3\nAPI version     %4")
                          .arg(ctx.lib->implementation(), ctx.lib->path(), dll, api),
                      QJsonObject{{QStringLiteral("implementation"), ctx.lib->implementation()},
                                  {QStringLiteral("library"), ctx.lib->path()},
                                  {QStringLiteral("dll"), dll},
                                  {QStringLiteral("api"), api}});
    return kOk;
}

int error(Context& ctx)
{
    bool ok = false;
    const int code = ctx.args.size() == 1 ? ctx.args.at(0).toInt(&ok) : 0;
    if (!ok || code < -32768 || code > 32767)
        return ctx.usage(QStringLiteral("error takes one code, e.g. 136"));
    char text[256] = {};
    const short rc = ctx.lib->GetErrorMsg(short(code), text);
    ctx.console.print(QStringLiteral("%1  %2").arg(code).arg(QLatin1String(text)),
                      QJsonObject{{QStringLiteral("code"), code},
                                  {QStringLiteral("text"), QLatin1String(text)},
                                  {QStringLiteral("known"), rc == 0}});
    return rc == 0 ? kOk : kRp1210Error;
}

}  // namespace

Subcommand statusCommand()
{
    return {"status",
            "",
            "Connects and shows the versions and the hardware status the driver reports.",
            true,
            [](QCommandLineParser& p) {
                p.addOption({QStringLiteral("protocol"), QStringLiteral("The connect string (default J1939)."),
                             QStringLiteral("STRING"), QStringLiteral("J1939")});
            },
            status};
}

Subcommand versionCommand()
{
    return {"version", "", "The driver's implementation, library and versions.", true, [](QCommandLineParser&) {},
            version};
}

Subcommand errorCommand()
{
    return {"error", "CODE", "The text the driver gives for a return code.", true, [](QCommandLineParser&) {}, error};
}

}  // namespace rp1210tool
