// The API driven end to end: application call -> frames on the fake transport -> the
// adapter's answers through the receive ring and the dispatch -> the caller's result.
#include "support/link_rig.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

QByteArray hex(const char* h)
{
    return QByteArray::fromHex(h);
}

// The adapter's confirmation of send frame `w`: its protocol, state 0, its counter.
QByteArray sendAnswer(const QByteArray& w)
{
    return hex("0404") + w.mid(3, 1) + hex("00") + w.mid(4, 1) + LinkRig::timestamp() + hex("0000");
}

QList<QByteArray> framesWithCode(const FakeProxyLink& link, quint8 code)
{
    QList<QByteArray> out;
    for (const QByteArray& f : link.frames())
        if (f.size() > 1 && quint8(f[1]) == code)
            out.append(f);
    return out;
}

class LinkE2E : public ::testing::Test, public LinkRig {
protected:
    short command(short number, short id, QByteArray data)
    {
        return g.RP1210_SendCommand(number, id, data.data(), short(data.size()));
    }
    // Reads one message, waiting at most about a second for it.
    QByteArray read(short id, int capacity = 2048)
    {
        QByteArray buffer(capacity, '\0');
        if (g.getCliente(quint8(id))->getBlockingTimeout() == 0)
            g.getCliente(quint8(id))->setBlockingTimeout(1000);
        const short n = g.RP1210_ReadMessage(id, buffer.data(), short(capacity), 1);
        return n > 0 ? buffer.left(n) : QByteArray();
    }
};

TEST_F(LinkE2E, ConnectAndDisconnectTravelOverTheTransport)
{
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(link.initializeCalls(), 1);
    EXPECT_TRUE(io.getRunning());
    EXPECT_TRUE(in.isRunning());
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    const QList<QByteArray> frames = link.frames();
    ASSERT_EQ(frames.size(), 2);
    EXPECT_EQ(frames[0].toHex(), "0402011024" "00");
    EXPECT_EQ(frames[1].toHex(), "04030110");
    EXPECT_EQ(link.releaseCalls(), 1);
    EXPECT_FALSE(io.getRunning());
    EXPECT_FALSE(in.isRunning());
}

TEST_F(LinkE2E, RefusedConnectAnswerReachesTheCaller)
{
    onService(0x02, [](const QByteArray& w) { return QList<QByteArray>{hex("0402") + w.mid(2, 1) + hex("03")}; });
    EXPECT_EQ(connect("J1708"), rp1210rc::INVALID_PROTOCOL);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
    EXPECT_FALSE(io.getRunning());
}

TEST_F(LinkE2E, EchoedMessageComesBackToItsSender)
{
    ASSERT_EQ(connect("CAN"), 1);
    ASSERT_EQ(command(16, 1, "1"), 0);  // echo on
    const QByteArray message = hex("00" "0123" "aabb");
    ASSERT_EQ(g.RP1210_SendMessage(1, message.constData(), short(message.size()), 0, 0), 0);

    ASSERT_TRUE(waitUntil([&] { return !framesWithCode(link, 0x04).isEmpty(); }));
    // Echo flag in the high nibble of the client byte; counter 1 after the start.
    EXPECT_EQ(framesWithCode(link, 0x04).first().toHex(), "0404110201" "0005" "000123aabb");
    EXPECT_EQ(read(1).toHex(), "0a0b0c0d" "01" "000123aabb");
    // The answered frame freed its slot and was forgotten.
    EXPECT_TRUE(waitUntil([&] { return io.sentFramesCount() == 0; }));
}

// Message counters are 8-bit and answers name only the counter, so a burst longer than
// 255 frames must not give a counter to a second frame before the first is answered.
// Each row runs an adapter that answers every frame at once, or one that answers late,
// in batches; a J1939 client sends alongside the CAN burst.
TEST_F(LinkE2E, EveryEchoOfALongBurstArrivesOnceInOrder)
{
    for (const bool late : {false, true}) {
        for (const int count : {300, 3000}) {
            SCOPED_TRACE(testing::Message() << (late ? "late" : "prompt") << " adapter, " << count << " messages");
            if (late)
                silence(0x04);
            else
                onService(0x04, [](const QByteArray& w) { return QList<QByteArray>{sendAnswer(w)}; });
            // A receive queue with room for every echo.
            ASSERT_EQ(g.RP1210_ClientConnect(0, 1, "CAN", 0, 1 << 20, 0), 1);
            ASSERT_EQ(connect("J1939"), 2);
            for (short id : {1, 2})
                ASSERT_EQ(command(16, id, "1"), 0);  // echo on
            auto canMessage = [](int i) { return hex("00" "0123") + QByteArray(1, char(i >> 8)) + char(i & 0xFF); };
            const QByteArray j1939 = hex("00ef00" "06" "01" "02" "5a");
            for (int i = 0; i < count; ++i) {
                const QByteArray m = canMessage(i);
                ASSERT_EQ(g.RP1210_SendMessage(1, m.constData(), short(m.size()), 0, 0), 0);
                // Spaced so that the late adapter's batches never hold J1939 at its limit.
                if (i % 1000 == 10 || i == count - 10) {
                    ASSERT_EQ(g.RP1210_SendMessage(2, j1939.constData(), short(j1939.size()), 0, 0), 0);
                }
            }
            const int j1939Count = (count + 989) / 1000 + 1;
            const int total = count + j1939Count;

            if (late) {
                // The first 255 frames use every counter; the next waits for an answer.
                ASSERT_TRUE(waitUntil([&] { return framesWithCode(link, 0x04).size() >= 255; }));
                EXPECT_FALSE(waitUntil([&] { return framesWithCode(link, 0x04).size() > 255; }, std::chrono::milliseconds(50)));
                int answered = 0;
                while (answered < total) {
                    ASSERT_TRUE(waitUntil([&] { return framesWithCode(link, 0x04).size() > answered; }));
                    const QList<QByteArray> sent = framesWithCode(link, 0x04);
                    for (; answered < sent.size(); ++answered)
                        link.deliver(sendAnswer(sent[answered]));
                }
            }

            for (int i = 0; i < count; ++i) {
                const QByteArray echo = read(1);
                ASSERT_EQ(echo.toHex(), (timestamp() + char(1) + canMessage(i)).toHex()) << "echo " << i;
            }
            for (int i = 0; i < j1939Count; ++i)
                ASSERT_EQ(read(2).mid(4).toHex(), ("\x01" + j1939).toHex()) << "J1939 echo " << i;
            char buffer[64];
            EXPECT_EQ(g.RP1210_ReadMessage(1, buffer, sizeof buffer, 0), 0);
            EXPECT_EQ(g.RP1210_ReadMessage(2, buffer, sizeof buffer, 0), 0);
            EXPECT_TRUE(waitUntil([&] { return io.sentFramesCount() == 0; }));
            EXPECT_EQ(io.inFlight(2), 0);  // J1939

            ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
            ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
            link.clearFrames();
        }
    }
}

TEST_F(LinkE2E, ReceivedMessageReachesEveryClientOfItsProtocol)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    ASSERT_EQ(connect("J1708"), 3);
    for (short id : {1, 2, 3})
        ASSERT_EQ(command(3, id, QByteArray(1, '\0')), 0);  // pass everything

    const QByteArray pgn = hex("00feca" "06" "00" "ff" "1122");
    link.deliver(receivedFrame(PROTOCOLO_J1939, pgn));
    EXPECT_EQ(read(1).toHex(), "0a0b0c0d00feca0600ff1122");
    EXPECT_EQ(read(2).toHex(), "0a0b0c0d00feca0600ff1122");
    char buffer[64];
    EXPECT_EQ(g.RP1210_ReadMessage(3, buffer, sizeof buffer, 0), 0);  // routing is done by now
}

TEST_F(LinkE2E, SegmentedReceivedMessageIsReassembled)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(command(3, 1, QByteArray(1, '\0')), 0);

    // A J1939 message of 500 data bytes: the adapter adds its 6 header bytes.
    QByteArray data(506, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7);
    const QByteArray first = hex("04d3100710" "01f4") + timestamp() + hex("0000") + data.left(300);
    // Every segment carries the timestamp at 7..10; the message takes the last one's.
    const QByteArray second = hex("04d3100711" "0000") + timestamp() + data.mid(300);
    link.deliver(first);
    link.deliver(second);

    const QByteArray got = read(1);
    ASSERT_EQ(got.size(), 510);
    EXPECT_EQ(got.left(4), timestamp());
    EXPECT_EQ(got.mid(4), data);
}

TEST_F(LinkE2E, LongMessageIsSegmentedOnTheWire)
{
    ASSERT_EQ(connect("CAN"), 1);
    QByteArray message(1000, '\0');
    for (int i = 0; i < message.size(); ++i)
        message[i] = char(i);
    ASSERT_EQ(g.RP1210_SendMessage(1, message.constData(), short(message.size()), 0, 0), 0);

    ASSERT_TRUE(waitUntil([&] { return framesWithCode(link, 0xD2).size() == 3; }));
    const QList<QByteArray> segments = framesWithCode(link, 0xD2);
    EXPECT_EQ(segments[0].mid(2, 9).toHex(), "010201" "00" "20" "03e8" "01b7");  // 439 bytes follow
    EXPECT_EQ(segments[1].mid(2, 7).toHex(), "010201" "00" "21" "01b9");        // 441
    EXPECT_EQ(segments[2].mid(2, 7).toHex(), "010201" "00" "22" "0078");        // 120
    QByteArray payload = segments[0].mid(11) + segments[1].mid(9) + segments[2].mid(9);
    EXPECT_EQ(payload, message);
    for (const QByteArray& s : segments)
        EXPECT_LE(s.size(), 450);
    EXPECT_TRUE(framesWithCode(link, 0x04).isEmpty());
}

TEST_F(LinkE2E, FailedWriteMakesTheLinkReport142UntilAConnectSucceeds)
{
    ASSERT_EQ(connect("CAN"), 1);
    link.setFailWrites(true);
    const QByteArray message = hex("000123aa");
    ASSERT_EQ(g.RP1210_SendMessage(1, message.constData(), 4, 0, 0), 0);
    ASSERT_TRUE(waitUntil([&] { return g.getLinkError() == rp1210rc::HARDWARE_NOT_RESPONDING; }));

    char buffer[64];
    EXPECT_EQ(g.RP1210_SendMessage(1, message.constData(), 4, 0, 0), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(g.RP1210_ReadMessage(1, buffer, sizeof buffer, 0), -rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(g.RP1210_SendCommand(16, 1, buffer, 1), rp1210rc::HARDWARE_NOT_RESPONDING);
    // The disconnect skips the handshake and still frees the record.
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(g.numeroClientesConectados(), 0);

    link.setFailWrites(false);
    ASSERT_EQ(connect("CAN"), 1);
    EXPECT_EQ(g.getLinkError(), 0);
}

TEST_F(LinkE2E, HardwareStatusRoundTrip)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("KWP2000"), 2);
    char status[20];
    std::memset(status, 0x55, sizeof status);
    ASSERT_EQ(g.RP1210_GetHardwareStatus(1, status, sizeof status, 0), 0);
    EXPECT_EQ(QByteArray(status, 20).toHex(), "a002a101a200a300a400" "000000000000" "a600a701");
    EXPECT_EQ(framesWithCode(link, 0x06).last().toHex(), "040601");
}

TEST_F(LinkE2E, IoctlParametersTravelBigEndian)
{
    ASSERT_EQ(connect("ISO9141"), 1);
    onService(0x0D, [](const QByteArray& w) {
        return QList<QByteArray>{hex("040d") + w.mid(2, 1) + hex("0001" "00000000" "00000005" "00000064" "00000007" "000000c8")};
    });
    SCONFIG params[3] = {{5, 0}, {7, 0}, {9, 1}};
    SCONFIG_LIST list{3, params};
    ASSERT_EQ(g.RP1210_Ioctl(1, IOCTL_GET_CONFIG, &list, nullptr), 0);
    EXPECT_EQ(params[0].Value, 100u);
    EXPECT_EQ(params[1].Value, 200u);
    EXPECT_EQ(params[2].Value, 0u);  // not in the answer
    EXPECT_EQ(framesWithCode(link, 0x0D).first().toHex(), "040d010501" "00000003" "00000005" "00000007" "00000009");
}

TEST_F(LinkE2E, PeriodicBroadcastIsWrittenByTheSendThread)
{
    ASSERT_EQ(connect("J1939"), 1);
    // Function 1 (add), interval 20 ms, 3 bytes.
    QByteArray add = hex("01" "1400" "0300" "aabbcc");
    ASSERT_EQ(g.RP1210_SendCommand(22, 1, add.data(), short(add.size())), 0);
    EXPECT_EQ(quint8(add[0]), 0);  // key 0
    ASSERT_TRUE(waitUntil([&] { return framesWithCode(link, 0x04).size() >= 3; }));
    for (const QByteArray& f : framesWithCode(link, 0x04))
        EXPECT_EQ(f.mid(5).toHex(), "0003aabbcc");

    QByteArray removeAll = hex("03");
    ASSERT_EQ(g.RP1210_SendCommand(22, 1, removeAll.data(), 1), 0);
    EXPECT_EQ(quint8(removeAll[0]), 1);  // one record removed
}

TEST_F(LinkE2E, TesterFrameIsAnsweredWithItsOwnBytesAndOne)
{
    ASSERT_EQ(connect("J1708"), 1);
    link.deliver(hex("043b010203"));
    ASSERT_TRUE(waitUntil([&] { return !framesWithCode(link, 0x3B).isEmpty(); }));
    EXPECT_EQ(framesWithCode(link, 0x3B).first().toHex(), "043b01020301");
}

}  // namespace
