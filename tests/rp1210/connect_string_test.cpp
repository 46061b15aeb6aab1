// Connect strings, adapter generations and the codes of the adapter's answer states.
#include "support/link_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace {

// "rc protocol speed mux" on an adapter ("A7": type A, version 7); 99 and "untouched" are never written.
std::string parse(const char* adapter, const char* connectString)
{
    LinkRig rig;
    rig.link.setInterface(QString(QLatin1Char(adapter[0])), std::stoi(adapter + 1));
    rig.g.linkType();
    auto protocolo = static_cast<enu_GATEWAY_Protocolo>(99);
    auto velocidad = static_cast<enu_GATEWAY_Velocidad>(99);
    QString mux = QStringLiteral("untouched");
    const short rc = rig.g.TranslateProtocolString(connectString, &protocolo, &velocidad, &mux);
    return std::to_string(rc) + ' ' + std::to_string(protocolo) + ' ' + std::to_string(velocidad) + ' ' +
           mux.toStdString();
}

TEST(ConnectString, EveryKeywordHasItsProtocolSpeedAndMultiplexer)
{
    // "keyword protocol speed [multiplexer, when not C0000]"
    for (std::string row : {"NULL 0 0", "KWP2000 1 16", "ISO14230 1 16", "CAN 2 36", "PTCAN 2 46", "J2284 2 37",
                            "IESCAN 2 37", "JED677 4 12", "ISO9141 5 16", "TP20 9 36", "J1850_104k 10 16 Y0018",
                            "J1850VPW 10 16 Y0018", "J1850_416k 10 39 Z1518", "J1850PWM 10 39 Z1518", "J1708 15 12",
                            "PLC 15 12", "J1939 16 36", "ISO15765 17 36", "GMLAN 17 37", "ISO9141_RAW 18 16",
                            "ISO9141_1 19 16", "ISO9141_2 20 16", "ISO9141_3 21 16", "ISO9141_KB 22 16",
                            "ISO9141_KB91 23 16", "GM_KLINE 25 12", "GM_ALDL 28 43", "J2610 29 45", "RS232 32 36",
                            "ISO9141_VMAC 31 12", "CAT 33 42 J1519", "ZF_PROTOCOL_J1708 19 12" /* as ISO9141_1 */}) {
        const std::string keyword = row.substr(0, row.find(' '));
        const bool ownMux = std::count(row.begin(), row.end(), ' ') == 3;
        EXPECT_EQ(parse("A7", keyword.c_str()), "0" + row.substr(keyword.size()) + (ownMux ? "" : " C0000"));
    }
}

TEST(ConnectString, OptionsAndMultiplexer)
{
    const char* const rows[][3] = {
        // A null or unknown first token (exact, case-sensitive, untrimmed) leaves the outputs untouched.
        {"A7", nullptr, "136 99 99 untouched"}, {"A7", "ISO15765_ALT", "136 99 99 untouched"},
        // Baud: "1000" by CAN family; an untabled rate keeps the speed; the last wins; Auto on a segmenting adapter.
        {"A7", "J1939:Baud=1000", "0 16 38 C0000"}, {"A7", "J1708:Baud=1000", "0 15 44 C0000"},
        {"A7", "J1939: Baud=500", "0 16 36 C0000"}, {"A7", "J1939:Baud=500:Baud=125", "0 16 35 C0000"},
        {"A7", "J1939:baud=500", "136 16 36 untouched"}, {"A7", "RS232:Baud=9600", "0 32 36 C0000"},
        {"K1", "CAN:Baud=Auto", "0 2 36 C0000"}, {"K4", "CAN:Baud=Auto", "0 2 1 C0000"},
        // Channel: "," splits it; ";" only after a leading "Baud=Auto" token.
        {"A7", "J1939:Channel=1,Baud=500,Baud=125", "0 16 35 C0000"}, {"A7", "CAN:Baud=Auto:Channel=1;Baud=500", "0 2 37 C0000"},
        {"A7", "CAN:Baud=250:Channel=1;Baud=500", "136 2 36 untouched"},
        // Invalid options; what came before them is applied.
        {"A7", "J1939:", "136 16 36 untouched"}, {"A7", "J1939:Baud=500:Foo", "136 16 37 untouched"},
        // Multiplexer: 24 V anywhere in a token; the pins in any order; the second pin alone selects nothing.
        {"A7", "J1939:Run24V=true", "0 16 36 D0000"}, {"A7", "ISO9141:CommPin2=15:CommPin1=7", "0 5 16 W1419"},
        {"A7", "CAN:24V=true:CommPin1=13:CommPin2=12", "0 2 36 D0006"}, {"A7", "J1939:CommPin2=14", "0 16 36 C0000"},
        {"A7", "ZF_PROTOCOL_J1708:CommPin1=12:CommPin2=13", "0 19 12 J0617"},  // J1708's pins
        // Pin errors: not a number (the key's first 9 characters dropped), no routable pair; the first decides.
        {"A7", "ISO9141:CommPin1=7:CommPin2=x", "506 5 16 untouched"},
        {"A7", "ISO9141:xCommPin1=7", "506 5 16 untouched"},
        {"A7", "J1939:CommPin1=16:CommPin2=14", "506 16 36 "}, {"A7", "ZF_PROTOCOL_J1708:CommPin1=7", "506 19 12 "},
        {"A7", "ISO9141:Foo:CommPin1=x", "136 5 16 untouched"}, {"A7", "ISO9141:CommPin1=x:Foo", "506 5 16 untouched"},
        // SWCAN only from L 9 and K 3; refused, the options are still read.
        {"L9", "SWCAN", "0 2 31 C0000"}, {"K3", "SWCAN:Baud=1000", "0 2 38 C0000"}, {"L8", "SWCAN", "136 99 99 C0000"},
        {"K2", "SWCAN", "136 99 99 C0000"}, {"A9", "SWCAN", "136 99 99 C0000"},
        {"L8", "SWCAN:CommPin1=x", "506 99 99 untouched"},
        // Bytes above 0x7F are Latin-1, never part of a keyword or an option.
        {"A7", "J1939\xB5", "136 99 99 untouched"}, {"A7", "J1939:Baud=500\xE9", "0 16 36 C0000"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(parse(r[0], r[1]), r[2]) << (r[1] ? r[1] : "null") << " on " << r[0];
}

TEST(ConnectString, NullOutputsAreAllowedAndTheMuxIsSentForAnyProtocolButNullWithNoClientOnlyBesideOneNullClient)
{
    GestorRP1210 g;
    EXPECT_EQ(g.TranslateProtocolString("ISO9141:CommPin1=7:CommPin2=15", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(g.TranslateProtocolString("J1708:CommPin1=12", nullptr, nullptr, nullptr), 506);
    EXPECT_FALSE(g.isMuxSent(PROTOCOLO_NULL));
    EXPECT_TRUE(g.isMuxSent(PROTOCOLO_CAN));
    g.getCliente(16)->setProtocolo(PROTOCOLO_NULL);
    g.getCliente(16)->setConectado(true);
    EXPECT_TRUE(g.isMuxSent(PROTOCOLO_NULL));
    g.getCliente(16)->setProtocolo(PROTOCOLO_J1939);
    EXPECT_FALSE(g.isMuxSent(PROTOCOLO_CAN));
    g.getCliente(16)->setProtocolo(PROTOCOLO_NULL);
    g.getCliente(2)->setConectado(true);
    EXPECT_FALSE(g.isMuxSent(PROTOCOLO_CAN));
}

TEST(CheckLinkAnswer, MapsEveryAdapterState)
{
    GestorRP1210 g;
    Cliente* c = g.getCliente(2);
    c->setProtocolo(PROTOCOLO_J1939);
    const std::pair<int, short> states[] = {{-1, 142}, {16, 142}, {17, 142}, {0, 0},    {2, 0},    {3, 136},
                                            {5, 515},  {8, 518},  {9, 144},  {10, 520}, {11, 143}, {12, 161},
                                            {18, 161}, {13, 523}, {14, 141}, {15, 525}, {1, 511},  {6, 511},
                                            {7, 511},  {19, 511}, {-2, 511}, {4, 457}};
    for (const auto& [state, code] : states)
        EXPECT_EQ(g.checkLinkAnswer(state, c), code) << "state " << state;
    // Another speed: the code depends on the client's protocol.
    const std::pair<int, short> speeds[] = {{PROTOCOLO_J1708, 456}, {PROTOCOLO_CAN, 457}, {PROTOCOLO_ISO15765, 458},
                                            {PROTOCOLO_J1850, 149}, {PROTOCOLO_CAT, 149}, {PROTOCOLO_ISO15765_ALT, 149}};
    for (const auto& [protocolo, code] : speeds) {
        c->setProtocolo(quint8(protocolo));
        EXPECT_EQ(g.checkLinkAnswer(RESP_SERV_OTHER_SPEED, c), code) << "protocol " << protocolo;
    }
    EXPECT_EQ(g.checkLinkAnswer(RESP_SERV_OTHER_SPEED, nullptr), 149);
}

TEST(LinkType, DerivesTheAdapterGeneration)
{
    const std::tuple<const char*, int, enum_VersionVCI> rows[] = {
        {"K", 1, VCI_K1}, {"K", 2, VCI_K}, {"K", 0, VCI_K}, {"L", 6, VCI_J}, {"L", 7, VCI_A}, {"J", 9, VCI_J},
        {"A", 1, VCI_A},  {"E", 3, VCI_E}, {"k", 1, VCI_DESCONOCIDA}, {"KK", 1, VCI_DESCONOCIDA}};
    LinkRig rig;
    EXPECT_EQ(rig.g.getAdapterGeneration(), VCI_DESCONOCIDA);
    for (const auto& [type, version, generation] : rows) {
        rig.link.setInterface(QString::fromLatin1(type), version);
        rig.g.linkType();
        EXPECT_EQ(rig.g.getAdapterGeneration(), generation) << type << version;
    }
}

}  // namespace
