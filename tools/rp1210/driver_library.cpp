#include "driver_library.h"

#include "api/ini_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>

#include <cstdlib>

namespace rp1210tool {

using rp1210core::api::IniFile;

namespace {

QString folderOf(const QString& given)
{
    const QFileInfo info(given);
    return info.isDir() ? info.absoluteFilePath() : info.absolutePath();
}

// The prefix an installed tool sits under: <prefix>/bin/rp1210.
QDir installPrefix()
{
    return QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
}

template <typename F>
bool bind(void* handle, F& f, const char* name)
{
    f = reinterpret_cast<F>(dlsym(handle, name));
    return f != nullptr;
}

}  // namespace

QString iniFolder(const QString& option)
{
    if (!option.isEmpty())
        return folderOf(option);
    if (const char* env = std::getenv("RP1210_INI"); env != nullptr && *env != '\0')
        return folderOf(QString::fromLocal8Bit(env));
    // The tool in its build tree uses the driver built beside it; installed, the INI
    // files the same install put in place (found from the tool's own place, so an
    // install moved elsewhere still works).
    const QString here = QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath();
    if (here == QFileInfo(QStringLiteral(RP1210TOOL_BUILD_DIR)).canonicalFilePath())
        return QStringLiteral(RP1210TOOL_BUILD_INI_DIR);
    return installPrefix().absoluteFilePath(QStringLiteral(RP1210TOOL_INSTALL_INI_DIR));
}

Library::~Library()
{
    if (handle_ != nullptr)
        dlclose(handle_);
}

bool Library::load(const QString& folder, QString* error)
{
    const QDir dir(folder);
    IniFile system;
    if (!IniFile::load(dir.filePath(QStringLiteral("RP121032.ini")), &system)) {
        *error = QStringLiteral("cannot read %1 (give the folder with --ini or RP1210_INI)")
                     .arg(dir.filePath(QStringLiteral("RP121032.ini")));
        return false;
    }
    const QStringList names =
        rp1210core::api::splitList(system.value(QStringLiteral("RP1210Support"), QStringLiteral("APIImplementations")));
    if (names.isEmpty()) {
        *error = QStringLiteral("%1 names no implementation").arg(dir.filePath(QStringLiteral("RP121032.ini")));
        return false;
    }
    name_ = names.first();
    IniFile vendor;
    if (IniFile::load(dir.filePath(name_ + QStringLiteral(".ini")), &vendor))
        unitUs_ = vendor.intValue(QStringLiteral("VendorInformation"), QStringLiteral("TimestampWeight"), 1000);

    // The driver reads its INI files from the same folder as this tool.
    qputenv("RP1210_INI", QFile::encodeName(dir.absolutePath()));
    // The library beside the INI files (a build tree), in the install's library folder,
    // else wherever the loader finds it.
    const QString file = name_ + QStringLiteral(".so");
    path_ = file;
    for (const QString& candidate :
         {dir.filePath(file),
          QDir(installPrefix().filePath(QStringLiteral(RP1210TOOL_INSTALL_LIB_DIR))).filePath(file)}) {
        if (QFileInfo::exists(candidate)) {
            path_ = candidate;
            break;
        }
    }
    handle_ = dlopen(QFile::encodeName(path_).constData(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        *error = QStringLiteral("cannot load %1: %2").arg(path_, QString::fromLocal8Bit(dlerror()));
        return false;
    }
    Dl_info info{};
    void* probe = dlsym(handle_, "RP1210_ClientConnect");
    if (probe != nullptr && dladdr(probe, &info) != 0 && info.dli_fname != nullptr)
        path_ = QString::fromLocal8Bit(info.dli_fname);
    const bool complete =
        bind(handle_, ClientConnect, "RP1210_ClientConnect") &&
        bind(handle_, ClientDisconnect, "RP1210_ClientDisconnect") &&
        bind(handle_, SendMessage, "RP1210_SendMessage") && bind(handle_, ReadMessage, "RP1210_ReadMessage") &&
        bind(handle_, SendCommand, "RP1210_SendCommand") && bind(handle_, ReadVersion, "RP1210_ReadVersion") &&
        bind(handle_, ReadDetailedVersion, "RP1210_ReadDetailedVersion") &&
        bind(handle_, GetHardwareStatus, "RP1210_GetHardwareStatus") &&
        bind(handle_, GetErrorMsg, "RP1210_GetErrorMsg") && bind(handle_, GetLastErrorMsg, "RP1210_GetLastErrorMsg") &&
        bind(handle_, Ioctl, "RP1210_Ioctl");
    if (!complete) {
        *error = QStringLiteral("%1 lacks an RP1210 function").arg(path_);
        return false;
    }
    return true;
}

QString Library::describe(short code) const
{
    char text[256] = {};  // the driver writes at most its maximum size, 80 by default, and a zero
    GetErrorMsg(code, text);
    return QStringLiteral("%1 %2").arg(code).arg(QString::fromLatin1(text));
}

Client::Client(const Library& lib, short device, const QString& protocol) : lib_(lib)
{
    const QByteArray p = protocol.toLatin1();
    id_ = lib_.ClientConnect(nullptr, device, p.constData(), 0, 0, 0);
    connected_ = error() == 0;
    if (!connected_)
        return;
    // Blocking reads end after a short while: two bytes whose product is the limit in ms.
    static_assert(kReadSliceMs <= 255, "one byte of the product");
    const char limit[2] = {1, char(kReadSliceMs)};
    const short set = command(RP1210_Set_Blocking_Timeout, QByteArray(limit, 2));
    if (set != 0) {
        disconnect();
        id_ = set;
    }
}

Client::~Client()
{
    disconnect();
}

short Client::disconnect()
{
    if (!connected_)
        return 0;
    connected_ = false;
    return lib_.ClientDisconnect(id_);
}

short Client::command(short number, QByteArray data)
{
    return lib_.SendCommand(number, id_, data.data(), static_cast<short>(data.size()));
}

short Client::send(QByteArray message)
{
    return lib_.SendMessage(id_, message.data(), static_cast<short>(message.size()), 0, 0);
}

int Client::read(QByteArray* message)
{
    // The longest messages: a J1939 transport message (1785 bytes) or an ISO 15765 one
    // (4095) behind their headers.
    char buffer[8192];
    const short n = lib_.ReadMessage(id_, buffer, sizeof buffer, BLOCKING_IO);
    if (n > 0)
        *message = QByteArray(buffer, n);
    return n;
}

}  // namespace rp1210tool
