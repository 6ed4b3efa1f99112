// Small helpers shared by the tests: private temporary folders and waiting for events.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace vxtest {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at destruction.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vxtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) m_path = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Polls pred every few milliseconds until it holds or the deadline passes. Deadlines are
// generous: a slow sanitizer build must still pass; only a real hang fails.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Whether a TCP connection to the dotted IPv4 address ip and port is accepted.
inline bool Reachable(const char* ip, unsigned short port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  inet_pton(AF_INET, ip, &sin.sin_addr);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
  close(fd);
  return ok;
}

inline std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What a writer puts into the FIFO at path, read on a thread of its own until the writer
// closes it; get() the result once the writer is done. The FIFO is open for reading at once,
// so a writer does not wait; a writer that never comes, or never writes, gives nothing after
// the deadline.
inline std::future<std::vector<unsigned char>> ReadFifo(
    const std::string& path, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return std::async(std::launch::async, [fd, deadline] {
    std::vector<unsigned char> got;
    if (fd < 0) return got;
    const auto end = std::chrono::steady_clock::now() + deadline;
    unsigned char buf[65536];
    while (std::chrono::steady_clock::now() < end) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        got.insert(got.end(), buf, buf + n);
      } else if (n == 0 && !got.empty()) {
        break;  // the writer closed its end
      } else {
        // No writer yet (0), or nothing to read yet.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    close(fd);
    return got;
  });
}

// A TCP port on the loopback address that nobody listens on right now.
inline unsigned short FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  close(fd);
  return ntohs(sin.sin_port);
}

// A TCP port some other program listens on, on every address, until destroyed or Free();
// Port() is 0 when none could be taken.
class TakenPort {
 public:
  TakenPort() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    socklen_t len = sizeof sin;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 && listen(m_fd, 1) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0)
      m_port = ntohs(sin.sin_port);
  }
  ~TakenPort() { Free(); }
  TakenPort(const TakenPort&) = delete;
  TakenPort& operator=(const TakenPort&) = delete;
  unsigned short Port() const { return m_port; }
  void Free() {
    if (m_fd != -1) close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
  unsigned short m_port = 0;
};

}  // namespace vxtest
