#include "decode_j1939.h"

#include <QStringList>

#include <algorithm>

namespace rp1210tool::j1939 {

namespace {

struct Group {
    quint32 pgn;
    const char* acronym;
};

constexpr Group kGroups[] = {
    {59392, "ACKM"}, {59904, "RQST"},   {60160, "TP.DT"}, {60416, "TP.CM"}, {60928, "AC"},  {61442, "ETC1"},
    {61443, "EEC2"}, {61444, "EEC1"},   {61445, "ETC2"},  {64965, "ECUID"}, {65226, "DM1"}, {65227, "DM2"},
    {65228, "DM3"},  {65242, "SOFT"},   {65248, "VD"},    {65253, "HOURS"}, {65259, "CI"},  {65260, "VI"},
    {65262, "ET1"},  {65263, "EFL/P1"}, {65265, "CCVS"},  {65266, "LFE"},   {65269, "AMB"}, {65270, "IC1"},
    {65271, "VEP1"}, {65276, "DD"},
};

enum class Kind { Number, OnOff };

// Where a parameter sits in its group (bit offset from the first data byte, least
// significant first) and how its raw value scales.
struct Spn {
    quint32 pgn;
    quint32 spn;
    const char* name;
    int bitOffset;
    int bitLength;
    double scale;
    double offset;
    const char* unit;
    int decimals;
    Kind kind;
};

constexpr Spn kSpns[] = {
    {61444, 512, "driver's demand torque", 8, 8, 1, -125, "%", 0, Kind::Number},
    {61444, 513, "actual engine torque", 16, 8, 1, -125, "%", 0, Kind::Number},
    {61444, 190, "engine speed", 24, 16, 0.125, 0, "rpm", 1, Kind::Number},
    {61443, 91, "accelerator pedal position", 8, 8, 0.4, 0, "%", 1, Kind::Number},
    {61443, 92, "engine load", 16, 8, 1, 0, "%", 0, Kind::Number},
    {61442, 191, "output shaft speed", 8, 16, 0.125, 0, "rpm", 1, Kind::Number},
    {61442, 161, "input shaft speed", 40, 16, 0.125, 0, "rpm", 1, Kind::Number},
    {61445, 524, "selected gear", 0, 8, 1, -125, "", 0, Kind::Number},
    {61445, 523, "current gear", 24, 8, 1, -125, "", 0, Kind::Number},
    {65265, 70, "parking brake", 2, 2, 1, 0, "", 0, Kind::OnOff},
    {65265, 84, "wheel-based vehicle speed", 8, 16, 1.0 / 256, 0, "km/h", 1, Kind::Number},
    {65265, 595, "cruise control", 24, 2, 1, 0, "", 0, Kind::OnOff},
    {65265, 597, "brake switch", 28, 2, 1, 0, "", 0, Kind::OnOff},
    {65265, 86, "cruise set speed", 40, 8, 1, 0, "km/h", 0, Kind::Number},
    {65262, 110, "coolant temperature", 0, 8, 1, -40, "°C", 0, Kind::Number},
    {65262, 174, "fuel temperature", 8, 8, 1, -40, "°C", 0, Kind::Number},
    {65262, 175, "oil temperature", 16, 16, 0.03125, -273, "°C", 1, Kind::Number},
    {65263, 94, "fuel delivery pressure", 0, 8, 4, 0, "kPa", 0, Kind::Number},
    {65263, 98, "oil level", 16, 8, 0.4, 0, "%", 1, Kind::Number},
    {65263, 100, "oil pressure", 24, 8, 4, 0, "kPa", 0, Kind::Number},
    {65263, 111, "coolant level", 56, 8, 0.4, 0, "%", 1, Kind::Number},
    {65266, 183, "fuel rate", 0, 16, 0.05, 0, "L/h", 2, Kind::Number},
    {65266, 184, "instantaneous fuel economy", 16, 16, 1.0 / 512, 0, "km/L", 2, Kind::Number},
    {65269, 108, "barometric pressure", 0, 8, 0.5, 0, "kPa", 1, Kind::Number},
    {65269, 171, "ambient air temperature", 24, 16, 0.03125, -273, "°C", 1, Kind::Number},
    {65270, 102, "intake manifold pressure", 8, 8, 2, 0, "kPa", 0, Kind::Number},
    {65270, 105, "intake manifold temperature", 16, 8, 1, -40, "°C", 0, Kind::Number},
    {65271, 168, "battery potential", 32, 16, 0.05, 0, "V", 2, Kind::Number},
    {65253, 247, "engine total hours", 0, 32, 0.05, 0, "h", 2, Kind::Number},
    {65248, 245, "total vehicle distance", 32, 32, 0.125, 0, "km", 1, Kind::Number},
    {65276, 96, "fuel level", 8, 8, 0.4, 0, "%", 1, Kind::Number},
};

quint64 bits(const QByteArray& data, int offset, int length)
{
    quint64 v = 0;
    for (int i = length - 1; i >= 0; --i) {
        const int bit = offset + i;
        v = (v << 1) | ((quint8(data.at(bit / 8)) >> (bit % 8)) & 1u);
    }
    return v;
}

// J1939's ranges: the top of each field's range says "error" or "not available".
bool valid(quint64 raw, int length)
{
    if (length == 2)
        return raw < 2;
    if (length == 4)
        return raw < 14;
    if (length < 8)
        return true;
    const quint64 low = (quint64(1) << (length - 8)) - 1;
    return raw <= ((quint64(0xFA) << (length - 8)) | low);
}

QString pgnText(quint32 pgn)
{
    const char* name = acronym(pgn);
    return name ? QStringLiteral("%1 (%2)").arg(pgn).arg(QLatin1String(name)) : QString::number(pgn);
}

quint32 le24(const QByteArray& d, int at)
{
    return quint32(quint8(d.at(at))) | quint32(quint8(d.at(at + 1))) << 8 | quint32(quint8(d.at(at + 2))) << 16;
}

void spnValues(quint32 pgn, const QByteArray& data, Decoded& out)
{
    for (const Spn& s : kSpns) {
        if (s.pgn != pgn || (s.bitOffset + s.bitLength + 7) / 8 > data.size())
            continue;
        const quint64 raw = bits(data, s.bitOffset, s.bitLength);
        if (!valid(raw, s.bitLength))
            continue;
        Value v = s.kind == Kind::OnOff
                      ? text(QLatin1String(s.name), raw ? QStringLiteral("on") : QStringLiteral("off"))
                      : number(QLatin1String(s.name), double(raw) * s.scale + s.offset, QString::fromUtf8(s.unit),
                               s.decimals);
        v.extra.insert(QStringLiteral("spn"), int(s.spn));
        out.values.push_back(v);
    }
}

// DM1 and DM2: lamps, then one trouble code per four bytes.
void troubleCodes(const QByteArray& data, Decoded& out)
{
    if (data.size() < 2)
        return;
    static const char* const kLamps[] = {"protect lamp", "amber warning lamp", "red stop lamp", "MIL"};
    for (int i = 0; i < 4; ++i)
        if (((quint8(data.at(0)) >> (2 * i)) & 3) == 1)
            out.values.push_back(text(QLatin1String(kLamps[i]), QStringLiteral("on")));
    for (int at = 2; at + 4 <= data.size(); at += 4) {
        const QByteArray code = data.mid(at, 4);
        const quint32 spn = (le24(code, 0) & 0xFFFF) | (quint32(quint8(code.at(2)) >> 5) << 16);
        const int fmi = quint8(code.at(2)) & 0x1F;
        const int oc = quint8(code.at(3)) & 0x7F;
        // All zeros: "no active fault"; all ones: padding.
        if ((spn == 0 && fmi == 0) || code == QByteArray(4, char(0xFF)))
            continue;
        Value v = text(QStringLiteral("fault"), QStringLiteral("SPN %1 FMI %2 OC %3").arg(spn).arg(fmi).arg(oc));
        v.extra.insert(QStringLiteral("spn"), int(spn));
        v.extra.insert(QStringLiteral("fmi"), fmi);
        v.extra.insert(QStringLiteral("oc"), oc);
        out.values.push_back(v);
    }
}

// Identification texts: fields separated by '*'.
void fields(const QByteArray& data, std::initializer_list<const char*> names, Decoded& out)
{
    const QList<QByteArray> parts = data.split('*');
    int i = 0;
    for (const char* name : names) {
        if (i < parts.size() && !parts.at(i).isEmpty())
            out.values.push_back(text(QLatin1String(name), QString::fromLatin1(parts.at(i)).trimmed()));
        ++i;
    }
}

void acknowledgment(const QByteArray& data, Decoded& out)
{
    static const char* const kControl[] = {"ACK", "NACK", "access denied", "cannot respond"};
    const int control = quint8(data.at(0));
    out.values.push_back(text(QStringLiteral("answer"), control < 4 ? QLatin1String(kControl[control])
                                                                    : QStringLiteral("control %1").arg(control)));
    out.values.push_back(text(QStringLiteral("PGN"), pgnText(le24(data, 5))));
    out.negative = control != 0;
}

}  // namespace

const char* acronym(quint32 pgn)
{
    for (const Group& g : kGroups)
        if (g.pgn == pgn)
            return g.acronym;
    return nullptr;
}

Decoded decode(quint32 pgn, const QByteArray& data)
{
    Decoded out;
    if (const char* name = acronym(pgn))
        out.name = QLatin1String(name);
    switch (pgn) {
        case 65260:
            fields(data, {"VIN"}, out);
            break;
        case 65259:
            fields(data, {"make", "model", "serial number", "unit number"}, out);
            break;
        case 64965:
            fields(data, {"ECU part number", "ECU serial number", "ECU location", "ECU type"}, out);
            break;
        case 65242:
            if (!data.isEmpty())
                for (const QByteArray& id : data.mid(1).split('*'))
                    if (!id.isEmpty())
                        out.values.push_back(text(QStringLiteral("software"), QString::fromLatin1(id)));
            break;
        case 65226:
        case 65227:
            troubleCodes(data, out);
            break;
        case kPgnRequest:
            if (data.size() >= 3)
                out.values.push_back(text(QStringLiteral("for PGN"), pgnText(le24(data, 0))));
            break;
        case kPgnAcknowledgment:
            if (data.size() >= 8)
                acknowledgment(data, out);
            break;
        case 60928:
            if (data.size() == 8) {
                QByteArray name = data;
                std::reverse(name.begin(), name.end());
                out.values.push_back(text(QStringLiteral("NAME"), QString::fromLatin1(name.toHex().toUpper())));
            }
            break;
        default:
            spnValues(pgn, data, out);
            break;
    }
    return out;
}

QByteArray requestMessage(quint32 pgn, quint8 source, quint8 destination)
{
    QByteArray m;
    m.append(char(kPgnRequest & 0xFF)).append(char((kPgnRequest >> 8) & 0xFF)).append(char(kPgnRequest >> 16));
    m.append(char(6)).append(char(source)).append(char(destination));
    m.append(char(pgn & 0xFF)).append(char((pgn >> 8) & 0xFF)).append(char((pgn >> 16) & 0xFF));
    return m;
}

qint64 acknowledgedPgn(const QByteArray& data)
{
    return data.size() >= 8 ? qint64(le24(data, 5)) : -1;
}

}  // namespace rp1210tool::j1939
