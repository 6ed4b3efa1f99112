// The stand-in router's socket link: one connection per handle, carrying reads, writes and
// device controls as the messages of router/RouterProtocol.h.
//
// A read may block on one thread while another thread writes or issues a control on the
// same handle. Writes have no reply. A read and a control each wait for their own reply;
// whichever waiting thread finds nobody receiving reads the socket and files what arrived
// with its owner, so no extra thread is needed. Replies come in through one receive buffer,
// up to 64 KiB per receive; a read's reply carries a batch of records that answer this read
// and the next ones, handed out of that buffer without a round trip or an allocation.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "router/RouterProtocol.h"
#include "router/RouterTransport.h"

namespace vx::router {

class CSocketTransport : public IRouterTransport {
 public:
  ~CSocketTransport() override;

  int Open(const char* path) override;
  void Close() override;
  int Descriptor() const override { return m_fd; }
  // A connection that breaks (the router exits or dies) reads as status 5 (router
  // removed), once; later reads fail with the error.
  int ReadAt(void* buf, DWORD cb, DWORD offset, DWORD* pcbRead) override;
  bool ReadReady() override;
  // The total of the router's last READ_REPLY_DROPPED; false until one has arrived (a router
  // that does not send them).
  bool RouterDropped(uint64_t* pCount) override;
  // Commands shorter than a header fail with EINVAL, longer than the router takes with
  // EMSGSIZE, before anything is sent.
  int Write(const void* buf, DWORD cb, DWORD* pcbWritten) override;
  // All of them in as few sends as the socket takes; each is checked as by Write first.
  int WriteMany(const void* const* bufs, const DWORD* cbs, DWORD n) override;
  // Only the inline envelope can cross a socket; other requests fail with EINVAL.
  int Control(unsigned long request, void* arg, size_t cbArg) override;
  // Shuts the connection down, so a blocked read returns.
  void Cancel() override;

 private:
  int SendAll(msghdr& msg);
  // Waits, with m_lock held by lk, until ready() holds or the link breaks.
  template <class Pred>
  int WaitFor(std::unique_lock<std::mutex>& lk, Pred ready);
  // Hands the next record of the batch to the caller of ReadAt.
  int TakeRead(void* buf, DWORD cb, DWORD* pcbRead);
  // Receives until one whole reply is in the buffer and files it.
  int ReceiveOne();
  // Makes room behind m_rxPos for a message of cbWhole bytes.
  int MakeRoom(size_t cbWhole);
  int File(const MsgHead& h, const uint8_t* body);

  int m_fd = -1;
  std::mutex m_sendLock;  // one message goes out at a time
  std::mutex m_readLock;  // one read outstanding
  std::mutex m_ctlLock;   // one control outstanding
  std::mutex m_lock;      // guards what follows, except the receive buffer
  std::condition_variable m_cv;
  bool m_bReceiving = false;  // a waiter is reading the socket
  int m_broken = 0;           // errno once the connection failed
  bool m_bRemovedTold = false;
  bool m_bReadSent = false;  // a READ is out and its reply has not arrived
  DWORD m_cbReadMax = 0;     // buffer length of the outstanding READ
  // The batch being handed out: records left, the next one's offset in m_rx, and an errno
  // the router answered the read with (no records then).
  uint32_t m_nBatchLeft = 0;
  size_t m_batchPos = 0;
  uint32_t m_readErr = 0;
  // Written under m_lock by the receiving waiter, read without it.
  std::atomic<uint64_t> m_routerDropped{0};
  std::atomic<bool> m_bDroppedKnown{false};
  bool m_bCtlReady = false;
  bool m_bCtlExpected = false;
  uint32_t m_ctlErr = 0;
  uint8_t m_ctlEnvelope[ENVELOPE_SIZE] = {};
  // The receive buffer. Bytes before m_rxPos are filed replies (a batch may still be read
  // from them), [m_rxPos, m_rxEnd) is received but not yet filed. Only the receiving waiter
  // moves m_rxPos and m_rxEnd, and it moves bytes only while no batch lies in the buffer.
  std::vector<uint8_t> m_rx;
  size_t m_rxPos = 0;
  size_t m_rxEnd = 0;
};

}  // namespace vx::router
