#include "router/SocketTransport.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "router/PalDrvTypes.h"
#include "router/RouterProtocol.h"
#include "support/SocketOs.h"

namespace vx::router {

namespace {

void EncodeTransBuf(uint8_t* p, const PAL_IOCTL_TRANS_BUF& tb) {
  Envelope e;
  e.code = tb.params.dwIoControlCode;
  e.cbIn = tb.params.cbInBufSize;
  e.cbOut = tb.params.cbOutBufSize;
  std::memcpy(e.buffer, tb.buffer, sizeof(e.buffer));
  EncodeEnvelope(p, e);
}

void DecodeTransBuf(const uint8_t* p, PAL_IOCTL_TRANS_BUF& tb) {
  const Envelope e = DecodeEnvelope(p);
  tb.params.dwIoControlCode = e.code;
  tb.params.cbInBufSize = e.cbIn;
  tb.params.cbOutBufSize = e.cbOut;
  std::memcpy(tb.buffer, e.buffer, sizeof(tb.buffer));
}

}  // namespace

CSocketTransport::~CSocketTransport() {
  Close();
}

int CSocketTransport::Open(const char* path) {
  if (m_fd >= 0) return EBUSY;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = strlen(path);
  if (len >= sizeof(addr.sun_path)) return ENAMETOOLONG;
  std::memcpy(addr.sun_path, path, len + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return errno;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    close(fd);
    return err;
  }
  VxFunctions::SocketSetNoSigPipe(fd);
  m_fd = fd;
  m_broken = 0;
  m_bRemovedTold = false;
  return 0;
}

void CSocketTransport::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

void CSocketTransport::Cancel() {
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
}

int CSocketTransport::SendAll(const uint8_t* head, size_t cbHead, const void* body, size_t cbBody) {
  std::lock_guard<std::mutex> guard(m_sendLock);
  iovec iov[2] = {{const_cast<uint8_t*>(head), cbHead}, {const_cast<void*>(body), cbBody}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = cbBody ? 2 : 1;
  while (msg.msg_iovlen > 0) {
    ssize_t n = sendmsg(m_fd, &msg, VxFunctions::SocketNoSigPipeSendFlags());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    size_t done = static_cast<size_t>(n);
    while (msg.msg_iovlen > 0 && done >= msg.msg_iov[0].iov_len) {
      done -= msg.msg_iov[0].iov_len;
      ++msg.msg_iov;
      --msg.msg_iovlen;
    }
    if (msg.msg_iovlen > 0) {
      msg.msg_iov[0].iov_base = static_cast<uint8_t*>(msg.msg_iov[0].iov_base) + done;
      msg.msg_iov[0].iov_len -= done;
    }
  }
  return 0;
}

int CSocketTransport::RecvAll(uint8_t* p, size_t cb) {
  while (cb > 0) {
    ssize_t n = recv(m_fd, p, cb, 0);
    if (n == 0) return ECONNRESET;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    cb -= static_cast<size_t>(n);
  }
  return 0;
}

// Reads one reply and files it with its owner. Called without m_lock by the one waiter
// that set m_bReceiving.
int CSocketTransport::ReceiveOne() {
  uint8_t head[MSG_HEAD_SIZE];
  if (int err = RecvAll(head, sizeof(head))) return err;
  const MsgHead h = DecodeHead(head);
  const bool bRead =
      h.type == MSG_READ_REPLY && h.cbBody >= READ_REPLY_FIXED && h.cbBody <= MAX_BODY;
  const bool bCtl = h.type == MSG_IOCTL_REPLY && (h.cbBody == 4 || h.cbBody == IOCTL_BODY_SIZE);
  if (!bRead && !bCtl) return EPROTO;
  m_rx.resize(h.cbBody);
  if (int err = RecvAll(m_rx.data(), m_rx.size())) return err;

  std::lock_guard<std::mutex> guard(m_lock);
  Reply r;
  r.bReady = true;
  r.err = DecodeLE32(m_rx.data());
  if (bRead) {
    const uint32_t following = DecodeLE32(m_rx.data() + 8);
    if (m_nReadExpected == 0 || following >= READ_BATCH ||
        h.cbBody - READ_REPLY_FIXED > m_cbReadMax)
      return EPROTO;
    r.count = DecodeLE32(m_rx.data() + 4);
    r.body.assign(m_rx.begin() + READ_REPLY_FIXED, m_rx.end());
    m_reads.push_back(std::move(r));
    m_nReadExpected = following;
  } else {
    if (!m_bCtlExpected || m_ctl.bReady) return EPROTO;
    r.body.assign(m_rx.begin() + 4, m_rx.end());
    if (r.err == 0 && r.body.size() != ENVELOPE_SIZE) return EPROTO;
    m_ctl = std::move(r);
  }
  return 0;
}

template <class Pred>
int CSocketTransport::WaitFor(std::unique_lock<std::mutex>& lk, Pred ready) {
  for (;;) {
    if (ready()) return 0;
    if (m_broken) return m_broken;
    if (!m_bReceiving) {
      m_bReceiving = true;
      lk.unlock();
      int err = ReceiveOne();
      lk.lock();
      m_bReceiving = false;
      if (err && !m_broken) m_broken = err;
      m_cv.notify_all();
      continue;
    }
    m_cv.wait(lk);
  }
}

int CSocketTransport::TakeRead(void* buf, DWORD cb, DWORD* pcbRead) {
  Reply& r = m_reads.front();
  if (r.err != 0) {
    const int err = static_cast<int>(r.err);
    m_reads.pop_front();
    return err;
  }
  if (r.body.size() > cb) {
    // Handed over ahead for a larger buffer than this read has: ask for one, as the router
    // itself would.
    uint8_t need[4];
    EncodeLE32(need, static_cast<uint32_t>(r.body.size()));
    std::memcpy(buf, need, cb < 4 ? cb : 4);
    *pcbRead = NMX_READ_BUFFER_TOO_SMALL;
    return 0;
  }
  if (!r.body.empty()) std::memcpy(buf, r.body.data(), r.body.size());
  *pcbRead = r.count;
  m_reads.pop_front();
  return 0;
}

int CSocketTransport::ReadAt(void* buf, DWORD cb, DWORD offset, DWORD* pcbRead) {
  std::lock_guard<std::mutex> guard(m_readLock);
  std::unique_lock<std::mutex> lk(m_lock);
  if (m_reads.empty() && m_nReadExpected == 0 && !m_broken) {
    m_nReadExpected = 1;
    m_cbReadMax = cb;
    lk.unlock();
    uint8_t head[MSG_HEAD_SIZE + READ_BODY_SIZE];
    EncodeHead(head, MSG_READ, READ_BODY_SIZE);
    EncodeLE32(head + MSG_HEAD_SIZE, offset);
    EncodeLE32(head + MSG_HEAD_SIZE + 4, cb);
    EncodeLE32(head + MSG_HEAD_SIZE + 8, READ_BATCH);
    int err = SendAll(head, sizeof(head), nullptr, 0);
    lk.lock();
    if (err && !m_broken) m_broken = err;
  }
  int err = WaitFor(lk, [&] { return !m_reads.empty(); });
  if (err == 0) return TakeRead(buf, cb, pcbRead);
  m_nReadExpected = 0;
  if (!m_bRemovedTold) {
    // The connection is gone (the router exited or was killed, or broke the protocol) and
    // cannot come back: to the port that is what a removed router looks like.
    m_bRemovedTold = true;
    *pcbRead = NMX_READ_ROUTER_REMOVED;
    return 0;
  }
  return err;
}

int CSocketTransport::Write(const void* buf, DWORD cb, DWORD* pcbWritten) {
  if (cb < NMX_HEAD_SIZE) return EINVAL;
  if (cb > MAX_COMMAND) return EMSGSIZE;
  uint8_t head[MSG_HEAD_SIZE];
  EncodeHead(head, MSG_WRITE, cb);
  if (int err = SendAll(head, sizeof(head), buf, cb)) return err;
  *pcbWritten = cb;
  return 0;
}

int CSocketTransport::Control(unsigned long request, void* arg, size_t cbArg) {
  if (request != PAL_IOCTL_INLINE || cbArg != sizeof(PAL_IOCTL_TRANS_BUF) || arg == nullptr)
    return EINVAL;
  auto* tb = static_cast<PAL_IOCTL_TRANS_BUF*>(arg);
  std::lock_guard<std::mutex> guard(m_ctlLock);
  std::unique_lock<std::mutex> lk(m_lock);
  if (m_broken) return m_broken;
  m_bCtlExpected = true;
  lk.unlock();
  uint8_t msg[MSG_HEAD_SIZE + IOCTL_BODY_SIZE];
  EncodeHead(msg, MSG_IOCTL, IOCTL_BODY_SIZE);
  EncodeLE32(msg + MSG_HEAD_SIZE, static_cast<uint32_t>(request));
  EncodeTransBuf(msg + MSG_HEAD_SIZE + 4, *tb);
  int err = SendAll(msg, sizeof(msg), nullptr, 0);
  lk.lock();
  if (err && !m_broken) m_broken = err;
  err = WaitFor(lk, [&] { return m_ctl.bReady; });
  Reply r = std::move(m_ctl);
  m_ctl = Reply{};
  m_bCtlExpected = false;
  if (err == 0 && r.err != 0) err = static_cast<int>(r.err);
  if (err == 0) DecodeTransBuf(r.body.data(), *tb);
  return err;
}

}  // namespace vx::router
