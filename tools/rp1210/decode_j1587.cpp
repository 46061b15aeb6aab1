#include "decode_j1587.h"

namespace rp1210tool::j1587 {

namespace {

struct Mid {
    quint8 mid;
    const char* name;
};

constexpr Mid kMids[] = {
    {128, "engine #1"},
    {129, "turbocharger"},
    {130, "transmission"},
    {131, "power takeoff"},
    {136, "brakes, power unit"},
    {137, "brakes, trailer #1"},
    {140, "instrument cluster"},
    {142, "vehicle management system"},
    {172, "off-board diagnostics #1"},
};

struct Pid {
    int pid;
    const char* name;
    double scale;
    const char* unit;
    int decimals;
    bool isSigned;
};

constexpr Pid kPids[] = {
    {84, "road speed", 0.5, "mph", 1, false},
    {91, "accelerator pedal position", 0.4, "%", 1, false},
    {92, "engine load", 0.5, "%", 1, false},
    {96, "fuel level", 0.5, "%", 1, false},
    {100, "oil pressure", 0.5, "psi", 1, false},
    {102, "boost pressure", 0.125, "psi", 1, false},
    {105, "intake manifold temperature", 1, "°F", 0, false},
    {110, "coolant temperature", 1, "°F", 0, false},
    {168, "battery potential", 0.05, "V", 2, false},
    {171, "ambient air temperature", 0.25, "°F", 1, true},
    {190, "engine speed", 0.25, "rpm", 1, false},
    {245, "total vehicle distance", 0.1, "mi", 1, false},
    {247, "total engine hours", 0.05, "h", 2, false},
};

const Pid* findPid(int pid)
{
    for (const Pid& p : kPids)
        if (p.pid == pid)
            return &p;
    return nullptr;
}

Value pidValue(int pid, const QByteArray& bytes)
{
    const Pid* known = findPid(pid);
    if (known == nullptr || bytes.isEmpty() || bytes.size() > 4) {
        Value v = text(QStringLiteral("PID %1").arg(pid), hexBytes(bytes));
        v.extra.insert(QStringLiteral("pid"), pid);
        return v;
    }
    quint32 raw = 0;
    for (int i = bytes.size() - 1; i >= 0; --i)
        raw = (raw << 8) | quint8(bytes.at(i));
    double v = raw;
    if (known->isSigned && bytes.size() < 4 && (raw >> (8 * bytes.size() - 1)) != 0)
        v -= double(quint64(1) << (8 * bytes.size()));
    Value out = number(QLatin1String(known->name), v * known->scale, QString::fromUtf8(known->unit), known->decimals);
    out.extra.insert(QStringLiteral("pid"), pid);
    return out;
}

}  // namespace

const char* midName(quint8 mid)
{
    for (const Mid& m : kMids)
        if (m.mid == mid)
            return m.name;
    return nullptr;
}

Decoded decode(quint8 mid, const QByteArray& data)
{
    Decoded out;
    const char* name = midName(mid);
    out.name = name ? QLatin1String(name) : QStringLiteral("MID %1").arg(mid);
    int at = 0;
    const int n = data.size();
    while (at < n) {
        int pid = quint8(data.at(at++));
        if (pid == 255) {  // page 2: the next byte numbers the parameter
            if (at >= n)
                break;
            pid = 256 + quint8(data.at(at++));
        }
        const int base = pid % 256;
        int length;
        if (base == 254) {
            length = n - at;  // data link escape: the rest of the message
        } else if (base < 128) {
            length = 1;
        } else if (base < 192) {
            length = 2;
        } else {
            if (at >= n)
                break;
            length = quint8(data.at(at++));
        }
        if (at + length > n) {
            out.values.push_back(text(QStringLiteral("PID %1").arg(pid), QStringLiteral("truncated")));
            break;
        }
        out.values.push_back(pidValue(pid, data.mid(at, length)));
        at += length;
    }
    return out;
}

}  // namespace rp1210tool::j1587
