// Adapter frames into the answer dispatch: clients of several protocols connected, with
// echo, filters and remembered send frames, segmented messages in flight. Each input
// gets fresh managers and no threads, so a crash replays from the input alone.
//
// Input: one settings byte, filter records, then frames, each a length byte (255: a
// 16-bit length follows) and its bytes.
#include "api_rig.h"

#include "common/wire_format.h"

#include <cstring>
#include <vector>

namespace {

class NullLink final : public IProxyLink {
public:
    short initializeConnection() override { return 0; }
    bool writeData(const char*, int) override { return true; }
    void getTypeInterface(QString& type, int& version, int& other) override { type = "A", version = 7, other = 0; }
    void limpiarDescargarProxy() override {}
    int getComChannel() override { return 0; }
};

constexpr quint8 kProtocols[] = {PROTOCOLO_J1939, PROTOCOLO_ISO15765, PROTOCOLO_ISO9141_1, PROTOCOLO_J1708,
                                 PROTOCOLO_CAN,   PROTOCOLO_J1850,    PROTOCOLO_CAT,       PROTOCOLO_J1939};

// A frame on the heap with nothing after it, as the ring hands it over.
void dispatch(Gestor_IO& io, const QByteArray& bytes)
{
    std::vector<char> exact(bytes.begin(), bytes.end());
    QByteArray frame = QByteArray::fromRawData(exact.data(), int(exact.size()));  // a change detaches a copy
    io.switchApplication(frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBytes in(data, size);
    NullLink link;
    GestorRP1210 g;
    Gestor_IO io;
    io.setIProxyLink(&link);
    io.setGestorRP1210(&g);

    const quint8 settings = in.byte();
    for (quint8 id = 1; id <= 8; ++id) {
        Cliente* c = g.getCliente(id);
        c->setProtocolo(kProtocols[id - 1]);
        c->setConectado(true);
        c->setTamanoBufferEntrada(1 << 16);
        c->setEchoMode((settings >> (id - 1)) & 1);
        c->setJ1708Mode(id & 1);
        c->setISO9141_KWP200_Mode(settings & 1);
        // Every other client filters with a record from the input.
        if (id % 2 == 0) {
            QByteArray record = in.bytes(16);
            record.resize(32);
            c->addFiltro(reinterpret_cast<const unsigned char*>(record.constData()));
            c->setFilterState(2);
            c->setFilterMode(settings & 2);
        } else {
            c->setFilterState(1);
        }
        // One message each, sent and remembered, so that answers may name it.
        io.GenerarTrama_EnviarMensaje(id, kProtocols[id - 1], c->getEchoMode(),
                                      QByteArray::fromHex("00ef0006f900aabbcc"), rp1210core::internal::wire::kNoBroadcast);
    }
    for (int i = 0; i < 64 && io.outputListSize() > 0; ++i)
        io.enviarMSG();

    while (!in.empty()) {
        int length = in.byte();
        if (length == 255)
            length = in.u16();
        dispatch(io, in.bytes(length));
    }

    // What reached the clients reads out whole into a buffer of its size.
    for (quint8 id = 1; id <= 8; ++id) {
        char buffer[1 << 12];
        for (int k = 0; k < 64 && g.getCliente(id)->GetMsjToRead(buffer, sizeof buffer, 0) != 0; ++k) {
        }
    }
    return 0;
}
