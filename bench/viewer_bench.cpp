// Frames per second a viewer receives live: VxNmxLogger -l captures what nmx-traffic sends
// through nmx-router (at full rate, or at the rate given), while nmx-view follow --notify
// (64 KiB packets, a 10 ms cycle) receives and decodes every frame. Reported next to the rate
// at which the traffic was captured; every captured frame must reach the viewer, and frames
// lost before the capture (2 per operation sent, less those captured) are counted.
//
//   bench_viewer [OPS [RATE]]     prints ROW| lines for scripts/bench.sh
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "common/TestUtil.h"

namespace {

using Clock = std::chrono::steady_clock;
using vxbench::ReadText;
using vxbench::Spawn;

bool WaitFor(const std::string& path, const std::string& needle, int seconds) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (ReadText(path).find(needle) == std::string::npos) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int Exit(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Counts the lines of a file that another process appends to, reading only what is new.
class CLineCounter {
 public:
  explicit CLineCounter(const std::string& path) : m_path(path) {}
  unsigned long long Count() {
    int fd = open(m_path.c_str(), O_RDONLY);
    if (fd < 0) return m_nLines;
    char buf[65536];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(m_nOffset))) > 0) {
      for (ssize_t i = 0; i < n; ++i) m_nLines += buf[i] == '\n';
      m_nOffset += static_cast<unsigned long long>(n);
    }
    close(fd);
    return m_nLines;
  }

 private:
  std::string m_path;
  unsigned long long m_nOffset = 0;
  unsigned long long m_nLines = 0;
};

struct Result {
  bool ok = false;
  double trafficSec = 0;  // nmx-traffic from start to end
  double followSec = 0;   // from the start of the traffic to the last frame at the viewer
  unsigned long long captured = 0;
  unsigned long long delivered = 0;
};

// One run: nmx-traffic sends ops reads and writes of `size` data bytes at full rate; the
// viewer prints every frame, decoded, into a file.
Result RunOnce(const std::string& dir, const std::vector<std::string>& env, unsigned long long ops,
               const std::string& size, const std::string& rate) {
  Result r;
  // A fresh port for each logger, so that no connection of the last run holds it.
  const std::string port = std::to_string(vxtest::FreeTcpPort());
  const std::vector<std::string> view = {NMX_VIEW_PATH, "--port", port};
  auto runView = [&](std::vector<std::string> args, const std::string& out) {
    std::vector<std::string> argv = view;
    argv.insert(argv.end(), args.begin(), args.end());
    return Exit(Spawn(argv, out, out, env));
  };
  const std::string logOut = dir + "/logger.out", viewOut = dir + "/view.out";
  pid_t logger = Spawn({VX_LOGGER_PATH, "-l", "-p", port}, logOut, logOut, env);
  if (!WaitFor(logOut, "Press q", 30)) {
    std::fprintf(stderr, "bench_viewer: the logger did not start:\n%s\n", ReadText(logOut).c_str());
    kill(logger, SIGKILL);
    Exit(logger);
    return r;
  }
  bool ok = runView({"set", "single"}, viewOut) == 0 &&
            runView({"set", "filesize", "1G"}, viewOut) == 0 && runView({"start"}, viewOut) == 0;
  const std::string frames = dir + "/frames.txt", followErr = dir + "/follow.err";
  std::vector<std::string> argv = view;
  argv.insert(argv.end(), {"follow", "--notify", "--cycle", "10", "--packet", "65536"});
  pid_t viewer = Spawn(argv, frames, followErr, env);
  ok = ok && WaitFor(followErr, "following view", 30);

  CLineCounter lines(frames);
  const auto start = Clock::now();
  pid_t traffic = Spawn({NMX_TRAFFIC_PATH, "--count", std::to_string(ops), "--rate", rate, "--size",
                         size, "--mix", "read,write"},
                        dir + "/traffic.out", dir + "/traffic.out", env);
  ok = Exit(traffic) == 0 && ok;
  auto last = Clock::now();
  r.trafficSec = std::chrono::duration<double>(last - start).count();
  // Done once nothing new has arrived for a second: the logger sends every 10 ms.
  for (unsigned long long seen = lines.Count(); Clock::now() - last < std::chrono::seconds(1);) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const unsigned long long now = lines.Count();
    if (now != seen) {
      seen = now;
      last = Clock::now();
    }
  }
  r.followSec = std::chrono::duration<double>(last - start).count();
  kill(viewer, SIGINT);
  ok = Exit(viewer) == 0 && ok;
  r.delivered = lines.Count();

  ok = runView({"--json", "status"}, viewOut) == 0 && ok;
  const std::string status = ReadText(viewOut);
  const size_t at = status.find("\"frames\":");
  if (at != std::string::npos) r.captured = strtoull(status.c_str() + at + 9, nullptr, 10);
  ok = ok && r.captured == r.delivered && r.captured > 0;
  runView({"stop"}, viewOut);
  kill(logger, SIGTERM);
  Exit(logger);
  if (!ok)
    std::fprintf(stderr, "bench_viewer: run failed\n--- follow\n%s--- traffic\n%s--- logger\n%s\n",
                 ReadText(followErr).c_str(), ReadText(dir + "/traffic.out").c_str(),
                 ReadText(logOut).c_str());
  r.ok = ok;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long long ops = argc > 1 ? strtoull(argv[1], nullptr, 10) : 100000;
  const std::string rate = argc > 2 ? argv[2] : "0";
  vxtest::TempDir tmp;
  if (tmp.path().empty()) return 1;
  const std::string dir = tmp.path();
  const std::string boot = dir + "/Boot/";
  mkdir(boot.c_str(), 0700);
  {
    std::ofstream reg(dir + "/VxRegistry.xml");
    reg << "<?xml version=\"1.0\"?>\n<VxRegistry><Key Name=\"HKLM\"><Key Name=\"Software\">"
           "<Key Name=\"Lormec\"><Key Name=\"Varnix3\">"
           "<Value Name=\"CurrentVersion\" Type=\"SZ\">3.1</Value><Key Name=\"3.1\">"
           "<Value Name=\"BootDir\" Type=\"SZ\">"
        << boot << "</Value></Key></Key></Key></Key></Key></VxRegistry>\n";
  }
  const std::string sock = dir + "/router.sock";
  const std::vector<std::string> env = {"VX_ROUTER_DEVICE=" + sock, "VX_BASE_DIR=" + dir};
  pid_t router =
      Spawn({NMX_ROUTER_PATH, "--socket", sock}, dir + "/router.out", dir + "/router.out", env);
  if (!WaitFor(dir + "/router.out", "listening on", 30)) {
    std::fprintf(stderr, "bench_viewer: no router\n");
    kill(router, SIGKILL);
    return 1;
  }

  bool ok = true;
  struct Run {
    const char* size;
    unsigned long long ops;
  };
  for (const Run& run : {Run{"64", ops}, Run{"1024", ops / 4}}) {
    const Result r = RunOnce(dir, env, run.ops, run.size, rate);
    ok = ok && r.ok;
    const unsigned long long lost = 2 * run.ops > r.captured ? 2 * run.ops - r.captured : 0;
    std::printf(
        "ROW|viewer (VxNmxLogger -l, nmx-view follow --notify: 64 KiB packets, 10 ms cycle), %s "
        "data bytes, traffic at %s ops/s|%llu frames captured at %.0f frames/s (%llu lost before "
        "the capture); %llu delivered at %.0f frames/s, the last %.0f ms after the traffic "
        "ended%s|bench_viewer %llu %s\n",
        run.size, rate == "0" ? "full" : rate.c_str(), r.captured,
        static_cast<double>(r.captured) / r.trafficSec, lost, r.delivered,
        static_cast<double>(r.delivered) / r.followSec, (r.followSec - r.trafficSec) * 1000,
        r.ok ? "" : " [FAILED: not every captured frame was delivered]", ops, rate.c_str());
    std::fflush(stdout);
  }

  kill(router, SIGTERM);
  Exit(router);
  return ok ? 0 : 1;
}
