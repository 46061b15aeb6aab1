// The byte buses' framing: J1708 messages with their checksum within 21 bytes, the K-line's
// checksum and KWP2000 headers, the J1850 CRC.
#include "adapter/j1708_framing.h"
#include "adapter/serial_framing.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

using namespace rp1210core::adapter;
using kline::KwpMessage;

namespace {

TEST(J1708Framing, BuildAndCheck)
{
    const char* const longest = "80 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 c2";
    const std::pair<int, const char*> built[] = {  // data bytes pattern(n, 1) after MID 0x80; nullptr: refused
        {0, "80 80"}, {3, "80 01 02 03 7a"}, {19, longest}, {20, nullptr}, {-1, nullptr}};
    for (const auto& [size, expected] : built) {
        QByteArray out("stale");
        const int n = j1708::buildMessage(0x80, ubytes(pattern(size > 0 ? size : 0, 1)), size, out);
        EXPECT_EQ(toHex(out), toHex(hex(expected ? expected : ""))) << size;
        EXPECT_EQ(n, expected ? out.size() : -1);
    }
    const std::pair<const char*, bool> received[] = {
        {"80 be 10 00 b2", true}, {"80 be 10 00 b3", false}, {"ff 01 00", true}, {"80", false}, {"", false},
        {longest, true}, {"80 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 ae", false},  // 22 bytes
    };
    for (const auto& [text, valid] : received)
        EXPECT_EQ(j1708::checkMessage(hex(text)), valid) << text;
}

TEST(SerialFraming, ChecksumsAndCrcs)
{
    const std::pair<const char*, const char*> sums[] = {
        // message without checksum, with it (ISO 14230-2 / ISO 9141-2: the sum modulo 256)
        {"c1 33 f1 81", "c1 33 f1 81 66"}, {"83 f1 10 c1 e9 8f", "83 f1 10 c1 e9 8f bd"},
        {"68 6a f1 01 00", "68 6a f1 01 00 c4"}, {"ff 01", "ff 01 00"},
    };
    for (const auto& [plain, framed] : sums) {
        EXPECT_EQ(toHex(kline::withChecksum(hex(plain))), framed);
        EXPECT_TRUE(kline::checkMessage(hex(framed))) << framed;
        QByteArray wrong = hex(framed);
        wrong[wrong.size() - 1] = char(wrong.at(wrong.size() - 1) + 1);
        EXPECT_FALSE(kline::checkMessage(wrong)) << framed;
    }
    EXPECT_FALSE(kline::checkMessage(hex("00")));  // a checksum alone is no message
    const std::pair<const char*, const char*> crcs[] = {  // SAE J1850 CRC-8
        {"68 6a f1 01 00", "17"}, {"68 6a f1 01 0c", "8b"}, {"", "00"}, {"00", "3b"}, {"ff", "ff"}};
    for (const auto& [message, crc] : crcs) {
        const QByteArray m = hex(message);
        EXPECT_EQ(toHex(QByteArray(1, char(j1850::crc(m.constData(), m.size())))), crc) << message;
    }
    EXPECT_TRUE(j1850::checkFrame(hex("68 6a f1 01 00 17")));
    EXPECT_FALSE(j1850::checkFrame(hex("68 6a f1 01 00 18")));
    EXPECT_FALSE(j1850::checkFrame(hex("ff")));
}

TEST(SerialFraming, KwpHeadersEncodeAndDecode)
{
    const QByteArray long70 = pattern(70, 1);
    const std::pair<KwpMessage, std::string> rows[] = {
        {{KwpMessage::Physical, 0x68, 0x11, 0xF1, hex("81")}, "81 11 f1 81 04"},
        {{KwpMessage::Functional, 0x68, 0x33, 0xF1, hex("01 0c")}, "c2 33 f1 01 0c f3"},
        {{KwpMessage::NoAddress, 0x68, 0, 0, hex("3e")}, "01 3e 3f"},
        {{KwpMessage::Carb, 0x68, 0x6A, 0xF1, hex("01 0d")}, "68 6a f1 01 0d d1"},
        // over 63 data bytes: a length byte after the header
        {{KwpMessage::Physical, 0x68, 0xF1, 0x11, long70}, "80 f1 11 46 " + toHex(long70) + " 7d"},
    };
    for (const auto& [m, wire] : rows) {
        SCOPED_TRACE(wire);
        EXPECT_EQ(toHex(m.encode()), wire);
        const auto back = KwpMessage::decode(hex(wire.c_str()));
        ASSERT_TRUE(back.has_value());
        EXPECT_TRUE(back->mode == m.mode && back->data == m.data && back->target == m.target);
    }
    // Refused: wrong checksum, a length that disagrees, no data, too much data.
    for (const char* bad : {"81 11 f1 81 05", "82 11 f1 81 05", "80 11 f1 00 82", "81 11 f1 83"})
        EXPECT_FALSE(KwpMessage::decode(hex(bad)).has_value()) << bad;
    KwpMessage tooLong;
    tooLong.data = QByteArray(256, 'x');
    EXPECT_TRUE(tooLong.encode().isEmpty());
}

}  // namespace
