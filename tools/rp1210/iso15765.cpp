#include "iso15765.h"

#include "notation.h"

namespace rp1210tool {

void addIsoPairOptions(QCommandLineParser& p)
{
    p.addOption({QStringLiteral("tx"), QStringLiteral("ISO 15765: the requests' CAN identifier, hex (default 7E0)."),
                 QStringLiteral("ID"), QStringLiteral("7E0")});
    p.addOption({QStringLiteral("rx"), QStringLiteral("ISO 15765: the answers' CAN identifier, hex (default 7E8)."),
                 QStringLiteral("ID"), QStringLiteral("7E8")});
}

bool isoPair(const Context& ctx, IsoPair* out)
{
    bool txExtended = false, rxExtended = false;
    if (!parseCanId(ctx.parser.value(QStringLiteral("tx")), &out->tx, &txExtended) ||
        !parseCanId(ctx.parser.value(QStringLiteral("rx")), &out->rx, &rxExtended)) {
        ctx.usage(QStringLiteral("--tx and --rx take hexadecimal CAN identifiers"));
        return false;
    }
    if (txExtended != rxExtended) {
        ctx.usage(QStringLiteral("--tx and --rx must both be 11-bit or both 29-bit"));
        return false;
    }
    out->extended = txExtended;
    return true;
}

QByteArray flowControlRecord(const IsoPair& pair)
{
    QByteArray r;
    r.append(char(pair.extended ? EXTENDED_CAN : STANDARD_CAN));
    for (quint32 id : {pair.rx, pair.tx})
        for (int i = 3; i >= 0; --i)
            r.append(char((id >> (8 * i)) & 0xFF));
    r.append(char(0)).append(char(0));  // block size and separation time: no limits
    r.append(char(0)).append(char(0));  // our own separation time
    return r;
}

}  // namespace rp1210tool
