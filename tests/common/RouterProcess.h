// The stand-in router on a private socket in a test's folder, the traffic generator against it,
// and the environment that points a program at it.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TestUtil.h"

namespace vxtest {

// The router runs from construction until Stop() or destruction. Not thread-safe: one thread
// drives an object.
class RouterProcess {
 public:
  // Starts nmx-router on dir/router.sock with extra arguments and waits until it listens.
  // dir must outlive this object.
  explicit RouterProcess(const TempDir& dir, std::vector<std::string> args = {});
  ~RouterProcess() { Stop(); }
  RouterProcess(const RouterProcess&) = delete;
  RouterProcess& operator=(const RouterProcess&) = delete;

  bool Started() const { return m_bStarted; }
  const std::string& Socket() const { return m_socket; }
  pid_t Pid() const { return m_process.Pid(); }
  void Signal(int sig) const { m_process.Signal(sig); }

  // Everything the router wrote to its standard output and error, in order.
  std::string Output() { return m_process.Output(); }
  // Waits until the output holds needle count times; false if the router ended before.
  bool WaitOutput(const std::string& needle, int count = 1) {
    return m_process.WaitOutput(needle, count);
  }
  static int Count(const std::string& text, const std::string& needle) {
    return ChildProcess::Count(text, needle);
  }

  // VX_ROUTER_DEVICE and VX_BASE_DIR for a program that should use this router.
  std::vector<std::string> Environment() const;

  // Runs nmx-traffic on this router with the arguments to its end; true when it exited 0.
  bool RunTraffic(const std::vector<std::string>& args);
  // Starts nmx-traffic on this router with the arguments and leaves it running.
  std::unique_ptr<ChildProcess> StartTraffic(const std::vector<std::string>& args);

  // Ends the router with sig (SIGKILL if it hangs) and returns its exit status, or -1 if a
  // signal ended it. Later calls return the same status.
  int Stop(int sig = SIGTERM);
  // Ends the router with SIGTERM and reads the counters it prints at exit; false if it did not
  // exit cleanly or printed none.
  bool Stop(unsigned long* routed, unsigned long* mirrored);

  // Asks the running router for its counters (SIGUSR2) and waits until they are printed.
  bool PrintCounters();
  // From the last counters the router printed (PrintCounters, or at its exit): the commands
  // delivered to port and dropped for it; false when they do not list the port.
  bool PortCounters(uint16_t port, unsigned long* delivered, unsigned long* dropped);

 private:
  const TempDir& m_dir;
  std::string m_socket;
  ChildProcess m_process;
  bool m_bStarted = false;
};

}  // namespace vxtest
