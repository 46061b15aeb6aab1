// The host's three managers: created together on the first getInstance call and wired
// to one another's internals, so none of them ever reaches for another by itself.
#include "rp1210/wiring.h"

namespace {

struct Instances {
    ::GestorRP1210 api;
    ::Gestor_IO output;
    ::GestorInput input;

    Instances()
    {
        // The transport comes from the host, through Gestor_IO::setIProxyLink.
        rp1210core::internal::wireCore(api, output, input, nullptr);
    }
};

Instances& instances()
{
    // Never destroyed: the library's threads may still run while the process exits.
    // The local static makes the first creation thread-safe.
    static Instances* const created = new Instances;
    return *created;
}

}  // namespace

namespace rp1210core {

GestorRP1210* GestorRP1210::getInstance() { return &instances().api; }
Gestor_IO* Gestor_IO::getInstance() { return &instances().output; }
GestorInput* GestorInput::getInstance() { return &instances().input; }

}  // namespace rp1210core
