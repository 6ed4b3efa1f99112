#include "viewclient/ViewProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "nmx/NmxTypes.h"
#include "registry/VxReg.h"

namespace {

// Atomic rather than volatile: the handler may run on any thread, and the follower reads the
// flag on another one.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

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

void HandleStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = [](int) { RequestViewStop(); };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void RequestViewStop() {
  g_stop.store(true);
}

bool ViewStopRequested() {
  return g_stop.load();
}

void ResetViewStop() {
  g_stop.store(false);
}
