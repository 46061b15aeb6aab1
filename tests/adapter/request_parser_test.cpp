// Every request layout read whole, cut short and overlong; 0xD2 segments joined as the
// library cuts them; and malformed requests answered with a failure state, never a crash.
#include "adapter/request_parser.h"
#include "adapter/software_adapter.h"
#include "link/gestor_io.h"
#include "support/bytes.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace rp1210core::adapter;

namespace {

constexpr int kNone = -1;
constexpr int kShortOk = 1, kLongOk = 2;
struct Layout {
    const char* frame;     // a well-formed request, as the library's builder lays it out
    int stateAt;           // offset of the state in the answer to a malformed one; kNone: no state
    int identifiedFrom;    // a malformed frame this long or longer names whom to answer
    int lengthOk = 0;      // kShortOk / kLongOk: one byte less or more is still a layout (count-free data)
};

// clang-format off
const Layout kLayouts[] = {
    {"04 01 00",                                   kNone, 0, 0},
    {"04 02 01 10 24 00",                          3, 3, 0},
    {"04 03 01 10",                                3, 3, 0},
    {"04 04 11 10 07 0003 aabbcc",                 3, 5, 0},
    {"04 06 01",                                   kNone, 0, 0},
    {"04 07",                                      kNone, 0, 0},
    {"04 09 01 0002 aabb 11",                      3, 3, 0},
    {"04 0a 01",                                   3, 3, 0},
    {"04 0d 01 05 01 00000002 00000001 00000002",  kNone, 0, 0},
    {"04 0d 01 05 02 00000001 00000001 00000009",  kNone, 0, 0},
    {"04 0d 01 05 04 00000001 33 02",              kNone, 0, 0},
    {"04 0d 01 05 05 00000002 c133",               kNone, 0, 0},
    {"04 0d 01 05 ff 00000001 01",                 kNone, 0, 0},
    {"04 0d 01 05 fd 07",                          kNone, 0, kShortOk},
    {"04 0d 01 05 fa 0102",                        kNone, 0, kShortOk | kLongOk},
    {"04 0e 01 05 00",                             3, 3, 0},
    {"04 10 01 10 05 24",                          kNone, 0, 0},
    {"04 11 4330303030",                           2, 2, 0},
    {"04 14 01 10 00000032",                       4, 3, 0},
    {"04 e0 01 10 01 00ef00",                      4, 3, 0},
    {"04 e1 01 10",                                4, 3, 0},
    {"04 e2 01 10 01 00ef00",                      4, 3, 0},
    {"04 e3 01 10 22",                             4, 3, 0},
    {"04 e4 01 10",                                4, 3, 0},
    {"04 e5 01 80 0102030405060708",               3, 3, 0},
    {"04 e6 01 00 00000123 000007ff",              2, 2, 0},
    {"04 e7 01",                                   2, 2, 0},
    {"04 e8 01 11 01 cc",                          4, 3, 0},
    {"04 e9 01 02 01",                             4, 3, 0},
    {"04 ea 01 02 01",                             4, 3, 0},
    {"04 eb 01 11 01 0002 aabb",                   5, 3, 0},
    {"04 f2 27",                                   2, 2, 0},
    {"04 f3 010203040506",                         2, 2, 0},
    {"04 f4",                                      2, 2, 0},
    {"04 fe 01 10 0064 0002 aabb",                 4, 3, 0},
    {"04 ff 01 10",                                4, 3, 0},
};
// clang-format on

TEST(RequestParser, EveryLayoutReadsWholeAndRefusesShortAndOverlongFrames)
{
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.frame);
        const QByteArray f = hex(l.frame);
        EXPECT_EQ(parseRequest(f).status, Request::Status::Ok);
        EXPECT_EQ(parseRequest(f.left(f.size() - 1)).status,
                  (l.lengthOk & kShortOk) ? Request::Status::Ok : Request::Status::Malformed);
        EXPECT_EQ(parseRequest(f + '\0').status,
                  (l.lengthOk & kLongOk) ? Request::Status::Ok : Request::Status::Malformed);
    }
    const Request send = parseRequest(hex("04 04 20 10 07 0001 aa"));  // client 16, echo
    EXPECT_TRUE(send.client == 16 && send.echo && send.counter == 7);
    EXPECT_EQ(parseRequest(hex("04 99 01")).status, Request::Status::Unknown);
    EXPECT_EQ(parseRequest(hex("02 f1")).status, Request::Status::Ignored);
    EXPECT_EQ(parseRequest(hex("04")).status, Request::Status::Malformed);
}

TEST(RequestParser, SegmentsJoinIntoTheFrameTheLibraryCut)
{
    Gestor_IO io;
    TLink_Request_Msg whole;
    const QByteArray data = pattern(1000, 1);
    whole.trama = hex("04 04 12 11 09") + char(1000 >> 8) + char(1000 & 0xFF) + data;
    QList<TLink_Request_Msg> segments;
    io.segmentarMSG(&segments, whole, 7);
    ASSERT_EQ(segments.size(), 3);
    SegmentJoiner joiner;
    QByteArray out;
    EXPECT_EQ(joiner.add(segments[0].trama, out), SegmentJoiner::Result::Incomplete);
    EXPECT_EQ(joiner.add(segments[1].trama, out), SegmentJoiner::Result::Incomplete);
    ASSERT_EQ(joiner.add(segments[2].trama, out), SegmentJoiner::Result::Complete);
    EXPECT_EQ(out, whole.trama);
    // A later segment without its first, or out of order: dropped, naming the frame.
    EXPECT_EQ(joiner.add(segments[1].trama, out), SegmentJoiner::Result::Malformed);
    EXPECT_EQ(toHex(out), "04 04 12 11 09");
    EXPECT_EQ(joiner.add(segments[0].trama, out), SegmentJoiner::Result::Incomplete);
    EXPECT_EQ(joiner.add(segments[2].trama, out), SegmentJoiner::Result::Malformed);
    EXPECT_EQ(joiner.add(hex("04 d2 12"), out), SegmentJoiner::Result::Malformed);
}

// Malformed frames fed to a running adapter: each is followed by a version request, whose
// answer marks that everything before it was handled.
TEST(SoftwareAdapterRequests, MalformedFramesNeverCrashAndGetAFailureStateWhereTheFormatHasOne)
{
    SoftwareAdapter adapter(SoftwareAdapter::Config(), {});
    std::mutex m;
    QList<QByteArray> answers;  // since the last frame written
    adapter.setDelivery([&](const QByteArray& f) {
        std::lock_guard<std::mutex> l(m);
        answers.append(f);
    });
    ASSERT_EQ(adapter.initializeConnection(), 0);
    const QByteArray marker = hex("04 01 7e");
    auto answersTo = [&](const QByteArray& f) {
        QList<QByteArray> out;
        const auto marked = [&] {
            std::lock_guard<std::mutex> l(m);
            out = answers;
            return !out.isEmpty() && out.last().left(3) == marker;
        };
        adapter.writeData(f.constData(), f.size());
        adapter.writeData(marker.constData(), marker.size());
        EXPECT_TRUE(waitUntil(marked));
        std::lock_guard<std::mutex> l(m);
        answers.clear();
        return out.mid(0, out.size() - 1);
    };
    EXPECT_EQ(answersTo(hex("04 07")).size(), 3);  // greeting (version), reset, status for all
    for (const Layout& l : kLayouts) {
        const QByteArray f = hex(l.frame);
        for (const QByteArray& bad : {f.left(2), f.left(f.size() - 1), f + '\0'}) {
            if (bad == f.left(2) && bad.size() == f.size())
                continue;  // the whole layout is two bytes
            if (((l.lengthOk & kLongOk) && bad.size() > f.size()) ||
                ((l.lengthOk & kShortOk) && bad.size() + 1 == f.size()))
                continue;
            SCOPED_TRACE(toHex(bad));
            const QList<QByteArray> got = answersTo(bad);
            if (l.stateAt == kNone || bad.size() < l.identifiedFrom) {
                EXPECT_LE(got.size(), 1);
                continue;
            }
            ASSERT_EQ(got.size(), 1);
            EXPECT_EQ(got[0].at(1), f.at(1));
            ASSERT_GT(got[0].size(), l.stateAt);
            EXPECT_NE(got[0].at(l.stateAt), 0) << "state";
        }
    }
    // Unknown codes are told so; wrong classes and empty frames are not answered.
    EXPECT_EQ(toHex(answersTo(hex("04 99 01")).value(0)), "04 99 0b");
    EXPECT_TRUE(answersTo(hex("07 01 00")).isEmpty());
    adapter.limpiarDescargarProxy();
}

}  // namespace
