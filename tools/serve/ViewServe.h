// nmx-view serve: the browser page over HTTP. Only where cpp-httplib is found (VX_HAVE_HTTPLIB,
// which vx_serve then passes on to whoever links it).
#pragma once

#include <ostream>

#include "serve/ServeOptions.h"
#include "viewclient/ViewOptions.h"

// Serves the browser page until a stop is requested (RequestViewStop). Connects on its own.
int ViewServe(const ViewOptions& opt, const ServeOptions& serve, std::ostream& out,
              std::ostream& err);
