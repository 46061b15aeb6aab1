// The simulated vehicle's controllers on its byte buses, reporting from the same drive
// cycle as the J1939 engine controller:
//
// SimKwpEcu, an engine controller on the K-line speaking KWP2000 (ISO 14230-2 framing,
// ISO 14230-3 services, OBD over ISO 14230-4). It wakes by a five-baud initialisation at
// its own or the OBD address, answering key word 2031 (KB1 0xEF, KB2 0x8F: header with
// target and source, length in the format byte or a length byte, normal timing), or by a
// fast initialisation whose StartCommunication it answers with 0xC1 and the key bytes.
// Awake, it answers messages to its address (physical 0x11, functional 0x33, or the
// three-byte header 0x68 0x6A 0xF1 of ISO 9141-2) until P3max passes without one:
// StartCommunication, StopCommunication, TesterPresent, ReadECUIdentification (0x90, the
// VIN) and OBD service 01 PIDs 0x00, 0x0C (engine speed) and 0x0D (vehicle speed); other
// services get negative response 0x11, other identification options 0x12, and an
// unsupported PID no answer (SAE J1979).
//
// SimJ1850Ecu, an engine controller at node address 0x10 on J1850 VPW or PWM answering OBD
// service 01 PIDs 0x00, 0x0C and 0x0D to the functional request header of SAE J1979
// (VPW 0x68 0x6A 0xF1, PWM 0x61 0x6A 0xF1) with its response header (0x48 or 0x41, 0x6B,
// 0x10); it ignores messages with a wrong CRC and requests it does not support.
//
// I/O-free: whole messages and the time (ms) in, messages out. One thread drives each.
#pragma once

#include "bus/bus.h"

#include <QByteArray>

#include <vector>

namespace rp1210core::bus {

namespace obd {
constexpr quint8 kCurrentData = 0x01, kPositive = 0x40;
constexpr quint8 kPidsSupported = 0x00, kEngineSpeed = 0x0C, kVehicleSpeed = 0x0D;
// The value bytes of a supported service 01 PID at a moment of the drive cycle; empty when unsupported.
QByteArray currentData(quint8 pid, qint64 msSinceStart);
}  // namespace obd

class SimKwpEcu {
public:
    static constexpr quint8 kAddress = 0x11, kFunctionalAddress = 0x33, kCarbTarget = 0x6A;
    static constexpr quint8 kKeyByte1 = 0xEF, kKeyByte2 = 0x8F;
    static constexpr qint64 kP3MaxMs = 5000;
    // Services and codes of ISO 14230-3.
    static constexpr quint8 kStartCommunication = 0x81, kStopCommunication = 0x82, kTesterPresent = 0x3E,
                            kReadEcuIdentification = 0x1A, kIdentificationVin = 0x90;
    static constexpr quint8 kNegative = 0x7F, kServiceNotSupported = 0x11, kSubFunctionNotSupported = 0x12;

    // The answer to an initialisation, empty when it is not for this ECU. Depends on
    // nothing but the request, so the bus may ask from its own thread.
    static QByteArray initAnswer(KLineBus::Init kind, const QByteArray& request);

    void start(qint64 nowMs) { startMs_ = nowMs; }
    // An initialisation that initAnswer answered: communication starts.
    void initialised(qint64 nowMs) { lastMs_ = nowMs; }
    // A message of another node; appends this ECU's response, if any.
    void receive(const QByteArray& message, qint64 nowMs, std::vector<QByteArray>& out);
    bool awake(qint64 nowMs) const { return lastMs_ >= 0 && nowMs - lastMs_ <= kP3MaxMs; }

private:
    QByteArray answer(const QByteArray& request, qint64 nowMs);

    qint64 startMs_ = 0;
    qint64 lastMs_ = -1;  // the last message for us, -1 while asleep
};

class SimJ1850Ecu {
public:
    static constexpr quint8 kAddress = 0x10, kFunctionalTarget = 0x6A, kResponseTarget = 0x6B;

    explicit SimJ1850Ecu(bool pwm) : pwm_(pwm) {}
    quint8 requestPriority() const { return pwm_ ? 0x61 : 0x68; }
    quint8 responsePriority() const { return pwm_ ? 0x41 : 0x48; }

    void start(qint64 nowMs) { startMs_ = nowMs; }
    void receive(const QByteArray& frame, qint64 nowMs, std::vector<QByteArray>& out) const;

private:
    bool pwm_;
    qint64 startMs_ = 0;
};

}  // namespace rp1210core::bus
