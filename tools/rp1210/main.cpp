// rp1210: the RP1210 driver from the command line, loaded as any application loads it.
//
//   rp1210 devices | monitor | send | request | uds | status | version | error  [--help]
#include "commands.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

using namespace rp1210tool;

namespace {

void overview()
{
    std::printf("Usage: rp1210 COMMAND [options]   (rp1210 COMMAND --help for its options)\n\n");
    for (const Subcommand& s : subcommands())
        std::printf("  %-8s %s\n", s.name, s.summary);
    std::printf(
        "\nCommon options: --device N (default 1), --ini PATH, --json.\n"
        "Exit status: 0 done, 1 the driver refused (its code and text are printed), 2 usage,\n"
        "3 no answer in time, 4 a negative answer, 130 interrupted.\n");
}

int run(const Subcommand& sub, const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(sub.summary));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("device"), QStringLiteral("The RP1210 device (default 1)."), QStringLiteral("N"),
                      QStringLiteral("1")});
    parser.addOption({QStringLiteral("ini"),
                      QStringLiteral("The folder of RP121032.ini, or the file (default: RP1210_INI, else the "
                                     "driver's own files)."),
                      QStringLiteral("PATH")});
    parser.addOption({QStringLiteral("json"), QStringLiteral("One JSON object a line, for scripts.")});
    sub.options(parser);
    parser.addPositionalArgument(QString::fromLatin1(sub.name), QString::fromLatin1(sub.syntax),
                                 QStringLiteral("%1 %2").arg(QLatin1String(sub.name), QLatin1String(sub.syntax)));
    if (!parser.parse(arguments)) {
        Console::error(parser.errorText());
        return kUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        QString help = parser.helpText();
        help =
            QStringLiteral("Usage: rp1210 %1 %2 [options]\n").arg(QLatin1String(sub.name), QLatin1String(sub.syntax)) +
            help.mid(help.indexOf(QLatin1Char('\n')) + 1);
        std::printf("%s", help.toUtf8().constData());
        return kOk;
    }

    Console console(parser.isSet(QStringLiteral("json")));
    Library lib;
    Context ctx{console, parser, parser.positionalArguments().mid(1), iniFolder(parser.value(QStringLiteral("ini")))};
    quint32 device = 0;
    if (!ctx.number(QStringLiteral("device"), 32767, &device))
        return kUsage;
    ctx.device = short(device);
    if (sub.needsLibrary) {
        QString error;
        if (!lib.load(ctx.iniFolder, &error)) {
            Console::error(error);
            return kRp1210Error;
        }
        ctx.lib = &lib;
    }
    catchInterrupts();
    return sub.run(ctx);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || args.at(1) == QLatin1String("--help") || args.at(1) == QLatin1String("-h")) {
        overview();
        return args.size() < 2 ? kUsage : kOk;
    }
    for (const Subcommand& sub : subcommands()) {
        if (args.at(1) == QLatin1String(sub.name))
            return run(sub, args);
    }
    Console::error(QStringLiteral("unknown command \"%1\" (rp1210 --help lists them)").arg(args.at(1)));
    return kUsage;
}
