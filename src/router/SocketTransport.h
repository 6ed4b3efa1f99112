// The stand-in router's socket link: one connection per handle, carrying reads, writes and
// device controls as the messages of router/RouterProtocol.h.
//
// A read may block on one thread while another thread writes or issues a control on the
// same handle. Writes have no reply. A read and a control each wait for their own reply;
// whichever waiting thread finds nobody receiving reads the next reply off the socket and
// hands it to its owner, so no extra thread is needed. A read asks for a batch: the replies
// that follow the first are kept and answer the next reads without a round trip.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

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
  // Commands shorter than a header fail with EINVAL, longer than the router takes with
  // EMSGSIZE, before anything is sent.
  int Write(const void* buf, DWORD cb, DWORD* pcbWritten) override;
  // Only the inline envelope can cross a socket; other requests fail with EINVAL.
  int Control(unsigned long request, void* arg, size_t cbArg) override;
  // Shuts the connection down, so a blocked read returns.
  void Cancel() override;

 private:
  struct Reply {
    bool bReady = false;
    uint32_t err = 0;
    uint32_t count = 0;
    std::vector<uint8_t> body;  // the data of a read, the envelope of a control
  };

  int SendAll(const uint8_t* head, size_t cbHead, const void* body, size_t cbBody);
  // Waits, with m_lock held by lk, until ready() holds or the link breaks.
  template <class Pred>
  int WaitFor(std::unique_lock<std::mutex>& lk, Pred ready);
  // Hands the oldest read reply to the caller of ReadAt.
  int TakeRead(void* buf, DWORD cb, DWORD* pcbRead);
  int ReceiveOne();
  int RecvAll(uint8_t* p, size_t cb);

  int m_fd = -1;
  std::mutex m_sendLock;  // one message goes out at a time
  std::mutex m_readLock;  // one read outstanding
  std::mutex m_ctlLock;   // one control outstanding
  std::mutex m_lock;      // guards what follows
  std::condition_variable m_cv;
  bool m_bReceiving = false;  // a waiter is reading a reply off the socket
  int m_broken = 0;           // errno once the connection failed
  bool m_bRemovedTold = false;
  uint32_t m_nReadExpected = 0;  // read replies still to come for the outstanding READ
  uint32_t m_cbReadMax = 0;      // buffer length of the outstanding READ
  std::deque<Reply> m_reads;     // read replies not yet handed out, in order
  bool m_bCtlExpected = false;
  Reply m_ctl;
  std::vector<uint8_t> m_rx;  // used only by the receiving waiter
};

}  // namespace vx::router
