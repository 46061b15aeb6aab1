// Framing of the K-line and J1850 messages: the one-byte sum of ISO 9141-2 and
// ISO 14230-2, the ISO 14230-2 header, and the CRC of SAE J1850. Shared by the adapter
// and the simulated ECUs, so both sides of the simulated wire frame alike.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace rp1210core::adapter {

namespace kline {

// The sum of the bytes, modulo 256.
quint8 checksum(const char* bytes, int size);
QByteArray withChecksum(const QByteArray& message);
// At least one byte before the checksum, and the checksum right.
bool checkMessage(const QByteArray& message);

// An ISO 14230-2 message. The format byte's top bits give the addressing: none, the
// exception mode (CARB: the three-byte header of ISO 9141-2, no length), physical or
// functional; outside CARB mode its low six bits are the data length, 0 meaning a
// length byte after the header.
struct KwpMessage {
    enum Mode : quint8 { NoAddress = 0x00, Carb = 0x40, Physical = 0x80, Functional = 0xC0 };
    static constexpr int kMaxData = 255;

    quint8 mode = Physical;
    quint8 carbFormat = 0x68;  // CARB mode: the whole first byte (0x68 request, 0x48 response)
    quint8 target = 0, source = 0;
    QByteArray data;  // service identifier first

    // The whole message with the checksum; empty when the data do not fit.
    QByteArray encode() const;
    // Reads a whole message, checksum included; nullopt when its length or checksum is wrong.
    static std::optional<KwpMessage> decode(const QByteArray& message);
};

}  // namespace kline

namespace j1850 {

// SAE J1850's CRC-8: polynomial x^8 + x^4 + x^3 + x^2 + 1, initial value 0xFF, sent inverted.
quint8 crc(const char* bytes, int size);
QByteArray withCrc(const QByteArray& message);
// A header byte at least, and the CRC right.
bool checkFrame(const QByteArray& frame);

}  // namespace j1850

}  // namespace rp1210core::adapter
