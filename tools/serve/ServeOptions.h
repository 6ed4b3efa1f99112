// Where and for whom nmx-view serve serves its page.
#pragma once

#include <string>

#include "os/OsTypes.h"

struct ServeOptions {
  std::string host = "127.0.0.1";  // where the page is served
  WORD port = 8080;                // 0: any free port
  std::string token;      // required from every request; generated when empty and not loopback
  bool bMetrics = false;  // follow the capture all the time, so that /metrics counts every frame
};

// "HOST:PORT" or "[IPV6]:PORT" (port 0 to 65535); false when malformed.
bool ParseListenAddress(const std::string& text, std::string* host, WORD* port);
// 127.0.0.0/8, ::1 and localhost.
bool IsLoopbackHost(const std::string& host);
