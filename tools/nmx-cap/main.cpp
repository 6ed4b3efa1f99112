// nmx-cap: looks into capture files, checks and repairs them, exports them to pcapng and
// merges them. The subcommands live in the vx_nmxcap library.
#include <signal.h>

#include <iostream>

#include "nmx-cap/NmxCap.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // A file size limit fails the write (EFBIG), which leaves a valid file, instead of ending
  // the program in the middle of one.
  signal(SIGXFSZ, SIG_IGN);
  const int status = RunNmxCap(argc, argv, std::cout, std::cerr);
  std::cout.flush();
  if (std::cout.fail()) {
    std::cerr << "nmx-cap: cannot write the output\n";
    return status == kCapExitOk ? kCapExitTrouble : status;
  }
  return status;
}
