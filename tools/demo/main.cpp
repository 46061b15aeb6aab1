// A short drive on the simulated vehicle through the whole driver: the RP1210 calls of
// the core, the software adapter answering them, and the simulated vehicle's ECUs on
// its CAN and J1708 buses, its K-line and J1850. Prints what a J1939 and a J1708 client
// read, then asks the KWP2000 controller (after a fast initialisation) and the J1850
// VPW node for the engine speed.
//
//   rp1210_demo [seconds]      (default 5)
#include "adapter/software_adapter.h"
#include "bus/simulated_vehicle.h"
#include "rp1210/wiring.h"

#include <QByteArray>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

quint32 le(const char* p, int n)
{
    quint32 v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | static_cast<quint8>(p[i]);
    return v;
}

// A J1939 read: timestamp (4), PGN (3, least significant first), how/priority, source,
// destination, data.
void printJ1939(const char* m, int n)
{
    if (n < 10)
        return;
    const quint32 pgn = le(m + 4, 3);
    const char* d = m + 10;
    const int len = n - 10;
    std::printf("J1939  PGN %5u from %3u:", pgn, static_cast<quint8>(m[8]));
    for (int i = 0; i < len && i < 8; ++i)
        std::printf(" %02x", static_cast<quint8>(d[i]));
    if (pgn == 61444 && len >= 5)
        std::printf("   engine speed %.1f rpm", le(d + 3, 2) * 0.125);
    else if (pgn == 65265 && len >= 3)
        std::printf("   vehicle speed %.1f km/h", le(d + 1, 2) / 256.0);
    std::printf("\n");
}

// A J1708 read: timestamp (4), MID, PIDs and values (the checksum already cut).
void printJ1708(const char* m, int n)
{
    if (n < 5)
        return;
    std::printf("J1708  MID %3u:", static_cast<quint8>(m[4]));
    for (int i = 5; i < n; ++i)
        std::printf(" %02x", static_cast<quint8>(m[i]));
    std::printf("\n");
}

// Sends an OBD engine-speed request and reads until the answer with service 0x41 and
// PID 0x0C at `at` (offset after the timestamp) comes; its rpm, or -1.
double askEngineSpeed(GestorRP1210& api, short client, const QByteArray& request, int at)
{
    QByteArray m = request;
    if (api.RP1210_SendMessage(client, m.data(), short(m.size()), 0, 0) != 0)
        return -1;
    char timeout[2] = {10, 100};  // a blocking read waits at most 10 x 100 ms
    api.RP1210_SendCommand(215, client, timeout, 2);
    char buffer[256];
    for (int tries = 0; tries < 4; ++tries) {
        const short n = api.RP1210_ReadMessage(client, buffer, sizeof buffer, 1);
        if (n <= 0)
            return -1;
        const char* d = buffer + 4 + at;
        if (n >= 4 + at + 4 && static_cast<quint8>(d[0]) == 0x41 && d[1] == 0x0C)
            return ((static_cast<quint8>(d[2]) << 8) | static_cast<quint8>(d[3])) / 4.0;
    }
    return -1;
}

// A KWP2000 client: fast initialisation, then engine speed; a J1850 VPW client the same.
bool readByteBuses(GestorRP1210& api)
{
    const short kwp = api.RP1210_ClientConnect(0, 1, "KWP2000", 0, 0, 0);
    const short vpw = api.RP1210_ClientConnect(0, 1, "J1850VPW", 0, 0, 0);
    if (kwp < 1 || kwp > 16 || vpw < 1 || vpw > 16) {
        std::fprintf(stderr, "K-line or J1850 connect failed: %d %d\n", kwp, vpw);
        return false;
    }
    char none[1] = {0};
    api.RP1210_SendCommand(3, kwp, none, 0);
    api.RP1210_SendCommand(3, vpw, none, 0);
    // StartCommunication to the engine controller 0x11 from tester 0xF1 (the adapter adds the checksum).
    quint8 start[] = {0x81, 0x11, 0xF1, 0x81};
    quint8 answer[16] = {};
    SBYTE_ARRAY in{sizeof start, start}, out{sizeof answer, answer};
    const short rc = api.RP1210_Ioctl(kwp, IOCTL_FAST_INIT, &in, &out);
    std::printf("KWP2000 fast init: %d,", rc);
    for (quint32 i = 0; i < out.NumOfBytes; ++i)
        std::printf(" %02x", answer[i]);
    // Format, target, source, then the data: the answer's service is at offset 3.
    const double kwpRpm = askEngineSpeed(api, kwp, QByteArray::fromHex("c233f1010c"), 3);
    // Priority, target, source after the adapter's two length bytes: the service at offset 5.
    const double vpwRpm = askEngineSpeed(api, vpw, QByteArray::fromHex("686af1010c"), 5);
    std::printf("\nengine speed on the K-line %.1f rpm, on J1850 VPW %.1f rpm\n", kwpRpm, vpwRpm);
    api.RP1210_ClientDisconnect(vpw);
    api.RP1210_ClientDisconnect(kwp);
    return rc == 0 && kwpRpm > 0 && vpwRpm > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    rp1210core::bus::VehicleSimulation vehicle;
    auto can = vehicle.createCanPort();
    auto j1708 = vehicle.createJ1708Port();
    // Declared so that they go in the reverse of the order they report to one another.
    GestorRP1210 api;
    Gestor_IO output;
    GestorInput input;
    auto kline = vehicle.createKLinePort();
    auto j1850 = vehicle.createJ1850Port();
    rp1210core::adapter::SoftwareAdapter adapter({}, {can.get(), j1708.get(), kline.get(), j1850.get()});
    rp1210core::internal::wireCore(api, output, input, &adapter);
    adapter.setDelivery([&input](const QByteArray& f) { input.storeMsg(f.constData(), quint32(f.size())); });

    const short j1939 = api.RP1210_ClientConnect(0, 1, "J1939:Baud=250", 0, 0, 0);
    const short plc = api.RP1210_ClientConnect(0, 1, "J1708", 0, 0, 0);
    char text[81] = {};
    if (j1939 < 1 || j1939 > 16 || plc < 1 || plc > 16) {
        api.RP1210_GetErrorMsg(j1939 < 1 || j1939 > 16 ? j1939 : plc, text);
        std::fprintf(stderr, "connect failed: %d %s\n", j1939 < 1 || j1939 > 16 ? j1939 : plc, text);
        return 1;
    }
    char none[1] = {0};
    for (short id : {j1939, plc})
        api.RP1210_SendCommand(3, id, none, 0);  // let every message through
    std::printf("connected: J1939 client %d, J1708 client %d; reading for %d s\n", j1939, plc, seconds);

    int shown1939 = 0, shown1708 = 0, total = 0;
    double rpm = 0, kmh = 0;
    const auto start = Clock::now();
    auto nextStatus = start + std::chrono::milliseconds(500);
    char buffer[2048];
    while (Clock::now() < start + std::chrono::seconds(seconds)) {
        for (short id : {j1939, plc}) {
            const short n = api.RP1210_ReadMessage(id, buffer, sizeof buffer, 0);
            if (n <= 0)
                continue;
            ++total;
            if (id == j1939 && n >= 15 && le(buffer + 4, 3) == 61444)
                rpm = le(buffer + 13, 2) * 0.125;
            if (id == j1939 && n >= 13 && le(buffer + 4, 3) == 65265)
                kmh = le(buffer + 11, 2) / 256.0;
            // The first few of each kind in full.
            if (id == j1939 && shown1939 < 6 && ++shown1939)
                printJ1939(buffer, n);
            else if (id == plc && shown1708 < 2 && ++shown1708)
                printJ1708(buffer, n);
        }
        if (Clock::now() >= nextStatus) {
            const double t = std::chrono::duration<double>(Clock::now() - start).count();
            std::printf("%5.1f s  engine %7.1f rpm  vehicle %5.1f km/h  (%d messages)\n", t, rpm, kmh, total);
            nextStatus += std::chrono::milliseconds(500);
        }
    }
    std::printf("%d messages read\n", total);
    const bool byteBuses = readByteBuses(api);
    api.RP1210_ClientDisconnect(plc);
    api.RP1210_ClientDisconnect(j1939);
    adapter.limpiarDescargarProxy();
    input.pararHiloRecepcion();
    output.pararHiloEnvio();
    api.setIGestorOutput(nullptr);  // its destructor would reach the output manager, gone by then
    can->close();
    j1708->close();
    kline->close();
    j1850->close();
    return total > 0 && byteBuses ? 0 : 1;
}
