// The whole core wired to the software adapter on the simulated vehicle, as a host wires
// them, with RP1210 calls as an application makes them. Header-only: whoever includes it
// links the adapter's objects too.
#pragma once

#include "adapter/software_adapter.h"
#include "bus/simulated_vehicle.h"
#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "rp1210/wiring.h"

#include <QByteArray>

#include <memory>

struct VehicleRig {
    VehicleRig() : adapter(config(), {canPort.get(), j1708Port.get(), klinePort.get(), j1850Port.get()})
    {
        rp1210core::internal::wireCore(g, io, in, &adapter);
        adapter.setDelivery([this](const QByteArray& f) { in.storeMsg(f.constData(), quint32(f.size())); });
    }
    ~VehicleRig()  // the adapter's thread delivers into `in` and holds the ports: it stops first
    {
        adapter.limpiarDescargarProxy();
        in.pararHiloRecepcion();
        io.pararHiloEnvio();
        g.setIGestorOutput(nullptr);
    }
    static rp1210core::adapter::SoftwareAdapter::Config config()
    {
        rp1210core::adapter::SoftwareAdapter::Config c;
        c.interfaceType = QStringLiteral("A");
        c.interfaceVersion = 7;
        return c;
    }

    // A client with every filter open (command 3) and the echo on or off: its id, or the
    // failing result negated.
    short open(const char* connectString, bool echo = false, qint32 rxBytes = 1 << 20)
    {
        const short id = g.RP1210_ClientConnect(0, 1, connectString, 0, rxBytes, 0);
        if (id < 1 || id > 16)
            return short(-id);
        char on = echo ? 1 : 0;
        short rc = g.RP1210_SendCommand(3, id, nullptr, 0);
        if (rc == 0)
            rc = g.RP1210_SendCommand(16, id, &on, 1);
        return rc == 0 ? id : short(-rc);
    }
    short send(short id, const QByteArray& m) { return g.RP1210_SendMessage(id, m.constData(), short(m.size()), 0, 0); }
    // The ISO 15765 flow control of 0x7E0 to 0x7E8 (the simulated UDS server), no block
    // limit and no separation time.
    short flowControl(short id)
    {
        char record[] = {0, 0, 0, 0x07, char(0xE8), 0, 0, 0x07, char(0xE0), 0, 0, 0, 0};
        return g.RP1210_SendCommand(34, id, record, short(sizeof record));
    }

    rp1210core::bus::VehicleSimulation vehicle;
    std::unique_ptr<rp1210core::bus::CanBus> canPort = vehicle.createCanPort();
    std::unique_ptr<rp1210core::bus::J1708Bus> j1708Port = vehicle.createJ1708Port();
    std::unique_ptr<rp1210core::bus::KLineBus> klinePort = vehicle.createKLinePort();
    std::unique_ptr<rp1210core::bus::J1850Bus> j1850Port = vehicle.createJ1850Port();
    GestorRP1210 g;
    Gestor_IO io;
    GestorInput in;
    rp1210core::adapter::SoftwareAdapter adapter;
};
