// The one header a host of the RP1210 core includes.
#pragma once

#include "rp1210/rp1210_types.h"
#include "rp1210/irp1210.h"
#include "rp1210/clock.h"
#include "rp1210/gestion_errores.h"
#include "rp1210/speeds.h"
#include "rp1210/gestor_rp1210.h"
#include "client/cliente.h"
#include "client/filters.h"
#include "link/iproxy_link.h"
#include "link/igestor_output.h"
#include "link/igestor_input.h"
#include "link/gestor_io.h"
#include "link/gestor_input.h"
#include "link/byte_order.h"
#include "link/mux_tables.h"
