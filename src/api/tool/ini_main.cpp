// Writes the driver's INI files (RP121032.ini and TRAVONE.ini) into a folder.
//   rp1210_ini FOLDER
#include "api/ini_content.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

bool write(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size()) {
        std::fprintf(stderr, "rp1210_ini: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: rp1210_ini FOLDER\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "rp1210_ini: cannot create %s\n", argv[1]);
        return 1;
    }
    using namespace rp1210core::api;
    const bool ok = write(dir.filePath(QStringLiteral("RP121032.ini")), systemIniText()) &&
                    write(dir.filePath(QLatin1String(kImplementationName) + QLatin1String(".ini")),
                          vendorIniText(builtInDevices()));
    return ok ? 0 : 1;
}
