#include "console/LoggerConsole.h"

#include <unistd.h>

#include <cstdio>

#include "console/ConsoleInput.h"
#include "console/StopSignals.h"
#include "console/SystemLog.h"

namespace {

constexpr ULONG kCycleMs = 100;
// Where nobody watches the line being rewritten (a file, a pipe, the journal), one line
// every so many cycles: 10 s.
constexpr ULONG kQuietCycles = 100;
// The capture goes on and keeps what it has; a viewer's next start connects again.
constexpr char kRouterLost[] = "Connection to nmx router lost";

// Frames were lost (a full queue, a full single file, a failed write, a router that could not
// hand them over in time): the recording is not complete, and the user must know, also in the
// system log. A write error not shown yet happened while stopping. Then the run's summary.
void ReportEndOfRun(CNmxLoggerPort& port) {
  const std::string writeError = port.TakeWriteErrorLine();
  if (!writeError.empty()) ReportAlert(writeError);
  for (std::string notice = port.TakeNoticeLine(); !notice.empty(); notice = port.TakeNoticeLine())
    ReportAlert(notice);
  const std::string dropped = port.DroppedLine();
  if (!dropped.empty()) ReportAlert(dropped);
  puts(port.SummaryLine().c_str());
}

// The status line: on a terminal rewritten in place (the cursor stays behind it), otherwise a
// line of its own.
void PrintStatus(CNmxLoggerPort& port, bool bTerminal) {
  const ULONG frames = port.GetPacketCount();
  const ULONG bytes = port.GetCaptureFileSize();
  if (bTerminal) {
    printf("\rPacket Count: %10u File Size:%10u", frames, bytes);
    fflush(stdout);
  } else {
    printf("Packet Count: %10u File Size:%10u\n", frames, bytes);
  }
}

}  // namespace

int StartLogger(const Parms_t& parms) {
  CNmxLoggerPort port;
  int status = EXIT_STATUS_OK;
  HRESULT hr =
      port.Open(parms.bListen, static_cast<WORD>(parms.listenerPort), parms.listenerAddress);
  if (hr < 0) {
    printf("Failed to open logger (err=0x%x)!\n", static_cast<unsigned>(hr));
    status = EXIT_STATUS_NOT_STARTED;
  } else if (parms.bCapture) {
    hr = port.Start(parms);
    if (hr < 0) {
      printf("Failed to start logger (err=0x%x)!\n", static_cast<unsigned>(hr));
      status = EXIT_STATUS_NOT_STARTED;
    } else {
      status = ExecuteLoggerLoop(port, parms);
    }
  } else {
    printf("Listening for viewer connection at port %d\n", parms.listenerPort);
    status = ExecuteLoggerLoop(port, parms);
  }
  port.Close();
  return status;
}

int ExecuteLoggerLoop(CNmxLoggerPort& port, const Parms_t& parms) {
  puts("\nPress q to stop nmx logger\n");
  const bool bStatus = parms.bCapture;
  const bool bTerminal = isatty(STDOUT_FILENO) == 1;
  bool bViewerShown = false;
  // A status line is open on the terminal: a line printed now must begin below it.
  bool bLineOpen = false;
  bool bWriteFailed = false;
  bool bEnded = false;
  if (!PollStopSignals()) {
    for (ULONG cycle = 0;; ++cycle) {
      if (GetKeyPressed() == 'q') break;
      if (bStatus && (bTerminal || cycle % kQuietCycles == 0)) {
        PrintStatus(port, bTerminal);
        bLineOpen = bTerminal;
      }
      const std::string writeError = port.TakeWriteErrorLine();
      const std::string notice = port.TakeNoticeLine();
      const bool routerLost = port.TakeRouterLost();
      bool connected = bViewerShown;
      if (parms.bListen) connected = port.IsViewerConnected();
      const bool viewerChange = connected != bViewerShown;
      if (bLineOpen && (!writeError.empty() || !notice.empty() || routerLost || viewerChange)) {
        printf("\n");
        bLineOpen = false;
      }
      if (!writeError.empty()) {
        ReportAlert(writeError);
        bWriteFailed = true;
      }
      if (!notice.empty()) ReportAlert(notice);
      if (routerLost) ReportAlert(kRouterLost);
      if (viewerChange) {
        puts(connected ? "Viewer is connected to logger" : "Connection to viewer lost");
        bViewerShown = connected;
      }
      // Without a listener the capture ends the run; with one, a viewer stops and starts it.
      if (!parms.bListen && !port.IsStarted()) {
        puts("\nCapture has stopped");
        bEnded = true;
        break;
      }
      OsUserSleep(kCycleMs);
      if (PollStopSignals()) break;
    }
  }

  const bool bStopped = port.Stop();

  if (!bStatus) {
    printf("\n");
    // A capture the viewer did not stop ends here, without the viewer's stop lines.
    if (bStopped) ReportEndOfRun(port);
  } else {
    const ULONG frames = port.GetPacketCount();
    const ULONG bytes = port.GetCaptureFileSize();
    printf("%sPacket Count: %10u File Size:%10u\n\n", bTerminal ? "\r" : "", frames, bytes);
    puts("Capture has stopped");
    // A capture a viewer stopped has had its end lines already.
    if (bStopped || !parms.bListen) ReportEndOfRun(port);
  }
  fflush(stdout);
  // The capture stopped by itself after a write that failed for good: the recording is cut
  // short, which a service manager should hear of.
  return bEnded && bWriteFailed ? EXIT_STATUS_NOT_STARTED : EXIT_STATUS_OK;
}
