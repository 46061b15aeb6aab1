// The INI reader, the device settings and the generated INI files.
#include "adapter/adapter_clients.h"
#include "adapter/adapter_speeds.h"
#include "api/devices.h"
#include "api/ini_content.h"
#include "api/ini_file.h"
#include "common/protocols.h"
#include "rp1210/connect_keywords.h"
#include "rp1210/gestor_rp1210.h"

#include <gtest/gtest.h>

using namespace rp1210core::api;

TEST(IniFile, ReadsSectionsAndKeysAsWindowsProfileFunctionsDo)
{
    const IniFile ini = IniFile::parse("; comment\r\norphan=ignored\n"
                                       "[VendorInformation]\r\n  Name = TRAVONE driver  \r\nname=second wins not\n"
                                       "# another comment\n[broken\nnovalue\n=noname\n"
                                       "[DeviceInformation1]\nDeviceID=1\nDeviceParams=Bus=Simulator;AdapterType=A\n"
                                       "[vendorinformation]\nDevices=1, 2 ,,3\n" +
                                       QByteArray("Long=") + QByteArray(IniFile::kMaxLine * 2, 'x') + "\n");
    const auto value = [&](const char* section, const char* key, const char* fallback = nullptr) {
        return ini.value(QLatin1String(section), QLatin1String(key), QLatin1String(fallback));
    };
    EXPECT_EQ(value("VENDORINFORMATION", "NAME"), QStringLiteral("TRAVONE driver"));
    EXPECT_EQ(value("DeviceInformation1", "DeviceParams"), QStringLiteral("Bus=Simulator;AdapterType=A"));
    EXPECT_EQ(ini.intValue(QStringLiteral("DeviceInformation1"), QStringLiteral("DeviceID"), -1), 1);
    EXPECT_EQ(ini.intValue(QStringLiteral("VendorInformation"), QStringLiteral("Name"), -1), -1);
    EXPECT_EQ(splitList(value("VendorInformation", "Devices")), QStringLiteral("1,2,3").split(QLatin1Char(',')));
    EXPECT_EQ(value("VendorInformation", "Long").size(), IniFile::kMaxLine - 5);
    EXPECT_FALSE(ini.hasSection(QStringLiteral("broken")));
    EXPECT_EQ(value("VendorInformation", "orphan", "none"), QStringLiteral("none"));
    IniFile missing;
    EXPECT_FALSE(IniFile::load(QStringLiteral("/nonexistent/TRAVONE.ini"), &missing));
}

TEST(DeviceParams, AcceptWhatTheDevicesNeedAndRefuseTheRest)
{
    const struct {
        const char* text;
        const char* type = nullptr;  // refused
        int version = 0;
    } cases[] = {
        {"", "A", 7},
        {"Bus=Simulator;AdapterType=k;AdapterVersion=2", "K", 2},
        {" bus = simulator ; AdapterVersion = 1 ;", "A", 1},
        {"Bus=Elsewhere"}, {"AdapterType=AB"}, {"AdapterVersion=seven"}, {"AdapterVersion=300"},
        {"TimestampUnitUs=0"}, {"Colour=blue"}, {"Bus"},
    };
    for (const auto& c : cases) {
        DeviceSettings s;
        s.adapterVersion = -1;
        EXPECT_EQ(parseDeviceParams(QString::fromLatin1(c.text), &s), c.type ? 0 : apirc::INVALID_KEY_STRING) << c.text;
        EXPECT_TRUE(c.type ? s.adapterType == QLatin1String(c.type) && s.adapterVersion == c.version
                           : s.adapterVersion == -1)  // unchanged on failure
            << c.text;
    }
}

// The vendor INI read back: its devices are the built-in ones with usable settings, and
// every protocol string with every speed it lists is a connect string the parser accepts
// at a speed the adapter runs; every keyword the adapter carries is listed.
TEST(GeneratedIni, ListsExactlyWhatTheParserAndTheAdapterAccept)
{
    const IniFile system = IniFile::parse(systemIniText());
    EXPECT_EQ(system.value(QStringLiteral("RP1210Support"), QStringLiteral("APIImplementations")), kImplementationName);
    const std::vector<DeviceEntry> devices = builtInDevices();
    const IniFile ini = IniFile::parse(vendorIniText(devices));
    const auto value = [&](const QString& section, const char* key) { return ini.value(section, QLatin1String(key)); };
    const QStringList deviceIds = splitList(value(QStringLiteral("VendorInformation"), "Devices"));
    ASSERT_EQ(deviceIds.size(), int(devices.size()));
    for (const QString& id : deviceIds) {
        const QString section = QStringLiteral("DeviceInformation") + id;
        EXPECT_EQ(value(section, "DeviceID"), id);
        DeviceSettings s;
        EXPECT_EQ(parseDeviceParams(value(section, "DeviceParams"), &s), 0) << qPrintable(id);
    }

    GestorRP1210 parser;
    enu_GATEWAY_Protocolo protocol = PROTOCOLO_NULL;
    enu_GATEWAY_Velocidad velocidad = VELOCIDAD_NINGUNA;
    const auto translate = [&](const QByteArray& connect) {
        QString mux;
        protocol = PROTOCOLO_NULL;  // as the parser reports it
        return parser.TranslateProtocolString(connect.constData(), &protocol, &velocidad, &mux);
    };
    QStringList listed;
    for (const QString& n : splitList(value(QStringLiteral("VendorInformation"), "Protocols"))) {
        const QString section = QStringLiteral("ProtocolInformation") + n;
        const QString keyword = value(section, "ProtocolString");
        listed.append(keyword);
        // Each protocol names exactly the devices that carry it: CAN interfaces the CAN family.
        translate(keyword.toLatin1());
        const enu_GATEWAY_Protocolo carried = protocol;
        QStringList carriers;
        for (const QString& id : deviceIds) {
            DeviceSettings s;
            parseDeviceParams(value(QStringLiteral("DeviceInformation") + id, "DeviceParams"), &s);
            if (deviceCarries(s, quint8(carried)))
                carriers.append(id);
        }
        EXPECT_EQ(splitList(value(section, "Devices")), carriers) << qPrintable(keyword);
        EXPECT_EQ(carriers.size() < deviceIds.size(), !rp1210core::internal::isCanFamily(carried)) << qPrintable(keyword);
        const QStringList speeds = splitList(value(section, "ProtocolSpeed"));
        EXPECT_FALSE(speeds.isEmpty()) << qPrintable(keyword);
        for (const QString& speed : speeds) {
            QByteArray connect = (keyword + QLatin1String(":Baud=") + speed).toLatin1();
            if (speeds.size() == 1 && translate(connect)) {
                connect = keyword.toLatin1();  // the keyword's own rate, which no "Baud=" value names
                ASSERT_EQ(translate(connect), 0);
                EXPECT_EQ(QString::number(rp1210core::adapter::AdapterClients::bitrate(velocidad)), speed);
            }
            ASSERT_EQ(translate(connect), 0) << connect.constData();
            EXPECT_TRUE(rp1210core::adapter::acceptsSpeed(protocol, velocidad)) << connect.constData();
        }
    }
    for (const auto& k : rp1210core::internal::connectKeywords()) {
        translate(k.text);
        const bool carried = protocol != PROTOCOLO_NULL && rp1210core::adapter::carriesProtocol(protocol);
        EXPECT_EQ(listed.contains(QLatin1String(k.text)), carried) << k.text;
    }
}
