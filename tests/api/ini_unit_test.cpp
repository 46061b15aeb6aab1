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
    const IniFile ini = IniFile::parse(
        "; comment\r\n"
        "orphan=ignored\n"
        "[VendorInformation]\r\n"
        "  Name = TRAVONE driver  \r\n"
        "name=second wins not\n"
        "# another comment\n"
        "[broken\n"
        "novalue\n"
        "=noname\n"
        "[DeviceInformation1]\n"
        "DeviceID=1\n"
        "DeviceParams=Bus=Simulator;AdapterType=A\n"
        "[vendorinformation]\n"
        "Devices=1, 2 ,,3\n" +
        QByteArray("Long=") + QByteArray(IniFile::kMaxLine * 2, 'x') + "\n");
    EXPECT_EQ(ini.value(QStringLiteral("VENDORINFORMATION"), QStringLiteral("NAME")), QStringLiteral("TRAVONE driver"));
    EXPECT_EQ(ini.value(QStringLiteral("DeviceInformation1"), QStringLiteral("DeviceParams")),
              QStringLiteral("Bus=Simulator;AdapterType=A"));
    EXPECT_EQ(ini.intValue(QStringLiteral("DeviceInformation1"), QStringLiteral("DeviceID"), -1), 1);
    EXPECT_EQ(ini.intValue(QStringLiteral("VendorInformation"), QStringLiteral("Name"), -1), -1);
    EXPECT_EQ(splitList(ini.value(QStringLiteral("VendorInformation"), QStringLiteral("Devices"))),
              (QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));
    EXPECT_EQ(ini.value(QStringLiteral("VendorInformation"), QStringLiteral("Long")).size(), IniFile::kMaxLine - 5);
    EXPECT_FALSE(ini.hasSection(QStringLiteral("broken")));
    EXPECT_EQ(ini.value(QStringLiteral("VendorInformation"), QStringLiteral("orphan"), QStringLiteral("none")),
              QStringLiteral("none"));
    IniFile missing;
    EXPECT_FALSE(IniFile::load(QStringLiteral("/nonexistent/TRAVONE.ini"), &missing));
}

TEST(DeviceParams, AcceptWhatTheDevicesNeedAndRefuseTheRest)
{
    struct Case {
        const char* text;
        short result;
        const char* type;
        int version;
    } const cases[] = {
        {"", 0, "A", 7},
        {"Bus=Simulator;AdapterType=k;AdapterVersion=2", 0, "K", 2},
        {" bus = simulator ; AdapterVersion = 1 ;", 0, "A", 1},
        {"Bus=Elsewhere", apirc::INVALID_KEY_STRING, "", 0},
        {"AdapterType=AB", apirc::INVALID_KEY_STRING, "", 0},
        {"AdapterVersion=seven", apirc::INVALID_KEY_STRING, "", 0},
        {"AdapterVersion=300", apirc::INVALID_KEY_STRING, "", 0},
        {"TimestampUnitUs=0", apirc::INVALID_KEY_STRING, "", 0},
        {"Colour=blue", apirc::INVALID_KEY_STRING, "", 0},
        {"Bus", apirc::INVALID_KEY_STRING, "", 0},
    };
    for (const Case& c : cases) {
        DeviceSettings s;
        s.adapterVersion = -1;
        EXPECT_EQ(parseDeviceParams(QString::fromLatin1(c.text), &s), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(s.adapterType, QLatin1String(c.type)) << c.text;
            EXPECT_EQ(s.adapterVersion, c.version) << c.text;
        } else {
            EXPECT_EQ(s.adapterVersion, -1) << "changed on failure: " << c.text;
        }
    }
}

// The vendor INI read back: its devices are the built-in ones with usable settings, and
// every protocol string with every speed it lists is a connect string the parser accepts
// at a speed the adapter runs; every keyword the adapter carries is listed.
TEST(GeneratedIni, ListsExactlyWhatTheParserAndTheAdapterAccept)
{
    const IniFile system = IniFile::parse(systemIniText());
    EXPECT_EQ(system.value(QStringLiteral("RP1210Support"), QStringLiteral("APIImplementations")),
              QLatin1String(kImplementationName));

    const std::vector<DeviceEntry> devices = builtInDevices();
    const IniFile ini = IniFile::parse(vendorIniText(devices));
    const QStringList deviceIds = splitList(ini.value(QStringLiteral("VendorInformation"), QStringLiteral("Devices")));
    ASSERT_EQ(deviceIds.size(), int(devices.size()));
    for (const QString& id : deviceIds) {
        const QString section = QStringLiteral("DeviceInformation") + id;
        EXPECT_EQ(ini.value(section, QStringLiteral("DeviceID")), id);
        DeviceSettings s;
        EXPECT_EQ(parseDeviceParams(ini.value(section, QStringLiteral("DeviceParams")), &s), 0) << qPrintable(id);
    }

    GestorRP1210 parser;
    QStringList listed;
    for (const QString& n : splitList(ini.value(QStringLiteral("VendorInformation"), QStringLiteral("Protocols")))) {
        const QString section = QStringLiteral("ProtocolInformation") + n;
        const QString keyword = ini.value(section, QStringLiteral("ProtocolString"));
        listed.append(keyword);
        // Each protocol names exactly the devices that carry it: CAN interfaces the CAN family.
        enu_GATEWAY_Protocolo carried = PROTOCOLO_NULL;
        enu_GATEWAY_Velocidad any = VELOCIDAD_NINGUNA;
        QString anyMux;
        parser.TranslateProtocolString(keyword.toLatin1().constData(), &carried, &any, &anyMux);
        QStringList carriers;
        for (const QString& id : deviceIds) {
            DeviceSettings s;
            parseDeviceParams(ini.value(QStringLiteral("DeviceInformation") + id, QStringLiteral("DeviceParams")), &s);
            if (deviceCarries(s, quint8(carried)))
                carriers.append(id);
        }
        EXPECT_EQ(splitList(ini.value(section, QStringLiteral("Devices"))), carriers) << qPrintable(keyword);
        EXPECT_EQ(carriers.size() < deviceIds.size(), !rp1210core::internal::isCanFamily(carried)) << qPrintable(keyword);
        const QStringList speeds = splitList(ini.value(section, QStringLiteral("ProtocolSpeed")));
        EXPECT_FALSE(speeds.isEmpty()) << qPrintable(keyword);
        for (const QString& speed : speeds) {
            enu_GATEWAY_Protocolo protocol = PROTOCOLO_NULL;
            enu_GATEWAY_Velocidad velocidad = VELOCIDAD_NINGUNA;
            QString mux;
            QByteArray connect = (keyword + QLatin1String(":Baud=") + speed).toLatin1();
            if (speeds.size() == 1 && parser.TranslateProtocolString(connect.constData(), &protocol, &velocidad, &mux)) {
                // The keyword's own rate, which no "Baud=" value names.
                connect = keyword.toLatin1();
                ASSERT_EQ(parser.TranslateProtocolString(connect.constData(), &protocol, &velocidad, &mux), 0);
                EXPECT_EQ(QString::number(rp1210core::adapter::AdapterClients::bitrate(velocidad)), speed);
            }
            ASSERT_EQ(parser.TranslateProtocolString(connect.constData(), &protocol, &velocidad, &mux), 0)
                << connect.constData();
            EXPECT_TRUE(rp1210core::adapter::acceptsSpeed(protocol, velocidad)) << connect.constData();
        }
    }
    for (const auto& k : rp1210core::internal::connectKeywords()) {
        enu_GATEWAY_Protocolo protocol = PROTOCOLO_NULL;  // as the parser reports it
        enu_GATEWAY_Velocidad velocidad = VELOCIDAD_NINGUNA;
        QString mux;
        parser.TranslateProtocolString(k.text, &protocol, &velocidad, &mux);
        const bool carried = protocol != PROTOCOLO_NULL && rp1210core::adapter::carriesProtocol(protocol);
        EXPECT_EQ(listed.contains(QLatin1String(k.text)), carried) << k.text;
    }
}
