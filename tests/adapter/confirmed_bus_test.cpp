// Sends on a CAN bus that confirms its own transmissions (a real interface): the adapter
// confirms a send once the interface has confirmed each of its frames, and fails it when
// a frame is refused, lost with a bus-off or never confirmed; the bus's state shows in
// the hardware status and reaches the device's owner.
#include "adapter_rig.h"

#include <gtest/gtest.h>

using rp1210core::bus::CanBus;
using rp1210core::bus::CanFrame;
using rp1210core::bus::CanHealth;

namespace {

// An interface that answers each write as the test says, on the writer's thread.
class ConfirmingBus final : public CanBus {
public:
    enum class Answer { Confirm, Refuse, BusOff, Silence };

    bool open(quint32, Receiver receiver) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        receiver_ = std::move(receiver);
        return true;
    }
    bool write(const CanFrame& frame) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        ++written_;
        if (answer_ == Answer::Confirm && receiver_)
            receiver_(frame, true);
        else if (answer_ == Answer::Refuse && events_)
            events_(Event{Event::Kind::WriteFailed, frame, CanHealth::Ok, QString()});
        else if (answer_ == Answer::BusOff && events_)
            events_(Event{Event::Kind::Health, CanFrame(), CanHealth::BusOff, QStringLiteral("bus off")});
        return true;
    }
    void close() override
    {
        std::lock_guard<std::mutex> l(mutex_);
        receiver_ = nullptr;
    }
    bool confirmsTransmission() const override { return true; }
    void setEventReceiver(EventReceiver receiver) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        events_ = std::move(receiver);
    }
    // From now on, counting the frames written anew.
    void answer(Answer a)
    {
        std::lock_guard<std::mutex> l(mutex_);
        answer_ = a;
        written_ = 0;
    }
    int written()
    {
        std::lock_guard<std::mutex> l(mutex_);
        return written_;
    }

private:
    std::mutex mutex_;
    Receiver receiver_;
    EventReceiver events_;
    Answer answer_ = Answer::Confirm;
    int written_ = 0;
};

class ConfirmedBus : public AdapterTest {
protected:
    void start()
    {
        rig = std::make_unique<AdapterRig>("A", 7, rp1210core::adapter::SoftwareAdapter::Buses{&bus, nullptr, nullptr, nullptr});
        rig->adapter.setFaultHandler([this](CanHealth h, const QString&) {
            std::lock_guard<std::mutex> l(mutex);
            faults.push_back(h);
        });
    }
    void TearDown() override { rig.reset(); }  // its adapter uses the bus below
    std::vector<CanHealth> told()
    {
        std::lock_guard<std::mutex> l(mutex);
        return faults;
    }

    ConfirmingBus bus;
    std::mutex mutex;
    std::vector<CanHealth> faults;
};

TEST_F(ConfirmedBus, ASendIsConfirmedOnlyOnceTheInterfaceConfirmedEachOfItsFrames)
{
    using Answer = ConfirmingBus::Answer;
    struct Case {
        const char* protocol;
        QByteArray message;
        int frames;  // on the bus
    } const sends[] = {
        {"CAN", QByteArray::fromHex("0001230102"), 1},
        // A 20-byte J1939 broadcast: its announcement and three data frames.
        {"J1939", QByteArray::fromHex("00ef0006f9ff") + QByteArray(20, 'x'), 4},
    };
    struct Outcome {
        Answer answer;
        int state;          // of the send confirmation
        quint8 canStatus;   // the J1939 and CAN status bits after it (active, traffic, bus off)
        CanHealth told;     // what the owner heard last (Ok: nothing)
    } const outcomes[] = {
        {Answer::Confirm, RESP_SERV_OK, 0x03, CanHealth::Ok},
        {Answer::Refuse, RESP_SERV_NEGATIVE, 0x01, CanHealth::Ok},
        {Answer::BusOff, RESP_SERV_NEGATIVE, 0x05, CanHealth::BusOff},
    };
    for (const Case& c : sends) {
        for (const Outcome& o : outcomes) {
            SCOPED_TRACE(testing::Message() << c.protocol << " answer " << int(o.answer));
            faults.clear();
            start();
            const short id = open(c.protocol);
            ASSERT_EQ(id, 1);
            bus.answer(o.answer);
            ASSERT_EQ(send(id, c.message), 0);
            ASSERT_TRUE(waitUntil([&] { return !rig->sendStates().empty(); }));
            EXPECT_EQ(rig->sendStates(), std::vector<int>{o.state});
            if (o.answer == Answer::Confirm) {
                EXPECT_EQ(bus.written(), c.frames);
            }
            char status[64] = {};
            ASSERT_EQ(rig->g.RP1210_GetHardwareStatus(id, status, sizeof status, 0), 0);
            const int at = QByteArray(c.protocol) == "CAN" ? 6 : 2;
            EXPECT_EQ(quint8(status[at]), o.canStatus);
            EXPECT_EQ(told().empty() ? CanHealth::Ok : told().back(), o.told);
            rig.reset();
            bus.answer(Answer::Confirm);
        }
    }
}

TEST_F(ConfirmedBus, AFrameNeverConfirmedFailsItsSendAtTheLimit)
{
    start();
    ASSERT_EQ(open("CAN"), 1);
    bus.answer(ConfirmingBus::Answer::Silence);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(send(1, QByteArray::fromHex("0001230102")), 0);
    ASSERT_TRUE(waitUntil([&] { return !rig->sendStates().empty(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(rp1210core::adapter::SoftwareAdapter::Config().confirmLimitMs));
    EXPECT_EQ(rig->sendStates(), std::vector<int>{RESP_SERV_NEGATIVE});
    ASSERT_FALSE(told().empty());
    EXPECT_EQ(told().back(), CanHealth::Passive);
    // The next frame the interface confirms shows the bus carrying frames again.
    bus.answer(ConfirmingBus::Answer::Confirm);
    ASSERT_EQ(send(1, QByteArray::fromHex("0001230102")), 0);
    ASSERT_TRUE(waitUntil([&] { return rig->sendStates().size() == 2; }));
    EXPECT_EQ(rig->sendStates().back(), RESP_SERV_OK);
    EXPECT_EQ(told().back(), CanHealth::Ok);
}

}  // namespace
