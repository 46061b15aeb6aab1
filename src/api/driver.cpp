#include "api/driver.h"

#include "api/ini_file.h"
#include "api/ini_location.h"
#include "rp1210/wiring.h"

#include <chrono>

using rp1210core::internal::MutexLocker;
using rp1210core::internal::UniqueLock;

namespace rp1210core::api {

namespace {

// Long enough for any call the core bounds (its longest wait is 8 s); a call still
// running after it is stuck in the application's own hands.
constexpr int kDrainLimitMs = 15000;

// The adapter's answer state behind a code the core made of it: 511 to 525 are 510 plus
// the state, the speed refusals are state 4 (another speed in use). -1 for other codes.
int adapterStateOf(short code)
{
    if (code >= 511 && code <= 525)
        return code - 510;
    if (code >= 454 && code <= 458 && code != 455)
        return 4;
    return -1;
}

// Codes a CAN interface's trouble can be behind: unavailable, bus-off, another speed.
bool explainedByBus(short code)
{
    return code == rp1210rc::HARDWARE_NOT_RESPONDING || code == apirc::BUS_OFF ||
           (code >= rp1210rc::CAN_SPEED_MISMATCH && code <= rp1210rc::ISO15765_BAUD_NONSTANDARD);
}

}  // namespace

// ---- the gate ----

bool Driver::Gate::enter()
{
    UniqueLock lock(mutex_);
    while (closed_ && !shutDown_)
        lock.wait(changed_);
    if (shutDown_)
        return false;
    ++active_;
    return true;
}

void Driver::Gate::leave()
{
    MutexLocker lock(mutex_);
    --active_;
    changed_.notify_all();
}

bool Driver::Gate::closeWhenIdle(int limitMs)
{
    UniqueLock lock(mutex_);
    closed_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (active_ != 0) {
        if (lock.waitUntil(changed_, deadline) == std::cv_status::timeout)
            return active_ == 0;
    }
    return true;
}

void Driver::Gate::reopen()
{
    MutexLocker lock(mutex_);
    closed_ = false;
    changed_.notify_all();
}

void Driver::Gate::shutDown()
{
    MutexLocker lock(mutex_);
    shutDown_ = true;
    changed_.notify_all();
}

template <typename F>
auto Driver::guarded(F&& f, decltype(f()) refused)
{
    if (!gate_.enter())
        return refused;
    const auto result = f();
    gate_.leave();
    return result;
}

// ---- life ----

Driver& Driver::instance()
{
    // Destroyed when the library is unloaded or the process exits; the destructor
    // leaves no thread behind.
    static Driver driver;
    return driver;
}

Driver::Driver()
    : api_(std::make_unique<::GestorRP1210>()),
      output_(std::make_unique<::Gestor_IO>()),
      input_(std::make_unique<::GestorInput>())
{
    internal::wireCore(*api_, *output_, *input_, nullptr);
}

Driver::~Driver()
{
    gate_.shutDown();
    MutexLocker lock(deviceMutex_);
    // Disconnecting wakes any reader still blocked on a client, so its call returns.
    for (short id = 1; id <= 16; ++id) {
        Cliente* c = api_->getCliente(static_cast<quint8>(id));
        if (c != nullptr && c->getConectado())
            api_->RP1210_ClientDisconnect(id);
    }
    if (!gate_.closeWhenIdle(kDrainLimitMs)) {
        // A call still runs in the managers: leave them to it rather than free them
        // under it. Only the device goes, after the core let go of it.
        (void)api_.release();
        (void)output_.release();
        (void)input_.release();
    }
    if (device_) {
        if (output_)
            output_->setIProxyLink(nullptr);
        device_.reset();
    }
    // The API manager goes last and would release the link through the output manager.
    if (api_)
        api_->setIGestorOutput(static_cast<IGestorOutput*>(nullptr));
}

// ---- the device ----

short Driver::openDevice() const
{
    MutexLocker lock(deviceMutex_);
    return deviceId_;
}

bool Driver::anyClientConnected() const
{
    return api_->numeroClientesConectados() != 0;
}

short Driver::openDeviceLocked(short device)
{
    IniFile ini;
    if (!IniFile::load(vendorIniPath(), &ini) || !ini.hasSection(QStringLiteral("VendorInformation")))
        return apirc::INI_FILE_NOT_FOUND;
    const QString section = QStringLiteral("DeviceInformation%1").arg(device);
    if (device < 1 || !ini.hasSection(section) || ini.intValue(section, QStringLiteral("DeviceID"), -1) != device)
        return apirc::INVALID_DEVICE;
    DeviceSettings settings;
    const short parsed = parseDeviceParams(ini.value(section, QStringLiteral("DeviceParams")), &settings);
    if (parsed != 0)
        return parsed;

    ::GestorInput* input = input_.get();
    short code = 0;
    busHealth_ = bus::CanHealth::Ok;
    {
        MutexLocker fault(faultMutex_);
        faultText_.clear();
    }
    device_ = api::openDevice(
        settings, [input](const QByteArray& f) { input->storeMsg(f.constData(), static_cast<quint32>(f.size())); },
        // The managers outlive the device, or are left alive when a call never returned.
        [this, api = api_.get()](bus::CanHealth health, const QString& text) { onDeviceFault(api, health, text); },
        &code);
    if (!device_)
        return code;
    output_->setIProxyLink(device_->link());
    deviceId_ = device;
    return 0;
}

void Driver::onDeviceFault(::GestorRP1210* api, bus::CanHealth health, const QString& text)
{
    {
        MutexLocker lock(faultMutex_);
        faultText_ = text.toUtf8();
    }
    const bus::CanHealth before = busHealth_.exchange(health);
    // A vanished interface fails every call at once, blocked reads too, until a connect
    // finds it again; a bus-off one refuses sends while it lasts.
    if (health == bus::CanHealth::Gone && before != bus::CanHealth::Gone)
        api->set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
}

void Driver::closeIfIdleLocked()
{
    if (!device_ || anyClientConnected())
        return;
    // The core has stopped its threads and released the link; calls still running may
    // hold it for a moment (a status request of a client just disconnected).
    if (gate_.closeWhenIdle(kDrainLimitMs)) {
        output_->setIProxyLink(nullptr);
        device_.reset();
        deviceId_ = 0;
    }
    gate_.reopen();
}

void Driver::closeIfIdle()
{
    MutexLocker lock(deviceMutex_);
    closeIfIdleLocked();
}

// ---- the RP1210 calls ----

short Driver::noted(short client, short result)
{
    // A read's byte count is no error; its errors come negated.
    const short code = result < 0 ? static_cast<short>(-result) : result;
    if (result != 0)
        lastError_[client >= 1 && client <= 16 ? client : 0] = code;
    return result;
}

short Driver::connect(quint32 hwnd, short device, const char* protocol, qint32 txSize, qint32 rxSize,
                      short packetizing)
{
    MutexLocker lock(deviceMutex_);
    if (!gate_.enter())
        return rp1210rc::DLL_NOT_INITIALIZED;
    short result = 0;
    if (device_ && device != deviceId_) {
        result = anyClientConnected() ? apirc::DEVICE_IN_USE : 0;
        if (result == 0) {
            // Left open by a connect that failed; nothing uses it.
            output_->setIProxyLink(nullptr);
            device_.reset();
            deviceId_ = 0;
        }
    }
    if (result == 0 && !device_)
        result = openDeviceLocked(device);
    if (result == 0)
        result = api_->RP1210_ClientConnect(hwnd, device, protocol, txSize, rxSize, packetizing);
    gate_.leave();
    closeIfIdleLocked();
    // A client id is no error; failed connects have no client yet.
    return result > 16 ? noted(0, result) : result;
}

short Driver::disconnect(short client)
{
    MutexLocker lock(deviceMutex_);
    if (!gate_.enter())
        return rp1210rc::DLL_NOT_INITIALIZED;
    const short result = api_->RP1210_ClientDisconnect(client);
    gate_.leave();
    closeIfIdleLocked();
    return noted(client, result);
}

short Driver::sendMessage(short client, const char* message, short size, short notify, short block)
{
    if (busHealth_.load() == bus::CanHealth::BusOff && client >= 1 && client <= 16)
        return noted(client, apirc::BUS_OFF);
    return noted(client, guarded([&] { return api_->RP1210_SendMessage(client, message, size, notify, block); },
                                 short(rp1210rc::DLL_NOT_INITIALIZED)));
}

short Driver::readMessage(short client, char* buffer, short size, short block)
{
    const short n = guarded([&] { return api_->RP1210_ReadMessage(client, buffer, size, block); },
                            short(-rp1210rc::DLL_NOT_INITIALIZED));
    return n < 0 ? noted(client, n) : n;
}

short Driver::sendCommand(short command, short client, char* data, short size)
{
    const short result = guarded([&] { return api_->RP1210_SendCommand(command, client, data, size); },
                                 short(rp1210rc::DLL_NOT_INITIALIZED));
    // A reset may have closed the link under the last client.
    if (command == 0)
        closeIfIdle();
    return noted(client, result);
}

void Driver::readVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor)
{
    guarded([&] { return api_->RP1210_ReadVersion(dllMajor, dllMinor, apiMajor, apiMinor); }, short(0));
}

short Driver::readDetailedVersion(short client, char* apiVersion, char* dll, char* firmware)
{
    return guarded([&] { return api_->RP1210_ReadDetailedVersion(client, apiVersion, dll, firmware); },
                   short(rp1210rc::DLL_NOT_INITIALIZED));
}

short Driver::getHardwareStatus(short client, char* info, short size, short block)
{
    return noted(client, guarded([&] { return api_->RP1210_GetHardwareStatus(client, info, size, block); },
                                 short(rp1210rc::DLL_NOT_INITIALIZED)));
}

short Driver::getErrorMsg(short code, char* text)
{
    if (const char* own = iniErrorText(code)) {
        if (text == nullptr)
            return rp1210rc::NULL_PARAMETER;
        qstrncpy(text, own, 80);
        return 0;
    }
    return guarded([&] { return api_->RP1210_GetErrorMsg(code, text); }, short(rp1210rc::DLL_NOT_INITIALIZED));
}

short Driver::getLastErrorMsg(short code, int* subCode, char* text, short client)
{
    // The text is that of the code, or the CAN interface's own words when the code is the
    // client's last error and the interface explains it; the sub-error is the adapter's
    // state behind it.
    const short result = getErrorMsg(code, text);
    const short last = lastError_[client >= 1 && client <= 16 ? client : 0].load();
    const bool asked = code != 0 && last == code;
    if (subCode != nullptr)
        *subCode = asked ? adapterStateOf(code) : -1;
    if (asked && text != nullptr && explainedByBus(code)) {
        MutexLocker lock(faultMutex_);
        if (!faultText_.isEmpty())
            qstrncpy(text, faultText_.constData(), 81);
    }
    return result;
}

short Driver::ioctl(short client, qint32 id, void* input, void* output)
{
    return noted(client, guarded([&] { return api_->RP1210_Ioctl(client, id, input, output); },
                                 short(rp1210rc::DLL_NOT_INITIALIZED)));
}

}  // namespace rp1210core::api
