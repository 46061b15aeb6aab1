// Builds against the public header only: wires the three managers as a host does and
// makes calls that need no adapter.
#include <rp1210core.h>

#include <cstdio>
#include <cstring>

int main()
{
    rp1210core::GestorRP1210* api = rp1210core::GestorRP1210::getInstance();
    api->setIGestorOutput(rp1210core::Gestor_IO::getInstance());
    api->setIGestorInput(rp1210core::GestorInput::getInstance());

    char text[81] = {};
    const short rc = api->RP1210_GetErrorMsg(142, text);
    std::printf("%d %s\n", rc, text);
    // No transport and no client: a read reports the client as not connected, nothing crashes.
    char buffer[16];
    const short read = api->RP1210_ReadMessage(1, buffer, sizeof buffer, 0);
    const bool ok = rc == 0 && std::strlen(text) > 0 && read == -rp1210rc::CLIENT_DISCONNECTED &&
                    getMUXCommand(PROTOCOLO_J1939, 6, 14, false) == QLatin1String("C0000");
    return ok ? 0 : 1;
}
