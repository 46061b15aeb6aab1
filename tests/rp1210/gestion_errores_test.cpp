#include "rp1210/gestion_errores.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace rp1210core::internal;

namespace {

constexpr char kGuard = 0x5A;
constexpr int kBufferSize = 300;

const char* const kNoText = "The error code provided does not have an associated textual representation";
const char* const kCode503 = "No Link adapter was found, check communications between the computer and the Link";

// Runs ObtenerMsgError into a guarded buffer; returns the bytes up to the first untouched one.
struct Output {
    short rc;
    std::vector<char> bytes;
};

Output obtain(const GestionErrores& errores, short code)
{
    std::vector<char> buffer(kBufferSize, kGuard);
    const short rc = errores.ObtenerMsgError(code, buffer.data());
    int end = kBufferSize;
    while (end > 0 && buffer[end - 1] == kGuard)
        --end;
    return Output{rc, std::vector<char>(buffer.begin(), buffer.begin() + end)};
}

std::vector<char> cString(const std::string& text)
{
    std::vector<char> bytes(text.begin(), text.end());
    bytes.push_back('\0');
    return bytes;
}

TEST(GestionErrores, ExactlyTheseCodesHaveTexts)
{
    const std::set<int> withText = {0,   1,   2,   3,   4,   5,   8,   9,   10,  11,  12,  13,  14,  15,  128,
                                    129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143,
                                    144, 146, 148, 149, 151, 152, 153, 154, 155, 156, 157, 159, 227, 454, 456,
                                    457, 458, 501, 502, 503, 504, 505, 506, 507, 509, 510, 600, 601, 602, 603};
    for (int code = SHRT_MIN; code <= SHRT_MAX; ++code) {
        const QString text = GestionErrores::textFor(static_cast<short>(code));
        if (withText.count(code)) {
            EXPECT_FALSE(text.isEmpty()) << code;
        } else if (!text.isNull()) {
            ADD_FAILURE() << "code " << code << " has an unexpected text";
        }
    }
}

TEST(GestionErrores, ObtenerMsgErrorResultsAndTexts)
{
    const struct {
        short code, rc;
        const char* text;
    } rows[] = {
        {0, 0, "No errors"},
        {142, 0, "The device is unavailable"},
        {136, 0, "The specified protocol is invalid or the extended connect string was incorrect"},
        {506, 0, "The requested pinout is not supported, check .ini file"},
        {1, 0, "Service negative response recived from de Hardware device"},
        {454, 0, "Another application already has the baud rate set non-standard"},
        {458, 0, "Another application already has the baud rate set non-standard"},
        {603, 0, "The baud rate could not be determined"},
        {154, 0, kNoText},
        {145, 154, kNoText},
        {-1, 154, kNoText},
        {-142, 154, kNoText},
        {455, 154, kNoText},
        {511, 154, kNoText},
        {SHRT_MIN, 154, kNoText},
        {SHRT_MAX, 154, kNoText},
    };
    GestionErrores errores;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        const Output out = obtain(errores, row.code);
        EXPECT_EQ(out.rc, row.rc);
        EXPECT_EQ(out.bytes, cString(row.text));
    }
}

TEST(GestionErrores, MaxErrorMsgSizeCutsLongTextsAndRefusesSizesUpTo80)
{
    const struct {
        unsigned short size;
        short rc;
        unsigned short after;
    } rows[] = {{80, 144, 80}, {0, 144, 80}, {79, 144, 80}, {81, 0, 81}, {65535, 0, 65535}};
    for (const auto& row : rows) {
        GestionErrores errores;
        EXPECT_EQ(errores.setMaxErrorMsgSize(row.size), row.rc) << row.size;
        EXPECT_EQ(errores.getMaxErrorMsgSize(), row.after) << row.size;
    }
    GestionErrores errores;
    ASSERT_EQ(std::strlen(kCode503), 81u);
    const Output cut = obtain(errores, 503);
    EXPECT_EQ(cut.rc, 0);
    EXPECT_EQ(cut.bytes, cString(std::string(kCode503, 80)));  // 81 bytes written
    ASSERT_EQ(errores.setMaxErrorMsgSize(200), 0);
    EXPECT_EQ(obtain(errores, 503).bytes, cString(kCode503));
    EXPECT_EQ(errores.setMaxErrorMsgSize(10), 144);  // a refused size keeps the one set before
    EXPECT_EQ(errores.getMaxErrorMsgSize(), 200);
}

TEST(GestionErrores, TypographicApostropheBecomesZeroByte)
{
    const QString text = GestionErrores::textFor(137);
    ASSERT_EQ(text.size(), 44);
    EXPECT_EQ(text.at(11).unicode(), 0x2019);
    EXPECT_EQ(text, QStringLiteral("The API DLL") + QChar(0x2019) + QStringLiteral("s transmit message queue is full"));

    // One byte per character: a C reader sees "The API DLL"; nothing past the text is written.
    const Output out = obtain(GestionErrores(), 137);
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.bytes, cString(std::string("The API DLL\0s transmit message queue is full", 44)));
}

TEST(CopyTextOut, NeverWritesMoreThanMaxCharsPlusOne)
{
    const QString abc = QStringLiteral("abc");
    const struct {
        QString text;
        int maxChars;
        std::vector<char> expected;
    } rows[] = {
        {abc, 10, {'a', 'b', 'c', '\0'}},
        {abc, 3, {'a', 'b', 'c', '\0'}},
        {abc, 2, {'a', 'b', '\0'}},
        {abc, 1, {'a', '\0'}},
        {abc, 0, {'\0'}},
        {abc, -7, {'\0'}},
        {abc, INT_MIN, {'\0'}},
        {QString(), 5, {'\0'}},
        {QString(), 0, {'\0'}},
        // Latin-1 characters keep their byte; anything above 255 becomes a zero byte.
        {QString(QChar(0xE9)) + QChar(0xFF) + QChar(0x100) + QChar('z'), 8,
         {static_cast<char>(0xE9), static_cast<char>(0xFF), '\0', 'z', '\0'}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.text.toStdString() << " / " << row.maxChars);
        char buffer[16];
        std::memset(buffer, kGuard, sizeof buffer);
        copyTextOut(row.text, buffer, row.maxChars);
        const size_t n = row.expected.size();
        EXPECT_EQ(std::vector<char>(buffer, buffer + n), row.expected);
        for (size_t i = n; i < sizeof buffer; ++i)
            EXPECT_EQ(buffer[i], kGuard) << "byte " << i << " written";
    }
    copyTextOut(abc, nullptr, 3);  // must not crash
}

}  // namespace
