#include "common/RouterProcess.h"

#include <cstdio>
#include <sstream>

namespace vxtest {

namespace {

// The line above each port table.
constexpr char kTableHead[] = "  port  name";

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
  // The last counters, those printed at the exit.
  const size_t at = out.rfind("routed ");
  return clean && at != std::string::npos &&
         sscanf(out.c_str() + at, "routed %lu mirrored %lu", routed, mirrored) == 2;
}

bool RouterProcess::PrintCounters() {
  const int before = Count(Output(), kTableHead);
  Signal(SIGUSR2);
  return WaitOutput(kTableHead, before + 1);
}

bool RouterProcess::PortCounters(uint16_t port, unsigned long* delivered, unsigned long* dropped) {
  const std::string out = Output();
  const size_t head = out.rfind(kTableHead);
  const size_t first = head == std::string::npos ? head : out.find('\n', head);
  if (first == std::string::npos) return false;
  // Rows are "port  name  delivered  dropped"; the name may be empty or hold spaces.
  std::istringstream rows(out.substr(first + 1));
  for (std::string row; std::getline(rows, row);) {
    std::istringstream in(row);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    unsigned number = 0;
    if (words.size() < 3 || sscanf(words[0].c_str(), "%u", &number) != 1) return false;
    if (number == port)
      return sscanf(words[words.size() - 2].c_str(), "%lu", delivered) == 1 &&
             sscanf(words.back().c_str(), "%lu", dropped) == 1;
  }
  return false;
}

}  // namespace vxtest
