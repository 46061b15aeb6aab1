// rp1210 send: one message in the notation monitor prints; with --echo, the driver's
// echo of it, as monitor would show it.
#include "commands.h"

#include "notation.h"

namespace rp1210tool {

namespace {

constexpr int kEchoWaitMs = 2000;

int run(Context& ctx)
{
    if (ctx.args.size() < 2)
        return ctx.usage(QStringLiteral("send takes a PROTOCOL-STRING and a MESSAGE"));
    const QString protocol = ctx.args.at(0);
    const Family family = familyOf(protocol);
    const QString text = ctx.args.mid(1).join(QLatin1Char(' '));
    quint32 source = 0;
    if (!ctx.number(QStringLiteral("from"), 0xFF, &source))
        return kUsage;
    QByteArray message;
    QString error;
    if (!parseNotation(family, text, quint8(source), &message, &error))
        return ctx.usage(QStringLiteral("%1 message \"%2\": %3").arg(familyName(family), text, error));

    Client client(*ctx.lib, ctx.device, protocol);
    if (const int status = ctx.connectStatus(client, protocol))
        return status;
    const bool echo = ctx.parser.isSet(QStringLiteral("echo"));
    if (echo) {
        if (const short rc = client.command(RP1210_Echo_Transmitted_Messages, QByteArray(1, char(ECHO_ON))))
            return ctx.failed(QStringLiteral("echo on"), rc);
    }
    if (const short rc = client.send(message))
        return ctx.failed(QStringLiteral("send"), rc);
    if (!echo)
        return kOk;

    Message shown;
    short code = 0;
    const bool got = readUntil(
        ctx, client, std::chrono::steady_clock::now() + std::chrono::milliseconds(kEchoWaitMs),
        QStringLiteral("waiting for the echo"),
        [&](const QByteArray& raw) {
            return parseRead(family, raw, true, ctx.lib->timestampUnitUs(), &shown) && shown.echo;
        },
        &code);
    if (!got)
        return ctx.notAnswered(code, QStringLiteral("no echo within %1 s").arg(kEchoWaitMs / 1000));
    ctx.console.print(lineText(shown), lineJson(shown));
    return kOk;
}

}  // namespace

Subcommand sendCommand()
{
    return {"send",
            "PROTOCOL-STRING MESSAGE",
            "Sends one message, written as monitor shows it: J1939 \"6 59904 FF EC FE 00\", CAN \"7E0#0322F190\", "
            "ISO15765 \"7E0 22 F1 90\", J1708 \"172 00 54\".",
            true,
            [](QCommandLineParser& p) {
                p.addOption({QStringLiteral("echo"), QStringLiteral("Show the driver's echo of the message.")});
                p.addOption({QStringLiteral("from"),
                             QStringLiteral("J1939: the source address when the message names none (default 0xF9)."),
                             QStringLiteral("ADDRESS"), QStringLiteral("0xF9")});
            },
            run};
}

}  // namespace rp1210tool
