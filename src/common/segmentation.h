// Segmentation limits of the adapter link, shared by the send thread (which cuts long
// frames) and the API manager (which refuses a message the send thread could not send).
#pragma once

#include <rp1210core/types.h>

namespace rp1210core::internal::segmentation {

constexpr int kMaxFrame = 450;      // longer frames are segmented
constexpr int kHeaderLength = 7;    // send-message header before the data
constexpr int kFirstPayload = 439;  // payload of the first segment
constexpr int kLaterPayload = 441;  // payload of every later segment
constexpr int kMaxLastIndex = 15;   // the sequence byte holds the last index in a nibble

// Whether frames of this adapter generation longer than kMaxFrame go out in segments.
constexpr bool segments(enum_VersionVCI generation)
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

}  // namespace rp1210core::internal::segmentation
