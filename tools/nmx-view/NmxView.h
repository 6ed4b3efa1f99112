// nmx-view: the viewer of VxNmxLogger, callable without the process around it. Writes what
// it reports to out and its complaints to err, one line each.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "os/OsTypes.h"
#include "viewclient/ViewOptions.h"
#include "viewclient/ViewProcess.h"

class CViewSession;

struct ServeOptions {
  std::string host = "127.0.0.1";  // where the page is served
  WORD port = 8080;                // 0: any free port
  std::string token;      // required from every request; generated when empty and not loopback
  bool bMetrics = false;  // follow the capture all the time, so that /metrics counts every frame
};

// The whole program: argv[0] is its name.
int RunNmxView(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The follow command on a connected session.
int ViewFollow(CViewSession& s, const FollowOptions& f);
// Serves the browser page until a stop is requested (RequestViewStop). Connects on its own.
int ViewServe(const ViewOptions& opt, const ServeOptions& serve, std::ostream& out,
              std::ostream& err);
// "HOST:PORT" or "[IPV6]:PORT" (port 0 to 65535); false when malformed.
bool ParseListenAddress(const std::string& text, std::string* host, WORD* port);
// 127.0.0.0/8, ::1 and localhost.
bool IsLoopbackHost(const std::string& host);
