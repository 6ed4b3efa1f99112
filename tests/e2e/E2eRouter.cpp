#include "e2e/E2eRouter.h"

#include <signal.h>

#include <cstdio>

namespace vxtest {

E2eRouter::E2eRouter(const TempDir& dir) : m_dir(dir), m_socket(dir / "router.sock") {
  m_process = std::make_unique<ChildProcess>(
      dir.path(), std::vector<std::string>{NMX_ROUTER_PATH, "--socket", m_socket},
      ChildProcess::Input::kDevNull);
  m_bStarted = m_process->WaitOutput("listening on");
}

E2eRouter::~E2eRouter() {
  unsigned long routed = 0, mirrored = 0;
  Stop(&routed, &mirrored);
}

std::vector<std::string> E2eRouter::Environment() const {
  return {"VX_ROUTER_DEVICE=" + m_socket, "VX_BASE_DIR=" + m_dir.path()};
}

bool E2eRouter::RunTraffic(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {NMX_TRAFFIC_PATH, "--socket", m_socket};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess traffic(m_dir.path(), argv, ChildProcess::Input::kDevNull);
  return traffic.Wait(std::chrono::seconds(120)) == 0;
}

bool E2eRouter::Stop(unsigned long* routed, unsigned long* mirrored) {
  if (!m_process) return false;
  m_process->Signal(SIGTERM);
  const bool clean = m_process->Wait() == 0;
  const std::string out = m_process->Output();
  m_process.reset();
  size_t at = out.find("routed ");
  return clean && at != std::string::npos &&
         sscanf(out.c_str() + at, "routed %lu mirrored %lu", routed, mirrored) == 2;
}

}  // namespace vxtest
