// Answer dispatch: what each answer frame changes, and what a short or inconsistent
// frame must leave alone.
#include "io_rig.h"

#include <gtest/gtest.h>

#include <set>


namespace {

constexpr quint8 kClient = 3;
constexpr int kJ1939Counter = 2;     // in-flight counter of PROTOCOLO_J1939
constexpr int kIso15765Counter = 1;  // in-flight counter of PROTOCOLO_ISO15765

QByteArray sendAnswer(quint8 protocolo, quint8 estado, quint8 counter, const QByteArray& data = QByteArray())
{
    QByteArray f = hex("04 04");
    f.append(static_cast<char>(protocolo));
    f.append(static_cast<char>(estado));
    f.append(static_cast<char>(counter));
    f.append(hex("11 22 33 44"));
    f.append(static_cast<char>(data.size() >> 8));
    f.append(static_cast<char>(data.size() & 0xFF));
    f.append(data);
    return f;
}

// ---- service states of a client ----

struct ClientStateRow {
    const char* frame;
    IDS_SERV_RP1210 service;
    int expected;  // -1: the frame must leave the pending state alone
};

const ClientStateRow kClientStateRows[] = {
    {"04 02 03 00", SERV_CONECTAR_CLIENTE, 0},
    {"04 02 03 03 24", SERV_CONECTAR_CLIENTE, 3},
    {"04 02 03", SERV_CONECTAR_CLIENTE, -1},
    {"04 03 03 05", SERV_DESCONECTAR_CLIENTE, 5},
    {"04 03 03", SERV_DESCONECTAR_CLIENTE, -1},
    {"04 09 03 09", SERV_ISO15765_FLOW_CONTROL, 9},
    {"04 0A 03 00", SERV_ISO15765_CLEAR_FLOW_CONTROL, 0},
    {"04 0A 03", SERV_ISO15765_CLEAR_FLOW_CONTROL, -1},
    {"04 08 03 07 80", SERV_J1939_ADDRESS_CLAIM, 7},
    {"04 08 03 07", SERV_J1939_ADDRESS_CLAIM, -1},
    {"04 E5 03 00 80", SERV_PROTECT_J1939_ADDRESS, 0},
    {"04 E5 03 00", SERV_PROTECT_J1939_ADDRESS, -1},
    {"04 10 03", SERV_SET_BAUD, 0},
    {"04 14 03 99 04", SERV_J1939_INTERPACKET_TIME, 4},
    {"04 14 03 99", SERV_J1939_INTERPACKET_TIME, -1},
    {"04 E0 03 99 02", SERV_SET_FILTERS_V6, 2},
    {"04 E0 03 99", SERV_SET_FILTERS_V6, -1},
    {"04 E2 03 99 0C", SERV_CLEAR_FILTER_V6, 12},
    {"04 E3 03 99 00", SERV_SET_FILTER_SA_V6, 0},
    {"04 E4 03 99 01", SERV_CLEAR_FILTER_SA_V6, 1},
    {"04 E4 03 99", SERV_CLEAR_FILTER_SA_V6, -1},
    {"04 E8 03 99 0E", SERV_SET_PADDING_ISO15765, 14},
    {"04 E9 03 99 03", SERV_SET_REMOTE_CAN_MESSAGE, 3},
    {"04 EA 03 99 00", SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, 0},
    {"04 EA 03 99", SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, -1},
    // ioctl answers without data mark the service done whatever else they carry
    {"04 0D 03 99 02", SERV_IOCTL, 0},
    {"04 0D 03 99 FA", SERV_IOCTL, 0},
    {"04 0D 03 99 FB", SERV_IOCTL, 0},
    {"04 0D 03 99 FC", SERV_IOCTL, 0},
    {"04 0D 03 99 FD", SERV_IOCTL, 0},
    {"04 0D 03 99 FE 01 02 03 04 05", SERV_IOCTL, 0},
    {"04 0D 03 99", SERV_IOCTL, -1},
    {"04 0D 03 99 03", SERV_IOCTL, -1},
    {"04 0D 03 99 06", SERV_IOCTL, -1},
    // wrong frame class, another client, services without a handler
    {"05 03 03 05", SERV_DESCONECTAR_CLIENTE, -1},
    {"04 03 07 05", SERV_DESCONECTAR_CLIENTE, -1},
    {"04 07 03 00", SERV_RESETEAR_LINK, -1},
    {"04 0E 03 00", SERV_CAMBIO_MODO, -1},
    {"04 E1 03 99 00", SERV_CLEAR_ALL_FILTERS_V6, -1},
    {"04 FE 03 00 00", SERV_SET_BROADCAST_LINK, -1},
    {"04 FF 03 00 00", SERV_CLEAR_BROADCAST_LINK, -1},
};

TEST(DispatchClientStates, EachAnswerSetsItsServiceOnlyWhenLongEnough)
{
    for (const ClientStateRow& row : kClientStateRows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
        c->setServiceRequestState(row.service, RESP_SERV_PENDING);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ(c->getServiceRequestState(row.service), row.expected);
    }
}

TEST(DispatchClientStates, ConnectAnswerTakesTheSpeedOnlyFromFiveBytes)
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
    // a refusal records its state only
    rig.dispatch(hex("04 08 03 05 80"));
    EXPECT_EQ(c->getServiceRequestState(SERV_J1939_ADDRESS_CLAIM), 5);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0xF9);
}

// ---- ioctl answers with data ----

TEST(DispatchIoctl, ParameterPairsInitAndPulseAnswers)
{
    IoRig rig;
    Cliente* c = rig.connect(kClient, PROTOCOLO_ISO9141);
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    rig.dispatch(hex("04 0D 03 99 01 00 00 00 02"
                     "00 00 00 01 00 00 00 2A"
                     "00 00 00 02 00 00 01 F4"
                     "00 00 00"));
    EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), 0);
    EXPECT_EQ(c->get_IOCTL_SingleParam(1), 42u);
    EXPECT_EQ(c->get_IOCTL_SingleParam(2), 500u);

    // Init and pulse answers store the bytes after the count.
    rig.dispatch(hex("04 0D 03 99 05 00 00 00 03 C1 EF 8F"));
    EXPECT_EQ(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG(), hex("C1 EF 8F"));
    rig.dispatch(hex("04 0D 03 99 04 00 00 00 01 55"));
    EXPECT_EQ(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG(), hex("55"));
    rig.dispatch(hex("04 0D 03 99 FF 00 00 00 02 AA 55"));
    EXPECT_EQ(c->GetSendPulsesInit_Response(), hex("AA 55"));

    // An answer that ends inside the count field carries no data: done, with nothing.
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    rig.dispatch(hex("04 0D 03 99 05 00 00"));
    EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), 0);
    EXPECT_TRUE(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG().isEmpty());
}

// ---- manager status slots ----

struct SlotRow {
    const char* frame;
    void (GestorRP1210::*set)(RESPONSES_SERV_RP1210);
    RESPONSES_SERV_RP1210 (GestorRP1210::*get)() const;
    int expected;
};

const SlotRow kSlotRows[] = {
    {"04 11 05", &GestorRP1210::setIsCmmdMuxEnded, &GestorRP1210::getIsCmmdMuxEnded, 5},
    {"04 E6 00", &GestorRP1210::setCANFilterStatus, &GestorRP1210::getCANFilterStatus, 0},
    {"04 E7 0C", &GestorRP1210::setCANClearFilterStatus, &GestorRP1210::getCANClearFilterStatus, 12},
    {"04 EB 03 99 01 0D", &GestorRP1210::setISO15765FilterStatus, &GestorRP1210::getISO15765FilterStatus, 13},
    {"04 EB 03 99 01", &GestorRP1210::setISO15765FilterStatus, &GestorRP1210::getISO15765FilterStatus, -1},
    {"04 F2 00", &GestorRP1210::setPICConnectionEnded, &GestorRP1210::getPICConnectionEnded, 0},
    {"04 F3 01", &GestorRP1210::setJ1850FilterStatus, &GestorRP1210::getJ1850FilterStatus, 1},
    {"04 F4 FF", &GestorRP1210::setJ1850ClearFilterStatus, &GestorRP1210::getJ1850ClearFilterStatus, 255},
    {"04 F4", &GestorRP1210::setJ1850ClearFilterStatus, &GestorRP1210::getJ1850ClearFilterStatus, -1},
};

TEST(DispatchSlots, EachAdapterWideAnswerSetsItsSlot)
{
    for (const SlotRow& row : kSlotRows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        (rig.g.*row.set)(RESP_SERV_PENDING);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ((rig.g.*row.get)(), row.expected);
    }
}

// ---- send answers: in-flight slots and remembered frames ----

TEST(DispatchSendAnswer, OnlySuccessAndTheFailureStatesFreeTheFrame)
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

        rig.dispatch(sendAnswer(PROTOCOLO_J1939, static_cast<quint8>(estado), counter));
        const bool frees = freeing.count(estado) != 0;
        EXPECT_EQ(rig.io.hasSentFrame(counter), !frees);
        EXPECT_EQ(rig.io.inFlight(kJ1939Counter), frees ? 0 : 1);

        if (!frees) {
            // the frame stays answerable
            rig.dispatch(sendAnswer(PROTOCOLO_J1939, 0, counter));
            ASSERT_FALSE(rig.io.hasSentFrame(counter));
            ASSERT_EQ(rig.io.inFlight(kJ1939Counter), 0);
        }
    }
}

TEST(DispatchSendAnswer, AnswersForOtherCountersOrTooShortChangeNothing)
{
    IoRig rig;
    rig.connect(kClient, PROTOCOLO_J1939, true);
    const int plain = rig.send(kClient, PROTOCOLO_J1939, false, hex("00 EF 00 06 01"));
    const int echoed = rig.send(kClient, PROTOCOLO_J1939, true, hex("00 EF 00 06 02"));
    ASSERT_GT(plain, 0);
    ASSERT_GT(echoed, 0);
    ASSERT_EQ(rig.io.inFlight(kJ1939Counter), 2);

    QByteArray echoShortData = sendAnswer(PROTOCOLO_J1939, 0, echoed, hex("AA BB"));
    echoShortData.chop(1);  // announces 2 data bytes, carries 1
    const QByteArray ignored[] = {
        sendAnswer(PROTOCOLO_J1939, 0, 77),            // nothing remembered under 77
        sendAnswer(PROTOCOLO_J1939, 1, 77),            // a failure for nothing remembered
        hex("04 04 10 00"),                           // no counter
        sendAnswer(PROTOCOLO_J1939, 0, echoed).left(9),  // echo wanted, no data length
        echoShortData,
        sendAnswer(PROTOCOLO_J1939, 0, 0),            // broadcast-link report: frees nothing
        sendAnswer(PROTOCOLO_J1939, 0, 0).left(8),
    };
    for (const QByteArray& f : ignored) {
        SCOPED_TRACE(f.toHex(' ').constData());
        rig.dispatch(f);
        EXPECT_TRUE(rig.io.hasSentFrame(plain));
        EXPECT_TRUE(rig.io.hasSentFrame(echoed));
        EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 2);
    }

    // A frame without echo needs nothing after the counter.
    QByteArray bare = hex("04 04 10 00");
    bare.append(static_cast<char>(plain));
    rig.dispatch(bare);
    EXPECT_FALSE(rig.io.hasSentFrame(plain));
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 1);

    // A failure frees an echoed frame without needing its data fields.
    rig.dispatch(sendAnswer(PROTOCOLO_J1939, 14, echoed).left(5));
    EXPECT_FALSE(rig.io.hasSentFrame(echoed));
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 0);
}

TEST(DispatchSendAnswer, FreesTheSlotOfTheProtocolTheAnswerNames)
{
    IoRig rig;
    rig.connect(kClient, PROTOCOLO_J1939);
    rig.connect(4, PROTOCOLO_ISO15765);
    const int j1939 = rig.send(kClient, PROTOCOLO_J1939, false, hex("00 EF 00 06 01"));
    const int iso = rig.send(4, PROTOCOLO_ISO15765, false, hex("00 00 07 E0 01 02"));
    ASSERT_EQ(rig.io.inFlight(kJ1939Counter), 1);
    ASSERT_EQ(rig.io.inFlight(kIso15765Counter), 1);

    rig.dispatch(sendAnswer(PROTOCOLO_ISO15765, 0, j1939));
    EXPECT_EQ(rig.io.inFlight(kJ1939Counter), 1);
    EXPECT_EQ(rig.io.inFlight(kIso15765Counter), 0);
    EXPECT_FALSE(rig.io.hasSentFrame(j1939));
    EXPECT_TRUE(rig.io.hasSentFrame(iso));
}

// ---- tester frame ----

TEST(DispatchTester, TesterFrameIsQueuedBackForClientZeroWithOneMoreByte)
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
    ASSERT_TRUE(waitUntil([&] { return rig.link.frameCount() == 1; }));
    EXPECT_EQ(rig.link.frames().front(), hex("04 3B 01 02 03 01"));
}

// =====================================================================================
// Delivery to the clients' receive queues. These read what the manager's message,
// echo, version and hardware-status operations did with the values the dispatch passed,
// so they need those operations' real bodies.
// =====================================================================================

QByteArray readOne(Cliente* c)
{
    char buffer[2048];
    const qint16 n = c->GetMsjToRead(buffer, sizeof buffer, 0);
    return n > 0 ? QByteArray(buffer, n) : QByteArray();
}

struct ReceivedRow {
    const char* frame;
    const char* delivered;  // empty: nothing reaches the client
};

const ReceivedRow kReceivedRows[] = {
    {"04 05 10 00 08 11 22 33 44 AA BB CC DD", "11 22 33 44 AA BB CC DD"},
    {"04 05 10 00 06 11 22 33 44 AA BB CC DD", "11 22 33 44 AA BB"},  // bytes past L are padding
    {"04 05 10 00 04 11 22 33 44", "11 22 33 44"},
    {"04 05 10 00 09 11 22 33 44 AA BB CC DD", ""},  // L runs past the frame
    {"04 05 10 00 03 11 22 33", ""},                 // no room for the timestamp
    {"04 05 10 00", ""},
    {"04 05 10", ""},
    {"04 05 11 00 08 11 22 33 44 AA BB CC DD", ""},  // no client of that protocol
};

TEST(DispatchDelivery, ReceivedMessageReachesTheClientOnlyWhenItsLengthFits)
{
    for (const ReceivedRow& row : kReceivedRows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
        rig.dispatch(hex(row.frame));
        const QByteArray expected = hex(row.delivered);
        EXPECT_EQ(c->receivedCount(), expected.isEmpty() ? 0 : 1);
        EXPECT_EQ(readOne(c), expected);
    }
}

Cliente* roomyClient(IoRig& rig)
{
    Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
    c->setTamanoBufferEntrada(65536);
    return c;
}

QByteArray segment(quint8 sequence, int totalLength, const QByteArray& timestamp, const QByteArray& data,
                   quint8 protocolo = PROTOCOLO_J1939, quint8 key = 7)
{
    QByteArray f = hex("04 D3");
    f.append(static_cast<char>(protocolo));
    f.append(static_cast<char>(key));
    f.append(static_cast<char>(sequence));
    f.append(static_cast<char>(totalLength >> 8));
    f.append(static_cast<char>(totalLength & 0xFF));
    f.append(timestamp);
    if ((sequence & 0x0F) == 0)
        f.append(hex("00 00"));  // first segment: data from offset 13
    f.append(data);
    return f;
}

TEST(DispatchDelivery, TwoJ1939SegmentsOfLength500BecomeOneMessageOf506DataBytes)
{
    IoRig rig;
    Cliente* c = roomyClient(rig);
    const QByteArray data = pattern(506);
    rig.dispatch(segment(0x10, 500, hex("A1 A2 A3 A4"), data.left(300)));
    EXPECT_EQ(c->receivedCount(), 0);
    rig.dispatch(segment(0x11, 0, hex("B1 B2 B3 B4"), data.mid(300)));
    ASSERT_EQ(c->receivedCount(), 1);
    // the code-5 frame carried L = 510: the last segment's timestamp and the 506 bytes
    EXPECT_EQ(readOne(c), hex("B1 B2 B3 B4") + data);
}

TEST(DispatchDelivery, SegmentsOutOfOrderAreSkippedAndAFirstSegmentRestarts)
{
    IoRig rig;
    Cliente* c = roomyClient(rig);
    const QByteArray data = pattern(506, 9);
    const QByteArray ts = hex("01 02 03 04");

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
    EXPECT_EQ(c->receivedCount(), 0);
}

TEST(DispatchDelivery, SegmentsCarryingMoreThanAnnouncedAreDropped)
{
    IoRig rig;
    Cliente* c = roomyClient(rig);
    const QByteArray ts = hex("01 02 03 04");
    rig.dispatch(segment(0x00, 10, ts, pattern(17)));  // 17 > 10 + 6
    rig.dispatch(segment(0x10, 100, ts, pattern(50)));
    rig.dispatch(segment(0x11, 0, ts, pattern(60)));  // 110 > 106: the message can never complete
    rig.dispatch(segment(0x12, 0, ts, pattern(1)));
    EXPECT_EQ(c->receivedCount(), 0);
}

TEST(DispatchDelivery, EchoOfASentFrameCarriesTheAnswerTimestampAndTheSentData)
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
        rig.dispatch(sendAnswer(row.protocolo, row.estado, static_cast<quint8>(counter), hex(row.answerData)));
        EXPECT_FALSE(rig.io.hasSentFrame(counter));  // 0 and 5 both free the frame
        EXPECT_EQ(c->receivedCount(), *row.delivered ? 1 : 0);
        EXPECT_EQ(readOne(c), hex(row.delivered));
    }
}

TEST(DispatchDelivery, FirmwareVersionTextStopsAtZeroOrAfterSeventeenCharacters)
{
    struct Row {
        const char* frame;
        const char* text;
    };
    const Row rows[] = {
        {"04 01 00 56 31 2E 32 00 58", "V1.2"},
        {"04 01 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53", "ABCDEFGHIJKLMNOPQ"},
        {"04 01 00 41 42", "AB"},
        {"04 01 00", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.frame);
        IoRig rig;
        rig.g.set_detailedVersionEnded(RESP_SERV_PENDING);
        rig.dispatch(hex(row.frame));
        EXPECT_EQ(rig.g.get_detailedVersionEnded(), RESP_SERV_OK);
        char text[64] = {};
        EXPECT_FALSE(rig.g.get_Detailed_Version(text));
        EXPECT_STREQ(text, row.text);
    }
}

TEST(DispatchDelivery, HardwareStatusForNoClientEndsTheAdapterWideWait)
{
    IoRig rig;
    rig.g.setIsHardwareStatusEnded(RESP_SERV_PENDING);
    rig.dispatch(hex("04 06 FF"));
    EXPECT_EQ(rig.g.getIsHardwareStatusEnded(), RESP_SERV_OK);

    Cliente* c = rig.connect(kClient, PROTOCOLO_J1939);
    c->setServiceRequestState(SERV_ESTADO_HARDWARE, RESP_SERV_PENDING);
    rig.dispatch(hex("04 06 03 A0 A1 A2 A3 A4 A5 A6 A7"));
    EXPECT_EQ(c->getServiceRequestState(SERV_ESTADO_HARDWARE), RESP_SERV_OK);
    char status[20] = {};
    c->getBufferHardwareStatus(status, sizeof status);
    EXPECT_EQ(static_cast<quint8>(status[0]), 0xA0);
    EXPECT_EQ(static_cast<quint8>(status[18]), 0xA7);
}

}  // namespace
