// rp1210-vehicle: the simulated vehicle of the driver's simulator devices (the J1939
// engine controller with its address claim, requests and transport, the UDS server on
// 7E0/7E8) on a real CAN interface, so the driver and other tools can be tried on
// SocketCAN, a USB adapter or Qt's virtual CAN bus without a truck.
//
//   rp1210-vehicle [--plugin virtualcan] [--interface can0] [--bitrate N]
//
// Prints "ready" once the bus is open and runs until SIGINT or SIGTERM.
#include "bus/qt_can_bus.h"
#include "bus/simulated_vehicle.h"

#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "Usage: rp1210-vehicle [--plugin NAME] [--interface NAME] [--bitrate N]\n"
                 "Runs the simulated vehicle on a CAN interface through Qt Serial Bus until interrupted.\n"
                 "  --plugin     socketcan, virtualcan, peakcan, ... (default virtualcan)\n"
                 "  --interface  can0, or for virtualcan tcp://127.0.0.1:PORT/can0 (default can0)\n"
                 "  --bitrate    bits/s where the plugin sets it (default: the interface's own)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QString plugin = QStringLiteral("virtualcan"), interface = QStringLiteral("can0");
    quint32 bitrate = 0;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--plugin") == 0 && hasValue) {
            plugin = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--interface") == 0 && hasValue) {
            interface = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--bitrate") == 0 && hasValue) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(argv[++i], &end, 10);
            if (end == nullptr || *end != '\0' || n > 1000000)
                return usage();
            bitrate = quint32(n);
        } else {
            return usage();
        }
    }

    // The signals are taken by sigwait below, not by whichever thread they land on: block
    // them before any thread starts, so every thread inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    rp1210core::bus::QtCanBus can(plugin, interface);
    rp1210core::bus::SimulatedVehicle::Config config;
    config.canBitrate = bitrate;
    rp1210core::bus::SimulatedVehicle vehicle(&can, nullptr, config);
    if (!vehicle.start()) {
        std::fprintf(stderr, "rp1210-vehicle: cannot open %s: %s\n", qPrintable(can.name()),
                     qPrintable(can.openError()));
        return 1;
    }
    std::printf("ready: the simulated vehicle on %s\n", qPrintable(can.name()));
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    vehicle.stop();
    return 0;
}
