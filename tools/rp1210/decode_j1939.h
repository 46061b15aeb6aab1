// J1939 messages in engineering units: the names of well-known parameter groups, the
// parameters (SPNs) of the broadcast groups, diagnostic messages, identification texts,
// requests and acknowledgments.
#pragma once

#include "decoded.h"

#include <QByteArray>

namespace rp1210tool::j1939 {

constexpr quint32 kPgnRequest = 59904, kPgnAcknowledgment = 59392;
constexpr quint8 kGlobal = 0xFF;

// "EEC1", or null when the group is not known.
const char* acronym(quint32 pgn);
Decoded decode(quint32 pgn, const QByteArray& data);

// A request for `pgn` in the send layout: PGN, how/priority, source, destination, data.
QByteArray requestMessage(quint32 pgn, quint8 source, quint8 destination);
// The group an acknowledgment refers to, or -1 when `data` is no acknowledgment.
qint64 acknowledgedPgn(const QByteArray& data);

}  // namespace rp1210tool::j1939
