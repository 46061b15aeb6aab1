// rp1210 uds: one UDS request over ISO 15765 and its answer, the service and any
// negative response code named. "Response pending" answers extend the wait.
#include "commands.h"

#include "decode_uds.h"
#include "iso15765.h"
#include "notation.h"

namespace rp1210tool {

namespace {

// How long a server may take after saying "response pending" (ISO 14229's P2* default).
constexpr int kPendingWaitMs = 5000;

int run(Context& ctx)
{
    QByteArray request;
    if (ctx.args.isEmpty() || !parseHexBytes(ctx.args.join(QString()), &request) || request.isEmpty())
        return ctx.usage(QStringLiteral("uds takes the request as hexadecimal bytes, e.g. 22F190"));
    IsoPair pair;
    double timeout = 0;
    if (!isoPair(ctx, &pair) || !ctx.seconds(QStringLiteral("timeout"), &timeout))
        return kUsage;
    const QString protocol = ctx.parser.value(QStringLiteral("protocol"));
    if (familyOf(protocol) != Family::Iso15765)
        return ctx.usage(QStringLiteral("--protocol must be an ISO15765 connect string"));

    Client client(*ctx.lib, ctx.device, protocol);
    if (const int status = ctx.connectStatus(client, protocol))
        return status;
    if (const short rc = client.command(RP1210_Set_ISO15765_Flow_Control, flowControlRecord(pair)))
        return ctx.failed(QStringLiteral("ISO 15765 flow control"), rc);
    if (const short rc = client.command(RP1210_Set_All_Filters_States_to_Pass))
        return ctx.failed(QStringLiteral("filters"), rc);
    QByteArray message;
    message.append(char(pair.extended ? EXTENDED_CAN : STANDARD_CAN));
    for (int i = 3; i >= 0; --i)
        message.append(char((pair.tx >> (8 * i)) & 0xFF));
    if (const short rc = client.send(message + request))
        return ctx.failed(QStringLiteral("send the request"), rc);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(qint64(timeout * 1000));
    Message answer;
    short code = 0;
    const bool got = readUntil(
        ctx, client, deadline, QStringLiteral("waiting for %1").arg(uds::decode(request).name),
        [&](const QByteArray& raw) {
            Message m;
            if (!parseRead(Family::Iso15765, raw, false, ctx.lib->timestampUnitUs(), &m) || m.isoIndication != 0 ||
                m.id != pair.rx || !uds::answers(request, m.data))
                return false;
            if (uds::isPending(m.data)) {
                deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPendingWaitMs);
                return false;
            }
            answer = m;
            return true;
        },
        &code);
    if (!got)
        return ctx.notAnswered(
            code,
            QStringLiteral("no answer from %1 within %2 s").arg(QString::number(pair.rx, 16).toUpper()).arg(timeout));
    ctx.console.print(lineText(answer), lineJson(answer));
    return uds::isNegative(answer.data) ? kNegative : kOk;
}

}  // namespace

Subcommand udsCommand()
{
    return {
        "uds",
        "HEX",
        "Sends one UDS request over ISO 15765 (e.g. 22F190: read the VIN) and shows the answer.",
        true,
        [](QCommandLineParser& p) {
            addIsoPairOptions(p);
            p.addOption({QStringLiteral("timeout"), QStringLiteral("Seconds to wait for the answer (default 2)."),
                         QStringLiteral("S"), QStringLiteral("2")});
            p.addOption({QStringLiteral("protocol"), QStringLiteral("The connect string (default ISO15765:Baud=Auto)."),
                         QStringLiteral("STRING"), QStringLiteral("ISO15765:Baud=Auto")});
        },
        run};
}

}  // namespace rp1210tool
