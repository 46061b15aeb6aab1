// The driver behind the exported RP1210 functions: the core's three managers, wired to
// one another and to the device the application connects through, created on first use
// and shut down when the library goes.
//
// One device at a time: the first connect opens the device it names (read from the
// vendor INI), the last disconnect closes it, and with it every thread of the driver.
#pragma once

#include "api/device.h"
#include "common/mutex.h"

#include <QtGlobal>

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>

class GestorRP1210;
class Gestor_IO;
class GestorInput;

namespace rp1210core::api {

class Driver {
public:
    // The process's driver, created on the first call (thread-safe).
    static Driver& instance();

    Driver();
    // Disconnects whoever is still connected and stops every thread.
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    short connect(quint32 hwnd, short device, const char* protocol, qint32 txSize, qint32 rxSize, short packetizing);
    short disconnect(short client);
    short sendMessage(short client, const char* message, short size, short notify, short block);
    short readMessage(short client, char* buffer, short size, short block);
    short sendCommand(short command, short client, char* data, short size);
    void readVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor);
    short readDetailedVersion(short client, char* api, char* dll, char* firmware);
    short getHardwareStatus(short client, char* info, short size, short block);
    short getErrorMsg(short code, char* text);
    short getLastErrorMsg(short code, int* subCode, char* text, short client);
    short ioctl(short client, qint32 id, void* input, void* output);

    // Which device is open (0: none). For tests and tools.
    short openDevice() const;
    // The open device's CAN interface changed its health or failed to open, on the
    // device's thread; `api` is the manager whose link fails with a vanished interface.
    void onDeviceFault(::GestorRP1210* api, bus::CanHealth health, const QString& text);

private:
    // Counts the calls in progress, so a device is closed only once no call uses it.
    class Gate {
    public:
        bool enter();  // false once the driver is shutting down
        void leave();
        // Holds new calls back and waits for those in progress; false on the deadline.
        bool closeWhenIdle(int limitMs);
        void reopen();
        void shutDown();

    private:
        internal::Mutex mutex_;
        std::condition_variable changed_;
        int active_ GUARDED_BY(mutex_) = 0;
        bool closed_ GUARDED_BY(mutex_) = false;
        bool shutDown_ GUARDED_BY(mutex_) = false;
    };
    template <typename F>
    auto guarded(F&& f, decltype(f()) refused);

    short openDeviceLocked(short device) REQUIRES(deviceMutex_);

    void closeIfIdleLocked() REQUIRES(deviceMutex_);
    void closeIfIdle();
    bool anyClientConnected() const;
    // Keeps the last error of each client (slot 0: calls without one, as a failed connect).
    short noted(short client, short result);

    std::array<std::atomic<short>, 17> lastError_{};
    // The open device's CAN interface: its health, and its last words for the error texts.
    std::atomic<bus::CanHealth> busHealth_{bus::CanHealth::Ok};
    internal::Mutex faultMutex_;
    QByteArray faultText_ GUARDED_BY(faultMutex_);

    // Declared before the managers: destroyed after them.
    std::unique_ptr<Device> device_ GUARDED_BY(deviceMutex_);
    short deviceId_ GUARDED_BY(deviceMutex_) = 0;

    std::unique_ptr<::GestorRP1210> api_;
    std::unique_ptr<::Gestor_IO> output_;
    std::unique_ptr<::GestorInput> input_;

    mutable internal::Mutex deviceMutex_;  // connect, disconnect and the device's life
    Gate gate_;
};

}  // namespace rp1210core::api
