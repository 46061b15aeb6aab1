// The software adapter's readers of untrusted bytes: the request-frame parser and the
// joining of 0xD2 segments (bytes from the library), and the J1939 and ISO 15765
// transport receivers (raw frames from the bus), with sessions of their own in flight.
//
// Input: records of a kind byte and its bytes; time moves by what the records say.
// After the input, time runs on until every session has ended, which must happen.
#include "api_rig.h"

#include "adapter/iso15765_transport.h"
#include "adapter/j1939_transport.h"
#include "adapter/request_parser.h"

using namespace rp1210core::adapter;
using rp1210core::bus::CanFrame;

namespace {

constexpr quint8 kLocal = 0x20;

CanFrame canFrame(FuzzBytes& in, quint32 id, bool extended)
{
    const quint8 length = in.byte();
    QByteArray bytes = in.bytes(8);
    const int n = length < 200 ? bytes.size() : length % 9;
    bytes.resize(8);
    return CanFrame::make(id, extended, reinterpret_cast<const quint8*>(bytes.constData()),
                          n);
}

// Mostly the transport's own groups between a few nodes, else any identifier.
CanFrame j1939Frame(FuzzBytes& in)
{
    static const quint8 kNodes[] = {0x10, 0x11, kLocal, kJ1939Global};
    const quint8 kind = in.byte();
    const quint32 pgn = kind % 4 == 0 ? 0xEC00u : kind % 4 == 1 ? 0xEB00u : 0;
    const quint8 source = in.pick(kNodes), destination = in.pick(kNodes);
    const quint32 id = pgn ? j1939EncodeId({7, pgn, source, destination}) : in.u32();
    return canFrame(in, id, true);
}

void drainJ1939(J1939Transport& tp)
{
    std::vector<CanFrame> frames;
    std::vector<J1939TpEvent> events;
    tp.take(frames, events);
    for (const J1939TpEvent& e : events)
        if (e.message.data.size() > J1939Transport::kMaxSize)
            __builtin_trap();
}

void checkIso(IsoTpOutput& out)
{
    for (const IsoTpEvent& e : out.events)
        if (e.data.size() > IsoTpEngine::kMaxMessage)
            __builtin_trap();
    out.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBytes in(data, size);
    SegmentJoiner joiner;
    J1939Transport j1939;
    j1939.setLocalAddresses({kLocal});
    IsoTpEngine iso;
    IsoTpOutput out;
    const quint8 blockSize = in.byte() % 4, stMin = in.byte();
    IsoTpConnectionConfig normal;
    normal.incomingId = 0x7E8, normal.outgoingId = 0x7E0, normal.blockSize = blockSize, normal.stMin = stMin;
    IsoTpConnectionConfig extended = normal;
    extended.extendedId = true, extended.incomingId = 0x18DAF100, extended.outgoingId = 0x18DA00F1;
    IsoTpConnectionConfig addressed = normal;
    addressed.extendedAddressing = true, addressed.incomingId = 0x600, addressed.outgoingId = 0x601;
    addressed.incomingAddress = 0xF1, addressed.outgoingAddress = 0x01, addressed.padding = false;
    const int connections[] = {iso.addConnection(normal), iso.addConnection(extended), iso.addConnection(addressed)};
    static const quint32 kIsoIds[] = {0x7E8, 0x18DAF100, 0x600, 0x7E0};

    // Messages of our own on their way out: a flow control or a CTS from the bus acts on them.
    qint64 now = 0;
    const QByteArray outgoing(300, '\x5A');
    j1939.send({6, 0xEF00, kLocal, 0x10, outgoing}, now);
    j1939.send({6, 0xFECA, kLocal, kJ1939Global, outgoing.left(40)}, now);
    for (int c : connections)
        iso.send(c, reinterpret_cast<const quint8*>(outgoing.constData()), outgoing.size(), now, out);

    while (!in.empty()) {
        const quint8 kind = in.byte();
        now += kind >> 4;
        switch (kind % 5) {
        case 0:
            parseRequest(in.bytes(in.byte()));
            break;
        case 1: {
            QByteArray whole;
            if (joiner.add(in.bytes(in.byte()), whole) == SegmentJoiner::Result::Complete)
                parseRequest(whole);
            break;
        }
        case 2:
            j1939.receive(j1939Frame(in), now);
            j1939.poll(now);
            drainJ1939(j1939);
            break;
        case 3: {
            const quint8 pick = in.byte();
            const quint32 id = pick < 224 ? kIsoIds[pick % 4] : in.u32();
            iso.receive(canFrame(in, id, id > CanFrame::kStandardMask || pick % 4 == 1), now, out);
            iso.poll(now, out);
            checkIso(out);
            break;
        }
        default:
            now += in.u16();
            j1939.poll(now);
            iso.poll(now, out);
            drainJ1939(j1939);
            checkIso(out);
            break;
        }
    }

    // With the bus silent, every timer runs out and every session ends.
    for (int i = 0; i < 10000 && (j1939.nextDeadline() >= 0 || iso.nextDeadline() >= 0); ++i) {
        const qint64 a = j1939.nextDeadline(), b = iso.nextDeadline();
        now = std::max(now, a < 0 ? b : b < 0 ? a : std::min(a, b));
        j1939.poll(now);
        iso.poll(now, out);
        drainJ1939(j1939);
        checkIso(out);
    }
    if (j1939.openSessions() != 0 || j1939.nextDeadline() >= 0 || iso.nextDeadline() >= 0)
        __builtin_trap();
    return 0;
}
