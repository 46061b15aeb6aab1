// The API end to end: calls, frames on the fake transport, answers through the receive
// ring and the dispatch, results.
#include "support/bytes.h"
#include "support/link_rig.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class LinkE2E : public ::testing::Test, public LinkRig {
protected:
    short send(short id, const QByteArray& m) { return g.RP1210_SendMessage(id, m.constData(), short(m.size()), 0, 0); }
    short echoOn(short id) { return g.RP1210_SendCommand(16, id, const_cast<char*>("1"), 1); }
    QByteArray read(short id, short block = 1)  // blocking: waits at most about a second
    {
        QByteArray buffer(2048, '\0');
        g.getCliente(quint8(id))->setBlockingTimeout(1000);
        const short n = g.RP1210_ReadMessage(id, buffer.data(), short(buffer.size()), block);
        return n > 0 ? buffer.left(n) : QByteArray::number(n);
    }
    QList<QByteArray> sentMessages() const
    {
        QList<QByteArray> out = link.frames();
        out.erase(std::remove_if(out.begin(), out.end(), [](const QByteArray& f) { return f.size() < 2 || f[1] != 0x04; }), out.end());
        return out;
    }
};

// Answers name only the 8-bit counter: past 255 frames a counter is reused only once
// answered. The adapter answers at once or late in batches; J1939 sends alongside.
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
            ASSERT_EQ(echoOn(1) + echoOn(2), 0);
            auto canMessage = [](int i) { return hex("00 0123") + char(i >> 8) + char(i & 0xFF); };
            const QByteArray j1939 = hex("00ef00 06 01 02 5a");
            int j1939Count = 0;
            for (int i = 0; i < count; ++i) {
                ASSERT_EQ(send(1, canMessage(i)), 0);
                if (i % 1000 == 10 || i == count - 10) {  // spaced so that late batches never hold J1939 at its limit
                    ASSERT_EQ(send(2, j1939), 0);
                    ++j1939Count;
                }
            }
            if (late) {
                // The first 255 frames use every counter; the next waits for an answer.
                ASSERT_TRUE(waitUntil([&] { return sentMessages().size() >= 255; }));
                EXPECT_FALSE(waitUntil([&] { return sentMessages().size() > 255; }, std::chrono::milliseconds(50)));
                for (int answered = 0; answered < count + j1939Count;) {
                    ASSERT_TRUE(waitUntil([&] { return sentMessages().size() > answered; }));
                    const QList<QByteArray> sent = sentMessages();
                    for (; answered < sent.size(); ++answered)
                        link.deliver(sendAnswer(sent[answered]));
                }
            }
            for (int i = 0; i < count; ++i)
                ASSERT_EQ(toHex(read(1)), toHex(timestamp() + char(1) + canMessage(i))) << "echo " << i;
            for (int i = 0; i < j1939Count; ++i)
                ASSERT_EQ(toHex(read(2)), toHex(timestamp() + char(1) + j1939)) << "J1939 echo " << i;
            EXPECT_EQ(read(1, 0) + read(2, 0), "00");  // nothing more
            // Echo flag in the high nibble of the client byte; counter 1 after the start.
            EXPECT_EQ(toHex(sentMessages().first()), "04 04 11 02 01 00 05 00 01 23 00 00");
            EXPECT_TRUE(waitUntil([&] { return io.sentFramesCount() == 0; }));  // answered frames were forgotten
            EXPECT_EQ(io.inFlight(2), 0);                                        // and freed their slots
            ASSERT_EQ(g.RP1210_ClientDisconnect(1) + g.RP1210_ClientDisconnect(2), 0);
            link.clearFrames();
        }
    }
}

}  // namespace
