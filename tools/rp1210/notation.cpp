#include "notation.h"

#include "decode_j1587.h"
#include "decode_j1939.h"
#include "decode_uds.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace rp1210tool {

namespace {

constexpr int kTimestampSize = 4;
constexpr quint32 kMaxExtendedId = 0x1FFFFFFF, kMaxStandardId = 0x7FF;

QString hex(quint32 v, int digits)
{
    return QStringLiteral("%1").arg(v, digits, 16, QLatin1Char('0')).toUpper();
}

quint32 bigEndian(const QByteArray& b, int at, int n)
{
    quint32 v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | quint8(b.at(at + i));
    return v;
}

void appendBigEndian(QByteArray& b, quint32 v, int n)
{
    for (int i = n - 1; i >= 0; --i)
        b.append(char((v >> (8 * i)) & 0xFF));
}

QString idText(quint32 id, bool extended)
{
    return hex(id, extended ? 8 : 3);
}

// ISO 15765 addressing types: 1 and 3 are 29-bit, 2 to 4 carry an extended address.
bool isoExtended(int type)
{
    return type == 1 || type == 3;
}
bool isoHasAddress(int type)
{
    return type >= 2 && type <= 4;
}

// The tokens of a notation, the "[n]" count checked against the data and dropped.
bool dataTokens(const QStringList& tokens, int from, QByteArray* data, QString* error)
{
    QStringList rest = tokens.mid(from);
    int declared = -1;
    if (!rest.isEmpty() && rest.first().startsWith(QLatin1Char('[')) && rest.first().endsWith(QLatin1Char(']'))) {
        bool ok = false;
        declared = rest.takeFirst().mid(1).chopped(1).toInt(&ok);
        if (!ok) {
            *error = QStringLiteral("bad byte count");
            return false;
        }
    }
    if (!parseHexBytes(rest.join(QString()), data)) {
        *error = QStringLiteral("data must be hexadecimal bytes");
        return false;
    }
    if (declared >= 0 && declared != data->size()) {
        *error = QStringLiteral("[%1] announced, %2 bytes given").arg(declared).arg(data->size());
        return false;
    }
    return true;
}

bool parseAddress(const QString& text, quint8* out)
{
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    if (!ok || v > 0xFF || text.size() > 2)
        return false;
    *out = quint8(v);
    return true;
}

// "ID#DATA" as cansend writes it, or the tool's own spaced form.
QStringList tokensOf(const QString& text)
{
    QString t = text.trimmed();
    const int hash = t.indexOf(QLatin1Char('#'));
    if (hash > 0)
        t = t.left(hash) + QLatin1Char(' ') + t.mid(hash + 1);
    return t.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}

}  // namespace

Family familyOf(const QString& protocolString)
{
    const QString keyword = protocolString.section(QLatin1Char(':'), 0, 0);
    if (keyword == QLatin1String("J1939"))
        return Family::J1939;
    static const char* const kCan[] = {"CAN", "PTCAN", "J2284", "IESCAN", "SWCAN"};
    for (const char* k : kCan)
        if (keyword == QLatin1String(k))
            return Family::Can;
    if (keyword == QLatin1String("ISO15765") || keyword == QLatin1String("GMLAN"))
        return Family::Iso15765;
    if (keyword == QLatin1String("J1708") || keyword == QLatin1String("PLC"))
        return Family::J1708;
    return Family::Bytes;  // J1850, K-line and CAT: shown as bytes
}

QString familyName(Family f)
{
    switch (f) {
        case Family::J1939:
            return QStringLiteral("J1939");
        case Family::Can:
            return QStringLiteral("CAN");
        case Family::Iso15765:
            return QStringLiteral("ISO15765");
        case Family::J1708:
            return QStringLiteral("J1708");
        case Family::Bytes:
            break;
    }
    return QStringLiteral("bytes");
}

bool parseRead(Family f, const QByteArray& raw, bool echoOn, double unitUs, Message* out)
{
    const int start = kTimestampSize + (echoOn ? 1 : 0);
    if (raw.size() < start)
        return false;
    Message m;
    m.family = f;
    m.seconds = double(bigEndian(raw, 0, kTimestampSize)) * unitUs / 1e6;
    m.echo = echoOn && raw.at(kTimestampSize) != 0;
    const QByteArray b = raw.mid(start);
    switch (f) {
        case Family::J1939:
            // PGN (3, least significant first), how/priority, source, destination, data.
            if (b.size() < 6)
                return false;
            m.pgn = quint32(quint8(b.at(0))) | quint32(quint8(b.at(1))) << 8 | quint32(quint8(b.at(2))) << 16;
            m.priority = quint8(b.at(3)) & 0x07;
            m.source = quint8(b.at(4));
            m.destination = quint8(b.at(5));
            m.data = b.mid(6);
            break;
        case Family::Can: {
            // Type (1: 29-bit), identifier of 2 or 4 bytes, most significant first, data.
            if (b.isEmpty())
                return false;
            m.extended = b.at(0) != 0;
            const int n = m.extended ? 4 : 2;
            if (b.size() < 1 + n)
                return false;
            m.id = bigEndian(b, 1, n);
            m.data = b.mid(1 + n);
            break;
        }
        case Family::Iso15765: {
            // Indication, addressing type, identifier (4, most significant first), the
            // extended address where the type has one, data.
            if (b.size() < 6)
                return false;
            m.isoIndication = quint8(b.at(0));
            const int type = quint8(b.at(1));
            m.extended = isoExtended(type);
            m.hasAddress = isoHasAddress(type);
            m.id = bigEndian(b, 2, 4);
            if (m.hasAddress && b.size() < 7)
                return false;
            m.address = m.hasAddress ? quint8(b.at(6)) : 0;
            m.data = b.mid(m.hasAddress ? 7 : 6);
            break;
        }
        case Family::J1708:
            if (b.isEmpty())
                return false;
            m.mid = quint8(b.at(0));
            m.data = b.mid(1);
            break;
        case Family::Bytes:
            m.data = b;
            break;
    }
    *out = m;
    return true;
}

QString notation(const Message& m)
{
    const QString data = QStringLiteral("[%1]").arg(m.data.size()) +
                         (m.data.isEmpty() ? QString() : QLatin1Char(' ') + hexBytes(m.data));
    switch (m.family) {
        case Family::J1939:
            return QStringLiteral("%1 %2 %3->%4 ")
                       .arg(m.priority)
                       .arg(m.pgn)
                       .arg(hex(m.source, 2), hex(m.destination, 2)) +
                   data;
        case Family::Can:
            return idText(m.id, m.extended) + QLatin1Char(' ') + data;
        case Family::Iso15765:
            return idText(m.id, m.extended) + (m.hasAddress ? QLatin1Char(':') + hex(m.address, 2) : QString()) +
                   QLatin1Char(' ') + data;
        case Family::J1708:
            return QString::number(m.mid) + QLatin1Char(' ') + data;
        case Family::Bytes:
            break;
    }
    return data;
}

Decoded decode(const Message& m)
{
    switch (m.family) {
        case Family::J1939:
            return j1939::decode(m.pgn, m.data);
        case Family::Iso15765:
            if (m.isoIndication == 1)
                return Decoded{QStringLiteral("transmitted"), {}, false};
            if (m.isoIndication == 2)
                return Decoded{QStringLiteral("first frame"), {}, false};
            return uds::decode(m.data);
        case Family::J1708:
            return j1587::decode(m.mid, m.data);
        case Family::Can:
        case Family::Bytes:
            break;
    }
    return Decoded{};
}

QString lineText(const Message& m)
{
    QString s = QStringLiteral("%1  %2  ").arg(m.seconds, 10, 'f', 3).arg(familyName(m.family), -8);
    if (m.echo)
        s += QStringLiteral("echo ");
    s += notation(m);
    const Decoded d = decode(m);
    if (!d.empty())
        s += QStringLiteral("  ") + toText(d);
    return s;
}

QJsonObject lineJson(const Message& m)
{
    QJsonObject o = toJson(decode(m));
    o.insert(QStringLiteral("time"), m.seconds);
    o.insert(QStringLiteral("protocol"), familyName(m.family));
    if (m.echo)
        o.insert(QStringLiteral("echo"), true);
    switch (m.family) {
        case Family::J1939:
            o.insert(QStringLiteral("priority"), m.priority);
            o.insert(QStringLiteral("pgn"), int(m.pgn));
            o.insert(QStringLiteral("source"), m.source);
            o.insert(QStringLiteral("destination"), m.destination);
            break;
        case Family::Iso15765:
            if (m.hasAddress)
                o.insert(QStringLiteral("address"), m.address);
            o.insert(QStringLiteral("indication"), m.isoIndication);
            Q_FALLTHROUGH();
        case Family::Can:
            o.insert(QStringLiteral("id"), idText(m.id, m.extended));
            o.insert(QStringLiteral("extended"), m.extended);
            break;
        case Family::J1708:
            o.insert(QStringLiteral("mid"), m.mid);
            break;
        case Family::Bytes:
            break;
    }
    o.insert(QStringLiteral("data"), QString::fromLatin1(m.data.toHex().toUpper()));
    return o;
}

bool parseNotation(Family f, const QString& text, quint8 source, QByteArray* out, QString* error)
{
    const QStringList t = tokensOf(text);
    QByteArray data;
    QByteArray m;
    switch (f) {
        case Family::J1939: {
            quint32 priority = 0, pgn = 0;
            if (t.size() < 3 || !parseNumber(t.at(0), 7, &priority) || !parseNumber(t.at(1), 0x3FFFF, &pgn)) {
                *error = QStringLiteral("expected PRIORITY PGN [SA->]DA DATA, e.g. \"6 59904 FF EC FE 00\"");
                return false;
            }
            quint8 destination = 0;
            const QStringList addresses = t.at(2).split(QStringLiteral("->"));
            if (addresses.size() > 2 || (addresses.size() == 2 && !parseAddress(addresses.at(0), &source)) ||
                !parseAddress(addresses.last(), &destination)) {
                *error = QStringLiteral("bad address \"%1\": hexadecimal DA or SA->DA").arg(t.at(2));
                return false;
            }
            if (!dataTokens(t, 3, &data, error))
                return false;
            m.append(char(pgn & 0xFF)).append(char((pgn >> 8) & 0xFF)).append(char((pgn >> 16) & 0xFF));
            m.append(char(priority)).append(char(source)).append(char(destination)).append(data);
            break;
        }
        case Family::Can:
        case Family::Iso15765: {
            quint32 id = 0;
            bool extended = false;
            quint32 address = 0;
            const QStringList idParts = t.value(0).split(QLatin1Char(':'));
            const bool withAddress = idParts.size() == 2 && f == Family::Iso15765;
            if (t.isEmpty() || idParts.size() > (withAddress ? 2 : 1) || !parseCanId(idParts.at(0), &id, &extended) ||
                (withAddress && !parseNumber(QStringLiteral("0x") + idParts.at(1), 0xFF, &address))) {
                *error = QStringLiteral("expected ID DATA, e.g. \"7E0 22 F1 90\" or \"18FEF100#C000\"");
                return false;
            }
            if (!dataTokens(t, 1, &data, error))
                return false;
            if (f == Family::Can) {
                m.append(char(extended ? 1 : 0));
                appendBigEndian(m, id, extended ? 4 : 2);
            } else {
                m.append(char((extended ? 1 : 0) + (withAddress ? 2 : 0)));
                appendBigEndian(m, id, 4);
                if (withAddress)
                    m.append(char(address));
            }
            m.append(data);
            break;
        }
        case Family::J1708: {
            quint32 mid = 0;
            if (t.isEmpty() || !parseNumber(t.at(0), 0xFF, &mid)) {
                *error = QStringLiteral("expected MID DATA, e.g. \"172 00 54\"");
                return false;
            }
            if (!dataTokens(t, 1, &data, error))
                return false;
            m.append(char(8)).append(char(mid)).append(data);  // the lowest priority
            break;
        }
        case Family::Bytes:
            if (!dataTokens(t, 0, &data, error))
                return false;
            m = data;
            break;
    }
    *out = m;
    return true;
}

bool parseNumber(const QString& text, quint32 max, quint32* out)
{
    bool ok = false;
    const bool hexadecimal = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const qulonglong v = hexadecimal ? text.mid(2).toULongLong(&ok, 16) : text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *out = quint32(v);
    return true;
}

bool parseCanId(const QString& text, quint32* id, bool* extended)
{
    const QString digits = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2) : text;
    if (digits.isEmpty() || digits.size() > 8 || !parseNumber(QStringLiteral("0x") + digits, kMaxExtendedId, id))
        return false;
    *extended = digits.size() > 3 || *id > kMaxStandardId;
    return true;
}

}  // namespace rp1210tool
