// nmx-extcap: the frames of a VxNmxLogger in listen mode as a live capture interface of
// Wireshark and tshark. The program lives in vx_nmxextcap.
#include <iostream>

#include "nmx-extcap/NmxExtcap.h"
#include "viewclient/ViewProcess.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // Wireshark ends a capture with SIGTERM, tshark's Ctrl-C reaches it as SIGINT, and a reader
  // that closes the FIFO shows as EPIPE: each ends the capture after the same clean-up.
  HandleStopSignals();
  LoadRegistryQuietly();
  const int status = RunNmxExtcap(argc, argv, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
