#include "adapter/answer_builder.h"

#include "common/wire_format.h"

#include <rp1210core/types.h>

namespace rp1210core::adapter::answers {

namespace {

using namespace rp1210core::internal;

void appendWord(QByteArray& f, int v)
{
    f.append(char((v >> 8) & 0xFF));
    f.append(char(v & 0xFF));
}

void appendLong(QByteArray& f, quint32 v)
{
    appendWord(f, int(v >> 16));
    appendWord(f, int(v & 0xFFFF));
}

// A 0xD3 segment frame may not exceed the link's frame limit either.
constexpr int kFirstSegmentPayload = segmentation::kMaxFrame - wire::kFirstSegmentData;
constexpr int kLaterSegmentPayload = segmentation::kMaxFrame - wire::kLaterSegmentData;
constexpr int kMaxSegments = segmentation::kMaxLastIndex + 1;

}  // namespace

QByteArray frame(quint8 code, std::initializer_list<quint8> bytes)
{
    QByteArray f;
    f.reserve(2 + int(bytes.size()));
    f.append(wire::kClassApplication);
    f.append(char(code));
    for (quint8 b : bytes)
        f.append(char(b));
    return f;
}

QByteArray sendConfirmation(quint8 protocol, quint8 state, quint8 counter, quint32 timestamp)
{
    QByteArray f = frame(SERV_ENVIAR_MENSAJE, {protocol, state, counter});
    appendLong(f, timestamp);
    appendWord(f, 0);
    return f;
}

QByteArray version(quint8 x, const QByteArray& text)
{
    constexpr int kTextBytes = 17;  // offsets 3 to 19
    QByteArray f = frame(SERV_VERSION_FIRMWARE, {x});
    f.append(text.left(kTextBytes));
    f.append(QByteArray(kTextBytes - qMin(kTextBytes, int(text.size())), '\0'));
    return f;
}

QByteArray ioctl(quint8 client, quint8 sub, const QByteArray& data, bool withData)
{
    QByteArray f = frame(SERV_IOCTL, {client, 0, sub});
    if (withData) {
        appendLong(f, quint32(data.size()));
        f.append(data);
    }
    return f;
}

QList<QByteArray> received(quint8 protocol, quint32 timestamp, const QByteArray& message, bool segmenting,
                           int extra, quint8 key)
{
    const int length = wire::kTimestampSize + message.size();
    if (length > 0xFFFF)
        return {};
    if (!segmenting || wire::kReceivedHeader + length <= segmentation::kMaxFrame) {
        QByteArray f = frame(SERV_RECEPCION_TRAMA, {protocol});
        f.reserve(wire::kReceivedHeader + length);
        appendWord(f, length);
        appendLong(f, timestamp);
        f.append(message);
        return {f};
    }
    const int n = message.size();
    const int later = n > kFirstSegmentPayload ? n - kFirstSegmentPayload : 0;
    const int lastIndex = (later + kLaterSegmentPayload - 1) / kLaterSegmentPayload;
    if (lastIndex >= kMaxSegments || n < extra)
        return {};
    QList<QByteArray> out;
    for (int index = 0, offset = 0; index <= lastIndex; ++index) {
        const int take = qMin(index == 0 ? kFirstSegmentPayload : kLaterSegmentPayload, n - offset);
        QByteArray f = frame(SERV_SEGMENTO, {protocol, key, quint8((lastIndex << 4) | index)});
        // First: total (the message less the protocol's header); later: this segment's length.
        appendWord(f, index == 0 ? n - extra : take);
        appendLong(f, timestamp);
        if (index == 0)
            appendWord(f, take);
        f.append(message.constData() + offset, take);
        offset += take;
        out.append(f);
    }
    return out;
}

}  // namespace rp1210core::adapter::answers
