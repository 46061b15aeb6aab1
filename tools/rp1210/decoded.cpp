#include "decoded.h"

#include <QJsonArray>
#include <QStringList>

#include <cctype>

namespace rp1210tool {

Value number(const QString& name, double v, const QString& unit, int decimals)
{
    Value out;
    out.name = name;
    out.number = v;
    out.unit = unit;
    out.decimals = decimals;
    return out;
}

Value text(const QString& name, const QString& v)
{
    Value out;
    out.name = name;
    out.numeric = false;
    out.text = v;
    return out;
}

namespace {

QString valueText(const Value& v)
{
    QString s = v.name;
    const QString shown = v.numeric ? QString::number(v.number, 'f', v.decimals) : v.text;
    if (!shown.isEmpty())
        s += QLatin1Char(' ') + shown;
    if (!v.unit.isEmpty())
        s += QLatin1Char(' ') + v.unit;
    return s;
}

}  // namespace

QString toText(const Decoded& d)
{
    QStringList parts;
    for (const Value& v : d.values)
        parts.append(valueText(v));
    if (parts.isEmpty())
        return d.name;
    return d.name.isEmpty() ? parts.join(QLatin1String(", "))
                            : d.name + QLatin1String(": ") + parts.join(QLatin1String(", "));
}

QJsonObject toJson(const Decoded& d)
{
    QJsonObject o;
    if (!d.name.isEmpty())
        o.insert(QStringLiteral("name"), d.name);
    if (d.negative)
        o.insert(QStringLiteral("negative"), true);
    QJsonArray values;
    for (const Value& v : d.values) {
        QJsonObject j = v.extra;
        j.insert(QStringLiteral("name"), v.name);
        if (v.numeric)
            j.insert(QStringLiteral("value"), v.number);
        else
            j.insert(QStringLiteral("value"), v.text);
        if (!v.unit.isEmpty())
            j.insert(QStringLiteral("unit"), v.unit);
        values.append(j);
    }
    if (!values.isEmpty())
        o.insert(QStringLiteral("values"), values);
    return o;
}

QString hexBytes(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

bool parseHexBytes(const QString& text, QByteArray* out)
{
    QString digits;
    for (const QChar c : text) {
        if (c.isSpace())
            continue;
        if (c.unicode() > 0x7F || !std::isxdigit(c.toLatin1()))
            return false;
        digits.append(c);
    }
    if (digits.size() % 2 != 0)
        return false;
    *out = QByteArray::fromHex(digits.toLatin1());
    return true;
}

QString printable(const QByteArray& bytes)
{
    QString s;
    for (const char c : bytes)
        s.append(c >= 0x20 && c < 0x7F ? QLatin1Char(c) : QLatin1Char('.'));
    return s;
}

}  // namespace rp1210tool
