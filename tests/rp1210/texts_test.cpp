// Error and speed texts and the bounded copy; what RP1210_GetErrorMsg returns: info_test.cpp.
#include "rp1210/gestion_errores.h"
#include "rp1210/speeds.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

using namespace rp1210core::internal;

namespace {

TEST(ErrorTexts, ExactlyTheseCodesHaveTextsAndTheCopyIsBounded)
{
    const std::set<int> withText = {0,   1,   2,   3,   4,   5,   8,   9,   10,  11,  12,  13,  14,  15,  128,
                                    129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143,
                                    144, 146, 148, 149, 151, 152, 153, 154, 155, 156, 157, 159, 227, 454, 456,
                                    457, 458, 501, 502, 503, 504, 505, 506, 507, 509, 510, 600, 601, 602, 603};
    for (int code = SHRT_MIN; code <= SHRT_MAX; ++code) {
        const QString text = GestionErrores::textFor(short(code));
        if (withText.count(code) ? text.isEmpty() : !text.isNull())
            ADD_FAILURE() << "code " << code;
    }
    char buf[8];
    // The copy writes at most maxChars characters and a zero: Latin-1 as its byte, others as a zero.
    std::memset(buf, 'Z', sizeof buf);
    copyTextOut(QString(QChar(0xFF)) + QChar(0x100) + QChar('z'), buf, 2);
    EXPECT_EQ(std::string(buf, 4), std::string("\xff\0\0Z", 4));
    copyTextOut(QStringLiteral("abc"), buf, INT_MIN);
    EXPECT_EQ(std::string(buf, 4), std::string("\0\0\0Z", 4));
    copyTextOut(QStringLiteral("abc"), nullptr, 3);  // must not crash
}

// Indexed by speed value; values past the table have no text and no K-line mark.
const char* const kText[] = {"0",     "0",     "",      "200",    "600",    "1200",   "2400",    "4200",
                             "4800",  "5200",  "7200",  "7680",   "9600",   "9615",   "9800",    "10000",
                             "10400", "10870", "11905", "12500",  "13158",  "13889",  "14706",   "14400",
                             "15625", "17800", "17850", "17900",  "19200",  "38400",  "38600",   "50000",
                             "57600", "95240", "115200", "125000", "250000", "500000", "1000000", "",
                             "100000", "",     "62500", "",       "1000",   "7812",   "666666"};
const char kKLine[] = "00011111111111111111111111111111101000010111110";

TEST(Speeds, TextAndKLineMarkOfEveryValue)
{
    for (int v = 0, n = int(sizeof kText / sizeof *kText); v <= 255; ++v) {
        const std::string text = v < n ? kText[v] : "";
        EXPECT_EQ(speedText(quint8(v)), text) << v;
        EXPECT_EQ(isKLineBaudRate(quint8(v)), v < n && kKLine[v] == '1') << v;
        char buf[9];
        std::memset(buf, 'x', sizeof buf);
        EnumSpeed_to_StringValue(quint8(v), buf);
        EXPECT_EQ(std::string(buf, sizeof buf), text + '\0' + std::string(8 - text.size(), 'x')) << v;
    }
    EnumSpeed_to_StringValue(VELOCIDAD_666666, nullptr);  // must not crash
}

}  // namespace
