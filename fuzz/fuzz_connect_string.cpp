// Connect strings for every adapter generation: the parser reads a C string an
// application hands over, and what the adapter reports decides which keywords it takes.
//
// Input: a generation byte, a version byte, then the connect string (cut at a NUL).
#include "api_rig.h"

#include <cstring>
#include <vector>

namespace {

class TypeLink final : public IProxyLink {
public:
    short initializeConnection() override { return 0; }
    bool writeData(const char*, int) override { return true; }
    void getTypeInterface(QString& t, int& v, int& o) override { t = type, v = version, o = 0; }
    void limpiarDescargarProxy() override {}
    int getComChannel() override { return 0; }
    QString type;
    int version = 0;
};

const char* const kTypes[] = {"K", "L", "J", "A", "E", "X", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TypeLink* link = new TypeLink;
    static Gestor_IO* io = [] {
        auto* io = new Gestor_IO;
        io->setIProxyLink(link);
        return io;
    }();
    static GestorRP1210* g = [] {
        auto* g = new GestorRP1210;
        g->setIGestorOutput(io);
        return g;
    }();

    FuzzBytes in(data, size);
    link->type = QString::fromLatin1(in.pick(kTypes));
    link->version = in.byte() % 16;
    g->linkType();

    // The application's string, NUL-terminated, on the heap with nothing after it.
    const QByteArray text = in.rest();
    std::vector<char> c(text.begin(), text.end());
    c.push_back('\0');
    enu_GATEWAY_Protocolo protocolo = PROTOCOLO_NULL;
    enu_GATEWAY_Velocidad velocidad = VELOCIDAD_NINGUNA;
    QString mux;
    const short rc = g->TranslateProtocolString(c.data(), &protocolo, &velocidad, &mux);
    // An accepted string names a protocol and, when it routes pins, a five-character command.
    if (rc == 0 && !mux.isEmpty() && mux.size() != 5)
        __builtin_trap();
    g->TranslateProtocolString(c.data(), nullptr, nullptr, nullptr);
    return 0;
}
