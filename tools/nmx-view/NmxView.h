// nmx-view: the viewer of VxNmxLogger, callable without the process around it. Writes what
// it reports to out and its complaints to err, one line each.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "nmx-view/FrameTrigger.h"
#include "os/OsTypes.h"

// Exit status of the program.
constexpr int kViewExitOk = 0;
constexpr int kViewExitFailed = 1;      // the logger refused, or a local file failed
constexpr int kViewExitUsage = 2;       // the command line was wrong
constexpr int kViewExitConnection = 3;  // no connection, or it broke

constexpr WORD kViewDefaultPort = 48914;

struct ViewOptions {
  std::string host = "127.0.0.1";
  WORD port = kViewDefaultPort;
  DWORD timeoutMs = 10000;
  bool bJson = false;
};

struct FollowOptions {
  bool bNotify = true;  // notifications; false: poll with reads
  DWORD nCycleMs = 10;
  DWORD cbPacket = 65536;
  std::string writeFile;  // store into this capture file instead of printing
  uint64_t nCount = UINT64_MAX;
  DWORD nDurationMs = 0;  // 0: until stopped
  std::string trigger;    // what stops the logger's capture (FrameTrigger.h); empty: nothing
  TriggerStop triggerStop;
};

struct ServeOptions {
  std::string host = "127.0.0.1";  // where the page is served
  WORD port = 8080;                // 0: any free port
  std::string token;      // required from every request; generated when empty and not loopback
  bool bMetrics = false;  // follow the capture all the time, so that /metrics counts every frame
};

// The whole program: argv[0] is its name.
int RunNmxView(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// Loads the runtime's registry before any thread exists, without the line it prints on
// standard output when it has no NetId (as on any machine without the runtime): a viewer
// needs no NetId of its own, and its output must stay clean for scripts.
void LoadRegistryQuietly();

// SIGINT and SIGTERM request a stop (RequestViewStop) instead of ending the program, so a
// follow detaches from the logger first; SIGPIPE is ignored, so a reader that goes away (a
// pipe into head, a closed FIFO) fails a write instead of ending the program.
void HandleStopSignals();

// Ends a follow in progress cleanly, as SIGINT and SIGTERM do (async-signal-safe).
void RequestViewStop();
bool ViewStopRequested();
void ResetViewStop();
