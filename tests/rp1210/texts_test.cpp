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

TEST(Speeds, TextsKLineMarksAndTheEightByteBound)
{
    const struct { int v; const char* text; bool kLine; } rows[] = {
        {VELOCIDAD_NINGUNA, "0", false}, {VELOCIDAD_TODAS, "", false}, {VELOCIDAD_200, "200", true},
        {VELOCIDAD_10400, "10400", true}, {VELOCIDAD_250000, "250000", false}, {VELOCIDAD_1000000, "1000000", false},
        {VELOCIDAD_J1850_PWM, "", true}, {VELOCIDAD_666666, "666666", false}, {VELOCIDAD_666666 + 1, "", false}, {255, "", false}};
    for (const auto& r : rows) {
        EXPECT_EQ(speedText(quint8(r.v)), std::string(r.text)) << r.v;
        EXPECT_EQ(isKLineBaudRate(quint8(r.v)), r.kLine) << r.v;
        char buf[9];
        std::memset(buf, 'x', sizeof buf);
        EnumSpeed_to_StringValue(quint8(r.v), buf);  // the longest text and its zero fill 8 bytes
        EXPECT_EQ(std::string(buf, sizeof buf), r.text + std::string(1, '\0') + std::string(8 - std::strlen(r.text), 'x')) << r.v;
    }
    EnumSpeed_to_StringValue(VELOCIDAD_666666, nullptr);  // must not crash
}

}  // namespace
