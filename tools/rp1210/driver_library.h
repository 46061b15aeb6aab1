// The RP1210 driver as an application finds and uses it: the INI folder, the
// implementation RP121032.ini names, its shared object loaded with dlopen, and nothing
// but the exported RP1210 functions.
#pragma once

#include <rp1210.h>

#include <QByteArray>
#include <QString>

namespace rp1210tool {

// The INI folder: the --ini option (a folder or a file in it), else RP1210_INI, else
// where this tool's own build or install put the driver's files.
QString iniFolder(const QString& option);

class Library {
public:
    Library() = default;
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Reads the INI files in `folder` and loads the first implementation; false with a
    // reason. The driver is told the same folder, so both read the same files.
    bool load(const QString& folder, QString* error);

    QString implementation() const { return name_; }
    QString path() const { return path_; }
    double timestampUnitUs() const { return unitUs_; }

    // "136 The specified protocol is invalid ..."
    QString describe(short code) const;

    decltype(&RP1210_ClientConnect) ClientConnect = nullptr;
    decltype(&RP1210_ClientDisconnect) ClientDisconnect = nullptr;
    decltype(&RP1210_SendMessage) SendMessage = nullptr;
    decltype(&RP1210_ReadMessage) ReadMessage = nullptr;
    decltype(&RP1210_SendCommand) SendCommand = nullptr;
    decltype(&RP1210_ReadVersion) ReadVersion = nullptr;
    decltype(&RP1210_ReadDetailedVersion) ReadDetailedVersion = nullptr;
    decltype(&RP1210_GetHardwareStatus) GetHardwareStatus = nullptr;
    decltype(&RP1210_GetErrorMsg) GetErrorMsg = nullptr;
    decltype(&RP1210_GetLastErrorMsg) GetLastErrorMsg = nullptr;
    decltype(&RP1210_Ioctl) Ioctl = nullptr;

private:
    void* handle_ = nullptr;
    QString name_;
    QString path_;
    double unitUs_ = 1000;
};

// One connected client; disconnected when it goes.
class Client {
public:
    // Waits that long at most in read(), so a loop notices Ctrl-C and its deadlines.
    static constexpr int kReadSliceMs = 100;

    Client(const Library& lib, short device, const QString& protocol);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The connect's error code, 0 when connected.
    short error() const { return id_ >= 1 && id_ <= 16 ? 0 : id_; }
    short id() const { return id_; }

    short command(short number, QByteArray data = QByteArray());
    short send(QByteArray message);
    // One message within kReadSliceMs: its size, 0 when none came, or a code negated.
    int read(QByteArray* message);
    short disconnect();

private:
    const Library& lib_;
    short id_ = 0;
    bool connected_ = false;
};

}  // namespace rp1210tool
