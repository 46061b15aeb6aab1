// The subcommands: each declares its options and runs against the loaded driver.
#pragma once

#include "console.h"
#include "driver_library.h"

#include <QCommandLineParser>
#include <QStringList>

#include <chrono>
#include <functional>
#include <vector>

namespace rp1210tool {

// Exit statuses.
enum Exit : int {
    kOk = 0,
    kRp1210Error = 1,  // the driver refused: its code and text are printed
    kUsage = 2,
    kNoAnswer = 3,  // nothing came in time
    kNegative = 4,  // the answer was a refusal (NACK, negative UDS response)
    kInterrupted = 130,
};

struct Context {
    Console& console;
    const QCommandLineParser& parser;
    QStringList args;  // positional, after the subcommand
    QString iniFolder;
    Library* lib = nullptr;  // loaded for every subcommand but `devices`
    short device = 1;

    // "rp1210: <what>: 136 <its text>", and the RP1210 error status.
    int failed(const QString& what, short code) const;
    int usage(const QString& what) const;
    // 0 when the client connected, else the failure reported and its status.
    int connectStatus(const Client& client, const QString& protocol) const;
    // After a wait that took nothing: the read's error, Ctrl-C, or `what` came not.
    int notAnswered(short readCode, const QString& what) const;
    // The option's value as a number (decimal, or hex with 0x); false after a usage message.
    bool number(const QString& option, quint32 max, quint32* out) const;
    bool seconds(const QString& option, double* out) const;
};

struct Subcommand {
    const char* name;
    const char* syntax;  // after the name, for the usage line
    const char* summary;
    bool needsLibrary;
    std::function<void(QCommandLineParser&)> options;
    std::function<int(Context&)> run;
};

const std::vector<Subcommand>& subcommands();

Subcommand devicesCommand();
Subcommand monitorCommand();
Subcommand sendCommand();
Subcommand requestCommand();
Subcommand udsCommand();
Subcommand statusCommand();
Subcommand versionCommand();
Subcommand errorCommand();

// Reads until `accept` takes a message (true), the deadline passes or Ctrl-C (false);
// `deadline` is read on every turn, so `accept` may move it. Steps the spinner
// with `waitingFor`. A read error ends it with the code in `code`.
bool readUntil(Context& ctx, Client& client, const std::chrono::steady_clock::time_point& deadline,
               const QString& waitingFor, const std::function<bool(const QByteArray&)>& accept, short* code);

}  // namespace rp1210tool
