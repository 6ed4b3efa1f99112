// The stand-in router and the traffic generator on a private socket, and the environment
// that points the logger at them, for end-to-end tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "e2e/ChildProcess.h"

namespace vxtest {

class E2eRouter {
 public:
  // Starts nmx-router on dir/router.sock and waits until it listens.
  explicit E2eRouter(const TempDir& dir);
  ~E2eRouter();

  bool Started() const { return m_bStarted; }
  const std::string& Socket() const { return m_socket; }
  // VX_ROUTER_DEVICE and VX_BASE_DIR for a program that should use this router.
  std::vector<std::string> Environment() const;

  // Runs nmx-traffic with the arguments to its end; true when it exited 0.
  bool RunTraffic(const std::vector<std::string>& args);

  // Ends the router and reads its counters; false if it did not exit cleanly.
  bool Stop(unsigned long* routed, unsigned long* mirrored);

 private:
  const TempDir& m_dir;
  std::string m_socket;
  std::unique_ptr<ChildProcess> m_process;
  bool m_bStarted = false;
};

}  // namespace vxtest
