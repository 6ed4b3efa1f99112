#include "common/RouterProcess.h"

#include <cstdio>

namespace vxtest {

namespace {

std::vector<std::string> RouterArgv(const std::string& socket, std::vector<std::string> args) {
  std::vector<std::string> argv = {NMX_ROUTER_PATH, "--socket", socket};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

RouterProcess::RouterProcess(const TempDir& dir, std::vector<std::string> args)
    : m_dir(dir),
      m_socket(dir / "router.sock"),
      m_process(dir.path(), RouterArgv(m_socket, std::move(args)), ChildProcess::Input::kDevNull,
                {}, ChildProcess::ErrorStream::kWithOutput) {
  m_bStarted = m_process.WaitOutput("listening on");
}

std::vector<std::string> RouterProcess::Environment() const {
  return {"VX_ROUTER_DEVICE=" + m_socket, "VX_BASE_DIR=" + m_dir.path()};
}

bool RouterProcess::RunTraffic(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {NMX_TRAFFIC_PATH, "--socket", m_socket};
  argv.insert(argv.end(), args.begin(), args.end());
  return ChildProcess::Run(m_dir.path(), std::move(argv), nullptr) == 0;
}

std::unique_ptr<ChildProcess> RouterProcess::StartTraffic(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {NMX_TRAFFIC_PATH, "--socket", m_socket};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>(m_dir.path(), std::move(argv),
                                        ChildProcess::Input::kDevNull);
}

int RouterProcess::Stop(int sig) {
  m_process.Signal(sig);
  return m_process.Wait();
}

bool RouterProcess::Stop(unsigned long* routed, unsigned long* mirrored) {
  const bool clean = Stop(SIGTERM) == 0;
  const std::string out = m_process.Output();
  const size_t at = out.find("routed ");
  return clean && at != std::string::npos &&
         sscanf(out.c_str() + at, "routed %lu mirrored %lu", routed, mirrored) == 2;
}

}  // namespace vxtest
