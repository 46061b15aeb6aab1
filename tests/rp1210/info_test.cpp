// Versions, firmware text, hardware status and error texts against a fake adapter.
#include "support/manager_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr char kGuard = 0x5A;
constexpr int kSlackSeconds = 60;  // clock ticks the test thread may add around a wait

const char* const kNoText = "The error code provided does not have an associated textual representation";
const char* const kCode503 = "No Link adapter was found, check communications between the computer and the Link";

std::string hex(const std::vector<char>& buffer)
{
    return QByteArray(buffer.data(), int(buffer.size())).toHex().toStdString();
}

std::string guards(int n)
{
    return QByteArray(n, kGuard).toHex().toStdString();
}

// The C string at the start of buffer; the test fails if it has no terminator.
std::string cText(const std::vector<char>& buffer)
{
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    EXPECT_NE(end, buffer.end()) << "no terminator";
    return std::string(buffer.begin(), end);
}

TEST(ErrorMessages, TextsResultsAndTheMaximumSize)
{
    struct Row {
        short code;
        unsigned short maxSize;
        std::string text;
        short rc;
    };
    const Row rows[] = {
        {142, 80, "The device is unavailable", 0},
        {145, 80, kNoText, 154},
        {-1, 80, kNoText, 154},
        {154, 80, kNoText, 0},
        {503, 80, std::string(kCode503).substr(0, 80), 0},
        {503, 81, kCode503, 0},
        {145, 81, kNoText, 154},
        {137, 80, "The API DLL", 0},  // a character above 255 ends the C text
    };
    for (const Row& r : rows) {
        GestorRP1210 g;
        if (r.maxSize != 80) {
            ASSERT_EQ(g.errores().setMaxErrorMsgSize(r.maxSize), 0);
        }
        std::vector<char> buffer(r.maxSize + 1 + 8, kGuard);
        EXPECT_EQ(g.RP1210_GetErrorMsg(r.code, buffer.data()), r.rc) << r.code << "/" << r.maxSize;
        EXPECT_EQ(cText(buffer), r.text) << r.code << "/" << r.maxSize;
        // Nothing beyond the maximum and its terminator.
        EXPECT_EQ(hex(std::vector<char>(buffer.begin() + r.maxSize + 1, buffer.end())), guards(8)) << r.code;

        std::vector<char> last(r.maxSize + 1, kGuard);
        int subCode = 7;
        EXPECT_EQ(g.RP1210_GetLastErrorMsg(r.code, &subCode, last.data(), 1), r.rc);
        EXPECT_EQ(subCode, -1);
        EXPECT_EQ(cText(last), r.text);
    }

    // A null text buffer is refused and nothing is written; a null sub-code is skipped.
    GestorRP1210 g;
    int subCode = 7;
    EXPECT_EQ(g.RP1210_GetErrorMsg(142, nullptr), rp1210rc::NULL_PARAMETER);
    EXPECT_EQ(g.RP1210_GetLastErrorMsg(142, &subCode, nullptr, 1), rp1210rc::NULL_PARAMETER);
    std::vector<char> text(81, kGuard);
    EXPECT_EQ(g.RP1210_GetLastErrorMsg(0, nullptr, text.data(), 1), 0);
    EXPECT_EQ(cText(text), "No errors");
}

TEST(Versions, FixedTextsFillExactlyTheirBytes)
{
    GestorRP1210 g;
    // Each buffer is the text's size plus guards, so any extra byte shows.
    std::vector<char> dllMajor(5 + 4, kGuard), dllMinor(4 + 4, kGuard), apiMajor(2 + 4, kGuard),
        apiMinor(3 + 4, kGuard);
    EXPECT_EQ(g.RP1210_ReadVersion(dllMajor.data(), dllMinor.data(), apiMajor.data(), apiMinor.data()), 0);
    EXPECT_EQ(hex(dllMajor), "31372e3200" + guards(4));
    EXPECT_EQ(hex(dllMinor), "312e3100" + guards(4));
    EXPECT_EQ(hex(apiMajor), "3400" + guards(4));
    EXPECT_EQ(hex(apiMinor), "303000" + guards(4));

    // Null buffers are skipped; the others are still written.
    std::vector<char> only(5, kGuard);
    EXPECT_EQ(g.RP1210_ReadVersion(nullptr, nullptr, only.data(), nullptr), 0);
    EXPECT_EQ(cText(only), "4");
}

class DetailedVersionTest : public ::testing::Test, public ManagerRig {};

TEST_F(DetailedVersionTest, TextsForAnyValidClientAndTheFirmwareOnlyOnceReported)
{
    for (short id : {0, 17, -1, 257}) {
        std::vector<char> api(8, kGuard), dll(12, kGuard), fw(20, kGuard);
        EXPECT_EQ(g.RP1210_ReadDetailedVersion(id, api.data(), dll.data(), fw.data()), rp1210rc::INVALID_CLIENT_ID);
        EXPECT_EQ(hex(api) + hex(dll) + hex(fw), guards(40)) << id;
    }

    // Client 1 is not connected; the adapter is not asked.
    std::vector<char> api(5 + 3, kGuard), dll(9 + 3, kGuard), fw(18 + 3, kGuard);
    EXPECT_EQ(g.RP1210_ReadDetailedVersion(1, api.data(), dll.data(), fw.data()), 0);
    EXPECT_EQ(hex(api), QByteArray("4.00", 5).toHex().toStdString() + guards(3));
    EXPECT_EQ(hex(dll), QByteArray("17.2.1.1", 9).toHex().toStdString() + guards(3));
    EXPECT_EQ(hex(fw), guards(21));  // no firmware answer yet: untouched
    EXPECT_TRUE(out.calls().empty());

    // Storing the text alone does not publish it.
    g.set_Detailed_Version(QStringLiteral("V1"));
    EXPECT_EQ(g.RP1210_ReadDetailedVersion(1, nullptr, nullptr, fw.data()), 0);
    EXPECT_EQ(hex(fw), guards(21));

    // A firmware answer is published; a text above 17 characters is cut.
    EXPECT_EQ(g.modificarEstadoDetailedVersion(QStringLiteral("ABCDEFGHIJKLMNOPQRSTU")), 0);
    EXPECT_EQ(g.get_detailedVersionEnded(), RESP_SERV_OK);
    EXPECT_EQ(g.RP1210_ReadDetailedVersion(16, nullptr, nullptr, fw.data()), 0);
    EXPECT_EQ(hex(fw), QByteArray("ABCDEFGHIJKLMNOPQ", 18).toHex().toStdString() + guards(3));
    EXPECT_TRUE(g.get_Detailed_Version(nullptr));

    g.set_detailedVersionEnded(RESP_SERV_PENDING);
    std::vector<char> again(18, kGuard);
    EXPECT_TRUE(g.get_Detailed_Version(again.data()));
    EXPECT_EQ(hex(again), guards(18));
}

TEST_F(DetailedVersionTest, ReadersNeverSeeATornFirmwareText)
{
    const QString a = QStringLiteral("AAAAAAAAAAAAAAAAA");
    const QString b = QStringLiteral("BBBBBBB");
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        for (int i = 0; !stop; ++i)
            g.modificarEstadoDetailedVersion(i % 2 ? a : b);
    });
    for (int i = 0; i < 2000; ++i) {
        std::vector<char> fw(18, kGuard);
        if (!g.get_Detailed_Version(fw.data())) {
            ASSERT_TRUE(cText(fw) == a.toStdString() || cText(fw) == b.toStdString()) << cText(fw);
        }
    }
    stop = true;
    receiver.join();
}

class HardwareStatusTest : public ::testing::Test, public ManagerRig {
protected:
    HardwareStatusTest()
    {
        out.answerConnect(RESP_SERV_OK);
        out.answerDisconnect(RESP_SERV_OK);
    }

    void answerStatus(const char* hexBytes)
    {
        const QByteArray bytes = QByteArray::fromHex(hexBytes);
        out.respond("GenerarTrama_GetHardwareStatus", [bytes](GestorRP1210& gestor, const OutputCall& c) {
            gestor.SetHardwareSatusResponse(quint8(c.args[0]), bytes);
        });
    }

    std::vector<char> buffer_ = std::vector<char>(24, kGuard);
};

TEST_F(HardwareStatusTest, FillIsBoundedByTheSizeAndDoneBeforeTheIdCheck)
{
    struct Row {
        short id;
        short size;
        short rc;
        std::string bytes;  // the whole 24-byte buffer afterwards
    };
    const std::string zeros16 = QByteArray(16, '0').toHex().toStdString();
    const Row rows[] = {
        {0, 20, 129, zeros16 + guards(8)},
        {17, 16, 129, zeros16 + guards(8)},
        {0, 5, 129, QByteArray(5, '0').toHex().toStdString() + guards(19)},
        {0, 0, 129, guards(24)},
        {0, -3, 129, guards(24)},
        {3, 20, 148, zeros16 + guards(8)},  // valid id, not connected
    };
    for (const Row& r : rows) {
        buffer_.assign(24, kGuard);
        EXPECT_EQ(g.RP1210_GetHardwareStatus(r.id, buffer_.data(), r.size, 0), r.rc) << r.id << "/" << r.size;
        EXPECT_EQ(hex(buffer_), r.bytes) << r.id << "/" << r.size;
    }
    EXPECT_EQ(g.RP1210_GetHardwareStatus(0, nullptr, 20, 0), 129);
    EXPECT_EQ(out.count("GenerarTrama_GetHardwareStatus"), 0);
}

TEST_F(HardwareStatusTest, RecordCountsTheConnectedClientsAndIsCutToTheBufferSize)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("ISO15765"), 2);
    answerStatus("a0a1a2a3a4a5a6a7");
    // A0, clients, A1, J1939, A2, J1708, A3, CAN, A4, J1850, 6 zero bytes, A6, K-line, A7, KWP2000.
    const std::string record = "a002a101a200a300a400000000000000a600a700";
    struct Row {
        short size;
        std::string bytes;
    };
    const Row rows[] = {
        {20, record + guards(4)},
        {24, record + guards(4)},
        {18, record.substr(0, 36) + guards(6)},
        {8, record.substr(0, 16) + guards(16)},
    };
    for (const Row& r : rows) {
        buffer_.assign(24, kGuard);
        EXPECT_EQ(g.RP1210_GetHardwareStatus(1, buffer_.data(), r.size, 1), 0) << r.size;
        EXPECT_EQ(hex(buffer_), r.bytes) << r.size;
    }
    EXPECT_EQ(out.calls("GenerarTrama_GetHardwareStatus").back().args, std::vector<int>{1});
}

TEST_F(HardwareStatusTest, RecordCountsEveryProtocolGroup)
{
    struct Client {
        quint8 id;
        int protocolo;
    };
    const Client clients[] = {
        {1, PROTOCOLO_J1708},      {2, PROTOCOLO_J1708},       {3, PROTOCOLO_CAN},
        {4, PROTOCOLO_J1850},      {5, PROTOCOLO_ISO9141},     {6, PROTOCOLO_ISO9141_RAW},
        {7, PROTOCOLO_ISO9141_1},  {8, PROTOCOLO_ISO9141_2},   {9, PROTOCOLO_ISO9141_3},
        {10, PROTOCOLO_ISO9141_KB}, {11, PROTOCOLO_ISO9141_KB91}, {12, PROTOCOLO_JED677},
        {13, PROTOCOLO_GM_KLINE},  {14, PROTOCOLO_ISO9141_VMAC}, {15, PROTOCOLO_KWP2000},
        {16, PROTOCOLO_TP20},  // counted among all clients only
    };
    for (const Client& c : clients) {
        g.getCliente(c.id)->setProtocolo(c.protocolo);
        g.getCliente(c.id)->setConectado(true);
    }
    // Six answer bytes: A6 and A7 read as 0.
    g.SetHardwareSatusResponse(3, QByteArray::fromHex("111213141516"));
    std::vector<char> record(20, kGuard);
    g.getCliente(3)->getBufferHardwareStatus(record.data(), 20);
    EXPECT_EQ(hex(record), "11101200130214011501000000000000000a0001");
    EXPECT_EQ(g.getCliente(3)->getServiceRequestState(SERV_ESTADO_HARDWARE), RESP_SERV_OK);
}

TEST_F(HardwareStatusTest, AnswersThatBuildNoRecordChangeNothing)
{
    Cliente* one = g.getCliente(1);
    one->setProtocolo(PROTOCOLO_J1939);
    one->setConectado(true);
    one->setServiceRequestState(SERV_ESTADO_HARDWARE, RESP_SERV_PENDING);
    g.getCliente(2)->setServiceRequestState(SERV_ESTADO_HARDWARE, RESP_SERV_PENDING);

    g.SetHardwareSatusResponse(1, QByteArray::fromHex("0102030405"));  // five bytes: too short
    g.SetHardwareSatusResponse(2, QByteArray::fromHex("010203040506"));  // client not connected
    g.SetHardwareSatusResponse(0, QByteArray::fromHex("010203040506"));  // no such client
    EXPECT_EQ(one->getServiceRequestState(SERV_ESTADO_HARDWARE), RESP_SERV_PENDING);
    EXPECT_EQ(g.getCliente(2)->getServiceRequestState(SERV_ESTADO_HARDWARE), RESP_SERV_PENDING);
    EXPECT_EQ(g.getIsHardwareStatusEnded(), RESP_SERV_PENDING);

    // Client 255 is the adapter as a whole: only the manager's slot changes.
    g.SetHardwareSatusResponse(255, QByteArray::fromHex("010203040506"));
    EXPECT_EQ(g.getIsHardwareStatusEnded(), RESP_SERV_OK);
    EXPECT_EQ(one->getServiceRequestState(SERV_ESTADO_HARDWARE), RESP_SERV_PENDING);
    std::vector<char> record(4, kGuard);
    one->getBufferHardwareStatus(record.data(), 4);
    EXPECT_EQ(hex(record), guards(4));
}

TEST_F(HardwareStatusTest, SilentAdapterGives142AfterFiveSecondsAndARefusalIsMapped)
{
    ASSERT_EQ(connect("J1939"), 1);
    const auto [rc, seconds] = runWhileClockMoves([this] { return g.RP1210_GetHardwareStatus(1, buffer_.data(), 20, 0); });
    EXPECT_EQ(rc, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 5);
    EXPECT_LT(seconds, 5 + kSlackSeconds);
    EXPECT_EQ(hex(buffer_), QByteArray(16, '0').toHex().toStdString() + guards(8));

    out.respond("GenerarTrama_GetHardwareStatus", [](GestorRP1210& gestor, const OutputCall& c) {
        gestor.modificarEstadoServicio(quint8(c.args[0]), SERV_ESTADO_HARDWARE, RESP_SERV_NOT_SUPPORTED);
    });
    EXPECT_EQ(g.RP1210_GetHardwareStatus(1, buffer_.data(), 20, 0), rp1210rc::INVALID_PROTOCOL);
}

TEST_F(HardwareStatusTest, DisconnectDuringTheWaitEndsItWith148)
{
    for (short block : {1, 0}) {
        ASSERT_EQ(connect("J1939"), 1);
        const int requests = out.count("GenerarTrama_GetHardwareStatus");
        // The adapter stays silent and the clock does not move: only the disconnect can end the wait.
        auto status = std::async(std::launch::async, [&] { return g.RP1210_GetHardwareStatus(1, buffer_.data(), 20, block); });
        ASSERT_TRUE(out.waitForCount("GenerarTrama_GetHardwareStatus", requests + 1));
        auto disconnect = std::async(std::launch::async, [&] { return g.RP1210_ClientDisconnect(1); });
        const bool ended = status.wait_for(5s) == std::future_status::ready;
        if (!ended)
            clock.advanceSeconds(10);  // let the stuck wait time out so the test can fail cleanly
        EXPECT_TRUE(ended) << "block " << block;
        EXPECT_EQ(status.get(), rp1210rc::CLIENT_DISCONNECTED) << "block " << block;
        EXPECT_EQ(disconnect.get(), 0);
        EXPECT_FALSE(g.getCliente(1)->getConectado());
    }
}

TEST_F(HardwareStatusTest, EveryRoundTripReturnsItsOwnAnswer)
{
    ASSERT_EQ(connect("J1939"), 1);
    std::atomic<int> answered{0};
    out.respond("GenerarTrama_GetHardwareStatus", [&answered](GestorRP1210& gestor, const OutputCall& c) {
        const char n = char(answered++);
        gestor.SetHardwareSatusResponse(quint8(c.args[0]), QByteArray(8, n));
    });
    for (int i = 0; i < 300; ++i) {
        std::vector<char> record(20, kGuard);
        ASSERT_EQ(g.RP1210_GetHardwareStatus(1, record.data(), 20, i % 2), 0);
        // A waiter that sees the answer's state also sees the answer's bytes.
        ASSERT_EQ(quint8(record[0]), quint8(i)) << i;
        ASSERT_EQ(quint8(record[18]), quint8(i)) << i;
    }
}

}  // namespace
