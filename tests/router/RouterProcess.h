// Runs the built nmx-router on a private socket in a temporary folder, for tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/TestUtil.h"

namespace vxtest {

class RouterProcess {
 public:
  // Starts nmx-router on dir/router.sock with extra arguments and waits until it listens.
  explicit RouterProcess(const TempDir& dir, std::vector<std::string> args = {})
      : m_socket(dir / "router.sock"), m_out(dir / "router.out") {
    std::vector<std::string> argv = {NMX_ROUTER_PATH, "--socket", m_socket};
    argv.insert(argv.end(), args.begin(), args.end());
    // Everything the child needs is built before fork: only async-signal-safe calls follow.
    std::vector<char*> cargs;
    for (auto& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    const char* out = m_out.c_str();
    unlink(out);  // a file left by an earlier router must not pass for this one's output
    m_pid = fork();
    if (m_pid == 0) {
      int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      execv(cargs[0], cargs.data());
      _exit(127);
    }
    m_bStarted = WaitOutput("listening on");
  }
  ~RouterProcess() { Stop(); }
  RouterProcess(const RouterProcess&) = delete;
  RouterProcess& operator=(const RouterProcess&) = delete;

  bool Started() const { return m_bStarted; }
  const std::string& Socket() const { return m_socket; }
  pid_t Pid() const { return m_pid; }
  void Signal(int sig) const {
    if (m_pid > 0) kill(m_pid, sig);
  }

  std::string Output() const {
    auto bytes = ReadFileBytes(m_out);
    return std::string(bytes.begin(), bytes.end());
  }
  // Waits until the output holds needle `count` times.
  bool WaitOutput(const std::string& needle, int count = 1) const {
    return WaitUntil([&] { return Count(Output(), needle) >= count; });
  }
  static int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
      ++n;
    return n;
  }

  // Ends the router with SIGTERM (SIGKILL if it hangs) and returns its exit status, or -1.
  int Stop(int sig = SIGTERM) {
    if (m_pid <= 0) return m_status;
    kill(m_pid, sig);
    int st = 0;
    bool done =
        WaitUntil([&] { return waitpid(m_pid, &st, WNOHANG) == m_pid; }, std::chrono::seconds(30));
    if (!done) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &st, 0);
    }
    m_pid = -1;
    m_status = done && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return m_status;
  }

 private:
  std::string m_socket;
  std::string m_out;
  pid_t m_pid = -1;
  int m_status = -1;
  bool m_bStarted = false;
};

}  // namespace vxtest
