// UDP datagrams over loopback for the tcpdump reference: `count` datagrams of `size` bytes to
// 127.0.0.1:port, sent with sendmmsg in batches of 64, as fast as possible (rate 0) or paced
// to `rate` datagrams per second. A socket bound to the port takes them (and drops what it
// cannot hold) so that no ICMP answer joins the capture.
//
//   udp_sender PORT SIZE COUNT RATE     prints: sent N datagrams in S s
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: udp_sender PORT SIZE COUNT RATE\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const size_t size = strtoul(argv[2], nullptr, 10);
  const unsigned long long count = strtoull(argv[3], nullptr, 10);
  const double rate = atof(argv[4]);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int sink = socket(AF_INET, SOCK_DGRAM, 0);
  if (sink < 0 || bind(sink, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    std::perror("udp_sender: bind");
    return 1;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    std::perror("udp_sender: connect");
    return 1;
  }

  constexpr unsigned kBatch = 64;
  std::vector<char> payload(size, 'x');
  iovec iov[kBatch];
  mmsghdr msgs[kBatch] = {};
  for (unsigned i = 0; i < kBatch; ++i) {
    iov[i] = {payload.data(), size};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  unsigned long long sent = 0;
  while (sent < count) {
    unsigned long long due = count - sent;
    if (rate > 0) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const auto dueSoFar = static_cast<unsigned long long>(elapsed * rate) + 1;
      if (dueSoFar <= sent) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(sent) / rate)));
        continue;
      }
      due = std::min(due, dueSoFar - sent);
    }
    const unsigned n = static_cast<unsigned>(std::min<unsigned long long>(due, kBatch));
    const int r = sendmmsg(fd, msgs, n, 0);
    if (r > 0) sent += static_cast<unsigned long long>(r);
  }
  const double sec = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("sent %llu datagrams in %.3f s\n", sent, sec);
  close(fd);
  close(sink);
  return 0;
}
