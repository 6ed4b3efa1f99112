// An IPv4 socket that owns one descriptor and, while it listens or is connected, one service
// thread of its own: a listener that accepts pending connections, or a receiver that hands
// every received chunk to OnReceive.
//
// Thread safety: the public operations may be called from any thread, also while the service
// thread runs; m_lock serialises thread creation, closing, Disable and Shutdown, and m_sendLock
// serialises sends with the release of the descriptor, so a send never writes to a descriptor
// number that was closed and handed out again. The callbacks (OnAccept, OnReceive,
// OnReceiveIdle, OnClose of the thread's own close) run on the service thread.
//
// Lifetime: a derived class that overrides a callback must call CloseSocket(true) at the start
// of its destructor, so that the service thread has ended before the derived part goes away.
// CloseSocket(true) from any thread but the service thread waits for that thread to end; from
// the service thread itself it never waits.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"
#include "support/SocketOs.h"

namespace VxFunctions {

class CTcpConnList;

// Peer address of a connected socket, both fields in network byte order.
struct TcpAddr {
  DWORD dwAddr;
  WORD nPort;
  WORD nFill;
};

// Process-wide counters, for diagnostics and tests.
struct SocketDebugStat {
  std::atomic<LONG> socketObjCnt{0};      // socket objects alive
  std::atomic<LONG> createdSocketCnt{0};  // descriptors open
};

// Size of the receive buffer of a receiver thread.
extern const DWORD g_cbTcpBuf;

// Socket types of Create.
constexpr int VX_SOCK_STREAM = 1;
constexpr int VX_SOCK_DGRAM = 2;

class CTcpSocket {
 public:
  CTcpSocket();
  // list: the owning list, not owned; it must outlive the socket's listener thread.
  explicit CTcpSocket(CTcpConnList* list);
  virtual ~CTcpSocket();
  CTcpSocket(const CTcpSocket&) = delete;
  CTcpSocket& operator=(const CTcpSocket&) = delete;

  virtual LONG SocketAddRef();
  virtual LONG SocketRelease();

  // Opens and binds an IPv4 socket on port (host order) and the dotted host address, or the
  // any-address when host is null or empty. socketType VX_SOCK_STREAM is TCP, anything else UDP.
  virtual DWORD Create(WORD port, const char* host, int socketType = VX_SOCK_STREAM,
                       bool reuseAddr = false);
  virtual DWORD Create(const sockaddr* addr, socklen_t len, int socketType, bool reuseAddr);
  // Connects to the dotted address or host name and port (host order), then starts the
  // receiver thread.
  virtual DWORD Connect(const char* host, WORD port);
  virtual DWORD Connect(const sockaddr* addr, socklen_t len);
  virtual DWORD SetSockOpt(int optName, const void* value, socklen_t len, int level = SOL_SOCKET);
  virtual DWORD CloseSocket(bool waitForThread);
  // Permanently refuses further work, and closes without waiting.
  virtual void Disable();
  virtual DWORD Shutdown(int how);
  // Waits for a pending connection (in 50 ms steps, until one arrives or listening stops)
  // and lets target adopt it. addr and len may be null.
  virtual DWORD Accept(CTcpSocket* target, sockaddr* addr, socklen_t* len);
  // Puts the socket into listening mode and starts the listener thread.
  virtual DWORD Listen();
  // One send() of the buffer; returns the bytes sent, or -1 with errno set.
  virtual int Send(const void* buf, DWORD len, int flags);
  // Starts the receiver thread of a connected socket (0 when one already runs).
  virtual DWORD Receive();
  // Gives up the descriptor without closing it.
  virtual int Detach();
  // The first IPv4 address (network order) of the local host name; false when disabled or
  // when the name cannot be resolved.
  virtual bool GetLocalHost(DWORD* pdwAddr);
  virtual bool TestConnection();
  // 1 when the local name was read, 0 when not, 10038 when disabled.
  virtual DWORD GetSockName(sockaddr* addr, socklen_t* len);
  virtual DWORD SetCreateSockOptions(int fd, int socketType);
  // Adopts an open, connected descriptor (closing the one held); -1 only closes.
  virtual CTcpSocket& operator=(int fd);

  // Callbacks. OnAccept forwards to the owning list; OnReceive gets len 0xFFFFFFFF with a read
  // error. A non-zero result of OnReceive ends the receiver, except 10040 (read again).
  virtual DWORD OnAccept(DWORD error);
  virtual DWORD OnReceive(DWORD error, const BYTE* buf, DWORD len, DWORD timeout);
  virtual void OnClose(DWORD error);
  virtual void OnAccepted(DWORD error);
  virtual DWORD OnConnected();

  virtual bool IsListening() const { return m_bListening.load(); }
  virtual bool IsConnected() const { return m_bConnected.load(); }
  virtual bool IsEnabled() const { return m_bEnabled.load(); }
  virtual bool IsCreated() const { return m_bCreated.load(); }

  // The service thread's loops. Both end by closing the descriptor from the thread and
  // marking the thread as ended; an override must not touch the object after calling them.
  virtual DWORD Receiver();

  // Called on the receiver thread of a stream socket each time the receive idle time-out
  // passes without a byte arriving; a non-zero result ends the receiver. The default keeps
  // waiting.
  virtual DWORD OnReceiveIdle();

  DWORD CreateTcpThread(DWORD priority);
  DWORD Listener();
  static DWORD TcpPortThread(PVOID socket);

  // Writes the whole buffer (several send() calls if the kernel takes less at once) while no
  // other send can interleave. Returns 0 or a socket result code; 10060 when the send time-out
  // passed before the last byte was taken.
  DWORD SendAll(const void* buf, DWORD len);

  // Peer address of a connected socket (network byte order).
  TcpAddr GetPeerAddr() const { return m_tcpAddr; }

  // How long the receiver waits for a byte before it calls OnReceiveIdle (and then waits
  // again); 0, the default, waits without limit. Takes effect from the receiver's next wait.
  void SetReceiveIdleTimeout(DWORD ms) { m_dwReceiveIdleMs = ms; }

  // How long one SendAll may take from its start to its last byte, however the peer trickles
  // its reads; 0, the default, waits without limit. A peer that does not read can hold a
  // sender no longer than this.
  void SetSendTimeout(DWORD ms) { m_dwSendTimeoutMs = ms; }

  // Probes the connection while it carries nothing (SocketSetKeepAlive), so that a peer that
  // vanished ends it. 0, or a socket result code.
  DWORD SetKeepAlive(int idleSeconds, int intervalSeconds, int probes);

  static const SocketDebugStat& GetSockStat() { return m_sockStat; }

 protected:
  TcpAddr m_tcpAddr;
  char m_szPeerAddr[17];
  std::atomic<bool> m_bCreated;
  std::atomic<bool> m_bConnected;
  std::atomic<bool> m_bListening;
  std::atomic<int> m_socket;
  int m_nSocketType;
  CTcpConnList* m_pTcpConnList;
  std::atomic<LONG> m_refCnt;
  DWORD m_nWaitThreadCnt GUARDED_BY(m_lock);
  std::atomic<bool> m_bEnabled;
  COsUserLock m_lock;
  OS_USER_THREAD_ID m_threadId GUARDED_BY(m_lock);
  OS_USER_THREAD_HANDLE m_hTcpThread GUARDED_BY(m_lock);
  // True from the start of the service thread until it has released the descriptor; a stale
  // handle of an ended thread does not keep the descriptor open.
  bool m_bThreadRunning GUARDED_BY(m_lock);
  COsUserLock m_sendLock;
  std::atomic<DWORD> m_dwReceiveIdleMs;
  std::atomic<DWORD> m_dwSendTimeoutMs;

  static DWORD m_serverCommTimeout;
  static SocketDebugStat m_sockStat;

 private:
  // Closes the descriptor held, under m_sendLock.
  DWORD CloseDescriptorLocked() REQUIRES(m_lock);
  DWORD CreateTcpThreadLocked(DWORD priority) REQUIRES(m_lock);
  // Last step of the service thread: its own close, and the end of m_bThreadRunning.
  void FinishServiceThread();
};

}  // namespace VxFunctions
