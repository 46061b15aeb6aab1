// Wires one set of managers together as the host's singletons are wired: the output
// manager reports to the API manager, the input manager dispatches to the output
// manager, and the API manager reaches the adapter through both. The transport must
// still hand every frame it receives to input.storeMsg. The output manager keeps the
// clock that the API manager has at wiring time (its hold-back and broadcast due times
// are read on it).
#pragma once

#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"

namespace rp1210core::internal {

inline void wireCore(::GestorRP1210& api, ::Gestor_IO& output, ::GestorInput& input, IProxyLink* link)
{
    output.setIProxyLink(link);
    output.setGestorRP1210(&api);
    output.setClock(&api.clock());
    input.setGestorIO(&output);
    api.setIGestorOutput(static_cast<IGestorOutput*>(&output));
    api.setIGestorInput(static_cast<IGestorInput*>(&input));
}

}  // namespace rp1210core::internal
