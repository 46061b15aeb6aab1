#include "rp1210/gestion_errores.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

using namespace rp1210core::internal;

namespace {

const char* const kNoText = "The error code provided does not have an associated textual representation";
const char* const kCode503 = "No Link adapter was found, check communications between the computer and the Link";

// ObtenerMsgError into a guarded buffer: its result and the bytes up to the last one written.
std::pair<short, std::string> obtain(const GestionErrores& errores, short code)
{
    char buf[300];
    std::memset(buf, 'Z', sizeof buf);
    const short rc = errores.ObtenerMsgError(code, buf);
    size_t end = sizeof buf;
    while (end > 0 && buf[end - 1] == 'Z')
        --end;
    return {rc, std::string(buf, end)};
}
std::string cString(const std::string& text) { return text + '\0'; }

TEST(GestionErrores, ExactlyTheseCodesHaveTexts)
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
}

TEST(GestionErrores, ACodeWithoutTextGivesTheTextOf154AndReturnsIt)
{
    const GestionErrores errores;
    EXPECT_EQ(obtain(errores, 0), std::make_pair(short(0), cString("No errors")));
    EXPECT_EQ(obtain(errores, 458), std::make_pair(short(0), cString("Another application already has the baud rate set non-standard")));
    EXPECT_EQ(obtain(errores, 154), std::make_pair(short(0), cString(kNoText)));
    for (short code : {145, -1, SHRT_MIN, SHRT_MAX})
        EXPECT_EQ(obtain(errores, code), std::make_pair(short(154), cString(kNoText))) << code;
    // The typographic apostrophe is one zero byte: a C reader sees "The API DLL".
    EXPECT_EQ(obtain(errores, 137).second, cString(std::string("The API DLL\0s transmit message queue is full", 44)));
}

TEST(GestionErrores, TextsAreCutAtTheMaximumSize)
{
    GestionErrores errores;
    ASSERT_EQ(std::strlen(kCode503), 81u);
    EXPECT_EQ(obtain(errores, 503).second, cString(std::string(kCode503, 80)));
    ASSERT_EQ(errores.setMaxErrorMsgSize(81), 0);
    EXPECT_EQ(obtain(errores, 503).second, cString(kCode503));
}

TEST(CopyTextOut, NeverWritesMoreThanMaxCharsPlusOne)
{
    const QString abc = QStringLiteral("abc");
    const struct {
        QString text;
        int maxChars;
        std::string expected;
    } rows[] = {
        {abc, 4, cString("abc")}, {abc, 3, cString("abc")}, {abc, 2, cString("ab")}, {abc, 0, cString("")},
        {abc, INT_MIN, cString("")}, {QString(), 5, cString("")},
        // Latin-1 characters keep their byte; anything above 255 becomes a zero byte.
        {QString(QChar(0xFF)) + QChar(0x100) + QChar('z'), 8, std::string("\xff\0z\0", 4)},
    };
    for (const auto& row : rows) {
        char buf[16];
        std::memset(buf, 'Z', sizeof buf);
        copyTextOut(row.text, buf, row.maxChars);
        EXPECT_EQ(std::string(buf, sizeof buf), row.expected + std::string(16 - row.expected.size(), 'Z'))
            << row.text.toStdString() << " / " << row.maxChars;
    }
    copyTextOut(abc, nullptr, 3);  // must not crash
}

}  // namespace
