// What a decoder makes of a message: a name and values in engineering units, shown as
// text on one line or as JSON for scripts.
#pragma once

#include <QJsonObject>
#include <QString>

#include <vector>

namespace rp1210tool {

struct Value {
    QString name;  // "engine speed"
    bool numeric = true;
    double number = 0;
    int decimals = 1;
    QString text;  // when not numeric: "1SVTR5EX7PS000042", "on"
    QString unit;
    QJsonObject extra;  // fields for scripts, e.g. {"spn": 190}
};

struct Decoded {
    QString name;  // "EEC1", "engine #1", "ReadDataByIdentifier"
    std::vector<Value> values;
    bool negative = false;  // a refusal: a NACK, a negative UDS answer

    bool empty() const { return name.isEmpty() && values.empty(); }
};

Value number(const QString& name, double v, const QString& unit, int decimals);
Value text(const QString& name, const QString& v);

// "EEC1: engine speed 656.0 rpm, actual engine torque 8 %"
QString toText(const Decoded& d);
// {"name": "EEC1", "values": [{"name": "engine speed", "value": 656, "unit": "rpm"}, ...]}
QJsonObject toJson(const Decoded& d);

// "F0 7D 7D" and the reverse; the reverse accepts bytes with or without spaces and
// fails (returns false) on anything that is not whole hex bytes.
QString hexBytes(const QByteArray& bytes);
bool parseHexBytes(const QString& text, QByteArray* out);
// Printable ASCII as is, anything else as '.'.
QString printable(const QByteArray& bytes);

}  // namespace rp1210tool
