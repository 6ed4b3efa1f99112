// nmx-extcap: the frames of a VxNmxLogger in listen mode as a live capture interface of
// Wireshark and tshark. The program lives in vx_nmxextcap.
#include <signal.h>

#include <iostream>

#include "nmx-extcap/NmxExtcap.h"
#include "nmx-view/NmxView.h"

namespace {

void OnStopSignal(int) {
  RequestViewStop();
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // Wireshark ends a capture with SIGTERM (tshark's Ctrl-C reaches the whole group as
  // SIGINT): both end the capture cleanly, detached from the logger.
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A reader that closes the FIFO ends the capture through EPIPE, after the same clean-up.
  signal(SIGPIPE, SIG_IGN);
  LoadRegistryQuietly();
  const int status = RunNmxExtcap(argc, argv, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
