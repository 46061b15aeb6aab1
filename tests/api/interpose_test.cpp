// A program that exports the RP1210 names itself and loads the driver with RTLD_GLOBAL,
// as some applications do: the driver's calls must stay its own.
#include "library.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {
std::atomic<int> ownCalls{0};
}

// The program's own functions of the same names: a wrapper or an older driver linked in.
extern "C" {
short RP1210_ClientConnect(void*, short, const char*, long, long, short) { return ++ownCalls, ERR_INVALID_DEVICE; }
short RP1210_ClientDisconnect(short) { return ++ownCalls, ERR_INVALID_CLIENT_ID; }
short RP1210_SendMessage(short, char*, short, short, short) { return ++ownCalls, ERR_INVALID_CLIENT_ID; }
short RP1210_ReadMessage(short, char*, short, short) { return ++ownCalls, -ERR_INVALID_CLIENT_ID; }
short RP1210_SendCommand(short, short, char*, short) { return ++ownCalls, ERR_INVALID_CLIENT_ID; }
void RP1210_ReadVersion(char*, char*, char*, char*) { ++ownCalls; }
short RP1210_ReadDetailedVersion(short, char*, char*, char*) { return ++ownCalls, ERR_INVALID_CLIENT_ID; }
short RP1210_GetHardwareStatus(short, char*, short, short) { return ++ownCalls, ERR_INVALID_CLIENT_ID; }
short RP1210_GetErrorMsg(short, char* t) { return ++ownCalls, t[0] = 0, 0; }
short RP1210_GetLastErrorMsg(short, int*, char* t, short) { return ++ownCalls, t[0] = 0, 0; }
short RP1210_Ioctl(short, long, void*, void*) { return ++ownCalls, ERR_INVALID_CLIENT_ID; }
}

TEST(Interposition, TheDriverLoadedGloballyKeepsItsOwnCalls)
{
    Rp1210Library rp(RTLD_NOW | RTLD_GLOBAL);
    ASSERT_TRUE(rp.complete()) << dlerror();
    ASSERT_NE(reinterpret_cast<void*>(rp.ClientConnect), reinterpret_cast<void*>(&RP1210_ClientConnect));

    const short id = rp.connectOpen("J1939:Baud=250");
    ASSERT_GE(id, 1);
    ASSERT_LE(id, 16);
    EXPECT_FALSE(rp.readUntil(id, [](const QByteArray& m) { return pgnOf(m) == 61444; }).isEmpty());
    char text[81] = {};
    int sub = 0;
    EXPECT_EQ(rp.GetLastErrorMsg(ERR_INVALID_DEVICE, &sub, text, id), 0);
    EXPECT_STREQ(text, "The specified device ID is invalid");
    EXPECT_EQ(rp.ClientDisconnect(id), 0);
    ASSERT_EQ(rp.close(), 0);
    EXPECT_EQ(ownCalls.load(), 0);
}
