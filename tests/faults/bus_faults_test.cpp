// The bus under the software adapter failing: a controller that refuses frames, and a
// device that disappears (no traffic, writes refused, cannot be opened) and comes back.
#include "adapter/adapter_rig.h"

#include <atomic>

namespace {

using rp1210core::bus::CanBus;
using rp1210core::bus::CanFrame;

// A CAN device that can be unplugged: then it hears nothing, writes nothing and will not open.
class UnpluggableCanBus final : public CanBus {
public:
    explicit UnpluggableCanBus(CanBus& device) : device_(device) {}
    bool open(quint32 bitrate, Receiver receiver) override
    {
        return !gone && device_.open(bitrate, [this, receiver](const CanFrame& f, bool own) {
            if (!gone)
                receiver(f, own);
        });
    }
    bool write(const CanFrame& frame) override { return !gone && device_.write(frame); }
    void close() override { device_.close(); }
    std::atomic<bool> gone{false};

private:
    CanBus& device_;
};

struct BusFaults : AdapterTest {
    ~BusFaults() override { rig.reset(); }  // the adapter closes its bus through `unpluggable`
    // The client's echo of a message sent now, else the code of the read. Messages the
    // client received from the bus (echo flag 00) are passed over.
    std::string echoOf(short id, const char* message)
    {
        if (send(id, message) != 0 || !confirmedAll())
            return "not confirmed";
        std::string read;
        do
            read = readHex(id, 0);
        while (read.rfind("00 ", 0) == 0);
        return read;
    }
    std::unique_ptr<UnpluggableCanBus> unpluggable;
};

// Neither a single frame nor a multi-frame message that never reached the bus is
// confirmed as sent; once the bus takes frames again, the same messages go.
TEST_F(BusFaults, MessagesTheBusRefusesAreConfirmedAsFailuresAndGoOnceItTakesThemAgain)
{
    start();
    ASSERT_EQ(open("J1939", true), 1);
    ASSERT_EQ(open("ISO15765", true), 2);
    ASSERT_EQ(flowControl(2, 0, 0), 0);
    const struct {
        short client;
        const char* message;
    } rows[] = {{1, "cafe00 06 f9 ff 01 02 03"},                                    // single frame
                {1, "cafe00 06 f9 ff 000102030405060708090a0b0c0d0e0f10111213"},  // broadcast (BAM)
                {2, "00 000007e0 02 10 03"}};                                     // ISO 15765 single frame
    for (const bool refuse : {true, false}) {
        rig->can.refuse = refuse;
        for (const auto& row : rows) {
            SCOPED_TRACE(testing::Message() << row.message << (refuse ? " refused" : ""));
            const size_t before = rig->sendStates().size();
            const std::string echo = echoOf(row.client, row.message);
            const std::vector<int> states = rig->sendStates();
            ASSERT_EQ(states.size(), before + 1);
            EXPECT_EQ(states.back() == RESP_SERV_OK, !refuse) << states.back();
            EXPECT_EQ(echo == "0", refuse) << echo;  // echoed exactly when sent
        }
    }
}

TEST_F(BusFaults, AnUnpluggedDeviceFailsSendsAndConnectsAtOnceAndWorksWhenBack)
{
    vehicle = std::make_unique<rp1210core::bus::VehicleSimulation>();
    canPort = vehicle->createCanPort();
    unpluggable = std::make_unique<UnpluggableCanBus>(*canPort);
    rig = std::make_unique<AdapterRig>("A", 7, AdapterRig::Buses{unpluggable.get()});
    const char* message = "00ef00 06 f9 00 01 02 03";
    ASSERT_EQ(open("J1939", true), 1);
    ASSERT_EQ(echoOf(1, message), "01 00 ef 00 06 f9 00 01 02 03");

    unpluggable->gone = true;
    EXPECT_EQ(echoOf(1, message), "0");
    EXPECT_EQ(rig->sendStates().back(), RESP_SERV_HW_QUEUE_FULL);
    ASSERT_EQ(command(39, 1), 0);  // whatever the device heard before it went
    rig->g.getCliente(1)->setBlockingTimeout(200);
    EXPECT_EQ(readHex(1), "0");  // nothing more is heard, and the read ends at its time-out
    ASSERT_EQ(rig->g.RP1210_ClientDisconnect(1), 0);
    const short refused = connect("J1939");
    EXPECT_TRUE(refused > 16) << refused;  // a code, promptly: the adapter cannot open the bus

    unpluggable->gone = false;
    ASSERT_EQ(open("J1939", true), 1);
    EXPECT_EQ(echoOf(1, message), "01 00 ef 00 06 f9 00 01 02 03");
    EXPECT_GT(read(1).size(), 4);  // the vehicle is heard again
}

}  // namespace
