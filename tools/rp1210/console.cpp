#include "console.h"

#include <QJsonDocument>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace rp1210tool {

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onInterrupt(int)
{
    g_interrupted.store(true);
}

void write(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

void catchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted()
{
    return g_interrupted.load();
}

Console::Console(bool json) : json_(json), terminal_(isatty(STDOUT_FILENO) == 1) {}

Console::~Console()
{
    clearSpinner();
}

void Console::print(const QString& text, const QJsonObject& object)
{
    clearSpinner();
    write(json_ ? QJsonDocument(object).toJson(QJsonDocument::Compact) : text.toUtf8());
}

void Console::printText(const QString& text)
{
    if (!json_)
        print(text, QJsonObject());
}

void Console::error(const QString& what)
{
    std::fflush(stdout);
    std::fprintf(stderr, "rp1210: %s\n", what.toUtf8().constData());
}

void Console::waiting(const QString& what)
{
    if (!terminal_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (spinnerShown_ && now - lastFrame_ < std::chrono::milliseconds(100))
        return;
    static const char kFrames[] = "|/-\\";
    lastFrame_ = now;
    spinnerShown_ = true;
    std::printf("\r%c %s", kFrames[frame_++ % 4], what.toUtf8().constData());
    std::fflush(stdout);
}

void Console::clearSpinner()
{
    if (!spinnerShown_)
        return;
    spinnerShown_ = false;
    std::printf("\r\033[K");
    std::fflush(stdout);
}

}  // namespace rp1210tool
