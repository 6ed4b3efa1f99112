// What an unauthenticated client can do to VxNmxLogger -l over its viewer port, in figures:
// how long the next viewer waits after a flood of connections that send garbage and close,
// what the largest buffer and file sizes a viewer can set cost when the capture starts, how
// long a viewer that stops reading while notifications flow keeps the one viewer place, and
// the logger's peak resident memory over all of it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
using Bytes = std::vector<unsigned char>;

constexpr int kGarbageConnections = 200;

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Waits until needle occurs at least n times in the file.
bool WaitFor(const std::string& path, const std::string& needle, int seconds, size_t n = 1) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Count(ReadText(path), needle) < n) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM); 0 where there is none.
long StatusKiB(pid_t pid, const char* field) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(field, 0) == 0) return strtol(line.c_str() + strlen(field) + 1, nullptr, 10);
  return 0;
}

void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
uint32_t Get32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A KRP request in NMX/TCP framing, from a made-up viewer to the logger's KRP port.
Bytes Request(unsigned cmdId, uint32_t invokeId, const Bytes& payload) {
  Bytes b;
  Put16(b, 0);
  Put32(b, static_cast<uint32_t>(32 + payload.size()));
  const unsigned char target[6] = {127, 0, 0, 1, 1, 1}, sender[6] = {10, 0, 0, 7, 1, 1};
  b.insert(b.end(), target, target + 6);
  Put16(b, 10502);
  b.insert(b.end(), sender, sender + 6);
  Put16(b, 33000);
  Put16(b, cmdId);
  Put16(b, 0x0004);
  Put32(b, static_cast<uint32_t>(payload.size()));
  Put32(b, 0);
  Put32(b, invokeId);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes Words(std::initializer_list<uint32_t> values) {
  Bytes b;
  for (uint32_t v : values) Put32(b, v);
  return b;
}

class Peer {
 public:
  explicit Peer(uint16_t port) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_ok = connect(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
  }
  ~Peer() { close(m_fd); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool Send(const Bytes& b) {
    size_t off = 0;
    while (m_ok && off < b.size()) {
      ssize_t n = send(m_fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      if (n <= 0) m_ok = false;
      off += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return m_ok;
  }

  // The KRP result of the answer to a request; 0xFFFFFFFF when none came within the deadline.
  uint32_t Ask(unsigned cmdId, const Bytes& payload, int seconds = 60) {
    const uint32_t invokeId = ++m_nInvoke;
    if (!Send(Request(cmdId, invokeId, payload))) return 0xFFFFFFFF;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      Bytes prefix, body;
      if (!Read(6, end, &prefix)) return 0xFFFFFFFF;
      if (!Read(Get32(prefix.data() + 2), end, &body) || body.size() < 36) return 0xFFFFFFFF;
      if (Get32(body.data() + 28) == invokeId) return Get32(body.data() + 32);
    }
  }

 private:
  bool Read(size_t n, Clock::time_point end, Bytes* out) {
    out->resize(n);
    size_t got = 0;
    while (got < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd pfd{m_fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
      ssize_t r = recv(m_fd, out->data() + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  int m_fd = -1;
  bool m_ok = false;
  uint32_t m_nInvoke = 0;
};

constexpr unsigned kRead = 2, kWrite = 3, kAddNotification = 6, kReadWrite = 9;

Bytes WriteCapture(uint32_t offset, uint32_t value) {
  return Words({0x1000, offset, 4, value});
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main() {
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
        << boot
        << "</Value></Key><Key Name=\"System\"><Value Name=\"NmxNetId\" Type=\"BIN\">"
           "0501cca00101</Value></Key></Key></Key></Key></Key></VxRegistry>\n";
  }
  const std::string sock = dir + "/router.sock";
  const std::vector<std::string> env = {"VX_ROUTER_DEVICE=" + sock, "VX_BASE_DIR=" + dir};
  pid_t router =
      Spawn({NMX_ROUTER_PATH, "--socket", sock}, dir + "/router.out", dir + "/router.out", env);
  const uint16_t port = vxtest::FreeTcpPort();
  const std::string logOut = dir + "/logger.out";
  pid_t logger = Spawn({VX_LOGGER_PATH, "-l", "-p", std::to_string(port)}, logOut, logOut, env);
  if (!WaitFor(dir + "/router.out", "listening on", 30) || !WaitFor(logOut, "Press q", 30)) {
    std::fprintf(stderr, "bench_viewer_abuse: no router or logger:\n%s\n",
                 ReadText(logOut).c_str());
    kill(logger, SIGKILL);
    kill(router, SIGKILL);
    return 1;
  }
  bool ok = true;

  // 1. Connections that send garbage and close, one after the other as fast as the logger
  // takes them; then a viewer asks for the device information.
  {
    const auto start = Clock::now();
    const Bytes garbage = {'G', 'E', 'T', ' ', '/', '\r', '\n', '\r', '\n'};
    for (int i = 0; i < kGarbageConnections; ++i) {
      Peer p(port);
      p.Send(garbage);
    }
    const auto flooded = Clock::now();
    Peer viewer(port);
    const uint32_t r = viewer.Ask(1, {});
    const auto served = Clock::now();
    ok = ok && r != 0xFFFFFFFF;
    std::printf(
        "flood: %d connections that send garbage and close took %.3f s to hand over; the next "
        "viewer was answered %.3f s after the last one (%.3f s after the first, %.1f ms a "
        "connection)\n",
        kGarbageConnections, Seconds(flooded - start), Seconds(served - flooded),
        Seconds(served - start), Seconds(served - start) * 1000 / kGarbageConnections);
  }

  // 2. The largest sizes a viewer can write, then a start.
  {
    Peer viewer(port);
    const uint32_t rFile = viewer.Ask(kWrite, WriteCapture(3, 0xFFFFFFFFu));
    const uint32_t rBuffer = viewer.Ask(kWrite, WriteCapture(4, 0x80000000u));
    viewer.Ask(kWrite, WriteCapture(2, 2));
    const long rssBefore = StatusKiB(logger, "VmRSS:");
    const auto start = Clock::now();
    const uint32_t rStart = viewer.Ask(kWrite, WriteCapture(1, 1));
    const double startSec = Seconds(Clock::now() - start);
    const long rssStarted = StatusKiB(logger, "VmRSS:");
    viewer.Ask(kWrite, WriteCapture(1, 2));
    std::printf(
        "sizes: buffer 0x80000000 answered 0x%x, file 0xFFFFFFFF answered 0x%x; the start "
        "answered 0x%x after %.3f s; resident memory %ld KiB before, %ld KiB while capturing"
        "\n",
        rBuffer, rFile, rStart, startSec, rssBefore, rssStarted);
    // Back to what the logger starts with, for the next part.
    viewer.Ask(kWrite, WriteCapture(3, 1048576));
    viewer.Ask(kWrite, WriteCapture(4, 65536));
    viewer.Ask(kWrite, WriteCapture(2, 1));
  }

  // 3. A viewer that has notifications pushed to it and stops reading, while traffic flows.
  {
    Peer viewer(port);
    ok = viewer.Ask(kWrite, WriteCapture(1, 1)) == 0 && ok;
    pid_t traffic = Spawn({NMX_TRAFFIC_PATH, "--count", "0", "--rate", "5000", "--duration", "300",
                           "--size", "1024", "--mix", "read,write"},
                          dir + "/traffic.out", dir + "/traffic.out", env);
    ok = viewer.Ask(kReadWrite, Words({0x1000, 7, 4, 0})) == 0 && ok;
    const size_t lostBefore = Count(ReadText(logOut), "Connection to viewer lost");
    ok = viewer.Ask(kAddNotification, Words({0x1500, 1, 65536, 4, 0, 100000, 0, 0, 0, 0})) == 0 &&
         ok;
    const auto stalled = Clock::now();
    const bool dropped = WaitFor(logOut, "Connection to viewer lost", 300, lostBefore + 1);
    const double heldSec = Seconds(Clock::now() - stalled);
    ok = ok && dropped;
    if (!dropped)
      std::fprintf(stderr, "--- traffic\n%s--- logger\n%s\n",
                   ReadText(dir + "/traffic.out").c_str(), ReadText(logOut).c_str());
    std::printf(
        "stalled viewer: notifications every 10 ms of up to 64 KiB while 5000 requests/s of 1 KiB "
        "flow; a viewer that stops reading held the connection %.1f s%s\n",
        heldSec, dropped ? "" : " [still connected]");
    kill(traffic, SIGTERM);
    waitpid(traffic, nullptr, 0);
    Peer next(port);
    next.Ask(kWrite, WriteCapture(1, 2));
  }

  std::printf("peak resident memory of the logger over all of it: %ld KiB\n",
              StatusKiB(logger, "VmHWM:"));
  kill(logger, SIGTERM);
  waitpid(logger, nullptr, 0);
  kill(router, SIGTERM);
  waitpid(router, nullptr, 0);
  return ok ? 0 : 1;
}
