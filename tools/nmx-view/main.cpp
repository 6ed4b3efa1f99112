// nmx-view: the viewer of VxNmxLogger: capture state and settings, start and stop, live
// frames, and files of the logger's boot folder. The commands live in vx_nmxview.
#include <signal.h>

#include <iostream>

#include "nmx-view/NmxView.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  HandleStopSignals();
  // A file size limit fails the write of --write or -o (EFBIG), which keeps what reached the
  // file, instead of ending the program in the middle of it.
  signal(SIGXFSZ, SIG_IGN);
  LoadRegistryQuietly();
  const int status = RunNmxView(argc, argv, std::cout, std::cerr);
  std::cout.flush();
  if (std::cout.fail()) {
    std::cerr << "nmx-view: cannot write the output\n";
    return status == kViewExitOk ? kViewExitFailed : status;
  }
  return status;
}
