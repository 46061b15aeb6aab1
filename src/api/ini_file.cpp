#include "api/ini_file.h"

#include <QFile>
#include <QStringList>

namespace rp1210core::api {

IniFile IniFile::parse(const QByteArray& text)
{
    IniFile ini;
    Section* current = nullptr;
    int start = 0;
    while (start < text.size()) {
        int end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArray raw = text.mid(start, std::min(end - start, kMaxLine));
        start = end + 1;

        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const int close = line.indexOf(QLatin1Char(']'));
            if (close < 0)
                continue;
            const QString name = line.mid(1, close - 1).trimmed();
            current = nullptr;
            for (Section& s : ini.sections_) {
                if (s.name.compare(name, Qt::CaseInsensitive) == 0)
                    current = &s;  // a repeated header continues its section
            }
            if (!current) {
                ini.sections_.push_back(Section{name, {}});
                current = &ini.sections_.back();
            }
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0 || !current)
            continue;
        current->entries.push_back(Entry{line.left(eq).trimmed(), line.mid(eq + 1).trimmed()});
    }
    return ini;
}

bool IniFile::load(const QString& path, IniFile* out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // The real files are a few kilobytes; a bound keeps a wrong path (a device, a huge
    // file) from costing much.
    constexpr qint64 kMaxFile = 1 << 20;
    *out = parse(file.read(kMaxFile));
    return true;
}

const IniFile::Section* IniFile::find(const QString& section) const
{
    for (const Section& s : sections_) {
        if (s.name.compare(section, Qt::CaseInsensitive) == 0)
            return &s;
    }
    return nullptr;
}

bool IniFile::hasSection(const QString& section) const
{
    return find(section) != nullptr;
}

QString IniFile::value(const QString& section, const QString& key, const QString& fallback) const
{
    if (const Section* s = find(section)) {
        for (const Entry& e : s->entries) {
            if (e.key.compare(key, Qt::CaseInsensitive) == 0)
                return e.value;
        }
    }
    return fallback;
}

int IniFile::intValue(const QString& section, const QString& key, int fallback) const
{
    bool ok = false;
    const int v = value(section, key).toInt(&ok, 10);
    return ok ? v : fallback;
}

QStringList splitList(const QString& text, QChar separator)
{
    QStringList out;
    for (const QString& item : text.split(separator)) {
        const QString t = item.trimmed();
        if (!t.isEmpty())
            out.append(t);
    }
    return out;
}

}  // namespace rp1210core::api
