#include "console/LoggerConsole.h"

#include <cstdio>

#include "console/ConsoleInput.h"
#include "console/StopSignals.h"
#include "console/SystemLog.h"

namespace {

constexpr ULONG kCycleMs = 100;
// The capture goes on and keeps what it has; a viewer's next start connects again.
constexpr char kRouterLost[] = "Connection to nmx router lost";

// Frames were lost (a full queue, a full single file, a failed write, a router that could not
// hand them over in time): the recording is not complete, and the user must know, also in the
// system log. A write error not shown yet happened while stopping.
void ReportLosses(CNmxLoggerPort& port) {
  const std::string writeError = port.TakeWriteErrorLine();
  if (!writeError.empty()) ReportAlert(writeError);
  for (std::string notice = port.TakeNoticeLine(); !notice.empty(); notice = port.TakeNoticeLine())
    ReportAlert(notice);
  const std::string dropped = port.DroppedLine();
  if (!dropped.empty()) ReportAlert(dropped);
}

}  // namespace

void StartLogger(const Parms_t& parms) {
  CNmxLoggerPort port;
  HRESULT hr =
      port.Open(parms.bListen, static_cast<WORD>(parms.listenerPort), parms.listenerAddress);
  if (hr < 0) {
    printf("Failed to open logger (err=0x%x)!\n", static_cast<unsigned>(hr));
  } else if (parms.bCapture) {
    hr = port.Start(parms);
    if (hr < 0)
      printf("Failed to start logger (err=0x%x)!\n", static_cast<unsigned>(hr));
    else
      ExecuteLoggerLoop(port, parms);
  } else {
    printf("Listening for viewer connection at port %d\n", parms.listenerPort);
    ExecuteLoggerLoop(port, parms);
  }
  port.Close();
}

void ExecuteLoggerLoop(CNmxLoggerPort& port, const Parms_t& parms) {
  puts("\nPress q to stop nmx logger\n");
  bool bViewerShown = false;
  if (!PollStopSignals()) {
    for (;;) {
      if (GetKeyPressed() == 'q') break;
      if (!parms.bListen) {
        const ULONG frames = port.GetPacketCount();
        const ULONG bytes = port.GetCaptureFileSize();
        printf("\rPacket Count: %10u File Size:%10u", frames, bytes);
        fflush(stdout);
        const std::string writeError = port.TakeWriteErrorLine();
        const std::string notice = port.TakeNoticeLine();
        const bool routerLost = port.TakeRouterLost();
        // The status line goes on below the alerts.
        if (!writeError.empty() || !notice.empty() || routerLost) printf("\n");
        if (!writeError.empty()) ReportAlert(writeError);
        if (!notice.empty()) ReportAlert(notice);
        if (routerLost) ReportAlert(kRouterLost);
        if (!port.IsStarted()) {
          puts("\nCapture has stopped");
          break;
        }
      } else {
        const std::string writeError = port.TakeWriteErrorLine();
        if (!writeError.empty()) ReportAlert(writeError);
        const std::string notice = port.TakeNoticeLine();
        if (!notice.empty()) ReportAlert(notice);
        if (port.TakeRouterLost()) ReportAlert(kRouterLost);
        const bool connected = port.IsViewerConnected();
        if (connected && !bViewerShown) {
          puts("Viewer is connected to logger");
          bViewerShown = true;
        } else if (!connected && bViewerShown) {
          puts("Connection to viewer lost");
          bViewerShown = false;
        }
      }
      OsUserSleep(kCycleMs);
      if (PollStopSignals()) break;
    }
  }

  const bool bStopped = port.Stop();

  if (parms.bListen) {
    printf("\n");
    // A capture the viewer did not stop ends here, without the viewer's stop lines.
    if (bStopped) ReportLosses(port);
  } else {
    const ULONG frames = port.GetPacketCount();
    const ULONG bytes = port.GetCaptureFileSize();
    printf("\rPacket Count: %10u File Size:%10u\n\n", frames, bytes);
    puts("Capture has stopped");
    ReportLosses(port);
  }
  fflush(stdout);
}
