// Versions, firmware text, hardware status and error texts, on the wire of the fake adapter.
#include "wire_rig.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

const char* const kNoText = "The error code provided does not have an associated textual representation";
const char* const kCode503 = "No Link adapter was found, check communications between the computer and the Link";

QByteArray guards(int n) { return QByteArray(n, 'Z'); }
std::vector<char> buffer(int n) { return std::vector<char>(size_t(n), 'Z'); }
std::string hexOf(const std::vector<char>& b) { return toHex(QByteArray(b.data(), int(b.size()))); }

// The C string at the start of the buffer; the test fails if it has no terminator.
std::string cText(const std::vector<char>& b)
{
    const auto end = std::find(b.begin(), b.end(), '\0');
    EXPECT_NE(end, b.end()) << "no terminator";
    return std::string(b.begin(), end);
}

TEST(ErrorMessages, TextsResultsAndTheMaximumSize)
{
    const std::tuple<short, unsigned short, std::string, short> rows[] = {
        {142, 80, "The device is unavailable", 0}, {145, 80, kNoText, 154}, {154, 80, kNoText, 0},
        {503, 80, std::string(kCode503).substr(0, 80), 0}, {503, 81, kCode503, 0},
        {137, 80, "The API DLL", 0}};  // a character above 255 ends the C text
    for (const auto& [code, maxSize, expected, rc] : rows) {
        GestorRP1210 g;
        if (maxSize != 80) {  // the default
            ASSERT_EQ(g.errores().setMaxErrorMsgSize(maxSize), 0);
        }
        std::vector<char> text = buffer(maxSize + 1 + 4), last = buffer(maxSize + 1);
        EXPECT_EQ(g.RP1210_GetErrorMsg(code, text.data()), rc) << code;
        EXPECT_EQ(cText(text), expected) << code;
        EXPECT_EQ(hexOf({text.end() - 4, text.end()}), toHex(guards(4))) << code;  // nothing past the maximum
        int subCode = 7;
        EXPECT_EQ(g.RP1210_GetLastErrorMsg(code, &subCode, last.data(), 1), rc);
        EXPECT_EQ(cText(last) + " " + std::to_string(subCode), expected + " -1");
    }
    // A null text buffer is refused; a null sub-code is skipped.
    GestorRP1210 g;
    int subCode = 7;
    EXPECT_EQ(g.RP1210_GetErrorMsg(142, nullptr), rp1210rc::NULL_PARAMETER);
    EXPECT_EQ(g.RP1210_GetLastErrorMsg(142, &subCode, nullptr, 1), rp1210rc::NULL_PARAMETER);
    std::vector<char> text = buffer(81);
    EXPECT_EQ(g.RP1210_GetLastErrorMsg(0, nullptr, text.data(), 1), 0);
    EXPECT_EQ(cText(text), "No errors");
}

class InfoTest : public ::testing::Test, public WireRig {
protected:
    std::vector<char> buffer_ = buffer(24);
};

TEST_F(InfoTest, VersionTextsFillExactlyTheirBytesAndTheFirmwareOnlyOnceReported)
{
    std::vector<char> a = buffer(5 + 4), b = buffer(4 + 4), c = buffer(2 + 4), d = buffer(3 + 4), only = buffer(5);
    EXPECT_EQ(g.RP1210_ReadVersion(a.data(), b.data(), c.data(), d.data()), 0);
    EXPECT_EQ(hexOf(a) + " " + hexOf(b) + " " + hexOf(c) + " " + hexOf(d),
              toHex(QByteArray("17.2", 5) + guards(4) + QByteArray("1.1", 4) + guards(4) + QByteArray("4", 2) +
                    guards(4) + QByteArray("00", 3) + guards(4)));
    EXPECT_EQ(g.RP1210_ReadVersion(nullptr, nullptr, only.data(), nullptr), 0);  // null buffers are skipped
    EXPECT_EQ(cText(only), "4");

    std::vector<char> api = buffer(5 + 3), dll = buffer(9 + 3), fw = buffer(18 + 3);
    for (short id : {0, 17, 257})
        EXPECT_EQ(g.RP1210_ReadDetailedVersion(id, api.data(), dll.data(), fw.data()), rp1210rc::INVALID_CLIENT_ID);
    EXPECT_EQ(hexOf(api) + " " + hexOf(dll) + " " + hexOf(fw), toHex(guards(41)));
    // Client 1 is not connected; the adapter is not asked; no firmware answer yet: untouched.
    EXPECT_EQ(g.RP1210_ReadDetailedVersion(1, api.data(), dll.data(), fw.data()), 0);
    EXPECT_EQ(hexOf(api) + " " + hexOf(dll) + " " + hexOf(fw),
              toHex(QByteArray("4.00", 5) + guards(3) + QByteArray("17.2.1.1", 9) + guards(3 + 21)));
    EXPECT_EQ(count(-1), 0);
    // Storing the text alone does not publish it; a firmware answer does, cut to 17 characters.
    g.set_Detailed_Version(QStringLiteral("V1"));
    EXPECT_EQ(g.RP1210_ReadDetailedVersion(1, nullptr, nullptr, fw.data()), 0);
    EXPECT_EQ(hexOf(fw), toHex(guards(21)));
    EXPECT_EQ(g.modificarEstadoDetailedVersion(QStringLiteral("ABCDEFGHIJKLMNOPQRSTU")), 0);
    EXPECT_EQ(g.RP1210_ReadDetailedVersion(16, nullptr, nullptr, fw.data()), 0);
    EXPECT_EQ(hexOf(fw), toHex(QByteArray("ABCDEFGHIJKLMNOPQ", 18) + guards(3)));
    g.set_detailedVersionEnded(RESP_SERV_PENDING);
    fw = buffer(18);
    EXPECT_TRUE(g.get_Detailed_Version(fw.data()) && hexOf(fw) == toHex(guards(18)));
}

TEST_F(InfoTest, ReadersNeverSeeATornFirmwareText)
{
    const QString a = QStringLiteral("AAAAAAAAAAAAAAAAA"), b = QStringLiteral("BBBBBBB");
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        for (int i = 0; !stop; ++i)
            g.modificarEstadoDetailedVersion(i % 2 ? a : b);
    });
    for (int i = 0; i < 2000; ++i) {
        std::vector<char> fw = buffer(18);
        if (!g.get_Detailed_Version(fw.data())) {
            ASSERT_TRUE(cText(fw) == a.toStdString() || cText(fw) == b.toStdString()) << cText(fw);
        }
    }
    stop = true;
    receiver.join();
}

TEST_F(InfoTest, HardwareStatusFillIsBoundedByTheSizeAndDoneBeforeTheIdCheck)
{
    const std::tuple<short, short, short, int> rows[] = {
        {0, 20, 129, 16}, {0, 5, 129, 5}, {0, 0, 129, 0}, {0, -3, 129, 0}, {17, 20, 129, 16},
        {3, 20, 148, 16}};  // 3: not connected
    for (const auto& [id, size, rc, zeros] : rows) {
        buffer_ = buffer(24);
        EXPECT_EQ(g.RP1210_GetHardwareStatus(id, buffer_.data(), size, 0), rc) << id << "/" << size;
        EXPECT_EQ(hexOf(buffer_), toHex(QByteArray(zeros, '0') + guards(24 - zeros))) << id << "/" << size;
    }
    EXPECT_EQ(g.RP1210_GetHardwareStatus(0, nullptr, 20, 0), 129);
    EXPECT_EQ(count(6), 0);
}

TEST_F(InfoTest, HardwareStatusRecordCountsTheClientsAndIsCutToTheBufferSize)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("ISO15765"), 2);
    // A0, clients, A1, J1939, A2, J1708, A3, CAN, A4, J1850, 6 zero bytes, A6, K-line, A7, KWP2000.
    const QByteArray record = hex("a002a101a200a300a400000000000000a600a700");
    for (short size : {24, 8}) {
        buffer_ = buffer(24);
        EXPECT_EQ(g.RP1210_GetHardwareStatus(1, buffer_.data(), size, 1), 0) << size;
        EXPECT_EQ(hexOf(buffer_), toHex(record.left(size) + guards(24 - std::min<int>(size, 20)))) << size;
    }
    EXPECT_EQ(wire(6), std::vector<std::string>(2, "04 06 01"));

    // Every protocol group; ISO 15765 counts among all clients only. Six answer bytes: A6 and A7 read 0.
    const int protocols[] = {PROTOCOLO_J1708,     PROTOCOLO_CAN,        PROTOCOLO_J1850,        PROTOCOLO_ISO9141,
                             PROTOCOLO_ISO9141_RAW, PROTOCOLO_ISO9141_1, PROTOCOLO_ISO9141_2,   PROTOCOLO_ISO9141_3,
                             PROTOCOLO_ISO9141_KB, PROTOCOLO_ISO9141_KB91, PROTOCOLO_JED677,     PROTOCOLO_GM_KLINE,
                             PROTOCOLO_ISO9141_VMAC, PROTOCOLO_KWP2000};
    for (quint8 id = 3; id <= 16; ++id)
        g.getCliente(id)->setProtocolo(quint8(protocols[id - 3])), g.getCliente(id)->setConectado(true);
    g.SetHardwareSatusResponse(3, hex("111213141516"));
    std::vector<char> all = buffer(20);
    g.getCliente(3)->getBufferHardwareStatus(all.data(), 20);
    EXPECT_EQ(hexOf(all), toHex(hex("11101201130114011501000000000000000a0001")));
}

TEST_F(InfoTest, HardwareStatusSilenceRefusalAndDisconnect)
{
    ASSERT_EQ(connect("J1939"), 1);
    silence(6);
    const auto [rc, seconds] = runWhileClockMoves([this] { return g.RP1210_GetHardwareStatus(1, buffer_.data(), 20, 0); });
    EXPECT_TRUE(rc == rp1210rc::HARDWARE_NOT_RESPONDING && seconds >= 5 && seconds < 5 + 60) << rc << " " << seconds;
    EXPECT_EQ(hexOf(buffer_), toHex(QByteArray(16, '0') + guards(8)));
    // A refusal, which no answer frame carries, is mapped.
    onService(6, [this](const QByteArray& w) {
        g.modificarEstadoServicio(quint8(w[2]), SERV_ESTADO_HARDWARE, RESP_SERV_NOT_SUPPORTED);
        return QList<QByteArray>();
    });
    EXPECT_EQ(g.RP1210_GetHardwareStatus(1, buffer_.data(), 20, 0), rp1210rc::INVALID_PROTOCOL);
    // With the clock still, only a disconnect can end the wait, blocking or not.
    silence(6);
    for (short block : {1, 0}) {
        if (!block) {
            ASSERT_EQ(connect("J1939"), 1);
        }
        const int requests = count(6);
        auto status = std::async(std::launch::async, [&] { return g.RP1210_GetHardwareStatus(1, buffer_.data(), 20, block); });
        ASSERT_TRUE(waitUntil([&] { return count(6) == requests + 1; }));
        auto disconnect = std::async(std::launch::async, [&] { return g.RP1210_ClientDisconnect(1); });
        const bool ended = status.wait_for(5s) == std::future_status::ready;
        if (!ended)
            clock.advanceSeconds(10);  // let the stuck wait time out so the test can fail cleanly
        EXPECT_TRUE(ended) << "block " << block;
        EXPECT_EQ(status.get(), rp1210rc::CLIENT_DISCONNECTED) << "block " << block;
        EXPECT_TRUE(disconnect.get() == 0 && !g.getCliente(1)->getConectado());
    }
}

}  // namespace
