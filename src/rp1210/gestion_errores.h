// The one table of RP1210 return codes and their texts.
#pragma once

#include <QString>

#include <atomic>

class GestionErrores {
public:
    static constexpr unsigned short kDefaultMaxErrorMsgSize = 80;

    explicit GestionErrores(unsigned short maxSize = kDefaultMaxErrorMsgSize) : maxSize_(maxSize) {}

    // Writes the text of code (or of 154 when it has none), cut to the maximum size, and
    // a terminating zero into text: at most getMaxErrorMsgSize() + 1 bytes. Returns 0
    // when the code has a text, 154 otherwise.
    short ObtenerMsgError(short code, char* text) const;

    // The text of code, or a null QString when it has none.
    static QString textFor(short code);

    unsigned short getMaxErrorMsgSize() const { return maxSize_; }
    // 144 and no change for 80 or less; else stores it and returns 0.
    short setMaxErrorMsgSize(unsigned short size);

private:
    std::atomic<unsigned short> maxSize_;
};

namespace rp1210core::internal {

// Copies text to out as the callers' C strings expect: one byte per character, a
// character above 255 becoming a zero byte, at most maxChars characters, then a
// terminating zero (so at most maxChars + 1 bytes are written).
void copyTextOut(const QString& text, char* out, int maxChars);

}  // namespace rp1210core::internal
