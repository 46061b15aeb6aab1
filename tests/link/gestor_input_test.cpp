// The receive ring: order, back-pressure, start and stop.
#include "link/gestor_input.h"
#include "support/bytes.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

namespace {

using namespace std::chrono_literals;

// Records every dispatched frame; each waits until the gate is open.
class Dispatch {
public:
    explicit Dispatch(GestorInput& in)
    {
        in.setDispatchHook([this](QByteArray& f) {
            std::unique_lock<std::mutex> lock(mutex_);
            frames_.push_back(f);
            cv_.wait(lock, [this] { return open_; });
        });
    }
    void open() { std::lock_guard<std::mutex> lock(mutex_); open_ = true, cv_.notify_all(); }
    std::vector<QByteArray> frames() const { std::lock_guard<std::mutex> lock(mutex_); return frames_; }
    size_t count() const { return frames().size(); }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
    std::vector<QByteArray> frames_;
};

QByteArray numbered(quint32 n) { return QByteArray(1, char(n >> 24)) + char(n >> 16) + char(n >> 8) + char(n); }
void store(GestorInput& in, const QByteArray& f) { in.storeMsg(f.constData(), quint32(f.size())); }

TEST(ReceiveRing, FullRingBlocksTheNextStoreUntilOneFrameIsDispatchedAndOrderIsKept)
{
    GestorInput in;
    Dispatch dispatch(in);
    in.ArrancarHiloRecepcion();
    store(in, numbered(0));  // stalls the dispatch; frames 1 to 1023 fill every slot
    ASSERT_TRUE(waitUntil([&] { return dispatch.count() == 1; }));
    for (quint32 n = 1; n < GestorInput::kSlots; ++n)
        store(in, numbered(n));
    ASSERT_EQ(in.freeSlots(), 0);
    auto blocked = std::async(std::launch::async, [&] { store(in, numbered(GestorInput::kSlots)); });
    EXPECT_EQ(blocked.wait_for(30ms), std::future_status::timeout);
    dispatch.open();
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    const quint32 total = 3 * GestorInput::kSlots + 7;  // laps over the wrap from slot 1023 to 0
    for (quint32 n = GestorInput::kSlots + 1; n < total; ++n)
        store(in, numbered(n));
    ASSERT_TRUE(waitUntil([&] { return dispatch.count() == total; }));
    const std::vector<QByteArray> frames = dispatch.frames();
    for (quint32 n = 0; n < total; ++n)
        ASSERT_EQ(frames[n], numbered(n)) << "position " << n;
    EXPECT_TRUE(in.pararHiloRecepcion());
}

TEST(ReceiveRing, StartStopWhatIsStoredAndAStopFromInsideTheDispatch)
{
    GestorInput in;
    EXPECT_FALSE(in.pararHiloRecepcion());
    store(in, hex("04 03 01 00"));  // before the first start: dropped, not blocked
    EXPECT_EQ(in.filledSlots() + in.freeSlots(), 0);
    std::vector<QByteArray> frames;  // read by this thread only once the loop has stopped
    std::atomic<int> stopResult{-1}, count{0};
    in.setDispatchHook([&](QByteArray& f) {
        frames.push_back(f), ++count;
        if (f == hex("02"))  // a stop from inside the dispatch ends the loop without deadlock
            stopResult = in.pararHiloRecepcion() ? 1 : 0;
    });
    in.ArrancarHiloRecepcion();
    in.ArrancarHiloRecepcion();  // a second start keeps the one receive thread
    const char small[3] = {0x04, 0x03, 0x01};
    in.storeMsg(nullptr, 5);
    in.storeMsg(small, 0);
    in.storeMsg(small, GestorInput::kMaxFrameLength + 1);  // never read: the buffer is 3 bytes
    const QByteArray longest(int(GestorInput::kMaxFrameLength), '\x5A');
    store(in, longest);
    store(in, hex("02"));
    ASSERT_TRUE(waitUntil([&] { return stopResult >= 0; }));
    EXPECT_EQ(stopResult, 1);
    EXPECT_FALSE(in.isRunning());
    EXPECT_EQ(frames, (std::vector<QByteArray>{longest, hex("02")}));
    in.ArrancarHiloRecepcion();  // reaps the ended loop and starts a new one
    store(in, hex("03"));
    ASSERT_TRUE(waitUntil([&] { return count == 3; }));
    EXPECT_TRUE(in.pararHiloRecepcion());
    EXPECT_EQ(frames.back(), hex("03"));
}

}  // namespace
