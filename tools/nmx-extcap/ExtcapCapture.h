// The capture of nmx-extcap: the frames of a logger in listen mode, from now on, as a pcapng
// stream of Ethernet frames into the FIFO that Wireshark or tshark reads.
#pragma once

#include <ostream>
#include <string>

#include "nmx-extcap/ExtcapFilter.h"
#include "viewclient/ViewOptions.h"

struct ExtcapCaptureOptions {
  ViewOptions view;     // host, port, time-out of each request
  bool bStart = true;   // start the capture if it is stopped (and stop it at the end)
  DWORD nCycleMs = 10;  // notification cycle
  std::string fifo;
  std::string trigger;  // what stops the logger's capture (FrameTrigger.h); empty: nothing
  TriggerStop triggerStop;
};

// Runs until the reader of the FIFO goes away, a stop is requested (RequestViewStop), or the
// connection fails; then detaches: the notification and the view are deleted, and a capture
// this run started is stopped again. Failures are one line on err (with "nmx-extcap: ");
// one before the stream began (no logger) still opens and closes the FIFO for a reader that
// waits in its open, waiting up to 3 s for one to come. Returns the exit status
// (kViewExit...): 0 after a stop or when the reader went away.
int RunExtcapCapture(const ExtcapCaptureOptions& opt, CExtcapFilter& filter, std::ostream& out,
                     std::ostream& err);
