#include "rp1210/speeds.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace rp1210core::internal;

namespace {

// Indexed by speed value; values past the table have no text and no K-line mark.
const char* const kText[] = {"0",     "0",     "",      "200",    "600",    "1200",   "2400",    "4200",
                             "4800",  "5200",  "7200",  "7680",   "9600",   "9615",   "9800",    "10000",
                             "10400", "10870", "11905", "12500",  "13158",  "13889",  "14706",   "14400",
                             "15625", "17800", "17850", "17900",  "19200",  "38400",  "38600",   "50000",
                             "57600", "95240", "115200", "125000", "250000", "500000", "1000000", "",
                             "100000", "",     "62500", "",       "1000",   "7812",   "666666"};
const char kKLine[] = "00011111111111111111111111111111101000010111110";

TEST(Speeds, TextAndKLineMarkOfEveryValueAndTheTextWrittenWithNothingAfterIt)
{
    const int n = int(sizeof kText / sizeof *kText);
    for (int v = 0; v <= 255; ++v) {
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

TEST(Speeds, RP1210BaudCodes)
{
    // code: J1708 speed, CAN speed (0: none).
    int j1708[256] = {}, can[256] = {};
    for (auto [c, s] : {std::pair{0, 12}, {1, 28}, {2, 29}, {3, 32}, {151, 45}, {153, 42}})
        j1708[c] = s;
    for (auto [c, s] : {std::pair{4, 35}, {5, 36}, {6, 37}, {7, 38}, {152, 40}})
        can[c] = s;
    for (int c = 0; c <= 255; ++c) {
        EXPECT_EQ(translateSpeed_SetBaud_J1708(quint8(c)), j1708[c]) << c;
        EXPECT_EQ(translateSpeed_SetBaud_CAN(quint8(c)), can[c]) << c;
    }
}

}  // namespace
