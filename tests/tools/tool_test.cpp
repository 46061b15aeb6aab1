// The rp1210 tool run as a user runs it, against the simulated vehicle: output, JSON
// and exit statuses.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QRegularExpression>

#include <cmath>
#include <csignal>

namespace {

constexpr char kVin[] = "1SVTR5EX7PS000042";  // the simulated vehicle's
constexpr int kLimitMs = 30000;

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

void start(QProcess& p, const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("RP1210_INI"), QStringLiteral(RP1210_DRIVER_DIR));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(RP1210_TOOL), args);
}

Outcome tool(const QStringList& args)
{
    QProcess p;
    start(p, args);
    Outcome r;
    if (!p.waitForFinished(kLimitMs)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "still running: " << args.join(QLatin1Char(' ')).toStdString();
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// The first number behind `label` on any line of `text`; NaN when there is none.
double valueAfter(const QString& text, const QString& label)
{
    const QRegularExpression re(QRegularExpression::escape(label) + QStringLiteral(" (-?[0-9.]+)"));
    const auto m = re.match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : std::nan("");
}

QJsonObject onlyJson(const QString& out)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(out.trimmed().toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << out.toStdString();
    return doc.object();
}

}  // namespace

TEST(Tool, MonitorDecodesEngineAndVehicleSpeed)
{
    const Outcome r =
        tool({QStringLiteral("monitor"), QStringLiteral("J1939"), QStringLiteral("--duration"), QStringLiteral("2")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    // The drive cycle idles at about 650 rpm and drives at most 88 km/h.
    EXPECT_TRUE(r.out.contains(QStringLiteral("6 65226 00->FF"))) << "DM1 broadcast";
    EXPECT_TRUE(r.out.contains(QStringLiteral("fault SPN 4364 FMI 18 OC 3")));
    const double engine = valueAfter(r.out, QStringLiteral("engine speed"));
    const double vehicle = valueAfter(r.out, QStringLiteral("wheel-based vehicle speed"));
    EXPECT_GE(engine, 600);
    EXPECT_LE(engine, 2000);
    EXPECT_GE(vehicle, 0);
    EXPECT_LE(vehicle, 90);
    EXPECT_TRUE(r.out.contains(QRegularExpression(QStringLiteral("^ +[0-9]+\\.[0-9]{3}  J1939 +3 61444 00->FF \\[8\\]"),
                                                  QRegularExpression::MultilineOption)))
        << r.out.left(400).toStdString();
}

TEST(Tool, JsonLinesParse)
{
    const Outcome r = tool({QStringLiteral("monitor"), QStringLiteral("J1708"), QStringLiteral("--count"),
                            QStringLiteral("3"), QStringLiteral("--json")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    for (const QString& line : lines) {
        const QJsonObject o = onlyJson(line);
        EXPECT_EQ(o.value(QStringLiteral("mid")).toInt(), 128);
        EXPECT_EQ(o.value(QStringLiteral("protocol")).toString(), QStringLiteral("J1708"));
        EXPECT_FALSE(o.value(QStringLiteral("values")).toArray().isEmpty());
    }
    for (const char* command : {"devices", "version", "status"}) {
        const Outcome info = tool({QLatin1String(command), QStringLiteral("--json")});
        EXPECT_EQ(info.status, 0) << command << info.err.toStdString();
        EXPECT_FALSE(onlyJson(info.out).isEmpty()) << command;
    }
    // Beside the INI's devices, the CAN interfaces Qt finds: the virtual bus always.
    const QJsonArray interfaces =
        onlyJson(tool({QStringLiteral("devices"), QStringLiteral("--json")}).out).value(QStringLiteral("canInterfaces")).toArray();
    EXPECT_TRUE(interfaces.contains(QJsonObject{{QStringLiteral("plugin"), QStringLiteral("virtualcan")},
                                                {QStringLiteral("interface"), QStringLiteral("can0")},
                                                {QStringLiteral("description"), QStringLiteral("Qt Virtual CAN bus")},
                                                {QStringLiteral("virtual"), true}}));
}

TEST(Tool, VinThroughJ1939AndUds)
{
    struct Case {
        QStringList args;
        int status;
        const char* expected;
    } const cases[] = {
        {{QStringLiteral("request"), QStringLiteral("65260")}, 0, kVin},
        {{QStringLiteral("request"), QStringLiteral("65260"), QStringLiteral("--to"), QStringLiteral("0")}, 0, kVin},
        {{QStringLiteral("request"), QStringLiteral("65259")}, 0, "make SIMTRUCK, model SE-13"},
        {{QStringLiteral("request"), QStringLiteral("65000"), QStringLiteral("--to"), QStringLiteral("0")}, 4, "NACK"},
        {{QStringLiteral("uds"), QStringLiteral("22F190")}, 0, kVin},
        {{QStringLiteral("uds"), QStringLiteral("22 F1 23")}, 4, "NRC 31 requestOutOfRange"},
        {{QStringLiteral("uds"), QStringLiteral("22F190"), QStringLiteral("--rx"), QStringLiteral("7E9"),
          QStringLiteral("--timeout"), QStringLiteral("0.3")},
         3,
         ""},
    };
    for (const Case& c : cases) {
        const Outcome r = tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.join(QLatin1Char(' ')).toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(QLatin1String(c.expected))) << r.out.toStdString();
    }
    const QJsonObject vin =
        onlyJson(tool({QStringLiteral("uds"), QStringLiteral("22F190"), QStringLiteral("--json")}).out);
    EXPECT_EQ(vin.value(QStringLiteral("values")).toArray().at(0).toObject().value(QStringLiteral("value")).toString(),
              QLatin1String(kVin));
}

TEST(Tool, SendShowsItsEcho)
{
    const Outcome r = tool({QStringLiteral("send"), QStringLiteral("J1939"), QStringLiteral("6 59904 00 EC FE 00"),
                            QStringLiteral("--echo")});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("J1939     echo 6 59904 F9->00 [3] EC FE 00  RQST: for PGN 65260 (VI)")))
        << r.out.toStdString();
    EXPECT_EQ(tool({QStringLiteral("send"), QStringLiteral("J1939"), QStringLiteral("9 1 FF")}).status, 2);
}

TEST(Tool, DriverErrorsPrintTheirCodeAndText)
{
    struct Case {
        QStringList args;
        int status;
        const char* expected;
    } const cases[] = {
        {{QStringLiteral("monitor"), QStringLiteral("J1939X")},
         1,
         "136 The specified protocol is invalid or the extended connect string was incorrect"},
        {{QStringLiteral("monitor"), QStringLiteral("J1939"), QStringLiteral("--device"), QStringLiteral("99")},
         1,
         "134 The specified device ID is invalid"},
        {{QStringLiteral("monitor"), QStringLiteral("J1939"), QStringLiteral("--ini"), QStringLiteral("/nonexistent")},
         1,
         "RP121032.ini"},
        {{QStringLiteral("frobnicate")}, 2, "unknown command"},
        {{QStringLiteral("monitor"), QStringLiteral("J1850VPW"), QStringLiteral("--filter"), QStringLiteral("id=1")},
         2,
         "--filter"},
    };
    for (const Case& c : cases) {
        const Outcome r = tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.expected))) << r.err.toStdString();
    }
    const Outcome known = tool({QStringLiteral("error"), QStringLiteral("142")});
    EXPECT_EQ(known.status, 0);
    EXPECT_EQ(known.out.trimmed(), QStringLiteral("142  The device is unavailable"));
    EXPECT_EQ(tool({QStringLiteral("error"), QStringLiteral("145")}).status, 1);
}

// CAN plugins whose vendor library is missing here: each connect is refused with 142 and
// its reason, never a hang or an abort (passthrucan's failed open leaves a thread running).
TEST(Tool, CanPluginsWithoutTheirLibraryAreRefused)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QDir driver(QStringLiteral(RP1210_DRIVER_DIR));
    for (const char* name : {"RP121032.ini", "TRAVONE.ini"})
        ASSERT_TRUE(QFile::copy(driver.filePath(QLatin1String(name)), dir.filePath(QLatin1String(name))));
    ASSERT_TRUE(QFile::link(driver.filePath(QStringLiteral("TRAVONE.so")), dir.filePath(QStringLiteral("TRAVONE.so"))));
    const char* const params[] = {"Plugin=passthrucan;Interface=nosuchj2534", "Plugin=peakcan;Interface=usb0",
                                  "Plugin=tinycan;Interface=can0.0", "Plugin=nosuchplugin;Interface=can0"};
    QFile ini(dir.filePath(QStringLiteral("TRAVONE.ini")));
    ASSERT_TRUE(ini.open(QIODevice::Append));
    int id = 40;
    for (const char* p : params)
        ini.write(QStringLiteral("\n[DeviceInformation%1]\nDeviceID=%1\nDeviceParams=%2\n")
                      .arg(id++)
                      .arg(QLatin1String(p))
                      .toUtf8());
    ini.close();
    for (id = 40; id < 44; ++id) {
        const Outcome r = tool({QStringLiteral("monitor"), QStringLiteral("J1939"), QStringLiteral("--duration"),
                                QStringLiteral("1"), QStringLiteral("--device"), QString::number(id),
                                QStringLiteral("--ini"), dir.path()});
        EXPECT_EQ(r.status, 1) << params[id - 40] << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String("142"))) << r.err.toStdString();
    }
}

TEST(Tool, CtrlCEndsAMonitorCleanly)
{
    QProcess p;
    start(p, {QStringLiteral("monitor"), QStringLiteral("J1939")});
    ASSERT_TRUE(p.waitForReadyRead(kLimitMs)) << "no message shown";
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(kLimitMs));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
}
