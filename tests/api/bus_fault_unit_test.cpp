// The driver's answer to a CAN interface's trouble: a bus-off refuses sends while it
// lasts, a vanished interface fails the link, and the client's last error text is the
// interface's own words.
#include "api/driver.h"
#include "rp1210/gestor_rp1210.h"

#include <gtest/gtest.h>

using rp1210core::api::Driver;
using rp1210core::bus::CanHealth;

TEST(BusFault, BusOffRefusesSendsWhileItLastsAndAVanishedInterfaceFailsTheLink)
{
    Driver driver;
    GestorRP1210 link;
    char message[] = {0, 1, 2};
    driver.onDeviceFault(&link, CanHealth::BusOff, QStringLiteral("virtualcan can0: bus off"));
    EXPECT_EQ(driver.sendMessage(1, message, 3, 0, 0), 151);
    char text[81] = {};
    int sub = 0;
    EXPECT_EQ(driver.getLastErrorMsg(151, &sub, text, 1), 0);
    EXPECT_STREQ(text, "virtualcan can0: bus off");
    EXPECT_EQ(link.getLinkError(), 0);  // a bus-off passes: the link stands

    driver.onDeviceFault(&link, CanHealth::Ok, QString());
    EXPECT_EQ(driver.sendMessage(1, message, 3, 0, 0), 148);  // no longer the bus: no client
    driver.onDeviceFault(&link, CanHealth::Gone, QStringLiteral("virtualcan can0 is gone"));
    EXPECT_EQ(link.getLinkError(), 142);
}
