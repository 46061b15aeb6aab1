#include "filters.h"

#include <rp1210.h>

#include <QStringList>

namespace rp1210tool {

namespace {

void appendBigEndian32(QByteArray& b, quint32 v)
{
    for (int i = 3; i >= 0; --i)
        b.append(char((v >> (8 * i)) & 0xFF));
}

// "id=HEX[/MASK]": the identifier and the mask of the bits that must match (all of
// them when none is given).
bool idAndMask(const QString& value, quint32* id, quint32* mask, bool* extended)
{
    const QStringList parts = value.split(QLatin1Char('/'));
    if (parts.size() > 2 || !parseCanId(parts.at(0), id, extended))
        return false;
    *mask = *extended ? 0x1FFFFFFF : 0x7FF;
    bool unused = false;
    return parts.size() == 1 || parseCanId(parts.at(1), mask, &unused);
}

}  // namespace

int filterCommand(Family f)
{
    switch (f) {
        case Family::J1939:
            return RP1210_Set_Message_Filtering_For_J1939;
        case Family::Can:
            return RP1210_Set_Message_Filtering_For_CAN;
        case Family::Iso15765:
            return RP1210_Set_Message_Filtering_For_ISO15765;
        case Family::J1708:
            return RP1210_Set_Message_Filtering_For_J1708;
        case Family::Bytes:
            break;
    }
    return -1;
}

bool filterRecord(Family f, const QString& wanted, QByteArray* record, QString* error)
{
    quint32 pgn = 0, priority = 0, source = 0, destination = 0, mid = 0, id = 0, mask = 0;
    quint8 flags = 0;
    bool extended = false;
    for (const QString& item : wanted.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString key = item.section(QLatin1Char('='), 0, 0).trimmed();
        const QString value = item.section(QLatin1Char('='), 1).trimmed();
        bool ok = false;
        if (f == Family::J1939 && key == QLatin1String("pgn")) {
            ok = parseNumber(value, 0x3FFFF, &pgn);
            flags |= FILTER_PGN;
        } else if (f == Family::J1939 && key == QLatin1String("priority")) {
            ok = parseNumber(value, 7, &priority);
            flags |= FILTER_PRIORITY;
        } else if (f == Family::J1939 && key == QLatin1String("sa")) {
            ok = parseNumber(value, 0xFF, &source);
            flags |= FILTER_SOURCE;
        } else if (f == Family::J1939 && key == QLatin1String("da")) {
            ok = parseNumber(value, 0xFF, &destination);
            flags |= FILTER_DESTINATION;
        } else if (f == Family::J1708 && key == QLatin1String("mid")) {
            ok = parseNumber(value, 0xFF, &mid);
            flags = 1;
        } else if ((f == Family::Can || f == Family::Iso15765) && key == QLatin1String("id")) {
            ok = idAndMask(value, &id, &mask, &extended);
            flags = 1;
        }
        if (!ok) {
            *error = QStringLiteral("bad filter item \"%1\" for %2").arg(item, familyName(f));
            return false;
        }
    }
    if (flags == 0) {
        *error = QStringLiteral("empty filter \"%1\"").arg(wanted);
        return false;
    }
    QByteArray r;
    switch (f) {
        case Family::J1939:
            // Flags, PGN (least significant first), priority, source, destination.
            r.append(char(flags)).append(char(pgn & 0xFF)).append(char((pgn >> 8) & 0xFF)).append(char(pgn >> 16));
            r.append(char(priority)).append(char(source)).append(char(destination));
            break;
        case Family::Can:
            // Type, mask, header; most significant byte first.
            r.append(char(extended ? 1 : 0));
            appendBigEndian32(r, mask);
            appendBigEndian32(r, id);
            break;
        case Family::Iso15765:
            // Type, mask, extended-address mask, header, extended address.
            r.append(char(extended ? 1 : 0));
            appendBigEndian32(r, mask);
            r.append(char(0));
            appendBigEndian32(r, id);
            r.append(char(0));
            break;
        case Family::J1708:
            r.append(char(mid));
            break;
        case Family::Bytes:
            *error = QStringLiteral("no filters for this protocol");
            return false;
    }
    *record = r;
    return true;
}

}  // namespace rp1210tool
