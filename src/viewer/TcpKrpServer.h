// CTcpKrpServer: lets one remote viewer at a time talk KRP over NMX/TCP. It owns the
// listening socket (in its connection list) and the current connection object, and applies
// the accept policy: while a viewer is connected, further connections wait in the listen
// backlog; once it has gone, OnDisconnected is reported (within about a second) and the next
// one is accepted. A viewer that stops reading, stops in the middle of a frame, sends no
// request after connecting, or whose peer vanished (keepalive) is ended after a time-out so
// that it cannot hold the place forever.
//
// Ownership: reference-counted (starts at 1; the last Release deletes it). The event
// receiver and the command handler are not owned and must outlive the server.
//
// Threads: the listener thread runs the accept policy and the IVxKrpComm events; the current
// connection's receiver thread calls the handler; the IVxKrpAsyncRes operations may be called
// from any thread and are forwarded to the current connection under m_critSec.
#pragma once

#include <atomic>

#include "os/OsUserTools.h"
#include "support/TcpConnList.h"
#include "viewer/TcpKrpServerImpl.h"
#include "viewer/VxKrpItf.h"

class CTcpKrpServer : public VxFunctions::CTcpConnList,
                      public IVxKrpServerInternal,
                      public IVxKrpAsyncRes {
 public:
  // listeningPort: TCP port (0: an ephemeral one, see GetListenPort); listenAddress: dotted
  // IPv4 address to listen on, null for every address.
  CTcpKrpServer(IVxKrpComm* events, WORD listeningPort, const char* listenAddress);

  // IVxKrpServer. Results: 0, 0x9811071B without a handler, or the socket code of the
  // listening socket (10048 when the port is in use).
  HRESULT ConnectAs(LONG krpPort, IVxKrpSync* syncHandler, IVxKrpAsync* asyncHandler,
                    IVxKrpAsyncRes** resultInterface, void* reserved1, void* reserved2) override;
  HRESULT GetAddr(NmxAddr* addr) override;

  // IUnknown, shared by all three interfaces.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IVxKrpAsyncRes: forwarded to the current connection; E_FAIL when there is none.
  HRESULT WriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result) override;
  HRESULT ReadRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                  const void* data) override;
  HRESULT ReadWriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                       const void* data) override;
  HRESULT WriteControlRes(const NmxAddr& addr, DWORD invokeId, DWORD result) override;
  HRESULT ReadStateRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD krpState,
                       DWORD deviceState, DWORD length, const void* data) override;
  HRESULT ReadDeviceInfoRes(const NmxAddr& addr, DWORD invokeId, DWORD result, const char* name,
                            KrpVersion version) override;
  HRESULT AddDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                   DWORD handle) override;
  HRESULT DelDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result) override;
  HRESULT DeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD length,
                                const void* stream) override;
  HRESULT KrpSyncNotificationRes(const NmxAddr& addr, KrpNotificationHeader2* header,
                                 DWORD user) override;

  // The accept policy, on the listener thread.
  DWORD ProcessPendingAccept(VxFunctions::CTcpSocket* listeningSocket) override;

  // Stops the listener and deletes the connection objects.
  void CloseConnections();

  // The TCP port actually listened on (useful with port 0); 0 when not listening.
  WORD GetListenPort();

  // How long writing one frame to a viewer may take, from its first byte to its last, before
  // the connection is ended (default kViewerSendTimeoutMs). Call before ConnectAs.
  void SetViewerSendTimeout(DWORD ms) { m_dwSendTimeoutMs = ms; }
  static constexpr DWORD kViewerSendTimeoutMs = 20000;

  // How long a viewer may stay silent in the middle of a frame before its connection is
  // ended as broken (default kViewerFrameTimeoutMs; 0: no limit); silence between frames is
  // never limited. Call before ConnectAs.
  void SetViewerFrameTimeout(DWORD ms) { m_dwFrameTimeoutMs = ms; }
  static constexpr DWORD kViewerFrameTimeoutMs = 20000;

  // How long a viewer may take from its connection to its first complete request before the
  // connection is closed (default kViewerFirstRequestTimeoutMs; 0: no limit), so that a
  // connection that says nothing cannot hold the one viewer place. After its first request a
  // viewer may stay quiet as long as it likes (one that follows the capture sends nothing);
  // keepalive ends its connection if its peer vanishes. Call before ConnectAs.
  void SetViewerFirstRequestTimeout(DWORD ms) { m_dwFirstRequestTimeoutMs = ms; }
  static constexpr DWORD kViewerFirstRequestTimeoutMs = 10000;

 protected:
  ~CTcpKrpServer() override;

  // The connection object for the next viewer, null when out of memory; a derived server may
  // serve connections of its own kind. Called on the listener thread.
  virtual CTcpKrpServerImpl* CreateConnection(DWORD sendTimeoutMs);

  CTcpKrpServerImpl* m_pSocket;
  CRITICAL_SECTION m_critSec;
  WORD m_nPort;
  char* m_szIpAddr;
  LONG m_nKrpPort;
  IVxKrpSync* m_pSrvSync;
  IVxKrpAsyncRes* m_pAsyncRes;
  IVxKrpSync* m_spSrvSync;
  IVxKrpComm* m_pKrpComm;
  std::atomic<LONG> m_cRef;
  bool m_bConnectedToClient;

 private:
  // Waits up to a second while the current viewer stays connected and listening goes on.
  void WaitWhileViewerConnected(VxFunctions::CTcpSocket* listeningSocket);

  VxFunctions::CTcpSocket* m_pListenSocket;  // in the list, which owns it
  // Set when a viewer's connection ends, so that the next one is accepted at once.
  OS_USER_EVENT_HANDLE m_hViewerGone;
  DWORD m_dwSendTimeoutMs;
  DWORD m_dwFrameTimeoutMs;
  DWORD m_dwFirstRequestTimeoutMs;
};
