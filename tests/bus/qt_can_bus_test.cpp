// The Qt Serial Bus CAN bus on Qt's virtual CAN bus: two of our buses on one bus served by
// another program, and interfaces that cannot be opened.
#include "bus/qt_can_bus.h"
#include "bus/socketcan_link.h"
#include "support/free_port.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <mutex>
#include <vector>

using rp1210core::bus::CanBus;
using rp1210core::bus::CanFrame;
using rp1210core::bus::QtCanBus;

namespace {

// Sent until the other bus hears it: the server relays to a client only some time after
// the client sees itself connected.
constexpr quint32 kProbe = 0x100;

// What a bus delivered, as (frame, own) in order; probes only counted.
struct Heard {
    std::mutex mutex;
    std::vector<std::pair<CanFrame, bool>> frames;
    int probes = 0;

    CanBus::Receiver receiver()
    {
        return [this](const CanFrame& f, bool own) {
            std::lock_guard<std::mutex> l(mutex);
            if (f.id == kProbe && !own)
                ++probes;
            else if (f.id != kProbe)
                frames.emplace_back(f, own);
        };
    }
    bool probed()
    {
        std::lock_guard<std::mutex> l(mutex);
        return probes > 0;
    }
    std::vector<std::pair<CanFrame, bool>> taken(size_t count)
    {
        waitUntil([&] {
            std::lock_guard<std::mutex> l(mutex);
            return frames.size() >= count;
        });
        std::lock_guard<std::mutex> l(mutex);
        return frames;
    }
};

CanFrame frame(quint32 id, bool extended, std::initializer_list<quint8> bytes)
{
    return CanFrame::make(id, extended, bytes.begin(), int(bytes.size()));
}

}  // namespace

#ifdef CANBUSUTIL
namespace {

// Something listens on the loopback port.
bool accepts(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

TEST(QtCanBus, FramesCrossTheVirtualBusAndTheWriterHearsItsOwnAsConfirmations)
{
    // canbusutil, listening, serves the bus: the first on a port does.
    const quint16 port = freeLoopbackPort();
    const QString interface = QStringLiteral("tcp://127.0.0.1:%1/can0").arg(port);
    QProcess server;
    server.start(QStringLiteral(CANBUSUTIL), {QStringLiteral("-l"), QStringLiteral("virtualcan"), interface});
    ASSERT_TRUE(waitUntil([&] { return accepts(port); }, std::chrono::seconds(10)));
    const std::vector<CanFrame> sent = {frame(0x123, false, {}), frame(0x7FF, false, {1, 2}),
                                        frame(0x18FEF100, true, {0, 1, 2, 3, 4, 5, 6, 7})};
    // Twice: buses closed and opened again on the same event thread work as new.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        QtCanBus a(QStringLiteral("virtualcan"), interface), b(QStringLiteral("virtualcan"), interface);
        EXPECT_TRUE(a.confirmsTransmission());
        Heard atA, atB;
        ASSERT_TRUE(a.open(250000, atA.receiver())) << qPrintable(a.openError());
        ASSERT_TRUE(b.open(250000, atB.receiver())) << qPrintable(b.openError());
        ASSERT_TRUE(waitUntil([&] { return a.write(frame(kProbe, false, {})) && atB.probed(); }));
        for (const CanFrame& f : sent)
            ASSERT_TRUE(a.write(f));
        const auto own = atA.taken(sent.size());
        const auto other = atB.taken(sent.size());
        ASSERT_EQ(own.size(), sent.size());
        ASSERT_EQ(other.size(), sent.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_TRUE(own[i].first.sameContent(sent[i]) && own[i].second) << i;
            EXPECT_TRUE(other[i].first.sameContent(sent[i]) && !other[i].second) << i;
        }
        a.close();
        EXPECT_FALSE(a.write(sent[0]));  // closed: refused, not queued
    }
    server.kill();
    server.waitForFinished();
}
#endif

TEST(QtCanBus, AnInterfaceThatCannotOpenSaysWhyAndTakesNoFrames)
{
    struct Case {
        const char* plugin;
        const char* interface;
    } const cases[] = {
        {"socketcan", "rp1210no0"},  // no such network interface
        {"nosuchplugin", "can0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin);
        QtCanBus bus(QString::fromLatin1(c.plugin), QString::fromLatin1(c.interface));
        Heard heard;
        EXPECT_FALSE(bus.open(250000, heard.receiver()));
        EXPECT_FALSE(bus.openError().isEmpty());
        EXPECT_FALSE(bus.write(frame(0x100, false, {1})));
        EXPECT_EQ(bus.presetBitrate(), 0u);
    }
    // The kernel's view of interfaces that are not CAN ones, or not there: nothing.
    EXPECT_FALSE(rp1210core::bus::readSocketCanLink(QStringLiteral("lo")).has_value());
    EXPECT_FALSE(rp1210core::bus::readSocketCanLink(QStringLiteral("rp1210no0")).has_value());
}
