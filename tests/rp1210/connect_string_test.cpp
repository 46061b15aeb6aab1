#include "rp1210/gestor_rp1210.h"
#include "link/gestor_io.h"
#include "support/fake_proxy_link.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Values the parser never writes, so an untouched output is visible.
constexpr int kUntouched = 99;
const char* const kMuxUntouched = "untouched";

struct Adapter {
    const char* type;
    int version;
};

// One adapter per generation: J -> 1, A -> 2, K v1 -> 3, K v4 -> 4, E -> 5, "X" -> 0.
constexpr Adapter kGen0{"X", 1};
constexpr Adapter kGen1{"J", 1};
constexpr Adapter kGen2{"A", 7};
constexpr Adapter kGen3{"K", 1};
constexpr Adapter kGen4{"K", 4};
constexpr Adapter kGen5{"E", 1};

struct Parsed {
    short rc;
    int protocolo;
    int velocidad;
    QString mux;
};

Parsed parse(const Adapter& adapter, const char* connectString)
{
    FakeProxyLink link;
    link.setInterface(QString::fromLatin1(adapter.type), adapter.version);
    Gestor_IO io;
    io.setIProxyLink(&link);
    GestorRP1210 gestor;
    gestor.setIGestorOutput(&io);
    gestor.linkType();

    auto protocolo = static_cast<enu_GATEWAY_Protocolo>(kUntouched);
    auto velocidad = static_cast<enu_GATEWAY_Velocidad>(kUntouched);
    QString mux = QString::fromLatin1(kMuxUntouched);
    const short rc = gestor.TranslateProtocolString(connectString, &protocolo, &velocidad, &mux);
    gestor.setIGestorOutput(nullptr);
    return Parsed{rc, protocolo, velocidad, mux};
}

struct Case {
    Adapter adapter;
    const char* connectString;
    short rc;
    int protocolo;
    int velocidad;
    const char* mux;  // nullptr: not checked
};

const Case kCases[] = {
    // Every keyword: its protocol, speed and multiplexer.
    {kGen2, "NULL", 0, 0, 0, "C0000"},
    {kGen2, "KWP2000", 0, 1, 16, "C0000"},
    {kGen2, "ISO14230", 0, 1, 16, "C0000"},
    {kGen2, "CAN", 0, 2, 36, "C0000"},
    {kGen2, "PTCAN", 0, 2, 46, "C0000"},
    {kGen2, "J2284", 0, 2, 37, "C0000"},
    {kGen2, "IESCAN", 0, 2, 37, "C0000"},
    {kGen2, "JED677", 0, 4, 12, "C0000"},
    {kGen2, "ISO9141", 0, 5, 16, "C0000"},
    {kGen2, "TP20", 0, 9, 36, "C0000"},
    {kGen2, "J1850_104k", 0, 10, 16, "Y0018"},
    {kGen2, "J1850VPW", 0, 10, 16, "Y0018"},
    {kGen2, "J1850_416k", 0, 10, 39, "Z1518"},
    {kGen2, "J1850PWM", 0, 10, 39, "Z1518"},
    {kGen2, "J1708", 0, 15, 12, "C0000"},
    {kGen2, "PLC", 0, 15, 12, "C0000"},
    {kGen2, "J1939", 0, 16, 36, "C0000"},
    {kGen2, "ISO15765", 0, 17, 36, "C0000"},
    {kGen2, "GMLAN", 0, 17, 37, "C0000"},
    {kGen2, "ISO9141_RAW", 0, 18, 16, "C0000"},
    {kGen2, "ISO9141_1", 0, 19, 16, "C0000"},
    {kGen2, "ISO9141_2", 0, 20, 16, "C0000"},
    {kGen2, "ISO9141_3", 0, 21, 16, "C0000"},
    {kGen2, "ISO9141_KB", 0, 22, 16, "C0000"},
    {kGen2, "ISO9141_KB91", 0, 23, 16, "C0000"},
    {kGen2, "ZF_PROTOCOL_J1708", 0, 19, 12, "C0000"},  // reported as ISO9141_1
    {kGen2, "GM_KLINE", 0, 25, 12, "C0000"},
    {kGen2, "GM_ALDL", 0, 28, 43, "C0000"},
    {kGen2, "J2610", 0, 29, 45, "C0000"},
    {kGen2, "ISO9141_VMAC", 0, 31, 12, "C0000"},
    {kGen2, "RS232", 0, 32, 36, "C0000"},
    {kGen2, "CAT", 0, 33, 42, "J1519"},
    // An unknown first token leaves the outputs untouched.
    {kGen2, "", 136, kUntouched, kUntouched, kMuxUntouched},
    {kGen2, "j1939", 136, kUntouched, kUntouched, kMuxUntouched},
    {kGen2, "J1939 ", 136, kUntouched, kUntouched, kMuxUntouched},
    {kGen2, " J1939", 136, kUntouched, kUntouched, kMuxUntouched},
    {kGen2, "ISO15765_ALT", 136, kUntouched, kUntouched, kMuxUntouched},
    {kGen2, "Baud=250:J1939", 136, kUntouched, kUntouched, kMuxUntouched},
    {kGen2, ":J1939", 136, kUntouched, kUntouched, kMuxUntouched},
    // Baud options.
    {kGen2, "J1939:Baud=500", 0, 16, 37, "C0000"},
    {kGen2, "J1939:Baud=125", 0, 16, 35, "C0000"},
    {kGen2, "J1939:Baud=1000", 0, 16, 38, "C0000"},
    {kGen2, "TP20:Baud=1000", 0, 9, 38, "C0000"},
    {kGen2, "J1708:Baud=1000", 0, 15, 44, "C0000"},
    {kGen2, "ISO9141:Baud=1000", 0, 5, 44, "C0000"},
    {kGen2, "J1939:Baud=1000000", 0, 16, 38, "C0000"},
    {kGen2, "CAN:Baud=All", 0, 2, 2, "C0000"},
    {kGen2, "CAN:Baud=666", 0, 2, 46, "C0000"},
    {kGen2, "ISO9141:Baud=5", 0, 5, 41, "C0000"},
    {kGen2, "ISO9141:Baud=95240", 0, 5, 33, "C0000"},
    {kGen2, "ISO9141:Baud=14400", 0, 5, 23, "C0000"},
    // A rate the table does not hold keeps the keyword's speed and is no error.
    {kGen2, "J1708:Baud=12345", 0, 15, 12, "C0000"},
    {kGen2, "J1939:Baud=", 0, 16, 36, "C0000"},
    {kGen2, "J1939:baud=500", 136, 16, 36, kMuxUntouched},  // case-sensitive key
    {kGen2, "J1939: Baud=500", 0, 16, 36, "C0000"},  // not trimmed: no match
    {kGen2, "J1939:Baud=500:Baud=125", 0, 16, 35, "C0000"},  // the last one wins
    {kGen2, "J1939:Baud=1000:Baud=Wrong", 0, 16, 38, "C0000"},
    {kGen2, "RS232:Baud=9600", 0, 32, 36, "C0000"},  // RS232 ignores the rate
    {kGen2, "RS232:Channel=1;Baud=9600", 0, 32, 36, "C0000"},
    // "Baud=Auto" depends on the adapter generation.
    {kGen0, "CAN:Baud=Auto", 0, 2, 36, "C0000"},
    {kGen1, "CAN:Baud=Auto", 0, 2, 36, "C0000"},
    {kGen2, "CAN:Baud=Auto", 0, 2, 1, "C0000"},
    {kGen3, "CAN:Baud=Auto", 0, 2, 36, "C0000"},
    {kGen4, "CAN:Baud=Auto", 0, 2, 1, "C0000"},
    {kGen5, "CAN:Baud=Auto", 0, 2, 1, "C0000"},
    {Adapter{"L", 6}, "J1939:Baud=Auto", 0, 16, 36, "C0000"},  // L up to 6: generation 1
    {Adapter{"L", 7}, "J1939:Baud=Auto", 0, 16, 1, "C0000"},   // L from 7: generation 2
    // Channel options.
    {kGen2, "J1939:Channel=1", 0, 16, 36, "C0000"},
    {kGen2, "J1939:Channel=", 0, 16, 36, "C0000"},
    {kGen2, "J1939:Channel=1,Baud=500", 0, 16, 37, "C0000"},
    {kGen2, "J1939:Baud=500,Channel=1", 0, 16, 37, "C0000"},
    {kGen2, "J1939:Channel=1,Baud=500,Baud=125", 0, 16, 35, "C0000"},
    {kGen2, "J1939:Channel=1,Baud=1000", 0, 16, 38, "C0000"},
    // Without "," the ";" split is only done after a leading "Baud=Auto" token.
    {kGen2, "J1939:Channel=1;Baud=500", 136, 16, 36, kMuxUntouched},
    {kGen1, "CAN:Baud=Auto:Channel=1;Baud=500", 0, 2, 37, "C0000"},
    {kGen2, "CAN:Baud=Auto:Channel=1;Baud=500", 0, 2, 37, "C0000"},
    {kGen2, "CAN:Baud=Auto:Channel=1;Baud=Auto", 0, 2, 1, "C0000"},
    {kGen2, "CAN:Baud=250:Channel=1;Baud=500", 136, 2, 36, kMuxUntouched},
    {kGen2, "CAN:Baud=Auto:Channel=1;Baud=", 0, 2, 1, "C0000"},  // empty rate: no match
    // Invalid option tokens.
    {kGen2, "J1939:", 136, 16, 36, kMuxUntouched},  // empty tokens are kept
    {kGen2, "J1939::Baud=500", 136, 16, 36, kMuxUntouched},
    {kGen2, "J1939:Foo", 136, 16, 36, kMuxUntouched},
    {kGen2, "J1939:Baud=500:Foo", 136, 16, 37, kMuxUntouched},
    {kGen2, "J1939:24V=false", 136, 16, 36, kMuxUntouched},
    {kGen2, "J1939:commpin1=6", 136, 16, 36, kMuxUntouched},
    {kGen2, "ZF_PROTOCOL_J1708:Foo", 136, 19, 12, kMuxUntouched},
    // Multiplexer selection.
    {kGen2, "J1939:24V=true", 0, 16, 36, "D0000"},
    {kGen2, "J1850PWM:24V=true", 0, 10, 39, "D0000"},
    {kGen2, "CAT:24V=true", 0, 33, 42, "D0000"},
    {kGen2, "J1939:Run24V=true", 0, 16, 36, "D0000"},  // contained anywhere
    {kGen2, "J1850VPW:Baud=All", 0, 10, 2, "Y0018"},
    {kGen2, "ISO9141:CommPin1=7:CommPin2=15", 0, 5, 16, "W1419"},
    {kGen2, "ISO9141:CommPin1=15:CommPin2=7", 0, 5, 16, "K1419"},
    {kGen2, "ISO9141:CommPin2=15:CommPin1=7", 0, 5, 16, "W1419"},  // order of options is free
    {kGen2, "KWP2000:CommPin1=7", 0, 1, 16, "W1425"},
    {kGen2, "KWP2000:CommPin1=15", 0, 1, 16, "K0019"},
    {kGen2, "J1939:CommPin1=6:CommPin2=14", 0, 16, 36, "C0000"},
    {kGen2, "J1939:CommPin1=3:CommPin2=11", 0, 16, 36, "C0001"},
    {kGen2, "J1939:CommPin1=6:CommPin2=14:24V=true", 0, 16, 36, "D0000"},
    {kGen2, "CAN:24V=true:CommPin1=13:CommPin2=12", 0, 2, 36, "D0006"},
    {kGen2, "J1708:CommPin1=12:CommPin2=13", 0, 15, 12, "J0617"},
    {kGen2, "CAT:CommPin1=11:CommPin2=3", 0, 33, 42, "S0820"},
    // The ZF variant picks J1708 pins before it is reported as ISO9141_1.
    {kGen2, "ZF_PROTOCOL_J1708:CommPin1=12:CommPin2=13", 0, 19, 12, "J0617"},
    {kGen2, "ISO9141_1:CommPin1=12:CommPin2=13", 0, 19, 16, "W0617"},
    // The second pin alone selects nothing.
    {kGen2, "J1939:CommPin2=14", 0, 16, 36, "C0000"},
    {kGen2, "J1850PWM:CommPin2=3", 0, 10, 39, "Z1518"},
    {kGen2, "J1939:CommPin1=+6:CommPin2=14", 0, 16, 36, "C0000"},
    // Pinout errors.
    {kGen2, "ISO9141:CommPin1=x", 506, 5, 16, kMuxUntouched},
    {kGen2, "ISO9141:CommPin1=", 506, 5, 16, kMuxUntouched},
    {kGen2, "ISO9141:CommPin1=7x", 506, 5, 16, kMuxUntouched},
    {kGen2, "ISO9141:CommPin1=7:CommPin2=x", 506, 5, 16, kMuxUntouched},
    {kGen2, "ISO9141:CommPin1=99999999999", 506, 5, 16, kMuxUntouched},
    // The key may sit anywhere in the token, but its first 9 characters are dropped.
    {kGen2, "ISO9141:xCommPin1=7", 506, 5, 16, kMuxUntouched},
    // A number that parses but names no routable pin pair.
    {kGen2, "J1708:CommPin1=12", 506, 15, 12, ""},
    {kGen2, "J1939:CommPin1=16:CommPin2=14", 506, 16, 36, ""},
    {kGen2, "J1939:CommPin1=-1", 506, 16, 36, ""},
    {kGen2, "J1850VPW:CommPin1=7:CommPin2=15", 506, 10, 16, ""},
    {kGen2, "RS232:CommPin1=7:CommPin2=15", 506, 32, 36, ""},
    {kGen2, "ZF_PROTOCOL_J1708:CommPin1=7", 506, 19, 12, ""},
    // The first failing option decides the code.
    {kGen2, "ISO9141:Foo:CommPin1=x", 136, 5, 16, kMuxUntouched},
    {kGen2, "ISO9141:CommPin1=x:Foo", 506, 5, 16, kMuxUntouched},
    // SWCAN only on adapters that have it.
    {Adapter{"L", 9}, "SWCAN", 0, 2, 31, "C0000"},
    {Adapter{"K", 3}, "SWCAN", 0, 2, 31, "C0000"},
    {Adapter{"K", 9}, "SWCAN:Baud=1000", 0, 2, 38, "C0000"},
    {Adapter{"L", 8}, "SWCAN", 136, kUntouched, kUntouched, nullptr},
    {Adapter{"K", 2}, "SWCAN", 136, kUntouched, kUntouched, nullptr},
    {Adapter{"A", 9}, "SWCAN", 136, kUntouched, kUntouched, nullptr},
    {Adapter{"l", 9}, "SWCAN", 136, kUntouched, kUntouched, nullptr},
    // The whole string is still read, so a bad option reports its own code.
    {Adapter{"L", 8}, "SWCAN:CommPin1=x", 506, kUntouched, kUntouched, kMuxUntouched},
    {Adapter{"L", 8}, "SWCAN:Foo", 136, kUntouched, kUntouched, kMuxUntouched},
    // Bytes above 0x7F are Latin-1, never a broken multi-byte sequence folding into a keyword.
    {kGen2, "J1939\xB5", 136, kUntouched, kUntouched, kMuxUntouched},
    {kGen2, "J1939:Baud=500\xE9", 0, 16, 36, "C0000"},
};

TEST(ConnectString, TableOfConnectStrings)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "\"" << c.connectString << "\" on " << c.adapter.type << c.adapter.version);
        const Parsed p = parse(c.adapter, c.connectString);
        EXPECT_EQ(p.rc, c.rc);
        EXPECT_EQ(p.protocolo, c.protocolo);
        EXPECT_EQ(p.velocidad, c.velocidad);
        if (c.mux != nullptr) {
            EXPECT_EQ(p.mux.toStdString(), std::string(c.mux));
        }
    }
}

TEST(ConnectString, NullStringOrOutputs)
{
    GestorRP1210 gestor;
    auto protocolo = static_cast<enu_GATEWAY_Protocolo>(kUntouched);
    auto velocidad = static_cast<enu_GATEWAY_Velocidad>(kUntouched);
    QString mux = QString::fromLatin1(kMuxUntouched);
    EXPECT_EQ(gestor.TranslateProtocolString(nullptr, &protocolo, &velocidad, &mux), 136);
    EXPECT_EQ(protocolo, kUntouched);
    EXPECT_EQ(velocidad, kUntouched);
    EXPECT_EQ(mux, QString::fromLatin1(kMuxUntouched));
    EXPECT_EQ(gestor.TranslateProtocolString("J1939:Baud=500", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(gestor.TranslateProtocolString("ISO9141:CommPin1=7:CommPin2=15", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(gestor.TranslateProtocolString("J1708:CommPin1=12", nullptr, nullptr, nullptr), 506);
}

TEST(ConnectString, MuxSentDependsOnConnectedClients)
{
    GestorRP1210 gestor;
    auto connect = [&](quint8 id, quint8 protocolo) {
        Cliente* cliente = gestor.getCliente(id);
        ASSERT_NE(cliente, nullptr);
        cliente->setProtocolo(protocolo);
        cliente->setConectado(true);
    };
    // No client connected.
    EXPECT_FALSE(gestor.isMuxSent(PROTOCOLO_NULL));
    EXPECT_TRUE(gestor.isMuxSent(PROTOCOLO_CAN));
    EXPECT_TRUE(gestor.isMuxSent(PROTOCOLO_ISO9141));
    // Slot 1 keeps a protocol of its own but is not connected: skipped.
    gestor.getCliente(1)->setProtocolo(PROTOCOLO_J1939);
    // One client connected: depends on its protocol.
    connect(16, PROTOCOLO_NULL);
    EXPECT_TRUE(gestor.isMuxSent(PROTOCOLO_CAN));
    EXPECT_TRUE(gestor.isMuxSent(PROTOCOLO_NULL));
    EXPECT_TRUE(gestor.isMuxSent(PROTOCOLO_J1939));
    gestor.getCliente(16)->setProtocolo(PROTOCOLO_J1939);
    EXPECT_FALSE(gestor.isMuxSent(PROTOCOLO_CAN));
    // Two clients connected.
    connect(16, PROTOCOLO_NULL);
    connect(2, PROTOCOLO_NULL);
    EXPECT_FALSE(gestor.isMuxSent(PROTOCOLO_CAN));
    EXPECT_FALSE(gestor.isMuxSent(PROTOCOLO_NULL));
}

}  // namespace
