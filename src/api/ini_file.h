// A small reader for the RP1210 INI files: "[Section]" headers, "key=value" lines and
// ';' or '#' comment lines. Sections and keys are found without regard to case, as
// Windows' profile functions find them; values keep their case. Whitespace around names
// and values is dropped. Anything else on a line is ignored, never fatal: the files are
// edited by hand and read by every RP1210 application.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace rp1210core::api {

class IniFile {
public:
    // Lines longer than this are cut there: the files are small, their input untrusted.
    static constexpr int kMaxLine = 4096;

    static IniFile parse(const QByteArray& text);
    // false when the file cannot be read.
    static bool load(const QString& path, IniFile* out);

    bool hasSection(const QString& section) const;
    // The value, or `fallback` when the section or key is missing. The first of
    // repeated keys wins.
    QString value(const QString& section, const QString& key, const QString& fallback = QString()) const;
    // A decimal value; `fallback` when missing or not a number.
    int intValue(const QString& section, const QString& key, int fallback) const;

private:
    struct Entry {
        QString key;
        QString value;
    };
    struct Section {
        QString name;
        std::vector<Entry> entries;
    };
    const Section* find(const QString& section) const;

    std::vector<Section> sections_;
};

// Splits "a,b, c" into its trimmed non-empty items.
QStringList splitList(const QString& text, QChar separator = QLatin1Char(','));

}  // namespace rp1210core::api
