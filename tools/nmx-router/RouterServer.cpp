#include "RouterServer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "router/RouterProtocol.h"
#include "support/SocketOs.h"

namespace vx::router {

namespace {

constexpr size_t MAX_CLIENTS = 1024;
// A client whose replies pile up beyond this is not read from until it takes them.
constexpr size_t OUT_LIMIT = 4u << 20;
constexpr size_t IN_CHUNK = 256u << 10;
// Messages taken from one client per round of the loop: between rounds the queued commands go
// out and every other client, a port's next READ among them, is heard, so that a client that
// writes a burst cannot fill a reader's queue before the reader gets a turn.
constexpr size_t ROUND_MESSAGES = 128;
constexpr auto REMOVAL_GRACE = std::chrono::seconds(3);

int g_sigPipe[2] = {-1, -1};

void OnSignal(int sig) {
  const int saved = errno;
  char c = sig == SIGUSR1 ? '1' : sig == SIGUSR2 ? '2' : 'T';
  ssize_t r = write(g_sigPipe[1], &c, 1);
  (void)r;
  errno = saved;
}

bool SetNonBlocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

RegisterRequest DecodeRegisterRecord(const uint8_t* p) {
  RegisterRequest r;
  r.bFixed = DecodeLE32(p + offsetof(NmxRegisterR3PortIn, m_bFixedPort)) != 0;
  r.port = DecodeLE16(p + offsetof(NmxRegisterR3PortIn, m_port));
  r.queueSize = DecodeLE16(p + offsetof(NmxRegisterR3PortIn, m_queueSize));
  r.attrib = DecodeLE32(p + offsetof(NmxRegisterR3PortIn, m_dwPortAttrib));
  r.bUnregister = DecodeLE32(p + offsetof(NmxRegisterR3PortIn, m_bUnRegister)) != 0;
  const char* name = reinterpret_cast<const char*>(p + offsetof(NmxRegisterR3PortIn, m_szPortName));
  r.name.assign(name, strnlen(name, NMX_PORTNAME_SIZE - 1));
  return r;
}

}  // namespace

CRouterServer::CRouterServer(const NmxNetId& netId, bool bTimestamps)
    : m_core(netId, bTimestamps, this, stdout) {}

CRouterServer::~CRouterServer() {
  for (auto& c : m_clients)
    if (c->fd >= 0) close(c->fd);
  if (m_listenFd >= 0) close(m_listenFd);
}

bool CRouterServer::Listen(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    std::fprintf(stderr, "nmx-router: socket path too long or empty: %s\n", path.c_str());
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      std::fprintf(stderr, "nmx-router: %s exists and is not a socket\n", path.c_str());
      return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM, 0);
    if (probe >= 0) {
      bool live = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
      close(probe);
      if (live) {
        std::fprintf(stderr, "nmx-router: another router listens on %s\n", path.c_str());
        return false;
      }
    }
    unlink(path.c_str());
  }

  m_listenFd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (m_listenFd < 0 || !SetNonBlocking(m_listenFd) ||
      bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(m_listenFd, 64) != 0) {
    std::fprintf(stderr, "nmx-router: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  if (stat(path.c_str(), &st) == 0) {
    m_dev = st.st_dev;
    m_ino = st.st_ino;
  }
  m_path = path;
  return true;
}

void CRouterServer::ReadReply(ClientId client, const ReadRecord* records, size_t n,
                              std::optional<uint64_t> dropped) {
  auto it = m_byId.find(client);
  if (it == m_byId.end() || it->second->bDead) return;
  Client& c = *it->second;
  if (c.outStart == c.out.size()) {
    c.out.clear();
    c.outStart = 0;
  }
  const uint16_t type = dropped ? MSG_READ_REPLY_DROPPED : MSG_READ_REPLY;
  const size_t cbFixed = ReadReplyFixed(type);
  size_t cbBody = cbFixed;
  for (size_t i = 0; i < n; ++i) cbBody += READ_RECORD_HEAD + records[i].cb;
  const size_t at = c.out.size();
  c.out.resize(at + MSG_HEAD_SIZE + cbBody);
  uint8_t* p = c.out.data() + at;
  EncodeHead(p, type, static_cast<uint32_t>(cbBody));
  EncodeLE32(p + MSG_HEAD_SIZE, 0);
  EncodeLE32(p + MSG_HEAD_SIZE + 4, static_cast<uint32_t>(n));
  if (dropped) EncodeLE64(p + MSG_HEAD_SIZE + READ_REPLY_FIXED, *dropped);
  p += MSG_HEAD_SIZE + cbFixed;
  for (size_t i = 0; i < n; ++i) p = EncodeReadRecord(p, records[i]);
}

void CRouterServer::Accept() {
  for (;;) {
    int fd = accept(m_listenFd, nullptr, nullptr);
    if (fd < 0) return;  // EAGAIN, or a connection that went away before we took it
    if (m_clients.size() >= MAX_CLIENTS || !SetNonBlocking(fd)) {
      close(fd);
      continue;
    }
    VxFunctions::SocketSetNoSigPipe(fd);
    auto c = std::make_unique<Client>();
    c->fd = fd;
    c->id = m_nextId++;
    c->in.resize(IN_CHUNK);
    m_byId[c->id] = c.get();
    m_clients.push_back(std::move(c));
  }
}

void CRouterServer::Drop(Client& c, const char* why) {
  if (c.bDead) return;
  if (why) std::fprintf(stderr, "nmx-router: dropped client %u: %s\n", c.id, why);
  c.bDead = true;
  close(c.fd);
  c.fd = -1;
  m_core.ClientGone(c.id);
}

void CRouterServer::ReadFrom(Client& c) {
  for (int round = 0; round < 4 && !c.bDead; ++round) {
    if (c.inEnd == c.in.size()) {
      if (c.inStart > 0) {
        std::memmove(c.in.data(), c.in.data() + c.inStart, c.inEnd - c.inStart);
        c.inEnd -= c.inStart;
        c.inStart = 0;
      } else {
        return;  // a whole message is buffered and waits for its reply room
      }
    }
    ssize_t n = recv(c.fd, c.in.data() + c.inEnd, c.in.size() - c.inEnd, 0);
    if (n == 0) {
      Drop(c, nullptr);
      return;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      Drop(c, strerror(errno));
      return;
    }
    c.inEnd += static_cast<size_t>(n);
    if (!ParseMessages(c) || c.bMore) return;
    if (static_cast<size_t>(n) < c.in.size() / 2) return;  // drained for now
  }
}

bool CRouterServer::ParseMessages(Client& c) {
  size_t budget = ROUND_MESSAGES;
  c.bMore = false;
  c.bParsed = true;
  while (!c.bDead && c.inEnd - c.inStart >= MSG_HEAD_SIZE && Pending(c) < OUT_LIMIT) {
    if (budget-- == 0) {
      c.bMore = true;
      break;
    }
    const MsgHead h = DecodeHead(c.in.data() + c.inStart);
    bool ok = h.reserved == 0;
    switch (h.type) {
      case MSG_READ:
        ok = ok && h.cbBody == READ_BODY_SIZE;
        break;
      case MSG_IOCTL:
        ok = ok && h.cbBody == IOCTL_BODY_SIZE;
        break;
      case MSG_WRITE:
        ok = ok && h.cbBody >= NMX_HEAD_SIZE && h.cbBody <= MAX_COMMAND;
        break;
      default:
        ok = false;
    }
    if (!ok) {
      Drop(c, "malformed message");
      return false;
    }
    const size_t whole = MSG_HEAD_SIZE + h.cbBody;
    if (c.inEnd - c.inStart < whole) {
      if (c.in.size() - c.inStart < whole) {
        std::memmove(c.in.data(), c.in.data() + c.inStart, c.inEnd - c.inStart);
        c.inEnd -= c.inStart;
        c.inStart = 0;
        if (c.in.size() < whole) c.in.resize(whole);
      }
      return true;
    }
    const uint8_t* body = c.in.data() + c.inStart + MSG_HEAD_SIZE;
    switch (h.type) {
      case MSG_READ:
        if (!m_core.Read(c.id, DecodeLE32(body), DecodeLE32(body + 4), DecodeLE32(body + 8))) {
          Drop(c, "second read while one is pending, or batch 0");
          return false;
        }
        break;
      case MSG_WRITE:
        m_core.Write(c.id, body, h.cbBody);
        break;
      case MSG_IOCTL:
        if (!HandleIoctl(c, body)) return false;
        break;
    }
    c.inStart += whole;
  }
  if (c.inStart == c.inEnd) {
    c.inStart = c.inEnd = 0;
    if (c.in.size() > IN_CHUNK) {
      c.in.resize(IN_CHUNK);
      c.in.shrink_to_fit();
    }
  }
  return !c.bDead;
}

bool CRouterServer::HandleIoctl(Client& c, const uint8_t* body) {
  const uint32_t request = DecodeLE32(body);
  Envelope e = DecodeEnvelope(body + 4);
  int err = 0;
  if (request != PAL_IOCTL_INLINE || e.cbIn > ENVELOPE_INLINE || e.cbOut > ENVELOPE_INLINE) {
    err = EINVAL;
  } else if (e.code == IOCTL_NMX_REGISTER_PORT && e.cbIn >= sizeof(NmxRegisterR3PortIn) &&
             e.cbOut >= sizeof(NmxRegisterR3PortOut)) {
    const RegisterAnswer ans = m_core.Register(c.id, DecodeRegisterRecord(e.buffer));
    std::memset(e.buffer, 0, sizeof(e.buffer));
    EncodeLE16(e.buffer + offsetof(NmxRegisterR3PortOut, m_port), ans.port);
    EncodeLE16(e.buffer + offsetof(NmxRegisterR3PortOut, m_err), ans.err);
  } else if (e.code == IOCTL_NMX_GET_NETID && e.cbOut >= sizeof(NmxNetId)) {
    std::memset(e.buffer, 0, sizeof(e.buffer));
    std::memcpy(e.buffer, m_core.NetId().b, sizeof(NmxNetId));
  } else {
    err = EINVAL;
  }
  if (c.bDead) return false;
  const size_t cbBody = err ? 4 : 4 + ENVELOPE_SIZE;
  const size_t at = c.out.size();
  c.out.resize(at + MSG_HEAD_SIZE + cbBody);
  uint8_t* p = c.out.data() + at;
  EncodeHead(p, MSG_IOCTL_REPLY, static_cast<uint32_t>(cbBody));
  EncodeLE32(p + MSG_HEAD_SIZE, static_cast<uint32_t>(err));
  if (!err) EncodeEnvelope(p + MSG_HEAD_SIZE + 4, e);
  return true;
}

void CRouterServer::Flush(Client& c) {
  while (!c.bDead && Pending(c) > 0) {
    ssize_t n =
        send(c.fd, c.out.data() + c.outStart, Pending(c), VxFunctions::SocketNoSigPipeSendFlags());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Drop(c, strerror(errno));
      break;
    }
    c.outStart += static_cast<size_t>(n);
  }
  if (c.outStart == c.out.size()) {
    c.out.clear();
    c.outStart = 0;
    if (c.out.capacity() > OUT_LIMIT) c.out.shrink_to_fit();
  } else if (c.outStart > OUT_LIMIT / 2) {
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.outStart));
    c.outStart = 0;
  }
}

void CRouterServer::HandleSignals() {
  char buf[64];
  ssize_t n;
  while ((n = read(g_sigPipe[0], buf, sizeof(buf))) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '1') {
        m_core.ToggleSystem();
      } else if (buf[i] == '2') {
        m_core.PrintStats(stdout);
      } else if (!m_bRemoving) {
        m_bRemoving = true;
        std::printf("removing router\n");
        m_core.BeginRemoval();
      }
    }
  }
}

int CRouterServer::Run() {
  if (pipe(g_sigPipe) != 0 || !SetNonBlocking(g_sigPipe[0]) || !SetNonBlocking(g_sigPipe[1])) {
    std::fprintf(stderr, "nmx-router: pipe: %s\n", strerror(errno));
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::chrono::steady_clock::time_point deadline{};
  std::vector<pollfd> pfds;
  for (;;) {
    const size_t n = m_clients.size();
    pfds.assign(2 + n, pollfd{-1, 0, 0});
    pfds[0] = {g_sigPipe[0], POLLIN, 0};
    pfds[1] = {m_bRemoving ? -1 : m_listenFd, POLLIN, 0};
    for (size_t i = 0; i < n; ++i) {
      const Client& c = *m_clients[i];
      short ev = 0;
      if (Pending(c) < OUT_LIMIT) ev |= POLLIN;
      if (Pending(c) > 0) ev |= POLLOUT;
      pfds[2 + i] = {c.fd, ev, 0};
    }
    bool bMore = false;
    for (const auto& c : m_clients) {
      bMore = bMore || (!c->bDead && c->bMore);
      c->bParsed = false;
    }
    int timeout = bMore ? 0 : m_bRemoving ? 50 : -1;
    if (timeout != 0) {
      if (const auto due = m_core.NextHoldDeadline()) {
        // Rounded up: a held read is answered at its time or just after, never before.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*due - CRouterCore::Clock::now());
        const int ms = static_cast<int>(std::clamp<long long>(left.count(), 0, 50));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
      }
    }
    int r = poll(pfds.data(), pfds.size(), timeout);
    if (r < 0 && errno != EINTR) {
      std::fprintf(stderr, "nmx-router: poll: %s\n", strerror(errno));
      break;
    }
    m_core.SetNow(CRouterCore::Clock::now());
    if (r > 0) {
      if (pfds[0].revents & POLLIN) HandleSignals();
      if (!m_bRemoving && (pfds[1].revents & POLLIN)) Accept();
      for (size_t i = 0; i < n; ++i) {
        Client& c = *m_clients[i];
        const short rev = pfds[2 + i].revents;
        if (c.bDead || rev == 0) continue;
        if (rev & (POLLIN | POLLHUP | POLLERR)) ReadFrom(c);
        if (!c.bDead && (rev & POLLNVAL)) Drop(c, "invalid descriptor");
      }
    }
    for (auto& c : m_clients)
      if (!c->bDead && c->inEnd > c->inStart && !c->bParsed) ParseMessages(*c);
    m_core.DeliverQueued();
    for (auto& c : m_clients)
      if (!c->bDead && Pending(*c) > 0) Flush(*c);

    for (size_t i = 0; i < m_clients.size();) {
      if (m_clients[i]->bDead) {
        m_byId.erase(m_clients[i]->id);
        m_clients[i] = std::move(m_clients.back());
        m_clients.pop_back();
      } else {
        ++i;
      }
    }

    if (m_bRemoving) {
      if (deadline == std::chrono::steady_clock::time_point{})
        deadline = std::chrono::steady_clock::now() + REMOVAL_GRACE;
      bool flushed = true;
      for (auto& c : m_clients)
        if (Pending(*c) > 0) flushed = false;
      if ((m_core.RemovalComplete() && flushed) || std::chrono::steady_clock::now() > deadline)
        break;
    }
  }

  m_core.PrintStats(stdout);
  struct stat st {};
  if (!m_path.empty() && stat(m_path.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino)
    unlink(m_path.c_str());
  return 0;
}

}  // namespace vx::router
