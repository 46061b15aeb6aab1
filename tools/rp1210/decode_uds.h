// UDS (ISO 14229) requests and answers carried by ISO 15765: service names, negative
// response codes and the data identifiers whose values are text.
#pragma once

#include "decoded.h"

#include <QByteArray>

namespace rp1210tool::uds {

constexpr quint8 kNegativeResponse = 0x7F, kResponsePending = 0x78;

// "ReadDataByIdentifier", or null when the service is not known.
const char* serviceName(quint8 service);
// "requestOutOfRange", or null when the code is not known.
const char* nrcName(quint8 code);

Decoded decode(const QByteArray& payload);

bool isNegative(const QByteArray& payload);
// A negative answer saying the real one comes later.
bool isPending(const QByteArray& payload);
// Whether `answer` answers `request`: its positive or negative response.
bool answers(const QByteArray& request, const QByteArray& answer);

}  // namespace rp1210tool::uds
