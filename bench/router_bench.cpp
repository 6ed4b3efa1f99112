// Commands per second through nmx-router: nmx-traffic --rate 0 sends KRP requests to its
// server port, every request and answer is routed and mirrored to a logger port on 2.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "router/NmxR3Port.h"

namespace {

class CountingPort : public CNmxR3Port {
 public:
  CountingPort() : CNmxR3Port(2, FALSE, "bench.logger", 0) {}
  ~CountingPort() override { NmxDisconnect(); }
  void NmxReceive(NmxCmd* cmd) override {
    if (!(cmd->head.stateFlags & NMX_FLAG_SYSTEM_COMMAND)) ++m_nReceived;
  }
  std::atomic<uint64_t> m_nReceived{0};
};

pid_t Spawn(std::vector<std::string> argv, const std::string& out) {
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t ops = argc > 1 ? strtoull(argv[1], nullptr, 10) : 300000;
  char tmpl[] = "/tmp/bench_router.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  const std::string sock = dir + "/router.sock";
  setenv("VX_ROUTER_DEVICE", sock.c_str(), 1);

  pid_t router = Spawn({NMX_ROUTER_PATH, "--socket", sock}, dir + "/router.out");
  CountingPort logger;
  for (int i = 0; i < 500 && !logger.NmxConnect(NMX_PORT_PREVIOUS, 4096, 60000); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!logger.NmxPortConnected()) {
    std::fprintf(stderr, "bench_router: no router\n");
    kill(router, SIGKILL);
    return 1;
  }

  const auto start = std::chrono::steady_clock::now();
  pid_t traffic = Spawn({NMX_TRAFFIC_PATH, "--socket", sock, "--count", std::to_string(ops),
                         "--rate", "0", "--size", "64", "--mix", "read,write,readwrite"},
                        dir + "/traffic.out");
  int st = 0;
  waitpid(traffic, &st, 0);
  // Every request and every answer is mirrored; wait for the logger to have them all.
  const uint64_t expected = 2 * ops;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (logger.m_nReceived < expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double sec =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t mirrored = logger.m_nReceived;

  logger.NmxDisconnect();
  kill(router, SIGTERM);
  waitpid(router, nullptr, 0);
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0)
    std::fprintf(stderr, "bench_router: could not remove %s\n", dir.c_str());

  const bool ok = WIFEXITED(st) && WEXITSTATUS(st) == 0 && mirrored == expected;
  std::printf("router: %llu KRP requests and answers routed and mirrored in %.3f s\n",
              static_cast<unsigned long long>(expected), sec);
  std::printf("router: %.0f commands/s routed (each also mirrored to port 2)%s\n",
              static_cast<double>(expected) / sec, ok ? "" : "  [INCOMPLETE: some lost]");
  if (!ok)
    std::printf("router: traffic exit %d, mirrored %llu of %llu\n",
                WIFEXITED(st) ? WEXITSTATUS(st) : -1, static_cast<unsigned long long>(mirrored),
                static_cast<unsigned long long>(expected));
  return ok ? 0 : 1;
}
