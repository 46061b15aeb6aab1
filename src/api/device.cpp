#include "api/device.h"

#include "adapter/software_adapter.h"
#include "bus/qt_can_bus.h"
#include "bus/simulated_vehicle.h"

namespace rp1210core::api {

namespace {

adapter::SoftwareAdapter::Config adapterConfig(const DeviceSettings& s)
{
    adapter::SoftwareAdapter::Config c;
    c.interfaceType = s.adapterType;
    c.interfaceVersion = s.adapterVersion;
    c.timestampUnitUs = s.timestampUnitUs;
    return c;
}

// The simulated vehicle behind the software adapter. Members go in reverse order: the
// adapter (its thread and its ports' use) before the ports, the ports before the buses.
class SimulatorDevice final : public Device {
public:
    SimulatorDevice(const DeviceSettings& s, FrameSink sink)
        : can_(vehicle_.createCanPort()),
          j1708_(vehicle_.createJ1708Port()),
          kline_(vehicle_.createKLinePort()),
          j1850_(vehicle_.createJ1850Port()),
          adapter_(adapterConfig(s), {can_.get(), j1708_.get(), kline_.get(), j1850_.get()})
    {
        adapter_.setDelivery(std::move(sink));
    }
    ~SimulatorDevice() override
    {
        // The adapter's thread stops first; the ports close before the simulation goes.
        adapter_.limpiarDescargarProxy();
        can_->close();
        j1708_->close();
        kline_->close();
        j1850_->close();
    }

    IProxyLink* link() override { return &adapter_; }

private:
    bus::VehicleSimulation vehicle_;
    std::unique_ptr<bus::CanBus> can_;
    std::unique_ptr<bus::J1708Bus> j1708_;
    std::unique_ptr<bus::KLineBus> kline_;
    std::unique_ptr<bus::J1850Bus> j1850_;
    adapter::SoftwareAdapter adapter_;
};

// A CAN interface through Qt Serial Bus behind the software adapter: the CAN family only,
// so J1708, the K-line family and J1850 are refused at connect.
class QtCanDevice final : public Device {
public:
    QtCanDevice(const DeviceSettings& s, FrameSink sink, FaultSink faults)
        : can_(s.plugin, s.interface), adapter_(adapterConfig(s), {&can_, nullptr, nullptr, nullptr})
    {
        adapter_.setDelivery(std::move(sink));
        adapter_.setFaultHandler(std::move(faults));
    }
    ~QtCanDevice() override
    {
        adapter_.limpiarDescargarProxy();
        can_.close();
    }

    IProxyLink* link() override { return &adapter_; }

private:
    bus::QtCanBus can_;
    adapter::SoftwareAdapter adapter_;
};

}  // namespace

std::unique_ptr<Device> openDevice(const DeviceSettings& settings, FrameSink sink, FaultSink faults, short* code)
{
    *code = 0;
    switch (settings.bus) {
    case DeviceSettings::Bus::Simulator:
        return std::make_unique<SimulatorDevice>(settings, std::move(sink));
    case DeviceSettings::Bus::QtCan:
        return std::make_unique<QtCanDevice>(settings, std::move(sink), std::move(faults));
    }
    *code = apirc::INVALID_KEY_STRING;
    return nullptr;
}

}  // namespace rp1210core::api
