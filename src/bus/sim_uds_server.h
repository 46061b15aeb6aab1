// The simulated vehicle's UDS server (ISO 14229 over ISO 15765-2) at request 0x7E0 and
// response 0x7E8, 11-bit identifiers, normal addressing: session control, tester present
// and ReadDataByIdentifier, with the negative responses of ISO 14229 for the rest.
// I/O-free: frames and the time (ms) in, frames out, run() at nextDue(). One thread drives it.
#pragma once

#include "adapter/iso15765_transport.h"
#include "bus/can_frame.h"

#include <QByteArray>

#include <vector>

namespace rp1210core::bus {

class SimUdsServer {
public:
    static constexpr quint32 kRequestId = 0x7E0, kResponseId = 0x7E8;
    static constexpr quint16 kP2Ms = 50;         // sent in 1 ms units
    static constexpr quint16 kP2StarMs = 5000;   // sent in 10 ms units
    static constexpr qint64 kS3Ms = 5000;        // a non-default session without tester present ends
    static constexpr quint8 kDefaultSession = 0x01, kExtendedSession = 0x03;

    // Negative response codes.
    static constexpr quint8 kServiceNotSupported = 0x11, kSubFunctionNotSupported = 0x12,
                            kIncorrectLength = 0x13, kRequestOutOfRange = 0x31;
    // Identifiers ReadDataByIdentifier answers.
    static constexpr quint16 kDidVin = 0xF190, kDidSerialNumber = 0xF18C;

    explicit SimUdsServer(const QByteArray& vin);

    void receive(const CanFrame& frame, qint64 nowMs);
    void run(qint64 nowMs);
    qint64 nextDue() const;
    void take(std::vector<CanFrame>& frames);

    quint8 session() const { return session_; }

private:
    void drain(qint64 nowMs);
    void handle(const QByteArray& request, qint64 nowMs);
    void respond(const QByteArray& response, qint64 nowMs);
    void negative(quint8 service, quint8 code, qint64 nowMs);
    QByteArray readIdentifier(quint16 did) const;

    adapter::IsoTpEngine transport_;
    adapter::IsoTpOutput output_;
    int connection_ = -1;
    QByteArray vin_;
    quint8 session_ = kDefaultSession;
    qint64 sessionEndMs_ = -1;  // S3: the non-default session falls back at this time
    std::vector<CanFrame> frames_;
};

}  // namespace rp1210core::bus
