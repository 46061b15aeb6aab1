// The adapter's reading of the library's request frames: one typed request per frame,
// checked against the layout of its service code before a byte is read, and the joining
// of send-message frames that arrive cut into 0xD2 segments.
#pragma once

#include <rp1210core/types.h>

#include <QByteArray>

namespace rp1210core::adapter {

struct Request {
    enum class Status : quint8 {
        Ok,         // every field read
        Malformed,  // too short, too long or self-contradicting; `client` etc. as far as read
        Unknown,    // no such service code
        Ignored,    // a frame that wants no answer (diagnostics, the tester echo, a segment in progress)
    };
    Status status = Status::Ok;
    quint8 frameClass = 0;
    quint8 code = 0;
    bool hasClient = false;  // `client` was read: a failure can be addressed to it
    quint8 client = 0;       // low nibble for send and broadcast-link frames
    bool hasProtocol = false;
    quint8 protocol = 0;
    // send-message (0x04)
    bool echo = false;
    bool hasCounter = false;
    quint8 counter = 0;
    // connect: speed; set baud: the two bytes; mode change: flag; SA filter: address;
    // broadcast link: slot; ioctl: sub; mux/PIC/J1850 filter: the first byte
    quint8 a = 0, b = 0;
    bool packetize = false;
    quint32 number = 0;  // interval (broadcast link), time (interpacket), ioctl count
    QByteArray data;     // message, records, NAME (address claim), filter bytes
};

// Reads one whole request frame (never a 0xD2 segment: see SegmentJoiner).
Request parseRequest(const QByteArray& frame);

// Joins the 0xD2 segments of one send-message frame. Segments of one frame arrive in
// order; a new first segment drops an unfinished frame.
class SegmentJoiner {
public:
    enum class Result : quint8 {
        Incomplete,  // more segments to come
        Complete,    // `whole` holds the send-message frame
        Malformed,   // dropped; `whole` holds what identifies it (bytes 0 to 4) when readable
    };
    Result add(const QByteArray& segment, QByteArray& whole);

private:
    QByteArray head_;  // class, code 0x04, client, protocol, counter of the frame being joined
    QByteArray payload_;
    int total_ = -1;  // -1: no frame in progress
    int next_ = 0;
    int last_ = 0;
};

}  // namespace rp1210core::adapter
