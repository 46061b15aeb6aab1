// Builds against the umbrella header only and makes one call through the API.
#include <rp1210core.h>

#include <cstdio>

int main()
{
    GestorRP1210* g = GestorRP1210::getInstance();
    char text[81] = {};
    // The error-text table needs no adapter.
    const short rc = g->errores().ObtenerMsgError(142, text);
    std::printf("%d %s\n", rc, text);
    return rc == 0 && getMUXCommand(PROTOCOLO_J1939, 6, 14, false) == QLatin1String("C0000") ? 0 : 1;
}
