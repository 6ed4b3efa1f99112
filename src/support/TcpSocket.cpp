#include "support/TcpSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
#include <new>

#include "support/TcpConnList.h"

namespace VxFunctions {

const DWORD g_cbTcpBuf = 65535;

DWORD CTcpSocket::m_serverCommTimeout = 0;
SocketDebugStat CTcpSocket::m_sockStat;

namespace {

constexpr int kListenBacklog = 128;
constexpr int kAcceptPollMs = 50;
constexpr DWORD kReceiverPriority = 2;

bool IsResourceShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

CTcpSocket::CTcpSocket() : CTcpSocket(nullptr) {}

CTcpSocket::CTcpSocket(CTcpConnList* list)
    : m_tcpAddr{0, 0, 0},
      m_szPeerAddr{},
      m_bCreated(false),
      m_bConnected(false),
      m_bListening(false),
      m_socket(-1),
      m_nSocketType(VX_SOCK_STREAM),
      m_pTcpConnList(list),
      m_refCnt(1),
      m_nWaitThreadCnt(0),
      m_bEnabled(true),
      m_threadId(),
      m_hTcpThread(nullptr),
      m_bThreadRunning(false),
      m_dwReceiveIdleMs(0),
      m_dwSendTimeoutMs(0) {
  ++m_sockStat.socketObjCnt;
}

CTcpSocket::~CTcpSocket() {
  CloseSocket(true);
  --m_sockStat.socketObjCnt;
}

LONG CTcpSocket::SocketAddRef() {
  return ++m_refCnt;
}
LONG CTcpSocket::SocketRelease() {
  return --m_refCnt;
}

DWORD CTcpSocket::Create(WORD port, const char* host, int socketType, bool reuseAddr) {
  if (!m_bEnabled) return SOCK_ERR_FAILED;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = (host && *host) ? inet_addr(host) : htonl(INADDR_ANY);
  return Create(reinterpret_cast<const sockaddr*>(&sin), sizeof(sin), socketType, reuseAddr);
}

DWORD CTcpSocket::Create(const sockaddr* addr, socklen_t len, int socketType, bool reuseAddr) {
  if (!addr) return SOCK_ERR_FAILED;
  // A socket object is reused after closing; never let a new descriptor orphan an old one.
  if (m_socket != -1) CloseSocket(true);
  m_nSocketType = socketType;
  const bool stream = socketType == VX_SOCK_STREAM;
  int fd = socket(addr->sa_family, stream ? SOCK_STREAM : SOCK_DGRAM,
                  stream ? IPPROTO_TCP : IPPROTO_UDP);
  if (fd == -1) return SocketLastError();
  if (reuseAddr) SocketSetReuseAddress(fd);
  if (bind(fd, addr, len) != 0) {
    DWORD code = SocketLastError();
    close(fd);
    return code;
  }
  DWORD code = SetCreateSockOptions(fd, socketType);
  {
    COsCsLock guard(m_lock);
    COsCsLock sendGuard(m_sendLock);
    m_socket = fd;
    m_bCreated = true;
  }
  ++m_sockStat.createdSocketCnt;
  return code;
}

DWORD CTcpSocket::SetCreateSockOptions(int fd, int socketType) {
  if (socketType == VX_SOCK_STREAM) {
    linger lg{};
    lg.l_onoff = 0;
    lg.l_linger = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) != 0) return SOCK_ERR_FAILED;
  }
  SocketSetNoSigPipe(fd);
  return 0;
}

DWORD CTcpSocket::Connect(const char* host, WORD port) {
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  if (!host || inet_pton(AF_INET, host, &sin.sin_addr) != 1) {
    if (!host) return SocketErrorFromErrno(EDESTADDRREQ);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) {
      if (res) freeaddrinfo(res);
      return SocketLastError();
    }
    sin.sin_addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
  }
  return Connect(reinterpret_cast<const sockaddr*>(&sin), sizeof(sin));
}

DWORD CTcpSocket::Connect(const sockaddr* addr, socklen_t len) {
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  if (!addr) return SocketErrorFromErrno(EDESTADDRREQ);
  if (addr->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(addr);
    m_tcpAddr.dwAddr = sin->sin_addr.s_addr;
    m_tcpAddr.nPort = sin->sin_port;
  }
  int rc;
  do {
    rc = connect(m_socket, addr, len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return SocketLastError();
  m_bConnected = true;
  DWORD code = OnConnected();
  if (code != 0) {
    CloseSocket(true);
    m_bConnected = false;
    return code;
  }
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  COsCsLock guard(m_lock);
  return CreateTcpThreadLocked(kReceiverPriority);
}

DWORD CTcpSocket::SetSockOpt(int optName, const void* value, socklen_t len, int level) {
  if (!m_bEnabled) return SOCK_ERR_FAILED;
  if (setsockopt(m_socket, level, optName, value, len) != 0) return SocketLastError();
  return 0;
}

DWORD CTcpSocket::SetKeepAlive(int idleSeconds, int intervalSeconds, int probes) {
  if (!m_bEnabled) return SOCK_ERR_FAILED;
  // Under the lock that guards the descriptor's release, so a closed number is never used.
  COsCsLock sendGuard(m_sendLock);
  if (m_socket == -1) return SOCK_ERR_NOTSOCK;
  if (!SocketSetKeepAlive(m_socket, idleSeconds, intervalSeconds, probes)) return SocketLastError();
  return 0;
}

DWORD CTcpSocket::CloseDescriptorLocked() {
  // Sends take m_sendLock and read the descriptor under it, so none can be using this number
  // when it is released for reuse. A blocked send was woken by the shutdown before.
  COsCsLock sendGuard(m_sendLock);
  const int fd = m_socket.exchange(-1);
  if (fd == -1) return 0;
  const int rc = close(fd);
  // The descriptor is released even when close reports an error.
  --m_sockStat.createdSocketCnt;
  return rc == 0 ? 0 : SocketLastError();
}

DWORD CTcpSocket::CloseSocket(bool waitForThread) {
  DWORD code = 0;
  OS_USER_THREAD_HANDLE waitFor = nullptr;
  {
    COsCsLock guard(m_lock);
    const bool hasThread = m_hTcpThread != nullptr;
    const bool isSelf = hasThread && OsUserIsCurrentThreadEqual(m_threadId);
    if (m_bCreated) {
      m_bCreated = false;
      m_bConnected = false;
      if (m_bListening) {
        // The listener notices within one poll step and closes the descriptor itself.
        m_bListening = false;
      } else if (shutdown(m_socket, SHUT_RDWR) != 0) {
        code = SocketLastError();
      }
      OnClose(code);
    }
    // While a service thread runs, it still uses the descriptor; it closes it when it ends.
    if ((!m_bThreadRunning || isSelf) && m_socket != -1) {
      const DWORD closeCode = CloseDescriptorLocked();
      if (closeCode != 0) code = closeCode;
    }
    if (waitForThread && hasThread && !isSelf) {
      ++m_nWaitThreadCnt;
      waitFor = m_hTcpThread;
    }
  }
  if (waitFor) {
    OsUserWaitForThread(waitFor, static_cast<INT>(INFINITE));
    COsCsLock guard(m_lock);
    if (--m_nWaitThreadCnt == 0 && m_hTcpThread == waitFor) {
      OsUserCloseThreadHandle(m_hTcpThread);
      m_hTcpThread = nullptr;
      m_threadId = OS_USER_THREAD_ID();
    }
  }
  return code;
}

void CTcpSocket::Disable() {
  {
    COsCsLock guard(m_lock);
    m_bEnabled = false;
  }
  CloseSocket(false);
}

DWORD CTcpSocket::Shutdown(int how) {
  COsCsLock guard(m_lock);
  if (m_socket == -1) return 0;
  m_bConnected = false;
  if (shutdown(m_socket, how) != 0) return SocketLastError();
  return 0;
}

DWORD CTcpSocket::Accept(CTcpSocket* target, sockaddr* addr, socklen_t* len) {
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  if (!target || !m_bListening) return SOCK_ERR_ACCESS;
  for (;;) {
    pollfd pfd{};
    pfd.fd = m_socket;
    pfd.events = POLLIN;
    int rc = poll(&pfd, 1, kAcceptPollMs);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return SocketLastError();
    }
    if (rc == 0) {
      if (!m_bListening) return SOCK_ERR_ACCESS;
      continue;
    }
    int fd = accept(m_socket, addr, len);
    if (fd == -1) {
      const int err = errno;
      // The pending connection went away between poll and accept: keep waiting.
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) continue;
      // Out of descriptors or memory: the listener would retry at once, so pause a step.
      if (IsResourceShortage(err)) OsUserSleep(kAcceptPollMs);
      return SocketErrorFromErrno(err);
    }
    // The listening descriptor is non-blocking so that accept cannot hang; some platforms
    // pass that on to the accepted descriptor, and the receiver needs a blocking one.
    SocketSetNonBlocking(fd, false);
    SocketSetNoSigPipe(fd);
    ++m_sockStat.createdSocketCnt;
    *target = fd;
    return 0;
  }
}

DWORD CTcpSocket::Listen() {
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  COsCsLock guard(m_lock);
  // Listening before the thread starts means a client may connect as soon as this returns.
  if (m_socket != -1) {
    if (listen(m_socket, kListenBacklog) != 0) return SocketLastError();
    SocketSetNonBlocking(m_socket, true);
  }
  m_bListening = true;
  DWORD code = CreateTcpThreadLocked(0);
  if (code != 0) m_bListening = false;
  return code;
}

int CTcpSocket::Send(const void* buf, DWORD len, int flags) {
  COsCsLock sendGuard(m_sendLock);
  if (!m_bEnabled || !m_bCreated || m_socket == -1) {
    errno = ENOTSOCK;
    return -1;
  }
  const size_t n = len > static_cast<DWORD>(INT_MAX) ? static_cast<size_t>(INT_MAX) : len;
  ssize_t sent = send(m_socket, buf, n, flags | SocketNoSigPipeSendFlags());
  return static_cast<int>(sent);
}

DWORD CTcpSocket::SendAll(const void* buf, DWORD len) {
  using Clock = std::chrono::steady_clock;
  COsCsLock sendGuard(m_sendLock);
  const DWORD timeoutMs = m_dwSendTimeoutMs.load();
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const BYTE* p = static_cast<const BYTE*>(buf);
  DWORD left = len;
  while (left > 0) {
    int flags = 0;
    // One deadline for the whole buffer: a per-call time-out would start again with every
    // few bytes a slow reader takes.
    if (timeoutMs != 0 && m_socket != -1) {
      const auto remaining =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const int ready =
          remaining <= 0 ? 0 : SocketWaitWritable(m_socket, static_cast<DWORD>(remaining));
      if (ready == 0) return SOCK_ERR_TIMEDOUT;
      if (ready < 0) return SocketLastError();
      flags = SocketDontWaitSendFlags();
    }
    int sent = Send(p, left, flags);
    if (sent < 0) {
      if (errno == EINTR || (flags != 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
      return SocketLastError();
    }
    if (sent == 0) return SOCK_ERR_BASE;
    p += sent;
    left -= static_cast<DWORD>(sent);
  }
  return 0;
}

DWORD CTcpSocket::Receive() {
  if (!m_bConnected) return SOCK_ERR_NOTCONN;
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  COsCsLock guard(m_lock);
  return CreateTcpThreadLocked(kReceiverPriority);
}

int CTcpSocket::Detach() {
  COsCsLock guard(m_lock);
  COsCsLock sendGuard(m_sendLock);
  return m_socket.exchange(-1);
}

bool CTcpSocket::GetLocalHost(DWORD* pdwAddr) {
  if (!m_bEnabled || !pdwAddr) return false;
  char name[100] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) {
    if (res) freeaddrinfo(res);
    return false;
  }
  *pdwAddr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

bool CTcpSocket::TestConnection() {
  if (!m_bEnabled || m_socket == -1) return false;
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  return getpeername(m_socket, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
}

DWORD CTcpSocket::GetSockName(sockaddr* addr, socklen_t* len) {
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  if (!addr || !len) return 0;
  return getsockname(m_socket, addr, len) == 0 ? 1 : 0;
}

CTcpSocket& CTcpSocket::operator=(int fd) {
  if (m_socket != -1) CloseSocket(true);
  if (fd == -1) return *this;
  {
    COsCsLock guard(m_lock);
    COsCsLock sendGuard(m_sendLock);
    m_socket = fd;
    m_bCreated = true;
    m_bConnected = true;
  }
  sockaddr_in sin{};
  socklen_t len = sizeof(sin);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0 && sin.sin_family == AF_INET) {
    m_tcpAddr.dwAddr = sin.sin_addr.s_addr;
    m_tcpAddr.nPort = sin.sin_port;
  }
  return *this;
}

DWORD CTcpSocket::OnAccept(DWORD error) {
  if (error == 0 && m_bEnabled && m_pTcpConnList && m_bListening)
    return m_pTcpConnList->ProcessPendingAccept(this);
  return 0;
}

DWORD CTcpSocket::OnReceive(DWORD, const BYTE*, DWORD, DWORD) {
  return 0;
}
DWORD CTcpSocket::OnReceiveIdle() {
  return 0;
}
void CTcpSocket::OnClose(DWORD) {}
void CTcpSocket::OnAccepted(DWORD) {}
DWORD CTcpSocket::OnConnected() {
  return 0;
}

DWORD CTcpSocket::CreateTcpThread(DWORD priority) {
  if (!m_bEnabled) return SOCK_ERR_NOTSOCK;
  COsCsLock guard(m_lock);
  return CreateTcpThreadLocked(priority);
}

DWORD CTcpSocket::CreateTcpThreadLocked(DWORD priority) {
  if (m_hTcpThread) {
    if (m_bThreadRunning) return 0;
    // Closers still waiting for the ended thread release its handle; starting another one
    // now would take the handle from under them.
    if (m_nWaitThreadCnt > 0) return SOCK_ERR_ALREADY;
    // The earlier thread has ended (it cleared m_bThreadRunning as its last step under this
    // lock), so the wait is only the join.
    OsUserWaitForThread(m_hTcpThread, static_cast<INT>(INFINITE));
    OsUserCloseThreadHandle(m_hTcpThread);
    m_hTcpThread = nullptr;
    m_threadId = OS_USER_THREAD_ID();
  }
  m_bThreadRunning = true;
  OS_USER_THREAD_HANDLE h = nullptr;
  OS_USER_THREAD_ID id{};
  DWORD code = OsUserCreateThreadEx(0, &CTcpSocket::TcpPortThread, this, priority, &h, &id, FALSE);
  if (code != 0) {
    m_bThreadRunning = false;
    return code;
  }
  m_hTcpThread = h;
  m_threadId = id;
  return 0;
}

DWORD CTcpSocket::TcpPortThread(PVOID param) {
  auto* self = static_cast<CTcpSocket*>(param);
  if (!self) return static_cast<DWORD>(-1);
  if (self->m_bListening) {
    self->Listener();
    return 0;
  }
  if (self->m_bConnected) {
    self->Receiver();
    return 0;
  }
  // Closed before the thread got going: the descriptor is still this thread's to release.
  self->FinishServiceThread();
  return static_cast<DWORD>(-1);
}

void CTcpSocket::FinishServiceThread() {
  // One step under the lock: once the thread is no longer marked as running, a closer
  // releases descriptors itself and a new service thread may start, so the descriptor must
  // be gone by then. Nothing of the object is touched after this.
  COsCsLock guard(m_lock);
  CloseSocket(true);
  m_bThreadRunning = false;
}

DWORD CTcpSocket::Listener() {
  if (m_bEnabled && m_socket != -1) {
    while (m_bListening) OnAccept(0);
  } else {
    m_bListening = false;
  }
  FinishServiceThread();
  return 0;
}

DWORD CTcpSocket::Receiver() {
  DWORD code = 0;
  if (m_bEnabled && m_socket != -1) {
    std::unique_ptr<BYTE[]> buf(new (std::nothrow) BYTE[g_cbTcpBuf]);
    if (!buf) code = SOCK_ERR_NOBUFS;
    while (buf && m_bConnected) {
      ssize_t n = 0;
      DWORD err = 0;
      if (m_nSocketType == VX_SOCK_STREAM) {
        const DWORD idleMs = m_dwReceiveIdleMs.load();
        const int ready = idleMs != 0 ? SocketWaitReadable(m_socket, idleMs) : 1;
        if (ready == 0) {
          err = OnReceiveIdle();
          if (err != 0) {
            code = err;
            break;
          }
          continue;
        }
        // A failed wait reports its errno as a failed read would.
        n = ready < 0 ? -1 : recv(m_socket, buf.get(), g_cbTcpBuf, 0);
        if (n == -1 && errno == EINTR) continue;
      }
      if (n == -1) {
        err = SocketLastError();
        OnReceive(err, buf.get(), 0xFFFFFFFFu, m_serverCommTimeout);
      } else if (n > 0) {
        err = OnReceive(0, buf.get(), static_cast<DWORD>(n), m_serverCommTimeout);
      } else {
        m_bConnected = false;
        break;
      }
      if (err == SOCK_ERR_MSGSIZE) continue;
      if (err != 0) {
        code = err;
        break;
      }
    }
  }
  FinishServiceThread();
  return code;
}

}  // namespace VxFunctions
