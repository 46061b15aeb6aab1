// The tool's console: Ctrl-C, the spinner shown while a request waits, and printing one
// line of text or JSON per result.
#pragma once

#include <QJsonObject>
#include <QString>

#include <chrono>

namespace rp1210tool {

// Ctrl-C (SIGINT) and SIGTERM only raise a flag; loops read it between their short
// blocking reads and end cleanly, disconnecting on the way out.
void catchInterrupts();
bool interrupted();

class Console {
public:
    explicit Console(bool json);
    ~Console();

    bool json() const { return json_; }
    // One result: the text line, or the object as one line of JSON.
    void print(const QString& text, const QJsonObject& object);
    void printText(const QString& text);  // text mode only
    // "rp1210: <what>" on standard error.
    static void error(const QString& what);

    // Advances the spinner (at most every 100 ms), on a terminal only: piped output gets
    // nothing but results. Callers step it from their own wait loop, so nothing ticks
    // in the background.
    void waiting(const QString& what);
    // Takes the spinner off the line, before a message on standard error.
    void clearSpinner();

private:
    bool json_;
    bool terminal_;
    bool spinnerShown_ = false;
    int frame_ = 0;
    std::chrono::steady_clock::time_point lastFrame_{};
};

}  // namespace rp1210tool
