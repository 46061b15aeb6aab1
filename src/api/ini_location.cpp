#include "api/ini_location.h"

#include "api/ini_content.h"

#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>

#include <cstdlib>

#ifndef RP1210_INSTALL_INI_DIR
#define RP1210_INSTALL_INI_DIR "/etc/rp1210"
#endif

namespace rp1210core::api {

namespace {

QString vendorFileName()
{
    return QLatin1String(kImplementationName) + QLatin1String(".ini");
}

// The folder of the object this code is linked into: the shared library when loaded as
// one, the program otherwise.
QString ownFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ownFolder), &info) == 0 || info.dli_fname == nullptr)
        return QString();
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
}

}  // namespace

QString iniDirectory()
{
    if (const char* env = std::getenv("RP1210_INI"); env != nullptr && *env != '\0') {
        const QFileInfo given(QString::fromLocal8Bit(env));
        return given.isDir() ? given.absoluteFilePath() : given.absolutePath();
    }
    const QString own = ownFolder();
    if (!own.isEmpty() && QFileInfo::exists(QDir(own).filePath(vendorFileName())))
        return own;
    return QString::fromLatin1(RP1210_INSTALL_INI_DIR);
}

QString vendorIniPath()
{
    return QDir(iniDirectory()).filePath(vendorFileName());
}

}  // namespace rp1210core::api
