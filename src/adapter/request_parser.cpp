#include "adapter/request_parser.h"

#include "common/wire_format.h"

namespace rp1210core::adapter {

namespace {

using rp1210core::internal::wire::kClassApplication;
using rp1210core::internal::wire::kClassDiagnostic;
using S = Request::Status;

quint8 u8(const QByteArray& f, int i) { return static_cast<quint8>(f.at(i)); }
int be16(const QByteArray& f, int i) { return (u8(f, i) << 8) | u8(f, i + 1); }
quint32 be32(const QByteArray& f, int i) { return (quint32(be16(f, i)) << 16) | quint32(be16(f, i + 2)); }

// Reads client and protocol where the layout puts them (offsets 2 and 3).
void readClientProtocol(const QByteArray& f, Request& r, bool hasProtocol = true)
{
    if (f.size() > 2) {
        r.hasClient = true;
        r.client = u8(f, 2);
    }
    if (hasProtocol && f.size() > 3) {
        r.hasProtocol = true;
        r.protocol = u8(f, 3);
    }
}

// The frame must be exactly `n` bytes.
S exact(const QByteArray& f, int n) { return f.size() == n ? S::Ok : S::Malformed; }

S parseSend(const QByteArray& f, Request& r)
{
    using namespace rp1210core::internal::wire;
    if (f.size() > kSendClient) {
        const quint8 v = u8(f, kSendClient);
        // Client 16 reads 0x10 without echo and 0x20 with it (the library's encoding).
        r.hasClient = true;
        r.client = v == 0x10 ? 16 : (v == 0x20 ? 16 : (v & 0x0F));
        r.echo = v == 0x20 || (v != 0x10 && (v & 0xF0) == kEchoFlag);
    }
    if (f.size() > kSendProtocol) {
        r.hasProtocol = true;
        r.protocol = u8(f, kSendProtocol);
    }
    if (f.size() > kSendCounter) {
        r.hasCounter = true;
        r.counter = u8(f, kSendCounter);
    }
    if (f.size() < kSendHeader || be16(f, kSendLength) != f.size() - kSendHeader)
        return S::Malformed;
    r.data = f.mid(kSendHeader);
    return S::Ok;
}

S parseIoctl(const QByteArray& f, Request& r)
{
    readClientProtocol(f, r);
    if (f.size() < 5)
        return S::Malformed;
    r.a = u8(f, 4);  // sub
    switch (r.a) {
    case IOCTL_GET_CONFIG:
    case IOCTL_SET_CONFIG: {
        if (f.size() < 9)
            return S::Malformed;
        r.number = be32(f, 5);
        const qint64 each = r.a == IOCTL_SET_CONFIG ? 8 : 4;
        if (qint64(f.size()) - 9 != each * r.number)
            return S::Malformed;
        r.data = f.mid(9);
        return S::Ok;
    }
    case IOCTL_FIVE_BAUD_INIT:
    case IOCTL_FAST_INIT:
    case IOCTL_INIT_NO_WAIT:
    case IOCTL_SEND_PULSES: {
        if (f.size() < 9)
            return S::Malformed;
        r.number = be32(f, 5);
        const qint64 tail = r.a == IOCTL_FIVE_BAUD_INIT ? 1 : 0;
        if (qint64(f.size()) - 9 - tail != qint64(r.number))
            return S::Malformed;
        r.data = f.mid(9, int(r.number));
        if (tail)
            r.b = u8(f, f.size() - 1);  // key bytes wanted
        return S::Ok;
    }
    case IOCTL_BECOME_MASTER:
        if (f.size() > 6)
            return S::Malformed;
        r.data = f.mid(5);
        return S::Ok;
    case IOCTL_REQUEST_COMMANDS:
    case IOCTL_TEARDOWN_CONNECTION:
    case IOCTL_REQUEST_CONNECTION:
    case IOCTL_SET_POLL_RESPONSE:
        r.data = f.mid(5);
        return S::Ok;
    default:
        return S::Malformed;
    }
}

S parseApplication(const QByteArray& f, Request& r)
{
    const int n = f.size();
    switch (r.code) {
    case SERV_VERSION_FIRMWARE:
        readClientProtocol(f, r, false);
        return exact(f, 3);
    case SERV_CONECTAR_CLIENTE:
        readClientProtocol(f, r);
        if (n != 6)
            return S::Malformed;
        r.a = u8(f, 4);
        r.packetize = u8(f, 5) != 0;
        return S::Ok;
    case SERV_DESCONECTAR_CLIENTE:
    case SERV_CLEAR_ALL_FILTERS_V6:
    case SERV_CLEAR_FILTER_SA_V6:
        readClientProtocol(f, r);
        return exact(f, 4);
    case SERV_ENVIAR_MENSAJE:
        return parseSend(f, r);
    case SERV_ESTADO_HARDWARE:
    case SERV_ISO15765_CLEAR_FLOW_CONTROL:
        readClientProtocol(f, r, false);
        return exact(f, 3);
    case SERV_RESETEAR_LINK:
    case SERV_CLEAR_J1850_FILTERS:
        return exact(f, 2);
    case SERV_ISO15765_FLOW_CONTROL: {
        readClientProtocol(f, r, false);
        if (n < 6 || be16(f, 3) != n - 6)
            return S::Malformed;
        r.data = f.mid(5, n - 6);
        r.hasProtocol = true;
        r.protocol = u8(f, n - 1);
        return S::Ok;
    }
    case SERV_IOCTL:
        return parseIoctl(f, r);
    case SERV_CAMBIO_MODO:
    case SERV_SET_FILTER_SA_V6:
    case SERV_SET_REMOTE_CAN_MESSAGE:
    case SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE:
        readClientProtocol(f, r);
        if (n != 5)
            return S::Malformed;
        r.a = u8(f, 4);
        return S::Ok;
    case SERV_SET_BAUD:
    case SERV_SET_PADDING_ISO15765:
        readClientProtocol(f, r);
        if (n != 6)
            return S::Malformed;
        r.a = u8(f, 4);
        r.b = u8(f, 5);
        return S::Ok;
    case SERV_CMMD_MUX:
        r.data = f.mid(2);
        return exact(f, 7);
    case SERV_J1939_INTERPACKET_TIME:
        readClientProtocol(f, r);
        if (n != 8)
            return S::Malformed;
        r.number = be32(f, 4);
        return S::Ok;
    case SERV_SET_FILTERS_V6:
    case SERV_CLEAR_FILTER_V6:
        readClientProtocol(f, r);
        if (n < 5 || n != 5 + 3 * u8(f, 4))
            return S::Malformed;
        r.data = f.mid(5);
        return S::Ok;
    case SERV_PROTECT_J1939_ADDRESS:
        readClientProtocol(f, r, false);
        if (n != 12)
            return S::Malformed;
        r.a = u8(f, 3);  // address
        r.data = f.mid(4);  // NAME
        return S::Ok;
    case SERV_SET_CAN_FILTER:
        if (n != 12 || u8(f, 2) != 0x01)
            return S::Malformed;
        r.data = f.mid(3);  // type, header (4), mask (4)
        return S::Ok;
    case SERV_CLEAR_CAN_FILTERS:
        return n == 3 && u8(f, 2) == 0x01 ? S::Ok : S::Malformed;
    case SERV_SET_ISO15765_FILTER:
        readClientProtocol(f, r);
        if (n < 7 || be16(f, 5) != n - 7)
            return S::Malformed;
        r.a = u8(f, 4);  // action
        r.data = f.mid(7);
        return S::Ok;
    case SERV_PIC_CONNECTION:
        if (n == 3)
            r.a = u8(f, 2);
        return exact(f, 3);
    case SERV_SET_J1850_FILTER:
        r.data = f.mid(2);
        return exact(f, 8);
    case SERV_SET_BROADCAST_LINK:
    case SERV_CLEAR_BROADCAST_LINK: {
        if (n > 2) {
            r.hasClient = true;
            r.client = u8(f, 2) & 0x0F;
            r.a = u8(f, 2) >> 4;  // slot
        }
        if (n > 3) {
            r.hasProtocol = true;
            r.protocol = u8(f, 3);
        }
        if (r.code == SERV_CLEAR_BROADCAST_LINK)
            return exact(f, 4);
        if (n < 8 || be16(f, 6) != n - 8)
            return S::Malformed;
        r.number = quint32(be16(f, 4));
        r.data = f.mid(8);
        return S::Ok;
    }
    case SERV_TESTER_LINK:
        return S::Ignored;  // the library's answer to our own tester frame
    default:
        return S::Unknown;
    }
}

}  // namespace

Request parseRequest(const QByteArray& f)
{
    Request r;
    if (f.size() < 2) {
        r.status = S::Malformed;
        return r;
    }
    r.frameClass = u8(f, 0);
    r.code = u8(f, 1);
    if (r.frameClass == quint8(kClassDiagnostic)) {
        // Segment logging and the speed test: link diagnostics without an answer.
        const bool known = (r.code == SERV_LOG_SEGMENTOS && f.size() == 3) ||
                           (r.code == SERV_TEST_VELOCIDAD && f.size() == 2);
        r.status = known ? S::Ignored : S::Malformed;
        return r;
    }
    if (r.frameClass != quint8(kClassApplication)) {
        r.status = S::Malformed;
        return r;
    }
    r.status = parseApplication(f, r);
    return r;
}

SegmentJoiner::Result SegmentJoiner::add(const QByteArray& s, QByteArray& whole)
{
    using namespace rp1210core::internal;
    whole.clear();
    if (s.size() < 7) {
        total_ = -1;
        return Result::Malformed;
    }
    // Bytes 2 to 4 name the send frame: a failure is answered under its counter.
    const QByteArray head = QByteArray(1, wire::kClassApplication) + char(SERV_ENVIAR_MENSAJE) + s.mid(2, 3);
    const int index = u8(s, wire::kSegmentSequence) & 0x0F;
    const int last = u8(s, wire::kSegmentSequence) >> 4;
    auto fail = [&] {
        total_ = -1;
        whole = head;
        return Result::Malformed;
    };
    const int lengthAt = index == 0 ? 9 : 7;
    if (s.size() < lengthAt + 2 || be16(s, lengthAt) != s.size() - lengthAt - 2 || u8(s, 5) != 0 || index > last)
        return fail();
    if (index == 0) {
        head_ = head;
        payload_.clear();
        total_ = be16(s, 7);
        next_ = 0;
        last_ = last;
    } else if (total_ < 0 || index != next_ || last != last_ || s.mid(2, 3) != head_.mid(2, 3)) {
        return fail();
    }
    payload_.append(s.mid(lengthAt + 2));
    ++next_;
    if (payload_.size() > total_)
        return fail();
    if (index < last_)
        return Result::Incomplete;
    if (payload_.size() != total_)
        return fail();
    whole = head_ + char(total_ >> 8) + char(total_ & 0xFF) + payload_;
    total_ = -1;
    return Result::Complete;
}

}  // namespace rp1210core::adapter
