#include "console/StopSignals.h"

#include <pthread.h>
#include <syslog.h>

static_assert(std::atomic<bool>::is_always_lock_free, "touched from a signal handler");
static_assert(std::atomic<unsigned>::is_always_lock_free, "touched from a signal handler");

std::atomic<bool> g_bStop{false};

const std::map<int, SignalHandler_t> g_signals = {
    {SIGTERM, sigterm_handler},
    {SIGINT, sigterm_handler},
};

namespace {

// Stop requests received and written to the log; only the main thread logs.
std::atomic<unsigned> g_nStopRequests{0};
unsigned g_nStopRequestsLogged = 0;

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const auto& entry : g_signals) sigaddset(&set, entry.first);
  return set;
}

}  // namespace

void sigterm_handler(int, siginfo_t*, void*) {
  // syslog is not async-signal-safe; the main thread writes the line for this request.
  g_nStopRequests.fetch_add(1);
  g_bStop.store(true);
}

void InstallSignalHandlers() {
  for (const auto& [sig, handler] : g_signals) {
    struct sigaction sa {};
    sa.sa_sigaction = handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    if (sigaction(sig, &sa, nullptr) != 0)
      syslog(LOG_ALERT, "install signal handler for %d failed\n", sig);
  }
}

void BlockStopSignals() {
  sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool PollStopSignals() {
  sigset_t set = StopSignalSet();
  sigset_t pending;
  if (sigpending(&pending) == 0) {
    bool any = false;
    for (const auto& entry : g_signals) any = any || sigismember(&pending, entry.first) == 1;
    if (any) {
      // Unblocking delivers the pending signals to this thread before the call returns.
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
  }
  for (unsigned n = g_nStopRequests.load(); g_nStopRequestsLogged < n; ++g_nStopRequestsLogged)
    syslog(LOG_ALERT, "SIGTERM received -> shutting down...\n");
  return g_bStop.load();
}
