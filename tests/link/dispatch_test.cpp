// Answer dispatch: what each answer frame changes, what a short or inconsistent frame
// must leave alone, and robustness against arbitrary bytes.
#include "support/io_rig.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

constexpr quint8 kClient = 3;
constexpr int kJ1939Counter = 2, kIso15765Counter = 1;  // in-flight counters of the protocols

QByteArray sendAnswer(quint8 protocolo, quint8 estado, quint8 counter, const QByteArray& data = QByteArray())
{
    return hex("04 04") + char(protocolo) + char(estado) + char(counter) + hex("11 22 33 44") + char(data.size() >> 8) +
           char(data.size() & 0xFF) + data;
}

QByteArray readOne(Cliente* c)
{
    char buffer[2048];
    const qint16 n = c->GetMsjToRead(buffer, sizeof buffer, 0);
    return n > 0 ? QByteArray(buffer, n) : QByteArray();
}

TEST(Dispatch, EachClientAnswerSetsItsServiceOnlyWhenLongEnough)
{
    const struct {
        const char* frame;
        IDS_SERV_RP1210 service;
        int expected;  // -1: the frame must leave the pending state alone
    } rows[] = {
        {"04 02 03 00", SERV_CONECTAR_CLIENTE, 0},        {"04 02 03 03 24", SERV_CONECTAR_CLIENTE, 3},
        {"04 02 03", SERV_CONECTAR_CLIENTE, -1},          {"04 03 03 05", SERV_DESCONECTAR_CLIENTE, 5},
        {"04 03 03", SERV_DESCONECTAR_CLIENTE, -1},       {"04 09 03 09", SERV_ISO15765_FLOW_CONTROL, 9},
        {"04 0A 03 00", SERV_ISO15765_CLEAR_FLOW_CONTROL, 0}, {"04 0A 03", SERV_ISO15765_CLEAR_FLOW_CONTROL, -1},
        {"04 08 03 07 80", SERV_J1939_ADDRESS_CLAIM, 7},  {"04 08 03 07", SERV_J1939_ADDRESS_CLAIM, -1},
        {"04 E5 03 00 80", SERV_PROTECT_J1939_ADDRESS, 0}, {"04 E5 03 00", SERV_PROTECT_J1939_ADDRESS, -1},
        {"04 10 03", SERV_SET_BAUD, 0},                   {"04 14 03 99 04", SERV_J1939_INTERPACKET_TIME, 4},
        {"04 14 03 99", SERV_J1939_INTERPACKET_TIME, -1}, {"04 E0 03 99 02", SERV_SET_FILTERS_V6, 2},
        {"04 E0 03 99", SERV_SET_FILTERS_V6, -1},         {"04 E2 03 99 0C", SERV_CLEAR_FILTER_V6, 12},
        {"04 E3 03 99 00", SERV_SET_FILTER_SA_V6, 0},     {"04 E4 03 99 01", SERV_CLEAR_FILTER_SA_V6, 1},
        {"04 E4 03 99", SERV_CLEAR_FILTER_SA_V6, -1},     {"04 E8 03 99 0E", SERV_SET_PADDING_ISO15765, 14},
        {"04 E9 03 99 03", SERV_SET_REMOTE_CAN_MESSAGE, 3}, {"04 EA 03 99 00", SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, 0},
        {"04 EA 03 99", SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, -1},
        // ioctl answers without data mark the service done whatever else they carry
        {"04 0D 03 99 02", SERV_IOCTL, 0}, {"04 0D 03 99 FA", SERV_IOCTL, 0}, {"04 0D 03 99 FB", SERV_IOCTL, 0},
        {"04 0D 03 99 FC", SERV_IOCTL, 0}, {"04 0D 03 99 FD", SERV_IOCTL, 0}, {"04 0D 03 99 FE 01 02 03 04 05", SERV_IOCTL, 0},
        {"04 0D 03 99", SERV_IOCTL, -1},   {"04 0D 03 99 03", SERV_IOCTL, -1}, {"04 0D 03 99 06", SERV_IOCTL, -1},
        // wrong frame class, another client, services without a handler
        {"05 03 03 05", SERV_DESCONECTAR_CLIENTE, -1},    {"04 03 07 05", SERV_DESCONECTAR_CLIENTE, -1},
        {"04 07 03 00", SERV_RESETEAR_LINK, -1},          {"04 0E 03 00", SERV_CAMBIO_MODO, -1},
        {"04 E1 03 99 00", SERV_CLEAR_ALL_FILTERS_V6, -1}, {"04 FE 03 00 00", SERV_SET_BROADCAST_LINK, -1},
        {"04 FF 03 00 00", SERV_CLEAR_BROADCAST_LINK, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
        c->setServiceRequestState(row.service, RESP_SERV_PENDING);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ(c->getServiceRequestState(row.service), row.expected);
    }
}

TEST(Dispatch, ConnectTakesTheSpeedOnlyFromFiveBytesAndAClaimOnlyOnSuccess)
{
    IoRig rig;
    Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
    c->setProtocolSpeed(VELOCIDAD_NINGUNA);
    rig.dispatch(hex("04 02 03 00"));
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_NINGUNA);
    rig.dispatch(hex("04 02 03 00 24"));
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_250000);
    c->set_J1939_Claim_Address_State(0);
    c->set_J1939_Claim_Address_Value(0);
    rig.dispatch(hex("04 E5 03 00 F9"));
    EXPECT_EQ(c->get_J1939_Claim_Address_State(), 1);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0xF9);
    rig.dispatch(hex("04 08 03 05 80"));  // a refusal records its state only
    EXPECT_EQ(c->getServiceRequestState(SERV_J1939_ADDRESS_CLAIM), 5);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0xF9);
}

TEST(Dispatch, IoctlParameterPairsInitAndPulseAnswers)
{
    IoRig rig;
    Cliente* c = rig.connect(kClient, PROTOCOLO_ISO9141);
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    rig.dispatch(hex("04 0D 03 99 01 00000002  00000001 0000002A  00000002 000001F4  000000"));
    EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), 0);
    EXPECT_EQ(c->get_IOCTL_SingleParam(1), 42u);
    EXPECT_EQ(c->get_IOCTL_SingleParam(2), 500u);
    // Init and pulse answers store the bytes after the count.
    rig.dispatch(hex("04 0D 03 99 05 00000003 C1 EF 8F"));
    EXPECT_EQ(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG(), hex("C1 EF 8F"));
    rig.dispatch(hex("04 0D 03 99 04 00000001 55"));
    EXPECT_EQ(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG(), hex("55"));
    rig.dispatch(hex("04 0D 03 99 FF 00000002 AA 55"));
    EXPECT_EQ(c->GetSendPulsesInit_Response(), hex("AA 55"));
    // An answer that ends inside the count field carries no data: done, with nothing.
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    rig.dispatch(hex("04 0D 03 99 05 00 00"));
    EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), 0);
    EXPECT_TRUE(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG().isEmpty());
}

TEST(Dispatch, EachAdapterWideAnswerSetsItsSlot)
{
    using G = GestorRP1210;
    const struct {
        const char* frame;
        void (G::*set)(RESPONSES_SERV_RP1210);
        RESPONSES_SERV_RP1210 (G::*get)() const;
        int expected;
    } rows[] = {
        {"04 11 05", &G::setIsCmmdMuxEnded, &G::getIsCmmdMuxEnded, 5},
        {"04 E6 00", &G::setCANFilterStatus, &G::getCANFilterStatus, 0},
        {"04 E7 0C", &G::setCANClearFilterStatus, &G::getCANClearFilterStatus, 12},
        {"04 EB 03 99 01 0D", &G::setISO15765FilterStatus, &G::getISO15765FilterStatus, 13},
        {"04 EB 03 99 01", &G::setISO15765FilterStatus, &G::getISO15765FilterStatus, -1},
        {"04 F2 00", &G::setPICConnectionEnded, &G::getPICConnectionEnded, 0},
        {"04 F3 01", &G::setJ1850FilterStatus, &G::getJ1850FilterStatus, 1},
        {"04 F4 FF", &G::setJ1850ClearFilterStatus, &G::getJ1850ClearFilterStatus, 255},
        {"04 F4", &G::setJ1850ClearFilterStatus, &G::getJ1850ClearFilterStatus, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        (rig.g.*row.set)(RESP_SERV_PENDING);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ((rig.g.*row.get)(), row.expected);
    }
}

TEST(Dispatch, OnlySuccessAndTheFailureStatesFreeASentFrame)
{
    const std::set<int> freeing = {0, 1, 3, 5, 8, 14, 23};
    IoRig rig;
    rig.connect(kClient, PROTOCOLO_J1939);
    for (int estado = 0; estado <= 255; ++estado) {
        SCOPED_TRACE(estado);
        const int counter = rig.send(kClient, PROTOCOLO_J1939, false, hex("00 EF 00 06 01 02"));
        ASSERT_GT(counter, 0);
        ASSERT_TRUE(rig.io.hasSentFrame(counter));
        ASSERT_EQ(rig.io.inFlight(kJ1939Counter), 1);
        rig.dispatch(sendAnswer(PROTOCOLO_J1939, quint8(estado), quint8(counter)));
        const bool frees = freeing.count(estado) != 0;
        EXPECT_EQ(rig.io.hasSentFrame(counter), !frees);
        EXPECT_EQ(rig.io.inFlight(kJ1939Counter), frees ? 0 : 1);
        if (!frees) {  // the frame stays answerable
            rig.dispatch(sendAnswer(PROTOCOLO_J1939, 0, quint8(counter)));
            ASSERT_FALSE(rig.io.hasSentFrame(counter));
            ASSERT_EQ(rig.io.inFlight(kJ1939Counter), 0);
        }
    }
}

TEST(Dispatch, SendAnswersForOtherCountersOrTooShortChangeNothing)
{
    IoRig rig;
    rig.connect(kClient, PROTOCOLO_J1939, true);
    const quint8 plain = quint8(rig.send(kClient, PROTOCOLO_J1939, false, hex("00 EF 00 06 01")));
    const quint8 echoed = quint8(rig.send(kClient, PROTOCOLO_J1939, true, hex("00 EF 00 06 02")));
    ASSERT_EQ(rig.io.inFlight(kJ1939Counter), 2);
    const QByteArray ignored[] = {
        sendAnswer(PROTOCOLO_J1939, 0, 77),                   // nothing remembered under 77
        sendAnswer(PROTOCOLO_J1939, 1, 77),                   // a failure for nothing remembered
        hex("04 04 10 00"),                                   // no counter
        sendAnswer(PROTOCOLO_J1939, 0, echoed).left(9),       // echo wanted, no data length
        sendAnswer(PROTOCOLO_J1939, 0, echoed, hex("AA BB")).left(12),  // 2 data bytes announced, 1 carried
        sendAnswer(PROTOCOLO_J1939, 0, 0),                    // broadcast-link report: frees nothing
        sendAnswer(PROTOCOLO_J1939, 0, 0).left(8),
    };
    for (const QByteArray& f : ignored) {
        SCOPED_TRACE(toHex(f));
        rig.dispatch(f);
        EXPECT_TRUE(rig.io.hasSentFrame(plain));
        EXPECT_TRUE(rig.io.hasSentFrame(echoed));
        EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 2);
    }
    rig.dispatch(hex("04 04 10 00") + char(plain));  // without echo nothing is needed after the counter
    EXPECT_FALSE(rig.io.hasSentFrame(plain));
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 1);
    rig.dispatch(sendAnswer(PROTOCOLO_J1939, 14, echoed).left(5));  // a failure needs no data fields
    EXPECT_FALSE(rig.io.hasSentFrame(echoed));
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 0);
}

TEST(Dispatch, SendAnswerFreesTheSlotOfTheProtocolItNames)
{
    IoRig rig;
    rig.connect(kClient, PROTOCOLO_J1939);
    rig.connect(4, PROTOCOLO_ISO15765);
    const int j1939 = rig.send(kClient, PROTOCOLO_J1939, false, hex("00 EF 00 06 01"));
    const int iso = rig.send(4, PROTOCOLO_ISO15765, false, hex("00 00 07 E0 01 02"));
    ASSERT_EQ(rig.io.inFlight(kJ1939Counter), 1);
    ASSERT_EQ(rig.io.inFlight(kIso15765Counter), 1);
    rig.dispatch(sendAnswer(PROTOCOLO_ISO15765, 0, quint8(j1939)));
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 1);
    EXPECT_EQ(rig.io.inFlight(kIso15765Counter), 0);
    EXPECT_FALSE(rig.io.hasSentFrame(j1939));
    EXPECT_TRUE(rig.io.hasSentFrame(iso));
}

TEST(Dispatch, TesterFrameIsQueuedBackForClientZeroWithOneMoreByte)
{
    IoRig rig;
    rig.dispatch(hex("04 3B 01 02 03"));
    ASSERT_EQ(rig.io.outputListSize(), 1);
    rig.io.removeClientMessages(1);
    EXPECT_EQ(rig.io.outputListSize(), 1);
    rig.io.removeClientMessages(0);
    EXPECT_EQ(rig.io.outputListSize(), 0);
    rig.io.ArrancarHiloEnvio(VCI_J, 0);
    rig.dispatch(hex("04 3B 01 02 03"));
    ASSERT_TRUE(rig.link.waitForFrames(1));
    EXPECT_EQ(toHex(rig.link.frames().front()), "04 3b 01 02 03 01");
}

// Delivery reads what the manager's message, echo, version and status operations did
// with the values the dispatch passed, so it runs their real bodies.
TEST(Dispatch, ReceivedMessageReachesTheClientOnlyWhenItsLengthFits)
{
    const struct {
        const char *frame, *delivered;  // delivered empty: nothing reaches the client
    } rows[] = {
        {"04 05 10 00 08 11 22 33 44 AA BB CC DD", "11 22 33 44 AA BB CC DD"},
        {"04 05 10 00 06 11 22 33 44 AA BB CC DD", "11 22 33 44 AA BB"},  // bytes past L are padding
        {"04 05 10 00 04 11 22 33 44", "11 22 33 44"},
        {"04 05 10 00 09 11 22 33 44 AA BB CC DD", ""},  // L runs past the frame
        {"04 05 10 00 03 11 22 33", ""},                 // no room for the timestamp
        {"04 05 10 00", ""},
        {"04 05 10", ""},
        {"04 05 11 00 08 11 22 33 44 AA BB CC DD", ""},  // no client of that protocol
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ(c->receivedCount(), *row.delivered ? 1 : 0);
        EXPECT_EQ(readOne(c), hex(row.delivered));
    }
}

QByteArray segment(quint8 sequence, int totalLength, const QByteArray& timestamp, const QByteArray& data)
{
    // protocol J1939, key 7; the first segment's data starts at offset 13
    return hex("04 D3 10 07") + char(sequence) + char(totalLength >> 8) + char(totalLength & 0xFF) + timestamp +
           ((sequence & 0x0F) == 0 ? hex("00 00") : QByteArray()) + data;
}

TEST(Dispatch, SegmentsAreReassembledInOrderOnly)
{
    IoRig rig;
    Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
    c->setTamanoBufferEntrada(65536);
    const QByteArray data = pattern(506, 9), ts = hex("01 02 03 04");
    // Two segments of length 500: the message is the last segment's timestamp and 506 data bytes.
    rig.dispatch(segment(0x10, 500, hex("A1 A2 A3 A4"), data.left(300)));
    EXPECT_EQ(c->receivedCount(), 0);
    rig.dispatch(segment(0x11, 0, hex("B1 B2 B3 B4"), data.mid(300)));
    EXPECT_EQ(readOne(c), hex("B1 B2 B3 B4") + data);

    rig.dispatch(segment(0x20, 500, ts, data.left(300)));
    rig.dispatch(segment(0x22, 0, ts, data.mid(400)));  // index 2 before 1: ignored
    rig.dispatch(segment(0x21, 0, ts, data.mid(300, 100)));
    EXPECT_EQ(c->receivedCount(), 0);
    rig.dispatch(segment(0x22, 0, ts, data.mid(400)));
    ASSERT_EQ(c->receivedCount(), 1);
    EXPECT_EQ(readOne(c), ts + data);

    // A new first segment drops the unfinished message of its key.
    rig.dispatch(segment(0x10, 500, ts, data.left(300)));
    rig.dispatch(segment(0x00, 10, ts, pattern(16)));  // complete at once: 10 + 6 bytes
    ASSERT_EQ(c->receivedCount(), 1);
    EXPECT_EQ(readOne(c), ts + pattern(16));
    rig.dispatch(segment(0x11, 0, ts, data.mid(300)));  // belongs to the dropped message
    // Segments carrying more than announced are dropped.
    rig.dispatch(segment(0x00, 10, ts, pattern(17)));  // 17 > 10 + 6
    rig.dispatch(segment(0x10, 100, ts, pattern(50)));
    rig.dispatch(segment(0x11, 0, ts, pattern(60)));  // 110 > 106: the message can never complete
    rig.dispatch(segment(0x12, 0, ts, pattern(1)));
    EXPECT_EQ(c->receivedCount(), 0);
}

TEST(Dispatch, EchoOfASentFrameCarriesTheAnswerTimestampAndTheSentData)
{
    const struct {
        quint8 client, protocolo;
        bool echo;  // the frame asked for an echo
        quint8 estado;
        const char *sent, *answerData, *delivered;  // delivered empty: no echo
    } rows[] = {
        {kClient, PROTOCOLO_J1939, true, 0, "AA BB CC", "", "11 22 33 44 01 AA BB CC"},
        {kClient, PROTOCOLO_J1939, false, 0, "AA BB CC", "", ""},
        {kClient, PROTOCOLO_J1939, true, 5, "AA BB CC", "", ""},  // refused
        // client 16's frames carry 0x20 with echo and 0x10 without
        {16, PROTOCOLO_J1939, true, 0, "AA", "", "11 22 33 44 01 AA"},
        {16, PROTOCOLO_J1939, false, 0, "BB", "", ""},
        // the answer data is passed as extra: ISO 9141 mode 0 writes its first byte at byte 5
        {kClient, PROTOCOLO_ISO9141_1, true, 0, "68 6A F1", "5A A5", "11 22 33 44 01 68 5A F1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.client) << " " << row.sent << " " << int(row.estado));
        IoRig rig;
        Cliente* c = rig.connect(row.client, row.protocolo, true);
        c->setISO9141_KWP200_Mode(0);
        const int counter = rig.send(row.client, row.protocolo, row.echo, hex(row.sent));
        ASSERT_GT(counter, 0);
        rig.dispatch(sendAnswer(row.protocolo, row.estado, quint8(counter), hex(row.answerData)));
        EXPECT_FALSE(rig.io.hasSentFrame(counter));  // 0 and 5 both free the frame
        EXPECT_EQ(c->receivedCount(), *row.delivered ? 1 : 0);
        EXPECT_EQ(readOne(c), hex(row.delivered));
    }
}

TEST(Dispatch, FirmwareVersionAndHardwareStatusEndTheirWaits)
{
    const struct {
        const char *frame, *text;  // the text stops at a zero or after 17 characters
    } rows[] = {
        {"04 01 00 56 31 2E 32 00 58", "V1.2"},
        {"04 01 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53", "ABCDEFGHIJKLMNOPQ"},
        {"04 01 00 41 42", "AB"},
        {"04 01 00", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        rig.g.set_detailedVersionEnded(RESP_SERV_PENDING);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ(rig.g.get_detailedVersionEnded(), RESP_SERV_OK);
        char text[64] = {};
        EXPECT_FALSE(rig.g.get_Detailed_Version(text));
        EXPECT_STREQ(text, row.text);
    }
    IoRig rig;  // hardware status for no client ends the adapter-wide wait
    rig.g.setIsHardwareStatusEnded(RESP_SERV_PENDING);
    rig.dispatch(hex("04 06 FF"));
    EXPECT_EQ(rig.g.getIsHardwareStatusEnded(), RESP_SERV_OK);
    Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
    c->setServiceRequestState(SERV_ESTADO_HARDWARE, RESP_SERV_PENDING);
    rig.dispatch(hex("04 06 03 A0 A1 A2 A3 A4 A5 A6 A7"));
    EXPECT_EQ(c->getServiceRequestState(SERV_ESTADO_HARDWARE), RESP_SERV_OK);
    char status[20] = {};
    c->getBufferHardwareStatus(status, sizeof status);
    EXPECT_EQ(quint8(status[0]), 0xA0);
    EXPECT_EQ(quint8(status[18]), 0xA7);
}

// Arbitrary adapter bytes: each input is handed over in a heap buffer of exactly its size,
// without a terminator, so an address-sanitizer build reports any read past a frame's end.
TEST(Dispatch, SurvivesRandomFramesEveryPrefixOfValidOnesAndRandomSegmentStreams)
{
    IoRig rig;
    // Clients of several protocols, with echo and without, and remembered frames, so that
    // the deep paths (echo, routing, reassembly) run too.
    rig.connect(1, PROTOCOLO_J1939, true);
    rig.connect(2, PROTOCOLO_J1939, false);
    rig.connect(3, PROTOCOLO_ISO15765, true);
    rig.connect(4, PROTOCOLO_ISO9141_1, true)->setISO9141_KWP200_Mode(0);
    rig.connect(5, PROTOCOLO_J1708, true);
    rig.connect(6, PROTOCOLO_CAN, false);
    for (int i = 0; i < 2; ++i) {
        rig.send(1, PROTOCOLO_J1939, true, hex("00 EF 00 06 01 02 03"));
        rig.send(5, PROTOCOLO_J1708, true, hex("80 01 02"));
        rig.send(6, PROTOCOLO_CAN, true, QByteArray());
    }
    rig.io.pararHiloEnvio();  // the inputs alone drive the state from here
    for (int id = 1; id <= 6; ++id)
        rig.g.getCliente(quint8(id))->setTamanoBufferEntrada(1 << 20);
    const auto feed = [&](const QByteArray& bytes) {
        std::vector<char> exact = exactCopy(bytes);
        QByteArray frame = QByteArray::fromRawData(exact.data(), int(exact.size()));  // a change detaches a copy
        rig.io.switchApplication(frame);
    };
    std::mt19937 rng(0x52503132);
    const auto random = [&](int length) {
        QByteArray f(length, '\0');
        for (char& b : f)
            b = char(rng() & 0xFF);
        return f;
    };
    // Every code and short length; mostly the valid class, small lengths, states and counters.
    for (int code = 0; code <= 255; ++code) {
        for (int length = 0; length <= 40; ++length) {
            for (int round = 0; round < 6; ++round) {
                QByteArray f = random(length);
                if (length > 0 && round < 4)
                    f[0] = 0x04;
                if (length > 1)
                    f[1] = char(code);
                if (length > 3 && round % 2 == 0)
                    f[3] = char(f[3] & 0x1F);
                if (length > 4 && round == 2)
                    f[4] = char(f[4] & 0x07);
                feed(f);
            }
        }
    }
    for (const char* whole :
         {"04 01 00 56 31 2E 32 00 58", "04 02 01 00 24", "04 04 10 00 01 11 22 33 44 00 02 AA BB",
          "04 04 10 00 00 11 22 33 44 00 02 AA BB", "04 04 13 00 03 11 22 33 44 00 01 5A",
          "04 05 10 00 08 11 22 33 44 AA BB CC DD", "04 05 0F 00 07 11 22 33 44 80 01 7F", "04 06 01 A0 A1 A2 A3 A4 A5 A6 A7",
          "04 08 01 00 80", "04 0D 03 99 01 00 00 00 02 00 00 00 01 00 00 00 2A", "04 0D 03 99 05 00 00 00 03 C1 EF 8F",
          "04 0D 03 99 FF 00 00 00 02 AA 55", "04 14 01 99 04", "04 3B 01 02",
          "04 D3 10 07 00 00 0A 01 02 03 04 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10",
          "04 D3 11 08 10 01 00 01 02 03 04 00 00 AA", "04 D3 11 08 11 00 00 01 02 03 04 BB", "04 EB 01 99 01 00"})
        for (int n = 0; n <= hex(whole).size(); ++n)
            feed(hex(whole).left(n));
    // Segment streams: few keys, so messages build up; announced lengths up to about 1 KB.
    const quint8 protocols[] = {PROTOCOLO_J1939, PROTOCOLO_ISO15765, PROTOCOLO_TP20, PROTOCOLO_CAN, 0xFF};
    for (int i = 0; i < 20000; ++i) {
        QByteArray f = random(int(rng() % 601));
        const char head[] = {0x04, char(0xD3), char(protocols[rng() % 5]), char(rng() & 0x03),
                             char((rng() & 0x30) | (rng() & 0x03)), char(rng() & 0x03)};
        for (int k = 0; k < f.size() && k < 6; ++k)
            f[k] = head[k];
        feed(f);
    }
    // The dispatch still serves a well-formed answer.
    Cliente* c = rig.g.getCliente(2);
    c->setServiceRequestState(SERV_DESCONECTAR_CLIENTE, RESP_SERV_PENDING);
    feed(hex("04 03 02 00"));
    EXPECT_EQ(c->getServiceRequestState(SERV_DESCONECTAR_CLIENTE), RESP_SERV_OK);
}

}  // namespace
