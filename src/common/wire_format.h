// The layout of the adapter's frames, as the library writes and reads them: one place
// for the offsets, sizes and markers that the builders, the send thread, the dispatch
// and the API manager share (and that a software adapter must honour).
//
// Every frame starts with its class (0x04 for application frames) and its service code.
#pragma once

#include <rp1210core/types.h>

namespace rp1210core::internal {

namespace wire {

constexpr char kClassApplication = 0x04;
constexpr char kClassDiagnostic = 0x02;
constexpr int kClassOffset = 0;
constexpr int kCodeOffset = 1;

// Every received message, echo and segment carries this many timestamp bytes.
constexpr int kTimestampSize = 4;

// The broadcast id of a request that is not a periodic broadcast.
constexpr quint8 kNoBroadcast = 0xFF;
// The client id of adapter-wide requests and answers (reset status).
constexpr quint8 kAllClients = 0xFF;

// Send-message request (0x04): class, code, client (+0x10 for echo), protocol, counter,
// 16-bit data length, data.
constexpr int kSendClient = 2;
constexpr int kSendProtocol = 3;
constexpr int kSendCounter = 4;
constexpr int kSendLength = 5;
constexpr int kSendHeader = 7;
constexpr quint8 kEchoFlag = 0x10;

// Send answer (0x04): class, code, protocol, state, counter, timestamp, 16-bit length of
// the answer's own data, that data.
constexpr int kAnswerProtocol = 2;
constexpr int kAnswerState = 3;
constexpr int kAnswerCounter = 4;
constexpr int kAnswerTimestamp = 5;
constexpr int kAnswerDataLength = 9;
constexpr int kAnswerData = 11;

// Received message (0x05): class, code, protocol, 16-bit length, then timestamp and message.
constexpr int kReceivedProtocol = 2;
constexpr int kReceivedLength = 3;
constexpr int kReceivedHeader = 5;

// Request segment (0xD2): class, code, the send frame's bytes 2 to 4, 0x00, sequence (last
// index in the high nibble, this index in the low), on the first segment the total
// data length, then the 16-bit payload length and the payload.
constexpr quint8 kRequestSegmentCode = 0xD2;
constexpr int kSegmentSequence = 6;

// Received segment (0xD3): class, code, protocol, key, sequence, on the first segment the
// 16-bit total length; the timestamp at 7 to 10, the data from 13 (first) or 11 (later).
constexpr int kReceivedSegmentProtocol = 2;
constexpr int kReceivedSegmentKey = 3;
constexpr int kReceivedSegmentSequence = 4;
constexpr int kReceivedSegmentTotal = 5;
constexpr int kReceivedSegmentTimestamp = 7;
constexpr int kFirstSegmentData = 13;
constexpr int kLaterSegmentData = 11;

}  // namespace wire

// Segmentation limits of the adapter link, shared by the send thread (which cuts long
// frames) and the API manager (which refuses a message the send thread could not send).
namespace segmentation {

constexpr int kMaxFrame = 450;      // longer frames are segmented
constexpr int kHeaderLength = wire::kSendHeader;
constexpr int kFirstPayload = 439;  // payload of the first segment
constexpr int kLaterPayload = 441;  // payload of every later segment
constexpr int kMaxLastIndex = 15;   // the sequence byte holds the last index in a nibble

// Whether frames of this adapter generation longer than kMaxFrame go out in segments
// (and whether the adapter sends long received messages in segments).
constexpr bool segments(int generation)
{
    return generation == VCI_A || generation == VCI_K || generation == VCI_E;
}

// Index of the last segment for a payload of k bytes (the frame less its header).
constexpr int lastIndexFor(int k)
{
    return k > kFirstPayload ? (k - kFirstPayload + kLaterPayload - 1) / kLaterPayload : 0;
}

// Whether a frame of this length can be sent on a segmenting generation: whole, or in
// no more segments than the sequence byte can number.
constexpr bool fits(int frameLength)
{
    return frameLength <= kMaxFrame || lastIndexFor(frameLength - kHeaderLength) <= kMaxLastIndex;
}

// The most data bytes one send-message frame can carry on a segmenting generation.
constexpr int kMaxSegmentedData = kFirstPayload + kMaxLastIndex * kLaterPayload;
static_assert(fits(kHeaderLength + kMaxSegmentedData) && !fits(kHeaderLength + kMaxSegmentedData + 1),
              "kMaxSegmentedData is the last length that fits");

}  // namespace segmentation

}  // namespace rp1210core::internal
