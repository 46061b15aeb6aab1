#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "support/fake_proxy_link.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Values the parser never writes, so an untouched output is visible.
constexpr int U = 99;
const char* const kUntouched = "untouched";

struct Case {
    const char* type;  // the adapter, with version
    int version;
    const char* connectString;
    short rc;
    int protocolo, velocidad;
    const char* mux;  // nullptr: not checked
};

struct Parsed {
    short rc;
    int protocolo, velocidad;
    std::string mux;
};

Parsed parse(const Case& c)
{
    FakeProxyLink link;
    link.setInterface(QString::fromLatin1(c.type), c.version);
    Gestor_IO io;
    io.setIProxyLink(&link);
    GestorRP1210 g;
    g.setIGestorOutput(&io);
    g.linkType();
    auto protocolo = static_cast<enu_GATEWAY_Protocolo>(U);
    auto velocidad = static_cast<enu_GATEWAY_Velocidad>(U);
    QString mux = QString::fromLatin1(kUntouched);
    const short rc = g.TranslateProtocolString(c.connectString, &protocolo, &velocidad, &mux);
    g.setIGestorOutput(nullptr);
    return {rc, protocolo, velocidad, mux.toStdString()};
}

TEST(ConnectString, EveryKeywordHasItsProtocolAndSpeed)
{
    const std::tuple<const char*, int, int> keywords[] = {
        {"NULL", 0, 0},          {"KWP2000", 1, 16},       {"ISO14230", 1, 16},     {"CAN", 2, 36},
        {"PTCAN", 2, 46},        {"J2284", 2, 37},         {"IESCAN", 2, 37},       {"JED677", 4, 12},
        {"ISO9141", 5, 16},      {"TP20", 9, 36},          {"J1850_104k", 10, 16},  {"J1850VPW", 10, 16},
        {"J1850_416k", 10, 39},  {"J1850PWM", 10, 39},     {"J1708", 15, 12},       {"PLC", 15, 12},
        {"J1939", 16, 36},       {"ISO15765", 17, 36},     {"GMLAN", 17, 37},       {"ISO9141_RAW", 18, 16},
        {"ISO9141_1", 19, 16},   {"ISO9141_2", 20, 16},    {"ISO9141_3", 21, 16},   {"ISO9141_KB", 22, 16},
        {"ISO9141_KB91", 23, 16}, {"GM_KLINE", 25, 12},    {"GM_ALDL", 28, 43},     {"J2610", 29, 45},
        {"ISO9141_VMAC", 31, 12}, {"RS232", 32, 36},       {"CAT", 33, 42},
        {"ZF_PROTOCOL_J1708", 19, 12},  // reported as ISO9141_1
    };
    for (const auto& [keyword, protocolo, velocidad] : keywords) {
        const Parsed p = parse({"A", 7, keyword, 0, 0, 0, nullptr});
        EXPECT_EQ(std::make_tuple(p.rc, p.protocolo, p.velocidad), std::make_tuple(short(0), protocolo, velocidad))
            << keyword;
    }
}

TEST(ConnectString, OptionsAndMultiplexer)
{
    const Case rows[] = {
        // A null or unknown first token (exact, case-sensitive, untrimmed) leaves the outputs untouched.
        {"A", 7, nullptr, 136, U, U, kUntouched},
        {"A", 7, "j1939", 136, U, U, kUntouched},
        {"A", 7, " J1939", 136, U, U, kUntouched},
        {"A", 7, "ISO15765_ALT", 136, U, U, kUntouched},
        // Baud: "1000" depends on the CAN family; a rate not tabled keeps the speed; the last wins.
        {"A", 7, "J1939:Baud=500", 0, 16, 37, "C0000"},
        {"A", 7, "J1939:Baud=1000", 0, 16, 38, "C0000"},
        {"A", 7, "J1708:Baud=1000", 0, 15, 44, "C0000"},
        {"A", 7, "CAN:Baud=All", 0, 2, 2, "C0000"},
        {"A", 7, "J1708:Baud=12345", 0, 15, 12, "C0000"},
        {"A", 7, "J1939: Baud=500", 0, 16, 36, "C0000"},
        {"A", 7, "J1939:Baud=500:Baud=125", 0, 16, 35, "C0000"},
        {"A", 7, "J1939:baud=500", 136, 16, 36, kUntouched},
        {"A", 7, "RS232:Baud=9600", 0, 32, 36, "C0000"},
        // "Baud=Auto" on a non-segmenting and a segmenting adapter.
        {"K", 1, "CAN:Baud=Auto", 0, 2, 36, "C0000"},
        {"K", 4, "CAN:Baud=Auto", 0, 2, 1, "C0000"},
        // Channel: "," splits it; ";" only after a leading "Baud=Auto" token.
        {"A", 7, "J1939:Channel=1", 0, 16, 36, "C0000"},
        {"A", 7, "J1939:Channel=1,Baud=500,Baud=125", 0, 16, 35, "C0000"},
        {"A", 7, "J1939:Channel=1;Baud=500", 136, 16, 36, kUntouched},
        {"A", 7, "CAN:Baud=Auto:Channel=1;Baud=500", 0, 2, 37, "C0000"},
        {"A", 7, "CAN:Baud=250:Channel=1;Baud=500", 136, 2, 36, kUntouched},
        // Invalid options; what came before them is applied.
        {"A", 7, "J1939:", 136, 16, 36, kUntouched},
        {"A", 7, "J1939:Baud=500:Foo", 136, 16, 37, kUntouched},
        {"A", 7, "J1939:commpin1=6", 136, 16, 36, kUntouched},
        {"A", 7, "ZF_PROTOCOL_J1708:Foo", 136, 19, 12, kUntouched},
        // Multiplexer: the pins in any order, with 24 V; the second pin alone selects nothing.
        {"A", 7, "J1939:Run24V=true", 0, 16, 36, "D0000"},
        {"A", 7, "J1850VPW:Baud=All", 0, 10, 2, "Y0018"},
        {"A", 7, "J1850PWM", 0, 10, 39, "Z1518"},
        {"A", 7, "CAT", 0, 33, 42, "J1519"},
        {"A", 7, "ISO9141:CommPin2=15:CommPin1=7", 0, 5, 16, "W1419"},
        {"A", 7, "CAN:24V=true:CommPin1=13:CommPin2=12", 0, 2, 36, "D0006"},
        {"A", 7, "J1939:CommPin2=14", 0, 16, 36, "C0000"},
        {"A", 7, "ZF_PROTOCOL_J1708:CommPin1=12:CommPin2=13", 0, 19, 12, "J0617"},  // J1708's pins
        // Pin errors: not a number (the key's first 9 characters are dropped), or no routable pair.
        {"A", 7, "ISO9141:CommPin1=7:CommPin2=x", 506, 5, 16, kUntouched},
        {"A", 7, "ISO9141:CommPin1=99999999999", 506, 5, 16, kUntouched},
        {"A", 7, "ISO9141:xCommPin1=7", 506, 5, 16, kUntouched},
        {"A", 7, "J1939:CommPin1=16:CommPin2=14", 506, 16, 36, ""},
        {"A", 7, "ZF_PROTOCOL_J1708:CommPin1=7", 506, 19, 12, ""},
        // The first failing option decides the code.
        {"A", 7, "ISO9141:Foo:CommPin1=x", 136, 5, 16, kUntouched},
        {"A", 7, "ISO9141:CommPin1=x:Foo", 506, 5, 16, kUntouched},
        // SWCAN only from L 9 and K 3; refused, the options are still read.
        {"L", 9, "SWCAN", 0, 2, 31, "C0000"},
        {"K", 3, "SWCAN:Baud=1000", 0, 2, 38, "C0000"},
        {"L", 8, "SWCAN", 136, U, U, nullptr},
        {"K", 2, "SWCAN", 136, U, U, nullptr},
        {"A", 9, "SWCAN", 136, U, U, nullptr},
        {"L", 8, "SWCAN:CommPin1=x", 506, U, U, kUntouched},
        // Bytes above 0x7F are Latin-1, never part of a keyword or an option.
        {"A", 7, "J1939\xB5", 136, U, U, kUntouched},
        {"A", 7, "J1939:Baud=500\xE9", 0, 16, 36, "C0000"},
    };
    for (const Case& r : rows) {
        const Parsed p = parse(r);
        EXPECT_EQ(std::make_tuple(p.rc, p.protocolo, p.velocidad), std::make_tuple(r.rc, r.protocolo, r.velocidad))
            << r.connectString << " on " << r.type << r.version;
        EXPECT_EQ(r.mux ? p.mux : "", r.mux ? r.mux : "") << r.connectString;
    }
}

TEST(ConnectString, NullOutputsAreAllowed)
{
    GestorRP1210 g;
    EXPECT_EQ(g.TranslateProtocolString("ISO9141:CommPin1=7:CommPin2=15", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(g.TranslateProtocolString("J1708:CommPin1=12", nullptr, nullptr, nullptr), 506);
}

TEST(ConnectString, MuxIsSentForAnyProtocolButNullWithNoClientOnlyBesideOneNullClient)
{
    GestorRP1210 g;
    EXPECT_FALSE(g.isMuxSent(PROTOCOLO_NULL));
    EXPECT_TRUE(g.isMuxSent(PROTOCOLO_CAN));
    g.getCliente(1)->setProtocolo(PROTOCOLO_J1939);  // not connected: skipped
    g.getCliente(16)->setProtocolo(PROTOCOLO_NULL);
    g.getCliente(16)->setConectado(true);
    EXPECT_TRUE(g.isMuxSent(PROTOCOLO_NULL));
    g.getCliente(16)->setProtocolo(PROTOCOLO_J1939);
    EXPECT_FALSE(g.isMuxSent(PROTOCOLO_CAN));
    g.getCliente(16)->setProtocolo(PROTOCOLO_NULL);
    g.getCliente(2)->setConectado(true);
    EXPECT_FALSE(g.isMuxSent(PROTOCOLO_CAN));
}

}  // namespace
