// The software adapter on its byte buses: the K-line family (messages, the five-baud and
// fast initialisations of the ioctls) and J1850 (the interface initialisation, the
// adapter-wide header filters, messages).
//
// K-line messages: with the client's ISO 9141 / KWP2000 mode at its default (1), the
// client gives and reads messages without their checksum, which the adapter adds and
// checks (the one-byte sum of ISO 9141-2 and ISO 14230-2); in mode 0, and for ISO 9141
// raw, ALDL and SCI (J2610), which frame their own bytes, they pass as on the line.
//
// J1850 messages: the client gives header and data; the adapter adds the CRC. A received
// message reaches the client as its length (2 bytes, most significant first), header and
// data, so that the three header bytes sit where the library's J1850 filter reads them.
//
// An initialisation that no ECU answers gets no answer: an answered ioctl counts as
// done whatever it carries, so silence is the one failure the library can see (it gives
// up at its limit with "hardware not responding").
#include "adapter/software_adapter.h"

#include "adapter/answer_builder.h"
#include "adapter/serial_framing.h"
#include "common/protocols.h"

#include <bitset>

namespace rp1210core::adapter {

namespace {

using answers::frame;
using Bus = AdapterClients::Bus;

// A KWP2000 message with a length byte: header (4), 255 data bytes, checksum.
constexpr int kMaxKLineMessage = 260;
// Header (3) and data (7): twelve bytes with the CRC, the J1850 frame limit.
constexpr int kMinJ1850Message = 3, kMaxJ1850Message = 11;

}  // namespace

bool SoftwareAdapter::klineChecksummed(const AdapterClient& c)
{
    return c.mode == 0 && c.protocol != PROTOCOLO_ISO9141_RAW && c.protocol != PROTOCOLO_GM_ALDL &&
           c.protocol != PROTOCOLO_J2610;
}

quint8 SoftwareAdapter::hardwareStatusOf(Bus bus) const
{
    for (const AdapterClient& c : clients_.all())
        if (c.connected && AdapterClients::busOf(c.protocol) == bus && internal::protocolFacts(c.protocol).kLineStatus)
            return 1;
    return 0;
}

// ---- J1850 interface and filters ----

void SoftwareAdapter::onPicConnection(const Request& r)
{
    // Sent before every J1850 connect with the client's speed: VPW or PWM.
    const quint8 speed = r.a == VELOCIDAD_NINGUNA || r.a == VELOCIDAD_AUTO ? quint8(VELOCIDAD_10400) : r.a;
    quint8 state = RESP_SERV_OK;
    if (speed != VELOCIDAD_10400 && speed != VELOCIDAD_J1850_PWM)
        state = RESP_SERV_NOT_SUPPORTED;
    else if (clients_.countOn(Bus::J1850) != 0)
        state = j1850Bitrate_ == AdapterClients::bitrate(speed) ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_OTHER_SPEED);
    else if (!openJ1850(speed))
        state = RESP_SERV_NOT_SUPPORTED;
    deliver(frame(r.code, {state}));
}

void SoftwareAdapter::onJ1850Filter(const Request& r)
{
    if (r.code == SERV_CLEAR_J1850_FILTERS) {
        j1850Filters_.clear();
    } else {
        J1850Filter f{};
        for (size_t i = 0; i < f.size(); ++i)
            f[i] = quint8(r.data.at(int(i)));
        j1850Filters_.push_back(f);
    }
    deliver(frame(r.code, {RESP_SERV_OK}));
}

// ---- K-line initialisations ----

void SoftwareAdapter::onKLineInit(const Request& r)
{
    const AdapterClient* c = clients_.find(r.client);
    if (c == nullptr || !c->connected || AdapterClients::busOf(c->protocol) != Bus::KLine || !klineOpen_)
        return;  // no K-line for this client: no ECU can answer
    if (r.a == IOCTL_FIVE_BAUD_INIT && r.data.size() != 1)
        return;
    if (r.a != IOCTL_FIVE_BAUD_INIT && r.data.isEmpty())
        return;
    // A new initialisation replaces one still under way, whose answer is then dropped.
    PendingInit p;
    p.id = ++lastInit_;
    p.client = r.client;
    p.sub = r.a;
    p.checksummed = klineChecksummed(*c);
    const quint32 id = p.id;
    auto done = [this, id](const QByteArray& answer) {
        Event e;
        e.kind = Event::Kind::KLineInit;
        e.bytes = answer;
        e.init = id;
        post(std::move(e));
    };
    klineInit_ = p;
    const bool started = r.a == IOCTL_FIVE_BAUD_INIT
                             ? klineBus_->fiveBaudInit(quint8(r.data.at(0)), done)
                             : klineBus_->fastInit(p.checksummed ? kline::withChecksum(r.data) : r.data, done);
    if (!started)
        klineInit_.reset();
}

void SoftwareAdapter::onKLineInitDone(quint32 id, const QByteArray& answer)
{
    if (!klineInit_ || klineInit_->id != id)
        return;  // replaced, or its client or bus went
    const PendingInit p = *klineInit_;
    klineInit_.reset();
    if (answer.isEmpty() || p.sub == IOCTL_INIT_NO_WAIT)
        return;
    QByteArray bytes = answer;
    if (p.sub == IOCTL_FAST_INIT && p.checksummed) {
        if (!kline::checkMessage(answer))
            return;  // a garbled answer is no answer
        bytes.chop(1);
    }
    deliver(answers::ioctl(p.client, p.sub, bytes, true));
}

// ---- sending ----

void SoftwareAdapter::sendKLine(const Request& r, const AdapterClient& c)
{
    if (!klineOpen_) {
        confirm(r.protocol, RESP_SERV_NOT_SUPPORTED, r.counter);
        return;
    }
    const QByteArray m = klineChecksummed(c) && !r.data.isEmpty() ? kline::withChecksum(r.data) : r.data;
    if (m.isEmpty()) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    if (m.size() > kMaxKLineMessage) {
        confirm(r.protocol, RESP_SERV_MESSAGE_TOO_LONG, r.counter);
        return;
    }
    confirm(r.protocol, klineBus_->write(m) ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_HW_QUEUE_FULL), r.counter);
}

void SoftwareAdapter::sendJ1850(const Request& r)
{
    if (j1850Bitrate_ == 0) {
        confirm(r.protocol, RESP_SERV_NOT_SUPPORTED, r.counter);
        return;
    }
    if (r.data.size() < kMinJ1850Message) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    if (r.data.size() > kMaxJ1850Message) {
        confirm(r.protocol, RESP_SERV_MESSAGE_TOO_LONG, r.counter);
        return;
    }
    const bool written = j1850Bus_->write(j1850::withCrc(r.data));
    confirm(r.protocol, written ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_HW_QUEUE_FULL), r.counter);
}

// ---- receiving ----

void SoftwareAdapter::onKLineMessage(const QByteArray& m)
{
    // The library routes a message to every client of its protocol: each protocol once,
    // framed as its first client here asked.
    std::bitset<256> served;
    for (const AdapterClient& c : clients_.all()) {
        if (!c.connected || AdapterClients::busOf(c.protocol) != Bus::KLine || served.test(c.protocol))
            continue;
        served.set(c.protocol);
        if (!klineChecksummed(c))
            deliverReceived(c.protocol, m);
        else if (kline::checkMessage(m))
            deliverReceived(c.protocol, m.left(m.size() - 1));
    }
}

void SoftwareAdapter::onJ1850Message(const QByteArray& m)
{
    if (!j1850::checkFrame(m) || m.size() < kMinJ1850Message + 1 || !anyClientOn(PROTOCOLO_J1850))
        return;
    auto passes = [&m](const J1850Filter& f) {
        for (int i = 0; i < 3; ++i)
            if (((quint8(m.at(i)) ^ f[size_t(3 + i)]) & f[size_t(i)]) != 0)
                return false;
        return true;
    };
    bool wanted = j1850Filters_.empty();
    for (const J1850Filter& f : j1850Filters_)
        wanted = wanted || passes(f);
    if (!wanted)
        return;
    const int n = m.size() - 1;  // without the CRC
    QByteArray payload;
    payload.reserve(2 + n);
    payload.append(char(n >> 8)).append(char(n & 0xFF)).append(m.constData(), n);
    deliverReceived(PROTOCOLO_J1850, payload);
}

}  // namespace rp1210core::adapter
