// rp1210 monitor: every message of one connection, one line each, until the duration,
// the count or Ctrl-C ends it.
#include "commands.h"

#include "filters.h"
#include "iso15765.h"
#include "notation.h"

namespace rp1210tool {

namespace {

int run(Context& ctx)
{
    if (ctx.args.size() != 1)
        return ctx.usage(QStringLiteral("monitor takes one PROTOCOL-STRING"));
    const QString protocol = ctx.args.at(0);
    const Family family = familyOf(protocol);
    double duration = 0;
    quint32 count = 0;
    if (!ctx.seconds(QStringLiteral("duration"), &duration) || !ctx.number(QStringLiteral("count"), 1u << 30, &count))
        return kUsage;

    // The filters before connecting: a usage error should not cost a connection.
    QByteArray records;
    for (const QString& wanted : ctx.parser.values(QStringLiteral("filter"))) {
        QByteArray record;
        QString error;
        if (filterCommand(family) < 0 || !filterRecord(family, wanted, &record, &error))
            return ctx.usage(
                QStringLiteral("--filter %1: %2")
                    .arg(wanted, error.isEmpty() ? QStringLiteral("no filters for this protocol") : error));
        records += record;
    }
    IsoPair pair;
    if (family == Family::Iso15765 && !isoPair(ctx, &pair))
        return kUsage;

    Client client(*ctx.lib, ctx.device, protocol);
    if (const int status = ctx.connectStatus(client, protocol))
        return status;
    if (family == Family::Iso15765) {
        if (const short rc = client.command(RP1210_Set_ISO15765_Flow_Control, flowControlRecord(pair)))
            return ctx.failed(QStringLiteral("ISO 15765 flow control"), rc);
    }
    // A new client's filters let nothing through.
    const short rc = records.isEmpty() ? client.command(RP1210_Set_All_Filters_States_to_Pass)
                                       : client.command(short(filterCommand(family)), records);
    if (rc != 0)
        return ctx.failed(QStringLiteral("filters"), rc);

    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(qint64(duration * 1000));
    quint32 shown = 0;
    while (!interrupted() && (duration == 0 || std::chrono::steady_clock::now() < end) &&
           (count == 0 || shown < count)) {
        QByteArray raw;
        const int n = client.read(&raw);
        if (n < 0)
            return ctx.failed(QStringLiteral("read"), short(-n));
        Message m;
        if (n == 0 || !parseRead(family, raw, false, ctx.lib->timestampUnitUs(), &m))
            continue;
        ctx.console.print(lineText(m), lineJson(m));
        ++shown;
    }
    if (const short d = client.disconnect())
        return ctx.failed(QStringLiteral("disconnect"), d);
    return kOk;
}

}  // namespace

Subcommand monitorCommand()
{
    return {"monitor",
            "PROTOCOL-STRING",
            "Shows every message received, decoded, one a line.",
            true,
            [](QCommandLineParser& p) {
                p.addOption({QStringLiteral("duration"), QStringLiteral("Stop after S seconds (default: Ctrl-C)."),
                             QStringLiteral("S"), QStringLiteral("0")});
                p.addOption({QStringLiteral("count"), QStringLiteral("Stop after N messages."), QStringLiteral("N"),
                             QStringLiteral("0")});
                p.addOption({QStringLiteral("filter"),
                             QStringLiteral("Only these messages (repeatable): J1939 pgn=N[,sa=N][,da=N][,priority=N]; "
                                            "CAN and ISO15765 id=HEX[/MASK]; J1708 mid=N."),
                             QStringLiteral("FILTER")});
                addIsoPairOptions(p);
            },
            run};
}

}  // namespace rp1210tool
