// J1708 framing: built messages carry the checksum and respect the 21-byte limit; received
// ones are checked on length and checksum.
#include "adapter/j1708_framing.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

using namespace rp1210core::adapter;

TEST(J1708Framing, BuildAndCheck)
{
    const char* const longest = "80 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 c2";
    const std::pair<int, const char*> built[] = {  // data bytes pattern(n, 1) after MID 0x80; nullptr: refused
        {0, "80 80"}, {3, "80 01 02 03 7a"}, {19, longest}, {20, nullptr}, {-1, nullptr}};
    for (const auto& [size, expected] : built) {
        QByteArray out("stale");
        const int n = j1708::buildMessage(0x80, ubytes(pattern(size > 0 ? size : 0, 1)), size, out);
        EXPECT_EQ(toHex(out), toHex(hex(expected ? expected : ""))) << size;
        EXPECT_EQ(n, expected ? out.size() : -1);
    }
    const std::pair<const char*, bool> received[] = {
        {"80 be 10 00 b2", true}, {"80 be 10 00 b3", false}, {"ff 01 00", true}, {"80", false}, {"", false},
        {longest, true}, {"80 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 ae", false},  // 22 bytes
    };
    for (const auto& [text, valid] : received)
        EXPECT_EQ(j1708::checkMessage(hex(text)), valid) << text;
}
