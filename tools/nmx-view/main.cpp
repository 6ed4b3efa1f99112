// nmx-view: the viewer of VxNmxLogger: capture state and settings, start and stop, live
// frames, and files of the logger's boot folder. The commands live in vx_nmxview.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "nmx-view/NmxView.h"
#include "registry/VxReg.h"

namespace {

// The connection looks up the local NetId in the runtime's registry, which says on standard
// output when there is none, as on any machine without the runtime. The viewer needs no
// NetId of its own, and its output must stay clean for scripts: the store is loaded once
// here, before any thread exists, with that line sent nowhere.
void LoadRegistryQuietly() {
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (saved >= 0 && null >= 0 && dup2(null, STDOUT_FILENO) >= 0) {
    NmxNetId id{};
    VxRegReadLocalMachineId(id);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
  }
  if (null >= 0) close(null);
  if (saved >= 0) close(saved);
}

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
