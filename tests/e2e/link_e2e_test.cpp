// The API driven end to end: application call -> frames on the fake transport -> the
// adapter's answers through the receive ring and the dispatch -> the caller's result.
#include "support/bytes.h"
#include "support/link_rig.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

namespace {

class LinkE2E : public ::testing::Test, public LinkRig {
protected:
    short command(short number, short id, QByteArray data) { return g.RP1210_SendCommand(number, id, data.data(), short(data.size())); }
    short send(short id, const QByteArray& m) { return g.RP1210_SendMessage(id, m.constData(), short(m.size()), 0, 0); }
    // Reads one message, waiting at most about a second for it.
    QByteArray read(short id)
    {
        QByteArray buffer(2048, '\0');
        if (g.getCliente(quint8(id))->getBlockingTimeout() == 0)
            g.getCliente(quint8(id))->setBlockingTimeout(1000);
        const short n = g.RP1210_ReadMessage(id, buffer.data(), short(buffer.size()), 1);
        return n > 0 ? buffer.left(n) : QByteArray();
    }
    short readNow(short id)
    {
        char buffer[64];
        return g.RP1210_ReadMessage(id, buffer, sizeof buffer, 0);
    }
    QList<QByteArray> framesWithCode(quint8 code) const
    {
        QList<QByteArray> out;
        for (const QByteArray& f : link.frames())
            if (f.size() > 1 && quint8(f[1]) == code)
                out.append(f);
        return out;
    }
};

TEST_F(LinkE2E, ConnectAndDisconnectTravelOverTheTransportAndARefusalReachesTheCaller)
{
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(link.initializeCalls(), 1);
    EXPECT_TRUE(io.getRunning());
    EXPECT_TRUE(in.isRunning());
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    const QList<QByteArray> frames = link.frames();
    ASSERT_EQ(frames.size(), 2);
    EXPECT_EQ(toHex(frames[0]), "04 02 01 10 24 00");
    EXPECT_EQ(toHex(frames[1]), "04 03 01 10");
    EXPECT_EQ(link.releaseCalls(), 1);
    EXPECT_FALSE(io.getRunning());
    EXPECT_FALSE(in.isRunning());

    onService(0x02, [](const QByteArray& w) { return QList<QByteArray>{hex("0402") + w.mid(2, 1) + hex("03")}; });
    EXPECT_EQ(connect("J1708"), rp1210rc::INVALID_PROTOCOL);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
    EXPECT_FALSE(io.getRunning());
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
            ASSERT_EQ(g.RP1210_ClientConnect(0, 1, "CAN", 0, 1 << 20, 0), 1);  // room for every echo
            ASSERT_EQ(connect("J1939"), 2);
            for (short id : {1, 2})
                ASSERT_EQ(command(16, id, "1"), 0);  // echo on
            auto canMessage = [](int i) { return hex("00" "0123") + char(i >> 8) + char(i & 0xFF); };
            const QByteArray j1939 = hex("00ef00" "06" "01" "02" "5a");
            for (int i = 0; i < count; ++i) {
                ASSERT_EQ(send(1, canMessage(i)), 0);
                // Spaced so that the late adapter's batches never hold J1939 at its limit.
                if (i % 1000 == 10 || i == count - 10) {
                    ASSERT_EQ(send(2, j1939), 0);
                }
            }
            const int j1939Count = (count + 989) / 1000 + 1, total = count + j1939Count;
            if (late) {
                // The first 255 frames use every counter; the next waits for an answer.
                ASSERT_TRUE(waitUntil([&] { return framesWithCode(0x04).size() >= 255; }));
                EXPECT_FALSE(waitUntil([&] { return framesWithCode(0x04).size() > 255; }, std::chrono::milliseconds(50)));
                for (int answered = 0; answered < total;) {
                    ASSERT_TRUE(waitUntil([&] { return framesWithCode(0x04).size() > answered; }));
                    const QList<QByteArray> sent = framesWithCode(0x04);
                    for (; answered < sent.size(); ++answered)
                        link.deliver(sendAnswer(sent[answered]));
                }
            }
            for (int i = 0; i < count; ++i)
                ASSERT_EQ(toHex(read(1)), toHex(timestamp() + char(1) + canMessage(i))) << "echo " << i;
            for (int i = 0; i < j1939Count; ++i)
                ASSERT_EQ(toHex(read(2)), toHex(timestamp() + char(1) + j1939)) << "J1939 echo " << i;
            EXPECT_EQ(readNow(1), 0);
            EXPECT_EQ(readNow(2), 0);
            // Echo flag in the high nibble of the client byte; counter 1 after the start.
            ASSERT_FALSE(framesWithCode(0x04).isEmpty());
            EXPECT_EQ(toHex(framesWithCode(0x04).first()), "04 04 11 02 01 00 05 00 01 23 00 00");
            // Answered frames freed their slots and were forgotten.
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
    link.deliver(receivedFrame(PROTOCOLO_J1939, hex("00feca" "06" "00" "ff" "1122")));
    EXPECT_EQ(toHex(read(1)), "0a 0b 0c 0d 00 fe ca 06 00 ff 11 22");
    EXPECT_EQ(toHex(read(2)), "0a 0b 0c 0d 00 fe ca 06 00 ff 11 22");
    EXPECT_EQ(readNow(3), 0);  // routing is done by now
}

TEST_F(LinkE2E, FailedWriteMakesTheLinkReport142UntilAConnectSucceeds)
{
    ASSERT_EQ(connect("CAN"), 1);
    link.setFailWrites(true);
    ASSERT_EQ(send(1, hex("000123aa")), 0);
    ASSERT_TRUE(waitUntil([&] { return g.getLinkError() == rp1210rc::HARDWARE_NOT_RESPONDING; }));
    EXPECT_EQ(send(1, hex("000123aa")), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(readNow(1), -rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(command(16, 1, "1"), rp1210rc::HARDWARE_NOT_RESPONDING);
    // The disconnect skips the handshake and still frees the record.
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
    link.setFailWrites(false);
    ASSERT_EQ(connect("CAN"), 1);
    EXPECT_EQ(g.getLinkError(), 0);
}

TEST_F(LinkE2E, HardwareStatusIoctlAndBroadcastRoundTrips)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("KWP2000"), 2);
    QByteArray status(20, '\x55');
    ASSERT_EQ(g.RP1210_GetHardwareStatus(1, status.data(), short(status.size()), 0), 0);
    EXPECT_EQ(toHex(status), "a0 02 a1 01 a2 00 a3 00 a4 00 00 00 00 00 00 00 a6 00 a7 01");
    EXPECT_EQ(toHex(framesWithCode(0x06).last()), "04 06 01");

    // Parameters travel big-endian; one the answer does not name reads 0.
    onService(0x0D, [](const QByteArray& w) {
        return QList<QByteArray>{hex("040d") + w.mid(2, 1) + hex("0001" "00000000" "00000005 00000064" "00000007 000000c8")};
    });
    SCONFIG params[3] = {{5, 0}, {7, 0}, {9, 1}};
    SCONFIG_LIST list{3, params};
    ASSERT_EQ(g.RP1210_Ioctl(2, IOCTL_GET_CONFIG, &list, nullptr), 0);
    EXPECT_EQ(params[0].Value, 100u);
    EXPECT_EQ(params[1].Value, 200u);
    EXPECT_EQ(params[2].Value, 0u);
    EXPECT_EQ(toHex(framesWithCode(0x0D).first()), "04 0d 02 01 01 00 00 00 03 00 00 00 05 00 00 00 07 00 00 00 09");

    // A periodic broadcast (add: interval 20 ms, 3 bytes) is written by the send thread.
    QByteArray add = hex("01" "1400" "0300" "aabbcc");
    ASSERT_EQ(g.RP1210_SendCommand(22, 1, add.data(), short(add.size())), 0);
    EXPECT_EQ(quint8(add[0]), 0);  // key 0
    ASSERT_TRUE(waitUntil([&] { return framesWithCode(0x04).size() >= 3; }));
    for (const QByteArray& f : framesWithCode(0x04))
        EXPECT_EQ(toHex(f.mid(5)), "00 03 aa bb cc");
    QByteArray removeAll = hex("03");
    ASSERT_EQ(g.RP1210_SendCommand(22, 1, removeAll.data(), 1), 0);
    EXPECT_EQ(quint8(removeAll[0]), 1);  // one record removed
}

}  // namespace
