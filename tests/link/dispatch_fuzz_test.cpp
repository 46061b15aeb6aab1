// Robustness of the answer dispatch against arbitrary adapter bytes. Every input is
// copied into a heap buffer of exactly its size and handed over without a terminator,
// so that an address-sanitizer build reports any read past a frame's end.
#include "io_rig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>


namespace {

class ExactBuffer {
public:
    explicit ExactBuffer(const QByteArray& bytes) : size_(bytes.size()), data_(new char[size_ > 0 ? size_ : 1])
    {
        if (size_ > 0)
            std::memcpy(data_.get(), bytes.constData(), static_cast<size_t>(size_));
    }
    // A view without a copy: reads of the dispatch land in this buffer; a change it
    // makes detaches into a copy of its own.
    QByteArray view() const { return QByteArray::fromRawData(data_.get(), size_); }

private:
    int size_;
    std::unique_ptr<char[]> data_;
};

void feed(IoRig& rig, const QByteArray& bytes)
{
    ExactBuffer buffer(bytes);
    QByteArray frame = buffer.view();
    rig.io.switchApplication(frame);
}

// Clients of several protocols, with echo and without, and a few remembered frames, so
// that the deep paths (echo, routing, reassembly) run too.
void populate(IoRig& rig)
{
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
    rig.io.pararHiloEnvio();  // the fuzz input alone drives the state from here
}

// After any input the dispatch still serves a well-formed answer.
void expectStillDispatching(IoRig& rig)
{
    Cliente* c = rig.g.getCliente(2);
    c->setServiceRequestState(SERV_DESCONECTAR_CLIENTE, RESP_SERV_PENDING);
    feed(rig, hex("04 03 02 00"));
    EXPECT_EQ(c->getServiceRequestState(SERV_DESCONECTAR_CLIENTE), RESP_SERV_OK);
}

TEST(DispatchFuzz, EveryCodeAndShortLengthWithRandomBytes)
{
    IoRig rig;
    populate(rig);
    std::mt19937 rng(0x52503132);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int code = 0; code <= 255; ++code) {
        for (int length = 0; length <= 40; ++length) {
            for (int round = 0; round < 6; ++round) {
                QByteArray f(length, '\0');
                for (int i = 0; i < length; ++i)
                    f[i] = static_cast<char>(byte(rng));
                if (length > 0 && round < 4)
                    f[0] = 0x04;  // mostly valid class, so the handlers run
                if (length > 1)
                    f[1] = static_cast<char>(code);
                if (length > 3 && round % 2 == 0)
                    f[3] = static_cast<char>(byte(rng) & 0x1F);  // small lengths and states
                if (length > 4 && round == 2)
                    f[4] = static_cast<char>(byte(rng) & 0x07);  // counters of remembered frames, small subs
                feed(rig, f);
            }
        }
    }
    expectStillDispatching(rig);
}

TEST(DispatchFuzz, EveryPrefixOfWellFormedAnswers)
{
    IoRig rig;
    populate(rig);
    const QByteArray answers[] = {
        hex("04 01 00 56 31 2E 32 00 58"),
        hex("04 02 01 00 24"),
        hex("04 04 10 00 01 11 22 33 44 00 02 AA BB"),
        hex("04 04 10 00 00 11 22 33 44 00 02 AA BB"),
        hex("04 04 13 00 03 11 22 33 44 00 01 5A"),
        hex("04 05 10 00 08 11 22 33 44 AA BB CC DD"),
        hex("04 05 0F 00 07 11 22 33 44 80 01 7F"),
        hex("04 06 01 A0 A1 A2 A3 A4 A5 A6 A7"),
        hex("04 08 01 00 80"),
        hex("04 0D 03 99 01 00 00 00 02 00 00 00 01 00 00 00 2A"),
        hex("04 0D 03 99 05 00 00 00 03 C1 EF 8F"),
        hex("04 0D 03 99 FF 00 00 00 02 AA 55"),
        hex("04 14 01 99 04"),
        hex("04 3B 01 02"),
        hex("04 D3 10 07 00 00 0A 01 02 03 04 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"),
        hex("04 D3 11 08 10 01 00 01 02 03 04 00 00 AA"),
        hex("04 D3 11 08 11 00 00 01 02 03 04 BB"),
        hex("04 EB 01 99 01 00"),
    };
    for (const QByteArray& whole : answers)
        for (int n = 0; n <= whole.size(); ++n)
            feed(rig, whole.left(n));
    expectStillDispatching(rig);
}

TEST(DispatchFuzz, RandomSegmentStreams)
{
    IoRig rig;
    populate(rig);
    for (int id = 1; id <= 6; ++id)
        rig.g.getCliente(static_cast<quint8>(id))->setTamanoBufferEntrada(1 << 20);
    std::mt19937 rng(1939);
    std::uniform_int_distribution<int> byte(0, 255);
    const quint8 protocols[] = {PROTOCOLO_J1939, PROTOCOLO_ISO15765, PROTOCOLO_TP20, PROTOCOLO_CAN, 0xFF};
    for (int i = 0; i < 20000; ++i) {
        const int length = std::uniform_int_distribution<int>(0, 600)(rng);
        QByteArray f(length, '\0');
        for (int k = 0; k < length; ++k)
            f[k] = static_cast<char>(byte(rng));
        if (length > 0)
            f[0] = 0x04;
        if (length > 1)
            f[1] = static_cast<char>(0xD3);
        if (length > 2)
            f[2] = static_cast<char>(protocols[byte(rng) % 5]);
        if (length > 3)
            f[3] = static_cast<char>(byte(rng) & 0x03);  // few keys, so messages build up
        if (length > 4)
            f[4] = static_cast<char>((byte(rng) & 0x30) | (byte(rng) & 0x03));
        if (length > 5)
            f[5] = static_cast<char>(byte(rng) & 0x03);  // announced lengths up to about 1 KB
        feed(rig, f);
    }
    expectStillDispatching(rig);
}

}  // namespace
