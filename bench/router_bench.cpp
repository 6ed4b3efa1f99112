// Commands per second through nmx-router alone: nmx-traffic --rate 0 sends KRP requests to
// its server port, every request and answer is routed and mirrored to a port on 2 that only
// counts, registered as the program registers (queue 512). Loss is counted exactly: the
// router's own mirror and drop counters against what the port received.
//
//   bench_router [OPS]     prints ROW| lines for scripts/bench.sh
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
  for (int i = 0; i < 500 && !logger.NmxConnect(2, 4096, 512); ++i)
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
  // Every request and every answer is mirrored; wait for the port to have them all, or for a
  // pause that says the rest was lost.
  const uint64_t expected = 2 * ops;
  auto last = std::chrono::steady_clock::now();
  for (uint64_t seen = logger.m_nReceived; seen < expected;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t now = logger.m_nReceived;
    if (now != seen) {
      seen = now;
      last = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(500)) {
      break;
    }
  }
  const double sec = std::chrono::duration<double>(last - start).count();

  logger.NmxDisconnect();
  kill(router, SIGTERM);
  waitpid(router, nullptr, 0);
  unsigned long long routed = 0, mirrored = 0, dropped = 0;
  if (FILE* f = std::fopen((dir + "/router.out").c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      std::sscanf(line, "routed %llu  mirrored %llu  dropped %llu", &routed, &mirrored, &dropped);
    std::fclose(f);
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0)
    std::fprintf(stderr, "bench_router: could not remove %s\n", dir.c_str());

  const bool ok = WIFEXITED(st) && WEXITSTATUS(st) == 0 && routed == expected;
  const uint64_t received = logger.m_nReceived;
  std::printf(
      "ROW|router alone (nmx-traffic --rate 0 --size 64, port 2 counting, queue 512)|%.0f "
      "commands/s routed, %.0f/s mirrored; %llu of %llu mirrored copies lost (router dropped "
      "%llu)%s|bench_router %llu\n",
      static_cast<double>(routed) / sec, static_cast<double>(received) / sec,
      static_cast<unsigned long long>(expected - received),
      static_cast<unsigned long long>(expected), dropped, ok ? "" : " [traffic incomplete]",
      static_cast<unsigned long long>(ops));
  (void)mirrored;
  return ok ? 0 : 1;
}
