// nmx-view: the viewer of VxNmxLogger: capture state and settings, start and stop, live
// frames, and files of the logger's boot folder. The commands live in vx_nmxview.
#include <signal.h>

#include <iostream>

#include "nmx-view/NmxView.h"

namespace {

void OnStopSignal(int) {
  RequestViewStop();
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A reader that goes away (a pipe into head) ends the output, not the program.
  signal(SIGPIPE, SIG_IGN);
  LoadRegistryQuietly();
  const int status = RunNmxView(argc, argv, std::cout, std::cerr);
  std::cout.flush();
  if (std::cout.fail()) {
    std::cerr << "nmx-view: cannot write the output\n";
    return status == kViewExitOk ? kViewExitFailed : status;
  }
  return status;
}
