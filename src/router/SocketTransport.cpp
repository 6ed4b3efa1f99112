#include "router/SocketTransport.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "router/PalDrvTypes.h"
#include "router/RouterProtocol.h"
#include "support/SocketOs.h"

namespace vx::router {

namespace {

// Bytes asked of the socket per receive, and the buffer that holds them with room for a
// control's reply behind a batch.
constexpr size_t kRxChunk = 64u << 10;
constexpr size_t kCtlReplySize = MSG_HEAD_SIZE + IOCTL_BODY_SIZE;
constexpr size_t kRxSize = kRxChunk + 2 * kCtlReplySize;

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
  m_routerDropped.store(0, std::memory_order_relaxed);
  m_bDroppedKnown.store(false, std::memory_order_relaxed);
  return 0;
}

void CSocketTransport::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

void CSocketTransport::Cancel() {
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
}

int CSocketTransport::SendAll(msghdr& msg) {
  std::lock_guard<std::mutex> guard(m_sendLock);
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

int CSocketTransport::MakeRoom(size_t cbWhole) {
  bool bHeld;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    bHeld = m_nBatchLeft > 0;
  }
  if (bHeld) return m_rx.size() - m_rxPos >= cbWhole ? 0 : EPROTO;
  if (m_rxPos > 0) {
    std::memmove(m_rx.data(), m_rx.data() + m_rxPos, m_rxEnd - m_rxPos);
    m_rxEnd -= m_rxPos;
    m_rxPos = 0;
  }
  if (m_rx.size() < cbWhole) {
    m_rx.resize(cbWhole);
  } else if (m_rx.size() > kRxSize && cbWhole <= kRxSize && m_rxEnd <= kRxSize) {
    // Back to the usual size once an oversized command has been handed out.
    m_rx.resize(kRxSize);
    m_rx.shrink_to_fit();
  }
  return 0;
}

// Receives until one whole reply is buffered, and files it with its owner. Called without
// m_lock by the one waiter that set m_bReceiving.
int CSocketTransport::ReceiveOne() {
  if (m_rx.empty()) m_rx.resize(kRxSize);
  for (;;) {
    const size_t avail = m_rxEnd - m_rxPos;
    size_t whole = MSG_HEAD_SIZE;
    if (avail >= MSG_HEAD_SIZE) {
      const MsgHead h = DecodeHead(m_rx.data() + m_rxPos);
      const size_t cbFixed = ReadReplyFixed(h.type);
      const bool bRead =
          cbFixed != 0 && h.reserved == 0 && h.cbBody >= cbFixed && h.cbBody <= MAX_BODY;
      const bool bCtl = h.type == MSG_IOCTL_REPLY && h.reserved == 0 &&
                        (h.cbBody == 4 || h.cbBody == IOCTL_BODY_SIZE);
      if (!bRead && !bCtl) return EPROTO;
      whole = MSG_HEAD_SIZE + h.cbBody;
      // A batch stays where it is while its records are handed out, and only a control's
      // reply can arrive behind it: room for one is made before the batch is filed.
      if (bRead)
        if (int err = MakeRoom(whole + kCtlReplySize)) return err;
      if (avail >= whole) {
        const uint8_t* body = m_rx.data() + m_rxPos + MSG_HEAD_SIZE;
        m_rxPos += whole;
        return File(h, body);
      }
    }
    if (int err = MakeRoom(whole)) return err;
    const size_t room = std::min(m_rx.size() - m_rxEnd, std::max(kRxChunk, whole - avail));
    ssize_t n = recv(m_fd, m_rx.data() + m_rxEnd, room, 0);
    if (n == 0) return ECONNRESET;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    m_rxEnd += static_cast<size_t>(n);
  }
}

int CSocketTransport::File(const MsgHead& h, const uint8_t* body) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (const size_t cbFixed = ReadReplyFixed(h.type)) {
    uint32_t err = 0, n = 0;
    if (!m_bReadSent || !CheckReadReply(body, h.cbBody, cbFixed, READ_BATCH, m_cbReadMax, &err, &n))
      return EPROTO;
    if (h.type == MSG_READ_REPLY_DROPPED) {
      // A total that went down would make the port's sums wrong: keep the highest seen.
      const uint64_t total = DecodeLE64(body + READ_REPLY_FIXED);
      if (total > m_routerDropped.load(std::memory_order_relaxed))
        m_routerDropped.store(total, std::memory_order_relaxed);
      m_bDroppedKnown.store(true, std::memory_order_release);
    }
    m_bReadSent = false;
    m_readErr = err;
    m_nBatchLeft = n;
    m_batchPos = static_cast<size_t>(body - m_rx.data()) + cbFixed;
    return 0;
  }
  if (!m_bCtlExpected || m_bCtlReady) return EPROTO;
  m_ctlErr = DecodeLE32(body);
  if (m_ctlErr == 0 && h.cbBody != IOCTL_BODY_SIZE) return EPROTO;
  if (h.cbBody == IOCTL_BODY_SIZE) std::memcpy(m_ctlEnvelope, body + 4, ENVELOPE_SIZE);
  m_bCtlReady = true;
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
  if (m_nBatchLeft == 0) {
    const int err = static_cast<int>(m_readErr);
    m_readErr = 0;
    return err;
  }
  ReadRecord r;
  const uint8_t* next = DecodeReadRecord(m_rx.data() + m_batchPos, &r);
  if (r.cb > cb) {
    // Handed over ahead for a larger buffer than this read has: ask for one, as the router
    // itself would.
    uint8_t need[4];
    EncodeLE32(need, r.cb);
    std::memcpy(buf, need, cb < 4 ? cb : 4);
    *pcbRead = NMX_READ_BUFFER_TOO_SMALL;
    return 0;
  }
  if (r.cb) std::memcpy(buf, r.data, r.cb);
  *pcbRead = r.count;
  m_batchPos = static_cast<size_t>(next - m_rx.data());
  --m_nBatchLeft;
  return 0;
}

int CSocketTransport::ReadAt(void* buf, DWORD cb, DWORD offset, DWORD* pcbRead) {
  std::lock_guard<std::mutex> guard(m_readLock);
  std::unique_lock<std::mutex> lk(m_lock);
  if (m_nBatchLeft == 0 && m_readErr == 0 && !m_bReadSent && !m_broken) {
    m_bReadSent = true;
    m_cbReadMax = cb;
    lk.unlock();
    uint8_t head[MSG_HEAD_SIZE + READ_BODY_SIZE];
    EncodeHead(head, MSG_READ, READ_BODY_SIZE);
    EncodeLE32(head + MSG_HEAD_SIZE, offset);
    EncodeLE32(head + MSG_HEAD_SIZE + 4, cb);
    EncodeLE32(head + MSG_HEAD_SIZE + 8, READ_BATCH | READ_WANT_DROPPED | READ_HOLD);
    iovec iov{head, sizeof(head)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    int err = SendAll(msg);
    lk.lock();
    if (err && !m_broken) m_broken = err;
  }
  int err = WaitFor(lk, [&] { return m_nBatchLeft > 0 || m_readErr != 0; });
  if (err == 0) return TakeRead(buf, cb, pcbRead);
  m_bReadSent = false;
  if (!m_bRemovedTold) {
    // The connection is gone (the router exited or was killed, or broke the protocol) and
    // cannot come back: to the port that is what a removed router looks like.
    m_bRemovedTold = true;
    *pcbRead = NMX_READ_ROUTER_REMOVED;
    return 0;
  }
  return err;
}

bool CSocketTransport::RouterDropped(uint64_t* pCount) {
  if (!m_bDroppedKnown.load(std::memory_order_acquire)) return false;
  *pCount = m_routerDropped.load(std::memory_order_relaxed);
  return true;
}

bool CSocketTransport::ReadReady() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nBatchLeft > 0 || m_readErr != 0;
}

int CSocketTransport::Write(const void* buf, DWORD cb, DWORD* pcbWritten) {
  if (int err = WriteMany(&buf, &cb, 1)) return err;
  *pcbWritten = cb;
  return 0;
}

int CSocketTransport::WriteMany(const void* const* bufs, const DWORD* cbs, DWORD n) {
  constexpr DWORD kPerSend = 256;  // two iovecs each, well below every system's IOV_MAX
  uint8_t heads[kPerSend][MSG_HEAD_SIZE];
  iovec iov[2 * kPerSend];
  for (DWORD first = 0; first < n;) {
    DWORD k = 0;
    for (; k < kPerSend && first + k < n; ++k) {
      const DWORD cb = cbs[first + k];
      if (cb < NMX_HEAD_SIZE) return EINVAL;
      if (cb > MAX_COMMAND) return EMSGSIZE;
      EncodeHead(heads[k], MSG_WRITE, cb);
      iov[2 * k] = {heads[k], MSG_HEAD_SIZE};
      iov[2 * k + 1] = {const_cast<void*>(bufs[first + k]), cb};
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2 * k;
    if (int err = SendAll(msg)) return err;
    first += k;
  }
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
  uint8_t body[MSG_HEAD_SIZE + IOCTL_BODY_SIZE];
  EncodeHead(body, MSG_IOCTL, IOCTL_BODY_SIZE);
  EncodeLE32(body + MSG_HEAD_SIZE, static_cast<uint32_t>(request));
  EncodeTransBuf(body + MSG_HEAD_SIZE + 4, *tb);
  iovec iov{body, sizeof(body)};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  int err = SendAll(msg);
  lk.lock();
  if (err && !m_broken) m_broken = err;
  err = WaitFor(lk, [&] { return m_bCtlReady; });
  const bool bReady = m_bCtlReady;
  m_bCtlReady = false;
  m_bCtlExpected = false;
  if (err == 0 && bReady && m_ctlErr != 0) err = static_cast<int>(m_ctlErr);
  if (err == 0) DecodeTransBuf(m_ctlEnvelope, *tb);
  return err;
}

}  // namespace vx::router
