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

// Adapter-wide answers: a slot of the manager instead of a client's service.
using G = GestorRP1210;
const struct {
    void (G::*set)(RESPONSES_SERV_RP1210);
    RESPONSES_SERV_RP1210 (G::*get)() const;
} kWide[] = {{&G::setIsCmmdMuxEnded, &G::getIsCmmdMuxEnded},
             {&G::setCANFilterStatus, &G::getCANFilterStatus},
             {&G::setCANClearFilterStatus, &G::getCANClearFilterStatus},
             {&G::setISO15765FilterStatus, &G::getISO15765FilterStatus},
             {&G::setPICConnectionEnded, &G::getPICConnectionEnded},
             {&G::setJ1850FilterStatus, &G::getJ1850FilterStatus},
             {&G::setJ1850ClearFilterStatus, &G::getJ1850ClearFilterStatus}};
enum { MUX = -1, CANF = -2, CANC = -3, ISOF = -4, PIC = -5, J1850F = -6, J1850C = -7 };

TEST(Dispatch, EachAnswerSetsItsServiceOnlyWhenLongEnough)
{
    const struct {
        const char* frame;
        int service;  // a client service, or an adapter-wide slot (negative)
        int expected;  // -1: the frame must leave the pending state alone
    } rows[] = {
        {"04 02 03 00", SERV_CONECTAR_CLIENTE, 0}, {"04 02 03", SERV_CONECTAR_CLIENTE, -1},
        {"04 03 03 05", SERV_DESCONECTAR_CLIENTE, 5}, {"04 03 03", SERV_DESCONECTAR_CLIENTE, -1},
        {"04 09 03 09", SERV_ISO15765_FLOW_CONTROL, 9}, {"04 0A 03 00", SERV_ISO15765_CLEAR_FLOW_CONTROL, 0},
        {"04 08 03 07 80", SERV_J1939_ADDRESS_CLAIM, 7}, {"04 08 03 07", SERV_J1939_ADDRESS_CLAIM, -1},
        {"04 E5 03 00 80", SERV_PROTECT_J1939_ADDRESS, 0}, {"04 10 03", SERV_SET_BAUD, 0},
        {"04 14 03 99 04", SERV_J1939_INTERPACKET_TIME, 4}, {"04 14 03 99", SERV_J1939_INTERPACKET_TIME, -1},
        {"04 E0 03 99 02", SERV_SET_FILTERS_V6, 2}, {"04 E0 03 99", SERV_SET_FILTERS_V6, -1},
        {"04 E2 03 99 0C", SERV_CLEAR_FILTER_V6, 12}, {"04 E3 03 99 00", SERV_SET_FILTER_SA_V6, 0},
        {"04 E4 03 99 01", SERV_CLEAR_FILTER_SA_V6, 1}, {"04 E8 03 99 0E", SERV_SET_PADDING_ISO15765, 14},
        {"04 E9 03 99 03", SERV_SET_REMOTE_CAN_MESSAGE, 3}, {"04 EA 03 99 00", SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, 0},
        // ioctl answers without data mark the service done whatever else they carry
        {"04 0D 03 99 02", SERV_IOCTL, 0}, {"04 0D 03 99 FA", SERV_IOCTL, 0}, {"04 0D 03 99 FB", SERV_IOCTL, 0},
        {"04 0D 03 99 FC", SERV_IOCTL, 0}, {"04 0D 03 99 FD", SERV_IOCTL, 0}, {"04 0D 03 99 FE 01 02 03 04 05", SERV_IOCTL, 0},
        {"04 0D 03 99", SERV_IOCTL, -1}, {"04 0D 03 99 03", SERV_IOCTL, -1},
        // wrong frame class, another client, a service without a handler
        {"05 03 03 05", SERV_DESCONECTAR_CLIENTE, -1}, {"04 03 07 05", SERV_DESCONECTAR_CLIENTE, -1},
        {"04 E1 03 99 00", SERV_CLEAR_ALL_FILTERS_V6, -1},
        {"04 11 05", MUX, 5}, {"04 E6 00", CANF, 0}, {"04 E7 0C", CANC, 12}, {"04 EB 03 99 01 0D", ISOF, 13},
        {"04 EB 03 99 01", ISOF, -1}, {"04 F2 00", PIC, 0}, {"04 F3 01", J1850F, 1}, {"04 F4 FF", J1850C, 255},
        {"04 F4", J1850C, -1},  // under 3 bytes
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
        const auto service = IDS_SERV_RP1210(row.service);
        if (row.service < 0)
            (rig.g.*kWide[-row.service - 1].set)(RESP_SERV_PENDING);
        else
            c->setServiceRequestState(service, RESP_SERV_PENDING);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ(row.service < 0 ? int((rig.g.*kWide[-row.service - 1].get)()) : int(c->getServiceRequestState(service)),
                  row.expected);
    }
}

TEST(Dispatch, AnswerDataReachesTheClient)
{
    IoRig rig;
    Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
    c->setProtocolSpeed(VELOCIDAD_NINGUNA);
    rig.dispatch(hex("04 02 03 00"));  // the speed only from a fifth byte
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_NINGUNA);
    rig.dispatch(hex("04 02 03 00 24"));
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_250000);
    rig.dispatch(hex("04 E5 03 00 F9"));
    rig.dispatch(hex("04 08 03 05 80"));  // a refusal records its state only
    EXPECT_EQ(c->get_J1939_Claim_Address_State() * 1000 + c->get_J1939_Claim_Address_Value(), 1000 + 0xF9);
    EXPECT_EQ(c->getServiceRequestState(SERV_J1939_ADDRESS_CLAIM), 5);

    rig.dispatch(hex("04 0D 03 99 01 00000002  00000001 0000002A  00000002 000001F4  000000"));
    EXPECT_EQ(c->get_IOCTL_SingleParam(1) * 1000 + c->get_IOCTL_SingleParam(2), 42500u);
    rig.dispatch(hex("04 0D 03 99 05 00000003 C1 EF 8F"));  // init and pulses: the bytes after the count
    rig.dispatch(hex("04 0D 03 99 FF 00000002 AA 55"));
    EXPECT_EQ(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG() + c->GetSendPulsesInit_Response(), hex("C1 EF 8F AA 55"));
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    rig.dispatch(hex("04 0D 03 99 04 00 00"));  // ends inside the count: done, with nothing
    EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), 0);
    EXPECT_TRUE(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG().isEmpty());

    c->setServiceRequestState(SERV_ESTADO_HARDWARE, RESP_SERV_PENDING);
    rig.dispatch(hex("04 06 03 A0 A1 A2 A3 A4 A5 A6 A7"));
    EXPECT_EQ(c->getServiceRequestState(SERV_ESTADO_HARDWARE), RESP_SERV_OK);
    char status[20] = {};
    c->getBufferHardwareStatus(status, sizeof status);
    EXPECT_EQ(quint8(status[18]), 0xA7);
    rig.g.setIsHardwareStatusEnded(RESP_SERV_PENDING);
    rig.dispatch(hex("04 06 FF"));  // for no client: ends the adapter-wide wait
    EXPECT_EQ(rig.g.getIsHardwareStatusEnded(), RESP_SERV_OK);

    // The version text stops at a zero, the frame's end or 17 characters.
    for (const auto& row : {std::pair<const char*, const char*>{"04 01 00 56 31 2E 32 00 58", "V1.2"},
                            {"04 01 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53", "ABCDEFGHIJKLMNOPQ"},
                            {"04 01 00 41 42", "AB"}}) {
        rig.g.set_detailedVersionEnded(RESP_SERV_PENDING);
        rig.dispatch(hex(row.first));
        char text[64] = {};
        EXPECT_FALSE(rig.g.get_Detailed_Version(text));
        EXPECT_EQ(std::to_string(rig.g.get_detailedVersionEnded()) + text, std::string("0") + row.second);
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
        rig.dispatch(sendAnswer(PROTOCOLO_J1939, quint8(estado), quint8(counter)));
        const bool frees = freeing.count(estado) != 0;
        EXPECT_EQ(rig.io.hasSentFrame(counter), !frees);
        EXPECT_EQ(rig.io.inFlight(kJ1939Counter), frees ? 0 : 1);
        if (!frees)  // the frame stays answerable
            rig.dispatch(sendAnswer(PROTOCOLO_J1939, 0, quint8(counter)));
        ASSERT_FALSE(rig.io.hasSentFrame(counter));
    }
}

TEST(Dispatch, SendAnswerMustNameARememberedCounterAndCarryWhatEchoNeeds)
{
    IoRig rig;
    rig.connect(kClient, PROTOCOLO_J1939, true);
    rig.connect(4, PROTOCOLO_ISO15765);
    const quint8 plain = quint8(rig.send(kClient, PROTOCOLO_J1939, false, hex("00 EF 00 06 01")));
    const quint8 echoed = quint8(rig.send(kClient, PROTOCOLO_J1939, true, hex("00 EF 00 06 02")));
    const quint8 iso = quint8(rig.send(4, PROTOCOLO_ISO15765, false, hex("00 00 07 E0 01 02")));
    for (const QByteArray& f : {sendAnswer(PROTOCOLO_J1939, 0, 77),                  // nothing remembered under 77
                                hex("04 04 10 00"),                                  // no counter
                                sendAnswer(PROTOCOLO_J1939, 0, echoed).left(9),      // echo wanted, no data length
                                sendAnswer(PROTOCOLO_J1939, 0, echoed, hex("AA BB")).left(12),  // data cut short
                                sendAnswer(PROTOCOLO_J1939, 0, 0)}) {                // broadcast-link report
        SCOPED_TRACE(toHex(f));
        rig.dispatch(f);
        EXPECT_TRUE(rig.io.hasSentFrame(plain) && rig.io.hasSentFrame(echoed));
        EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 2);
    }
    rig.dispatch(hex("04 04 10 00") + char(plain));  // without echo nothing is needed after the counter
    EXPECT_FALSE(rig.io.hasSentFrame(plain));
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 1);
    rig.dispatch(sendAnswer(PROTOCOLO_ISO15765, 14, echoed).left(5));  // a failure needs no data fields
    EXPECT_FALSE(rig.io.hasSentFrame(echoed));
    // The slot freed is that of the protocol the answer names.
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 1);
    EXPECT_EQ(rig.io.inFlight(kIso15765Counter), 0);
    EXPECT_TRUE(rig.io.hasSentFrame(iso));
}

TEST(Dispatch, TesterFrameIsQueuedBackForClientZeroWithOneMoreByte)
{
    IoRig rig;
    rig.dispatch(hex("04 3B 01 02 03"));
    rig.io.removeClientMessages(1);
    EXPECT_EQ(rig.io.outputListSize(), 1);
    rig.drain();
    EXPECT_EQ(toHex(rig.link.frames().front()), "04 3b 01 02 03 01");
    rig.dispatch(hex("04 3B 01 02 03"));
    rig.io.removeClientMessages(0);
    EXPECT_EQ(rig.io.outputListSize(), 0);
}

// Delivery runs the manager's real message and echo bodies with what the dispatch passed.
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

QByteArray segment(quint8 sequence, int totalLength, const QByteArray& ts, const QByteArray& data)
{
    // protocol J1939, key 7; the first segment's data starts at offset 13
    return hex("04 D3 10 07") + char(sequence) + char(totalLength >> 8) + char(totalLength & 0xFF) + ts +
           ((sequence & 0x0F) == 0 ? hex("00 00") : QByteArray()) + data;
}

TEST(Dispatch, SegmentsAreReassembledInOrderOnly)
{
    IoRig rig;
    Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
    c->setTamanoBufferEntrada(65536);
    const QByteArray data = pattern(506, 9), ts = hex("01 02 03 04");
    // Length 500 (+6 for J1939): the message is the last segment's timestamp and 506 bytes.
    rig.dispatch(segment(0x20, 500, hex("A1 A2 A3 A4"), data.left(300)));
    rig.dispatch(segment(0x22, 0, ts, data.mid(400)));  // index 2 before 1: ignored
    rig.dispatch(segment(0x21, 0, ts, data.mid(300, 100)));
    EXPECT_EQ(c->receivedCount(), 0);
    rig.dispatch(segment(0x22, 0, ts, data.mid(400)));
    EXPECT_EQ(readOne(c), ts + data);
    // A new first segment drops the unfinished message of its key.
    rig.dispatch(segment(0x10, 500, ts, data.left(300)));
    rig.dispatch(segment(0x00, 10, ts, pattern(16)));  // complete at once: 10 + 6 bytes
    EXPECT_EQ(readOne(c), ts + pattern(16));
    rig.dispatch(segment(0x11, 0, ts, data.mid(300)));  // belongs to the dropped message
    // Segments carrying more than announced are dropped.
    rig.dispatch(segment(0x00, 10, ts, pattern(17)));
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
        {16, PROTOCOLO_J1939, true, 0, "AA", "", "11 22 33 44 01 AA"},  // client 16: 0x20 with echo, 0x10 without
        {16, PROTOCOLO_J1939, false, 0, "BB", "", ""},
        // the answer data is passed on: ISO 9141 mode 0 writes its first byte at byte 5
        {kClient, PROTOCOLO_ISO9141_1, true, 0, "68 6A F1", "5A A5", "11 22 33 44 01 68 5A F1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.client) << " " << row.sent << " " << int(row.estado));
        IoRig rig;
        Cliente* c = rig.connect(row.client, row.protocolo, true);
        c->setISO9141_KWP200_Mode(0);
        const int counter = rig.send(row.client, row.protocolo, row.echo, hex(row.sent));
        rig.dispatch(sendAnswer(row.protocolo, row.estado, quint8(counter), hex(row.answerData)));
        EXPECT_EQ(readOne(c), hex(row.delivered));
    }
}

// Arbitrary adapter bytes, each in a heap buffer of exactly its size: an address-sanitizer
// build reports any read past a frame's end.
TEST(Dispatch, SurvivesRandomFramesAndEveryPrefixOfValidOnes)
{
    IoRig rig;
    // Clients with echo and remembered frames, so that echo, routing and reassembly run too.
    const quint8 protocols[] = {PROTOCOLO_J1939, PROTOCOLO_ISO15765, PROTOCOLO_ISO9141_1, PROTOCOLO_J1708, PROTOCOLO_CAN};
    for (quint8 id = 1; id <= 5; ++id) {
        rig.connect(id, protocols[id - 1], id != 5)->setTamanoBufferEntrada(1 << 20);
        rig.send(id, protocols[id - 1], true, hex("00 EF 00 06 01 02 03"));
    }
    rig.g.getCliente(3)->setISO9141_KWP200_Mode(0);
    rig.io.pararHiloEnvio();
    const auto feed = [&](const QByteArray& bytes) {
        std::vector<char> exact = exactCopy(bytes);
        rig.dispatch(QByteArray::fromRawData(exact.data(), int(exact.size())));  // a change detaches a copy
    };
    std::mt19937 rng(0x52503132);
    const auto random = [&](int length, const QByteArray& head) {
        QByteArray f(length, '\0');
        for (int k = 0; k < length; ++k)
            f[k] = k < head.size() ? head[k] : char(rng() & 0xFF);
        return f;
    };
    // Every code and short length; small states and counters, so that the deep paths run.
    for (int code = 0; code <= 255; ++code)
        for (int length = 0; length <= 40; ++length)
            for (int round = 0; round < 4; ++round)
                feed(random(length, QByteArray(1, round < 3 ? 0x04 : char(rng())) + char(code) + char(rng()) +
                                        char(round < 2 ? rng() & 0x1F : rng()) + char(round == 1 ? rng() & 0x07 : rng())));
    for (const char* whole :
         {"04 04 10 00 01 11 22 33 44 00 02 AA BB", "04 04 13 00 03 11 22 33 44 00 01 5A",
          "04 05 10 00 08 11 22 33 44 AA BB CC DD", "04 0D 03 99 01 00 00 00 02 00 00 00 01 00 00 00 2A",
          "04 0D 03 99 05 00 00 00 03 C1 EF 8F", "04 D3 10 07 00 00 0A 01 02 03 04 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10",
          "04 D3 11 08 10 01 00 01 02 03 04 00 00 AA", "04 EB 01 99 01 00"})
        for (int n = 0; n <= hex(whole).size(); ++n)
            feed(hex(whole).left(n));
    // The dispatch still serves a well-formed answer.
    Cliente* c = rig.g.getCliente(2);
    c->setServiceRequestState(SERV_DESCONECTAR_CLIENTE, RESP_SERV_PENDING);
    feed(hex("04 03 02 00"));
    EXPECT_EQ(c->getServiceRequestState(SERV_DESCONECTAR_CLIENTE), RESP_SERV_OK);
}

}  // namespace
