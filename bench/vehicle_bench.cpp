// End to end through the core, the software adapter and the simulated vehicle: J1939
// messages per second each way between an application and another node on the CAN bus,
// and ISO 15765 (UDS) request and answer pairs per second with the vehicle's UDS server.
#include "support/vehicle_rig.h"

#include "adapter/j1939_id.h"
#include "bench_support.h"

#include <atomic>

using namespace bench;
using rp1210core::bus::CanFrame;

namespace {

constexpr quint8 kApp = 0xF9, kNode = 0x21;
constexpr quint32 kPgn = 0xEF00;  // proprietary A, addressed
constexpr int kMessagesPerRound = 2000;

QByteArray j1939Message(quint8 source, quint8 destination, quint32 sequence)
{
    QByteArray m;
    m.append(char(kPgn)).append(char(kPgn >> 8)).append(char(kPgn >> 16)).append(char(6));
    m.append(char(source)).append(char(destination));
    for (int i = 0; i < 4; ++i)
        m.append(char(sequence >> (24 - 8 * i)));
    return m.append(QByteArray(4, '\0'));
}

// Another node on the vehicle's CAN bus: counts the frames of kPgn addressed to it.
struct Node {
    explicit Node(VehicleRig& rig) : port(rig.vehicle.createCanPort())
    {
        port->open(rig.vehicle.canBus().bitrate(), [this](const CanFrame& f, bool own) {
            if (!own && f.extended) {
                const auto id = rp1210core::adapter::j1939DecodeId(f.id);
                if (id.pgn == kPgn && id.destination == kNode)
                    heard.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    ~Node() { port->close(); }
    std::unique_ptr<rp1210core::bus::CanBus> port;
    std::atomic<long> heard{0};
};

// J1939 from the application to the node: every message sent, until the node heard all.
void BM_VehicleJ1939ToBus(benchmark::State& state)
{
    VehicleRig rig;
    const short id = rig.open("J1939:Baud=250");
    if (!require(state, id == 1, "connect answered " + std::to_string(id)))
        return;
    Node node(rig);
    long sent = 0, refused = 0;
    double total = 0;
    for (auto _ : state) {
        const long target = node.heard + kMessagesPerRound;
        const auto t0 = Clock::now();
        for (int i = 0; i < kMessagesPerRound; ++i) {
            const QByteArray m = j1939Message(kApp, kNode, quint32(sent + i));
            refused += rig.send(id, m) != 0;
        }
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (node.heard < target - refused && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double s = seconds(Clock::now() - t0);
        state.SetIterationTime(s);
        total += s;
        sent += kMessagesPerRound;
    }
    state.counters["messages_per_s"] = double(node.heard) / total;
    state.counters["refused"] = double(refused);
}
BENCHMARK(BM_VehicleJ1939ToBus)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// J1939 from the node to the application: written on the bus as fast as it takes them,
// read with blocking reads past the vehicle's own broadcasts.
void BM_VehicleJ1939FromBus(benchmark::State& state)
{
    VehicleRig rig;
    const short id = rig.open("J1939:Baud=250");
    if (!require(state, id == 1, "connect answered " + std::to_string(id)))
        return;
    rig.g.getCliente(1)->setBlockingTimeout(2000);
    Node node(rig);
    long received = 0, lost = 0;
    double total = 0;
    char buffer[64];
    for (auto _ : state) {
        const auto t0 = Clock::now();
        std::thread writer([&] {
            for (int i = 0; i < kMessagesPerRound;) {
                const quint32 canId = rp1210core::adapter::j1939EncodeId({6, kPgn, kNode, kApp});
                QByteArray data(8, '\0');
                data[0] = char(i >> 8), data[1] = char(i);
                if (node.port->write(CanFrame::make(canId, true, reinterpret_cast<const quint8*>(data.constData()), 8)))
                    ++i;
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(100));  // the bus queue is full
            }
        });
        for (int got = 0; got < kMessagesPerRound;) {
            const short n = rig.g.RP1210_ReadMessage(id, buffer, short(sizeof buffer), 1);
            if (n <= 0) {
                lost += kMessagesPerRound - got;
                break;
            }
            // Timestamp, PGN, priority, source, destination, data.
            if (n == 4 + 6 + 8 && quint8(buffer[8]) == kNode && quint8(buffer[4 + 1]) == quint8(kPgn >> 8))
                ++got, ++received;
        }
        writer.join();
        const double s = seconds(Clock::now() - t0);
        state.SetIterationTime(s);
        total += s;
    }
    state.counters["messages_per_s"] = double(received) / total;
    state.counters["lost"] = double(lost);
}
BENCHMARK(BM_VehicleJ1939FromBus)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// ISO 15765: the VIN read from the vehicle's UDS server (a single-frame request, a
// three-frame answer with the adapter's flow control), request after request.
void BM_VehicleIso15765RequestAnswer(benchmark::State& state)
{
    VehicleRig rig;
    const short id = rig.open("ISO15765:Baud=250");
    if (!require(state, id == 1 && rig.flowControl(id) == 0, "connect or flow control failed"))
        return;
    rig.g.getCliente(1)->setBlockingTimeout(2000);
    const QByteArray request = QByteArray::fromHex("00000007e022f190");
    char buffer[128];
    long answers = 0, failures = 0;
    std::vector<double> us;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (rig.send(id, request) != 0) {
            ++failures;
            continue;
        }
        bool answered = false;
        while (!answered) {
            const short n = rig.g.RP1210_ReadMessage(id, buffer, short(sizeof buffer), 1);
            if (n <= 0)
                break;
            // Timestamp, the header that ends in 0x7E8, then the positive answer to 22 F190.
            answered = n > 12 && quint8(buffer[9]) == 0xE8 && quint8(buffer[10]) == 0x62;
        }
        const double d = micros(Clock::now() - t0);
        failures += !answered;
        answers += answered;
        us.push_back(d);
        state.SetIterationTime(d / 1e6);
    }
    double sum = 0;
    for (double d : us)
        sum += d;
    state.counters["answers_per_s"] = us.empty() ? 0 : double(answers) / (sum / 1e6);
    state.counters["failures"] = double(failures);
    reportPercentiles(state, us, "round_trip");
}
BENCHMARK(BM_VehicleIso15765RequestAnswer)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
