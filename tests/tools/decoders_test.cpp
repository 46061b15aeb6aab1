// The tool's decoders and its message notation, on messages built by hand.
#include "decode_j1587.h"
#include "decode_j1939.h"
#include "decode_uds.h"
#include "filters.h"
#include "notation.h"

#include <gtest/gtest.h>

using namespace rp1210tool;

namespace {

// Hex bytes; spaces (and anything else that is not hex) are skipped.
QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

std::string shown(const Decoded& d)
{
    return toText(d).toStdString();
}

}  // namespace

TEST(ToolDecoders, J1939GroupsInEngineeringUnits)
{
    struct Case {
        quint32 pgn;
        const char* data;
        const char* text;
    } const cases[] = {
        // Engine speed 0x1480 * 0.125 = 656 rpm; torque bytes 125 offset.
        {61444, "f1857d8014000f7d",
         "EEC1: driver's demand torque 8 %, actual engine torque 0 %, engine speed 656.0 rpm"},
        // 88 km/h = 0x5800 / 256; parking brake off, cruise on, brake switch off.
        {65265, "c0005805ff58ffff",
         "CCVS: parking brake off, wheel-based vehicle speed 88.0 km/h, cruise control on, "
         "brake switch off, cruise set speed 88 km/h"},
        // Not available (0xFFFF) and error ranges leave the value out.
        {61444, "ffffff ffff ffffff", "EEC1"},
        {65262, "5affffffffffffff", "ET1: coolant temperature 50 °C"},
        // DM1: MIL and amber lamp, SPN 4364 FMI 18 OC 3, padding.
        {65226, "44ff0c11120 3ffff", "DM1: amber warning lamp on, MIL on, fault SPN 4364 FMI 18 OC 3"},
        {65226, "00ff00000000ffff", "DM1"},
        {65260, "3153565452354558375053303030303432 2a", "VI: VIN 1SVTR5EX7PS000042"},
        {65259, "53494d2a53452d31332a534e2a45434d312a",
         "CI: make SIM, model SE-13, serial number SN, unit number ECM1"},
        {59904, "ecfe00", "RQST: for PGN 65260 (VI)"},
        {59392, "01ffffff f9ecfe00", "ACKM: answer NACK, PGN 65260 (VI)"},
        {12345, "0102", ""},
    };
    for (const Case& c : cases) {
        const QByteArray data = hex(c.data);
        EXPECT_EQ(shown(j1939::decode(c.pgn, data)), c.text) << c.pgn << " " << c.data;
    }
    EXPECT_TRUE(j1939::decode(59392, hex("01ffffff f9ecfe00")).negative);
    EXPECT_FALSE(j1939::decode(59392, hex("00ffffff f9ecfe00")).negative);
    EXPECT_EQ(j1939::acknowledgedPgn(hex("01ffffff f9ecfe00")), 65260);
    EXPECT_EQ(j1939::requestMessage(65260, 0xF9, 0x00), hex("00ea0006f900ecfe00"));
}

TEST(ToolDecoders, J1587ParametersByTheirLengthRules)
{
    struct Case {
        quint8 mid;
        const char* data;
        const char* text;
    } const cases[] = {
        {128, "542abe100a", "engine #1: road speed 21.0 mph, engine speed 644.0 rpm"},
        // A variable-length parameter (count byte) and an unknown one-byte parameter.
        {130, "f704e8030000 0163", "transmission: total engine hours 50.00 h, PID 1 63"},
        // Page 2 (255 then the number), a negative signed value, a truncated message.
        {140, "ff0511 ab56ff", "instrument cluster: PID 261 11, ambient air temperature -42.5 °F"},
        {99, "be10", "MID 99: PID 190 truncated"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(shown(j1587::decode(c.mid, hex(c.data))), c.text) << c.data;
}

TEST(ToolDecoders, UdsServicesAndNegativeCodes)
{
    struct Case {
        const char* payload;
        const char* text;
        bool negative;
    } const cases[] = {
        {"22f190", "ReadDataByIdentifier: DID F190 (VIN)", false},
        {"62f190 31535654", "ReadDataByIdentifier positive: VIN 1SVT", false},
        {"62f1230102", "ReadDataByIdentifier positive: DID F123 01 02", false},
        {"7f2231", "ReadDataByIdentifier negative: NRC 31 requestOutOfRange", true},
        {"7f9901", "service 99 negative: NRC 01", true},
        {"5003003201f4", "DiagnosticSessionControl positive: session extended, P2 50 ms, P2* 5000 ms", false},
        {"7e00", "TesterPresent positive: data 00", false},
    };
    for (const Case& c : cases) {
        const Decoded d = uds::decode(hex(c.payload));
        EXPECT_EQ(shown(d), c.text) << c.payload;
        EXPECT_EQ(d.negative, c.negative) << c.payload;
    }
    EXPECT_TRUE(uds::isPending(hex("7f2278")));
    EXPECT_FALSE(uds::isPending(hex("7f2231")));
    EXPECT_TRUE(uds::answers(hex("22f190"), hex("62f190")));
    EXPECT_TRUE(uds::answers(hex("22f190"), hex("7f2231")));
    EXPECT_FALSE(uds::answers(hex("22f190"), hex("7f1031")));
    EXPECT_FALSE(uds::answers(hex("22f190"), hex("5003")));
}

TEST(ToolNotation, ReadLayoutsPrintAsTheNotationSendTakesBack)
{
    // Timestamp 0x3039 ms = 12.345 s, then each family's fields.
    struct Case {
        Family family;
        const char* raw;
        const char* printed;
        const char* sendLayout;
    } const cases[] = {
        {Family::J1939, "00003039 04f000 03 00 ff f07d7d", "3 61444 00->FF [3] F0 7D 7D", "04f000 03 00ff f07d7d"},
        {Family::Can, "00003039 01 18fef100 c000", "18FEF100 [2] C0 00", "01 18fef100 c000"},
        {Family::Can, "00003039 00 07e0 0322f190", "7E0 [4] 03 22 F1 90", "00 07e0 0322f190"},
        {Family::Iso15765, "00003039 00 00 000007e8 62f190", "7E8 [3] 62 F1 90", "00 000007e8 62f190"},
        {Family::Iso15765, "00003039 00 03 18da00f1 33 3e00", "18DA00F1:33 [2] 3E 00", "03 18da00f1 33 3e00"},
        {Family::J1708, "00003039 80 542a", "128 [2] 54 2A", "08 80 542a"},
        {Family::Bytes, "00003039 486b10", "[3] 48 6B 10", "486b10"},
    };
    for (const Case& c : cases) {
        Message m;
        ASSERT_TRUE(parseRead(c.family, hex(c.raw), false, 1000, &m)) << c.raw;
        EXPECT_DOUBLE_EQ(m.seconds, 12.345);
        EXPECT_EQ(notation(m).toStdString(), c.printed);
        QByteArray sent;
        QString error;
        ASSERT_TRUE(parseNotation(c.family, notation(m), 0xF9, &sent, &error)) << error.toStdString();
        EXPECT_EQ(sent, hex(c.sendLayout)) << c.printed;
    }
    // With echo on, the echo byte comes behind the timestamp.
    Message echoed;
    ASSERT_TRUE(parseRead(Family::J1939, hex("00000001 01 00ea00 06 f9 ff ecfe00"), true, 1000, &echoed));
    EXPECT_TRUE(echoed.echo);
    EXPECT_EQ(echoed.pgn, 59904u);
    EXPECT_FALSE(parseRead(Family::J1939, hex("00000001 00ea00 06f9"), false, 1000, &echoed));
    EXPECT_FALSE(parseRead(Family::Can, hex("00000001 01 18fe"), false, 1000, &echoed));
}

TEST(ToolNotation, WrittenForms)
{
    struct Case {
        Family family;
        const char* text;
        const char* layout;  // null: refused
    } const cases[] = {
        {Family::J1939, "6 59904 FF EC FE 00", "00ea00 06 f9 ff ecfe00"},
        {Family::J1939, "6 0xEA00 00->ff ecfe00", "00ea00 06 00 ff ecfe00"},
        {Family::J1939, "8 59904 FF", nullptr},               // priority above 7
        {Family::J1939, "6 59904 1FF 00", nullptr},           // address above FF
        {Family::J1939, "6 59904 FF [2] EC FE 00", nullptr},  // count disagrees
        {Family::Can, "7E0#0322F190", "00 07e0 0322f190"},
        {Family::Can, "0x123 01", "00 0123 01"},
        {Family::Can, "2FFFFFFF 01", nullptr},  // beyond 29 bits
        {Family::Can, "7E0 0G", nullptr},
        {Family::Iso15765, "7E0 22 F1 90", "00 000007e0 22f190"},
        {Family::J1708, "172 00 54", "08 ac 0054"},
        {Family::J1708, "MID 00", nullptr},
    };
    for (const Case& c : cases) {
        QByteArray out;
        QString error;
        const bool ok = parseNotation(c.family, QString::fromLatin1(c.text), 0xF9, &out, &error);
        EXPECT_EQ(ok, c.layout != nullptr) << c.text;
        if (ok && c.layout) {
            EXPECT_EQ(out, hex(c.layout)) << c.text;
        }
        if (!ok) {
            EXPECT_FALSE(error.isEmpty()) << c.text;
        }
    }
}

TEST(ToolNotation, FilterRecords)
{
    struct Case {
        Family family;
        const char* wanted;
        const char* record;  // null: refused
    } const cases[] = {
        {Family::J1939, "pgn=61444", "01 04f000 00 00 00"},
        {Family::J1939, "pgn=65265,sa=0x00,da=255,priority=6", "0f f1fe00 06 00 ff"},
        {Family::Can, "id=18FEF100/1FFFF00", "01 01ffff00 18fef100"},
        {Family::Can, "id=7E8", "00 000007ff 000007e8"},
        {Family::Iso15765, "id=7E8", "00 000007ff 00 000007e8 00"},
        {Family::J1708, "mid=128", "80"},
        {Family::J1939, "mid=128", nullptr},
        {Family::J1939, "", nullptr},
        {Family::Bytes, "id=1", nullptr},
    };
    for (const Case& c : cases) {
        QByteArray out;
        QString error;
        const bool ok = filterRecord(c.family, QString::fromLatin1(c.wanted), &out, &error);
        EXPECT_EQ(ok, c.record != nullptr) << c.wanted;
        if (ok && c.record) {
            EXPECT_EQ(out, hex(c.record)) << c.wanted;
        }
    }
}
