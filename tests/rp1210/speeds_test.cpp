#include "rp1210/speeds.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

using namespace rp1210core::internal;

namespace {

// Every speed value with its decimal text and K-line mark; other values have neither.
struct SpeedRow {
    int value;
    const char* text;
    bool kLine;
};
constexpr SpeedRow kSpeedRows[] = {
    {0, "0", false},        {1, "0", false},        {2, "", false},         {3, "200", true},
    {4, "600", true},       {5, "1200", true},      {6, "2400", true},      {7, "4200", true},
    {8, "4800", true},      {9, "5200", true},      {10, "7200", true},     {11, "7680", true},
    {12, "9600", true},     {13, "9615", true},     {14, "9800", true},     {15, "10000", true},
    {16, "10400", true},    {17, "10870", true},    {18, "11905", true},    {19, "12500", true},
    {20, "13158", true},    {21, "13889", true},    {22, "14706", true},    {23, "14400", true},
    {24, "15625", true},    {25, "17800", true},    {26, "17850", true},    {27, "17900", true},
    {28, "19200", true},    {29, "38400", true},    {30, "38600", true},    {31, "50000", true},
    {32, "57600", true},    {33, "95240", false},   {34, "115200", true},   {35, "125000", false},
    {36, "250000", false},  {37, "500000", false},  {38, "1000000", false}, {39, "", true},
    {40, "100000", false},  {41, "", true},         {42, "62500", true},    {43, "", true},
    {44, "1000", true},     {45, "7812", true},     {46, "666666", false},
};

TEST(Speeds, DecimalTextAndKLineMarkOfEveryValue)
{
    std::map<int, SpeedRow> rows;
    for (const SpeedRow& row : kSpeedRows)
        rows[row.value] = row;

    for (int value = 0; value <= 255; ++value) {
        SCOPED_TRACE(value);
        const auto it = rows.find(value);
        const std::string expectedText = it == rows.end() ? "" : it->second.text;
        const bool expectedKLine = it != rows.end() && it->second.kLine;
        const auto v = static_cast<unsigned char>(value);

        EXPECT_EQ(std::string(speedText(v)), expectedText);
        EXPECT_EQ(isKLineBaudRate(v), expectedKLine);

        // Guarded buffer: only the text and its terminator, never more than 8 bytes.
        char buffer[16];
        std::memset(buffer, 0x5A, sizeof buffer);
        EnumSpeed_to_StringValue(v, buffer);
        const size_t written = expectedText.size() + 1;
        ASSERT_LE(written, 8u);
        EXPECT_EQ(std::string(buffer, written - 1), expectedText);
        EXPECT_EQ(buffer[written - 1], '\0');
        for (size_t i = written; i < sizeof buffer; ++i)
            EXPECT_EQ(buffer[i], 0x5A) << "byte " << i << " written";
    }
}

TEST(Speeds, EnumSpeedToStringValueFillsAtMostEightBytesAndToleratesNull)
{
    char buffer[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EnumSpeed_to_StringValue(VELOCIDAD_1000000, buffer);  // the longest text fills all 8 bytes
    EXPECT_STREQ(buffer, "1000000");
    EnumSpeed_to_StringValue(VELOCIDAD_666666, nullptr);  // must not crash
}

TEST(Speeds, RP1210BaudCodes)
{
    const std::map<int, int> j1708 = {{0, 12}, {1, 28}, {2, 29}, {3, 32}, {151, 45}, {153, 42}};
    const std::map<int, int> can = {{4, 35}, {5, 36}, {6, 37}, {7, 38}, {152, 40}};
    auto expected = [](const std::map<int, int>& m, int code) { return m.count(code) ? m.at(code) : 0; };
    for (int code = 0; code <= 255; ++code) {
        EXPECT_EQ(translateSpeed_SetBaud_J1708(static_cast<unsigned char>(code)), expected(j1708, code)) << code;
        EXPECT_EQ(translateSpeed_SetBaud_CAN(static_cast<unsigned char>(code)), expected(can, code)) << code;
    }
}

}  // namespace
