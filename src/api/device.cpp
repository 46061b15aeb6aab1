#include "api/device.h"

#include "adapter/software_adapter.h"
#include "bus/simulated_vehicle.h"

namespace rp1210core::api {

namespace {

// The simulated vehicle behind the software adapter. Members go in reverse order: the
// adapter (its thread and its ports' use) before the ports, the ports before the buses.
class SimulatorDevice final : public Device {
public:
    SimulatorDevice(const DeviceSettings& s, FrameSink sink)
        : can_(vehicle_.createCanPort()),
          j1708_(vehicle_.createJ1708Port()),
          kline_(vehicle_.createKLinePort()),
          j1850_(vehicle_.createJ1850Port()),
          adapter_(config(s), {can_.get(), j1708_.get(), kline_.get(), j1850_.get()})
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
    static adapter::SoftwareAdapter::Config config(const DeviceSettings& s)
    {
        adapter::SoftwareAdapter::Config c;
        c.interfaceType = s.adapterType;
        c.interfaceVersion = s.adapterVersion;
        c.timestampUnitUs = s.timestampUnitUs;
        return c;
    }

    bus::VehicleSimulation vehicle_;
    std::unique_ptr<bus::CanBus> can_;
    std::unique_ptr<bus::J1708Bus> j1708_;
    std::unique_ptr<bus::KLineBus> kline_;
    std::unique_ptr<bus::J1850Bus> j1850_;
    adapter::SoftwareAdapter adapter_;
};

}  // namespace

std::unique_ptr<Device> openDevice(const DeviceSettings& settings, FrameSink sink, short* code)
{
    *code = 0;
    switch (settings.bus) {
    case DeviceSettings::Bus::Simulator:
        return std::make_unique<SimulatorDevice>(settings, std::move(sink));
    }
    *code = apirc::INVALID_KEY_STRING;
    return nullptr;
}

}  // namespace rp1210core::api
