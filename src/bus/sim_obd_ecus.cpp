#include "bus/sim_obd_ecus.h"

#include "adapter/serial_framing.h"
#include "bus/sim_engine_ecu.h"

#include <algorithm>
#include <cmath>

namespace rp1210core::bus {

using adapter::kline::KwpMessage;

QByteArray obd::currentData(quint8 pid, qint64 msSinceStart)
{
    const DriveState s = driveStateAt(msSinceStart);
    switch (pid) {
    case kPidsSupported: {
        // Bit 7 of the first byte is PID 0x01; 0x0C and 0x0D are bits 4 and 3 of the second.
        return QByteArray::fromHex("00180000");
    }
    case kEngineSpeed: {
        const long quarters = std::clamp(std::lround(s.engineRpm * 4), 0L, 0xFFFFL);
        return QByteArray().append(char(quarters >> 8)).append(char(quarters & 0xFF));
    }
    case kVehicleSpeed:
        return QByteArray(1, char(std::clamp(std::lround(s.speedKmh), 0L, 255L)));
    default:
        return QByteArray();
    }
}

// ---- K-line ----

QByteArray SimKwpEcu::initAnswer(KLineBus::Init kind, const QByteArray& request)
{
    if (kind == KLineBus::Init::FiveBaud) {
        const quint8 address = request.size() == 1 ? quint8(request.at(0)) : 0;
        if (address != kAddress && address != kFunctionalAddress)
            return QByteArray();
        return QByteArray().append(char(kKeyByte1)).append(char(kKeyByte2));
    }
    const auto m = KwpMessage::decode(request);
    if (!m || m->data != QByteArray(1, char(kStartCommunication)) ||
        !((m->mode == KwpMessage::Physical && m->target == kAddress) ||
          (m->mode == KwpMessage::Functional && m->target == kFunctionalAddress)))
        return QByteArray();
    KwpMessage r;
    r.target = m->source;
    r.source = kAddress;
    r.data = QByteArray().append(char(kStartCommunication + obd::kPositive)).append(char(kKeyByte1)).append(char(kKeyByte2));
    return r.encode();
}

void SimKwpEcu::receive(const QByteArray& message, qint64 nowMs, std::vector<QByteArray>& out)
{
    const auto m = KwpMessage::decode(message);
    if (!m || !awake(nowMs))
        return;  // line noise, or asleep: only an initialisation wakes us
    const bool forUs = (m->mode == KwpMessage::Physical && m->target == kAddress) ||
                       (m->mode == KwpMessage::Functional && m->target == kFunctionalAddress) ||
                       (m->mode == KwpMessage::Carb && m->target == kCarbTarget) || m->mode == KwpMessage::NoAddress;
    if (!forUs)
        return;
    lastMs_ = nowMs;
    const QByteArray data = answer(m->data, nowMs);
    if (data.isEmpty())
        return;
    if (quint8(data.at(0)) == kStopCommunication + obd::kPositive)
        lastMs_ = -1;  // asleep again once the answer is out
    KwpMessage r;
    r.mode = m->mode == KwpMessage::Functional ? quint8(KwpMessage::Physical) : m->mode;
    r.carbFormat = 0x48;
    r.target = m->mode == KwpMessage::Carb ? quint8(0x6B) : m->source;
    r.source = kAddress;
    r.data = data;
    out.push_back(r.encode());
}

QByteArray SimKwpEcu::answer(const QByteArray& request, qint64 nowMs)
{
    const quint8 service = quint8(request.at(0));
    const QByteArray positive(1, char(service + obd::kPositive));
    auto negative = [service](quint8 code) {
        return QByteArray().append(char(kNegative)).append(char(service)).append(char(code));
    };
    switch (service) {
    case kStartCommunication:
        return positive + char(kKeyByte1) + char(kKeyByte2);
    case kStopCommunication:
        return positive;
    case kTesterPresent:
        // responseRequired 0x02: the tester wants no answer.
        return request.size() >= 2 && quint8(request.at(1)) == 0x02 ? QByteArray() : positive;
    case kReadEcuIdentification:
        if (request.size() != 2 || quint8(request.at(1)) != kIdentificationVin)
            return negative(kSubFunctionNotSupported);
        return positive + char(kIdentificationVin) + QByteArray(SimEngineEcu::kVin);
    case obd::kCurrentData: {
        if (request.size() != 2)
            return QByteArray();
        const QByteArray value = obd::currentData(quint8(request.at(1)), nowMs - startMs_);
        return value.isEmpty() ? QByteArray() : positive + request.at(1) + value;
    }
    default:
        return negative(kServiceNotSupported);
    }
}

// ---- J1850 ----

void SimJ1850Ecu::receive(const QByteArray& frame, qint64 nowMs, std::vector<QByteArray>& out) const
{
    // header (3), service, PID, CRC
    if (!adapter::j1850::checkFrame(frame) || frame.size() != 6 || quint8(frame.at(0)) != requestPriority() ||
        (quint8(frame.at(1)) != kFunctionalTarget && quint8(frame.at(1)) != kAddress) ||
        quint8(frame.at(3)) != obd::kCurrentData)
        return;
    const quint8 pid = quint8(frame.at(4));
    const QByteArray value = obd::currentData(pid, nowMs - startMs_);
    if (value.isEmpty())
        return;
    QByteArray r;
    r.append(char(responsePriority())).append(char(kResponseTarget)).append(char(kAddress));
    r.append(char(obd::kCurrentData + obd::kPositive)).append(char(pid)).append(value);
    out.push_back(adapter::j1850::withCrc(r));
}

}  // namespace rp1210core::bus
