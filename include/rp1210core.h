// The one header a host of the RP1210 core includes: the RP1210 operations, the three
// managers and their wiring, the transport interface, the shared types and return
// codes, and the pin multiplexer tables.
#pragma once

#include <rp1210core/export.h>
#include <rp1210core/iproxy_link.h>
#include <rp1210core/irp1210.h>
#include <rp1210core/managers.h>
#include <rp1210core/mux_tables.h>
#include <rp1210core/types.h>
