#include "support/SocketOs.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <climits>

namespace VxFunctions {

DWORD SocketErrorFromErrno(int err) {
  // Symbolic names, not numbers: the BSD numbers 37..65 are the codes, whatever the local
  // values of these errno constants are.
  switch (err) {
    case EINPROGRESS:
      return 10035;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
      return 10045;
#endif
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    default:
      return SOCK_ERR_BASE;
  }
}

DWORD SocketLastError() {
  return SocketErrorFromErrno(errno);
}

int SocketNoSigPipeSendFlags() {
#if defined(SO_NOSIGPIPE)
  return 0;
#elif defined(MSG_NOSIGNAL)
  return MSG_NOSIGNAL;
#else
#error "no way to keep send() from raising SIGPIPE on this platform"
#endif
}

int SocketDontWaitSendFlags() {
#if defined(MSG_DONTWAIT)
  return MSG_DONTWAIT;
#else
#error "no per-call non-blocking send on this platform"
#endif
}

bool SocketSetNoSigPipe([[maybe_unused]] int fd) {
#if defined(SO_NOSIGPIPE)
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on)) == 0;
#else
  return true;
#endif
}

bool SocketSetReuseAddress(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
}

bool SocketSetKeepAlive(int fd, [[maybe_unused]] int idleSeconds,
                        [[maybe_unused]] int intervalSeconds, [[maybe_unused]] int probes) {
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0) return false;
    // The timing is a refinement: a system that refuses it still probes at its own pace.
#if defined(VX_HAVE_TCP_KEEPIDLE)
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof(idleSeconds));
#endif
#if defined(VX_HAVE_TCP_KEEPINTVL)
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof(intervalSeconds));
#endif
#if defined(VX_HAVE_TCP_KEEPCNT)
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
#endif
  return true;
}

bool SocketSetNonBlocking(int fd, bool nonBlocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags == -1) return false;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

namespace {

int SocketWait(int fd, short events, DWORD timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Rounded up, so that a wait never ends before the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int waitMs = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
    pollfd pfd{};
    pfd.fd = fd;
    pfd.events = events;
    const int rc = poll(&pfd, 1, waitMs);
    if (rc > 0) return 1;
    if (rc < 0 && errno != EINTR) return -1;
    if (rc == 0 && Clock::now() >= deadline) return 0;
  }
}

}  // namespace

int SocketWaitReadable(int fd, DWORD timeoutMs) {
  return SocketWait(fd, POLLIN, timeoutMs);
}

int SocketWaitWritable(int fd, DWORD timeoutMs) {
  return SocketWait(fd, POLLOUT, timeoutMs);
}

}  // namespace VxFunctions
