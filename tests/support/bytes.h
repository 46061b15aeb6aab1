#pragma once

#include <QByteArray>

#include <string>
#include <vector>

inline QByteArray hex(const char* text) { return QByteArray::fromHex(text); }
inline std::string toHex(const QByteArray& bytes) { return bytes.toHex(' ').toStdString(); }

// n bytes: first, first + 1, ... (mod 256).
inline QByteArray pattern(int n, int first = 0)
{
    QByteArray data(n, '\0');
    for (int i = 0; i < n; ++i)
        data[i] = static_cast<char>((first + i) & 0xFF);
    return data;
}

// The bytes on the heap with nothing after them: a read past them shows under the address sanitizer.
inline std::vector<char> exactCopy(const QByteArray& bytes) { return std::vector<char>(bytes.begin(), bytes.end()); }
inline const unsigned char* ubytes(const QByteArray& a) { return reinterpret_cast<const unsigned char*>(a.constData()); }
