// The Qt Serial Bus CAN bus on Qt's virtual CAN bus: two of our buses on one bus (the
// first to connect serves it, from the driver's Qt event thread), and interfaces that
// cannot be opened.
#include "bus/qt_can_bus.h"
#include "bus/socketcan_link.h"
#include "support/free_port.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using rp1210core::bus::CanBus;
using rp1210core::bus::CanFrame;
using rp1210core::bus::QtCanBus;

namespace {

// What a bus delivered, as (frame, own) in order.
struct Heard {
    std::mutex mutex;
    std::vector<std::pair<CanFrame, bool>> frames;

    CanBus::Receiver receiver()
    {
        return [this](const CanFrame& f, bool own) {
            std::lock_guard<std::mutex> l(mutex);
            frames.emplace_back(f, own);
        };
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

TEST(QtCanBus, FramesCrossTheVirtualBusAndTheWriterHearsItsOwnAsConfirmations)
{
    const QString interface = QStringLiteral("tcp://127.0.0.1:%1/can0").arg(freeLoopbackPort());
    const std::vector<CanFrame> sent = {frame(0x123, false, {}), frame(0x7FF, false, {1, 2}),
                                        frame(0x18FEF100, true, {0, 1, 2, 3, 4, 5, 6, 7})};
    // Twice: a bus closed and opened again on the same event thread keeps working, and so
    // does the virtual server the first one started.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        QtCanBus a(QStringLiteral("virtualcan"), interface), b(QStringLiteral("virtualcan"), interface);
        EXPECT_TRUE(a.confirmsTransmission());
        Heard atA, atB;
        ASSERT_TRUE(a.open(250000, atA.receiver())) << qPrintable(a.openError());
        ASSERT_TRUE(b.open(250000, atB.receiver())) << qPrintable(b.openError());
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
}

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
