// rp1210 request: a J1939 request for one parameter group and its answer, decoded;
// multi-packet answers arrive whole from the driver's transport layer.
#include "commands.h"

#include "decode_j1939.h"
#include "filters.h"
#include "notation.h"

namespace rp1210tool {

namespace {

int run(Context& ctx)
{
    if (ctx.args.size() != 1)
        return ctx.usage(QStringLiteral("request takes one PGN"));
    quint32 pgn = 0, to = 0, from = 0;
    double timeout = 0;
    if (!parseNumber(ctx.args.at(0), 0x3FFFF, &pgn))
        return ctx.usage(QStringLiteral("PGN \"%1\": a number up to 262143 expected").arg(ctx.args.at(0)));
    if (!ctx.number(QStringLiteral("to"), 0xFF, &to) || !ctx.number(QStringLiteral("from"), 0xFD, &from) ||
        !ctx.seconds(QStringLiteral("timeout"), &timeout))
        return kUsage;
    const QString protocol = ctx.parser.value(QStringLiteral("protocol"));
    if (familyOf(protocol) != Family::J1939)
        return ctx.usage(QStringLiteral("--protocol must be a J1939 connect string"));

    Client client(*ctx.lib, ctx.device, protocol);
    if (const int status = ctx.connectStatus(client, protocol))
        return status;
    // Only the answer and acknowledgments reach this client.
    QByteArray records, record;
    QString unused;
    for (quint32 wanted : {pgn, quint32(j1939::kPgnAcknowledgment)})
        if (filterRecord(Family::J1939, QStringLiteral("pgn=%1").arg(wanted), &record, &unused))
            records += record;
    if (const short rc = client.command(RP1210_Set_Message_Filtering_For_J1939, records))
        return ctx.failed(QStringLiteral("filters"), rc);
    if (const short rc = client.send(j1939::requestMessage(pgn, quint8(from), quint8(to))))
        return ctx.failed(QStringLiteral("send the request"), rc);

    Message answer;
    short code = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(qint64(timeout * 1000));
    const bool got = readUntil(
        ctx, client, deadline, QStringLiteral("waiting for PGN %1").arg(pgn),
        [&](const QByteArray& raw) {
            Message m;
            if (!parseRead(Family::J1939, raw, false, ctx.lib->timestampUnitUs(), &m))
                return false;
            const bool fromAsked = to == j1939::kGlobal || m.source == to;
            const bool toUs = m.destination == from || m.destination == j1939::kGlobal;
            const bool ours =
                m.pgn == pgn || (m.pgn == j1939::kPgnAcknowledgment && j1939::acknowledgedPgn(m.data) == pgn);
            if (fromAsked && toUs && ours)
                answer = m;
            return fromAsked && toUs && ours;
        },
        &code);
    if (!got)
        return ctx.notAnswered(code,
                               QStringLiteral("no answer to the request for PGN %1 within %2 s").arg(pgn).arg(timeout));
    ctx.console.print(lineText(answer), lineJson(answer));
    return decode(answer).negative ? kNegative : kOk;
}

}  // namespace

Subcommand requestCommand()
{
    return {
        "request",
        "PGN",
        "Requests a J1939 parameter group (VIN 65260, component 65259, ...) and shows the answer.",
        true,
        [](QCommandLineParser& p) {
            p.addOption({QStringLiteral("to"), QStringLiteral("The address asked (default 255: everyone)."),
                         QStringLiteral("ADDRESS"), QStringLiteral("255")});
            p.addOption({QStringLiteral("from"), QStringLiteral("Our source address (default 0xF9)."),
                         QStringLiteral("ADDRESS"), QStringLiteral("0xF9")});
            p.addOption({QStringLiteral("timeout"), QStringLiteral("Seconds to wait for the answer (default 3)."),
                         QStringLiteral("S"), QStringLiteral("3")});
            p.addOption({QStringLiteral("protocol"), QStringLiteral("The connect string (default J1939:Baud=Auto)."),
                         QStringLiteral("STRING"), QStringLiteral("J1939:Baud=Auto")});
        },
        run};
}

}  // namespace rp1210tool
