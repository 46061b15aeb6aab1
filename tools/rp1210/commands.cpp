#include "commands.h"

#include "notation.h"

namespace rp1210tool {

int Context::failed(const QString& what, short code) const
{
    console.clearSpinner();
    Console::error(what + QStringLiteral(": ") + lib->describe(code));
    return kRp1210Error;
}

int Context::usage(const QString& what) const
{
    Console::error(what + QStringLiteral(" (see --help)"));
    return kUsage;
}

int Context::connectStatus(const Client& client, const QString& protocol) const
{
    if (client.error() == 0)
        return kOk;
    return failed(QStringLiteral("connect \"%1\" on device %2").arg(protocol).arg(device), client.error());
}

int Context::notAnswered(short readCode, const QString& what) const
{
    if (readCode != 0)
        return failed(QStringLiteral("read"), readCode);
    if (interrupted())
        return kInterrupted;
    console.clearSpinner();
    Console::error(what);
    return kNoAnswer;
}

bool Context::number(const QString& option, quint32 max, quint32* out) const
{
    if (parseNumber(parser.value(option), max, out))
        return true;
    usage(QStringLiteral("--%1: a number up to %2 expected, decimal or 0x hex").arg(option).arg(max));
    return false;
}

bool Context::seconds(const QString& option, double* out) const
{
    bool ok = false;
    *out = parser.value(option).toDouble(&ok);
    if (ok && *out >= 0 && *out < 1e6)
        return true;
    usage(QStringLiteral("--%1: seconds expected").arg(option));
    return false;
}

const std::vector<Subcommand>& subcommands()
{
    static const std::vector<Subcommand> all{devicesCommand(), monitorCommand(), sendCommand(),    requestCommand(),
                                             udsCommand(),     statusCommand(),  versionCommand(), errorCommand()};
    return all;
}

bool readUntil(Context& ctx, Client& client, const std::chrono::steady_clock::time_point& deadline,
               const QString& waitingFor, const std::function<bool(const QByteArray&)>& accept, short* code)
{
    *code = 0;
    while (!interrupted() && std::chrono::steady_clock::now() < deadline) {
        ctx.console.waiting(waitingFor);
        QByteArray m;
        const int n = client.read(&m);
        if (n < 0) {
            *code = short(-n);
            return false;
        }
        if (n > 0 && accept(m))
            return true;
    }
    return false;
}

}  // namespace rp1210tool
