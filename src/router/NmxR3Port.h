// CNmxR3Port: an NMX endpoint registered at the local router. It owns the registration, a
// receive thread that reads every command the router delivers to the port and passes it to
// NmxReceive, and the send path.
//
// Handles: two device handles per connection (router/DrvControl.h), one the receive thread
// reads from (and through which the port is registered), one commands are written to.
//
// Threads: NmxReceive and the NmxOnSystem* notifications run on the receive thread. NmxSend
// may be called from any thread, also from inside NmxReceive. NmxConnect and NmxDisconnect
// are called by one controlling thread at a time.
//
// Lifetime: a derived class that overrides NmxReceive must call NmxDisconnect in its own
// destructor; by the time this destructor runs, the derived part the thread would call into
// is gone. NmxDisconnect waits at most 10 s for a thread blocked in the router read; a thread
// that is still inside NmxReceive is waited for until it returns, since the port cannot be
// released under it. A thread that is given up closes its own read handle when its read
// returns and never touches the port again.
#pragma once

#include <atomic>

#include "nmx/NmxPort.h"
#include "router/DrvControl.h"

class CNmxR3PortImpl;

// m_nLastError values of the router port.
constexpr DWORD NMX_R3_ERR_WRITE_EMPTY = 1;      // a write was accepted with 0 bytes
constexpr DWORD NMX_R3_ERR_DEVICE = 12;          // opening a handle or writing failed
constexpr DWORD NMX_R3_ERR_NOT_CONNECTED = 13;   // sending while not connected
constexpr DWORD NMX_R3_ERR_NO_THREAD = 8;        // the receive thread could not be started
constexpr DWORD NMX_R3_ERR_DISABLED = 18;        // sending while the system is stopped
constexpr DWORD NMX_R3_ERR_CONNECTED = 19;       // connecting while already connected
constexpr DWORD NMX_R3_ERR_UNREGISTERED = 1287;  // the router dropped the registration

// Error code put into a command whose length disagrees with its header.
constexpr LONG NMX_ERR_LENGTH_MISMATCH = 14;

// Ids of the system commands the port synthesises (flag NMX_FLAG_SYSTEM_COMMAND).
constexpr WORD NMX_SYSCMD_STOPPED = 2;
constexpr WORD NMX_SYSCMD_STARTED = 3;
constexpr WORD NMX_SYSCMD_REMOVED = 4;
// Commands of the runtime that start and stop the system.
constexpr WORD NMX_CMD_SYSTEM_START = 251;
constexpr WORD NMX_CMD_SYSTEM_STOP = 252;

// NmxConnect port choices.
constexpr WORD NMX_PORT_ANY = 0;
constexpr WORD NMX_PORT_PREVIOUS = 0xFFFF;

constexpr DWORD NMX_R3_THREAD_WAIT_MS = 10000;

class CNmxR3Port : public CNmxPort {
 public:
  // port 0 lets the router choose. With bAutoConnect the port connects at once with
  // NmxConnect(0xFFFF, 4096, 80). Attribute bit 0x4 is always added.
  CNmxR3Port(WORD port, BOOL bAutoConnect, const char* name, DWORD dwAttrib);

  // Writes 32 + cbData bytes of cmd to the router; TRUE when the router took them.
  LONG NmxSend(NmxCmd* cmd) override;
  // Called for every command read and for the synthesised system commands; the buffer is
  // the thread's and is reused after the call. The base passes it to NmxDispatch.
  void NmxReceive(NmxCmd* cmd) override;
  // System commands switch the enabled state; other commands are answered with error 11.
  void NmxDispatch(NmxCmd* cmd) override;
  NmxCmd* NmxAlloc(LONG size) override;
  void NmxFree(NmxCmd* cmd) override;

  virtual ~CNmxR3Port();
  // port: 0 any, 0xFFFF the previous choice, else that fixed number. nBuffer: receive buffer
  // bytes. nQueueSize: the router's queue length for the port. TRUE when connected.
  virtual BOOL NmxConnect(WORD port, DWORD nBuffer, DWORD nQueueSize);
  // TRUE when a connection was ended.
  virtual BOOL NmxDisconnect();
  // After a failed NmxConnect: the system's error number (errno) with which the router device
  // could not be opened or did not take the registration; 0 when the router answered
  // (NmxGetLastError then holds its refusal) or the failure was another.
  DWORD NmxGetDeviceError() const { return m_nDeviceError.load(); }
  virtual void NmxOnSystemStartStop(BOOL bStart);
  virtual void NmxOnSystemRemoved();
  virtual BOOL NmxPortEnabled();

  // Sends cmds[0..n) in order, as n NmxSend calls would but in as few writes as the link
  // allows; TRUE when the router took them all.
  LONG NmxSendMany(NmxCmd* const* cmds, DWORD n);
  // TRUE when the next command is already at hand, so the receive thread will not wait for
  // the router before its next NmxReceive. Only on the receive thread, inside NmxReceive.
  BOOL NmxReceiveReady();

  // Commands the router dropped for this port because its queue was full, over all of the
  // port's connections, as far as the router has told the receive thread: TRUE with that
  // count once a router said (the stand-in router), FALSE with 0 where the router cannot
  // say (the device). Any thread.
  BOOL GetRouterDroppedCount(ULONGLONG* pCount);

  // Receive threads of all ports that NmxDisconnect gave up and that are still running.
  static LONG NmxGivenUpThreads();

 protected:
  std::atomic<BOOL> m_bTerminate;
  CNmxR3PortImpl* m_pImpl;
  void* m_pReserved;
  CDrvControl* m_pReceiveDrv;
  CDrvControl* m_pSendDrv;
  DWORD m_nBuffer;
  std::atomic<BOOL> m_bEnabled;
  // Set before NmxConnect by a port that must keep up with what the router hands it: its
  // receive thread then asks for a raised priority (OsUserRaiseThreadPriority) and, when the
  // system refuses, runs as before without a word.
  bool m_bRaisePriority = false;

  std::atomic<DWORD> m_nDeviceError{0};

 private:
  struct ReceiveContext;
  static DWORD ThreadMain(PVOID param);
  void ReceiveLoop(ReceiveContext& ctx);
  DWORD ReadUnlocked(ReceiveContext& ctx, BYTE* buf, DWORD cb, DWORD* pcbRead, OVERLAPPED* ov);
  void OnRouterRemoved(ReceiveContext& ctx);
  // Adds what the router dropped since the thread last looked to the port's count.
  void CountRouterDropped(ReceiveContext& ctx);
  void DeliverSystemCommand(WORD id);
  // Under m_pImpl->m_lock: connected and enabled, else false with the last error set.
  bool MaySend();
  // The one way out of a failed NmxConnect: sets the last error and releases the device
  // handles opened so far and the events; returns FALSE.
  BOOL AbandonConnect(DWORD dwError);
  void ReleaseThread();
  void CloseEvents();
  static void DeleteHandle(CDrvControl*& drv);
};
