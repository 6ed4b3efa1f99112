#include "viewer/TcpKrpServer.h"

#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>

#include <new>

using namespace VxFunctions;

namespace {

constexpr DWORD kConnectedCheckMs = 1000;
constexpr DWORD kPollStepMs = 50;

}  // namespace

CTcpKrpServer::CTcpKrpServer(IVxKrpComm* events, WORD listeningPort, const char* listenAddress)
    : m_pSocket(nullptr),
      m_nPort(listeningPort),
      m_szIpAddr(nullptr),
      m_nKrpPort(0),
      m_pSrvSync(nullptr),
      m_pAsyncRes(nullptr),
      m_spSrvSync(nullptr),
      m_pKrpComm(events),
      m_cRef(1),
      m_bConnectedToClient(false),
      m_pListenSocket(nullptr),
      m_hViewerGone(OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr)),
      m_dwSendTimeoutMs(kViewerSendTimeoutMs),
      m_dwFrameTimeoutMs(kViewerFrameTimeoutMs),
      m_dwFirstRequestTimeoutMs(kViewerFirstRequestTimeoutMs) {
  OsUserInitializeCriticalSection(&m_critSec);
  if (listenAddress) {
    const size_t n = strlen(listenAddress);
    m_szIpAddr = new (std::nothrow) char[n + 1];
    if (m_szIpAddr) memcpy(m_szIpAddr, listenAddress, n + 1);
  }
}

CTcpKrpServer::~CTcpKrpServer() {
  // The listener thread calls into this object; it is stopped first, while all of it exists.
  CloseConnections();
  {
    COsCsLock guard(m_critSec);
    delete[] m_szIpAddr;
    m_szIpAddr = nullptr;
  }
  OsUserDeleteCriticalSection(&m_critSec);
  if (m_hViewerGone) OsUserCloseHandle(m_hViewerGone);
}

void CTcpKrpServer::CloseConnections() {
  DeleteAllConnections();
  // The listener has stopped, so m_pSocket no longer changes under us. Shutting the
  // connection down first wakes a notification send that is blocked (holding m_critSec) on a
  // viewer that does not read.
  if (m_pSocket) m_pSocket->Shutdown(SHUT_RDWR);
  CTcpKrpServerImpl* old = nullptr;
  {
    COsCsLock guard(m_critSec);
    old = m_pSocket;
    m_pSocket = nullptr;
    m_pAsyncRes = nullptr;
    m_pListenSocket = nullptr;
  }
  // Outside the lock: deleting waits for the receiver thread, whose handler may be waiting
  // for a notification thread that is sending through this server.
  delete old;
}

HRESULT CTcpKrpServer::ConnectAs(LONG krpPort, IVxKrpSync* syncHandler, IVxKrpAsync*,
                                 IVxKrpAsyncRes** resultInterface, void*, void*) {
  CloseConnections();
  auto* listener = new (std::nothrow) CTcpSocket(this);
  if (!listener) return E_OUTOFMEMORY;

  COsCsLock guard(m_critSec);
  m_nKrpPort = krpPort;
  if (!syncHandler) {
    delete listener;
    return KrpResultFromCode(KRP_E_NO_HANDLER);
  }
  m_pSrvSync = syncHandler;
  if (resultInterface) {
    *resultInterface = static_cast<IVxKrpAsyncRes*>(this);
    AddRef();
  }
  m_pSocket = new (std::nothrow) CTcpKrpServerImpl(m_nKrpPort, m_pSrvSync, m_dwSendTimeoutMs);
  if (!m_pSocket) {
    delete listener;
    return E_OUTOFMEMORY;
  }
  m_pAsyncRes = m_pSocket;

  // With address reuse, connections a daemon that ended a moment ago left in TIME-WAIT do not
  // keep its successor off the port for a minute.
  DWORD code = listener->Create(m_nPort, m_szIpAddr, VX_SOCK_STREAM, true);
  if (code == 0) code = listener->Listen();
  if (code != 0) {
    delete listener;
    return static_cast<HRESULT>(code);
  }
  AddConnection(listener);
  m_pListenSocket = listener;
  return S_OK;
}

HRESULT CTcpKrpServer::GetAddr(NmxAddr* addr) {
  if (!addr) return E_POINTER;
  COsCsLock guard(m_critSec);
  if (!m_pSocket) return E_FAIL;
  *addr = NmxAddr(m_pSocket->NmxGetNetId(), static_cast<NmxPortNo>(m_nKrpPort));
  return S_OK;
}

WORD CTcpKrpServer::GetListenPort() {
  COsCsLock guard(m_critSec);
  if (!m_pListenSocket) return 0;
  sockaddr_in sin{};
  socklen_t len = sizeof(sin);
  if (m_pListenSocket->GetSockName(reinterpret_cast<sockaddr*>(&sin), &len) != 1) return 0;
  return ntohs(sin.sin_port);
}

HRESULT CTcpKrpServer::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IVxKrpAsyncRes) {
    *ppv = static_cast<IVxKrpAsyncRes*>(this);
  } else if (riid == IID_IVxKrpServerInternal || riid == IID_IVxKrpServer || riid == IID_IUnknown) {
    *ppv = static_cast<IVxKrpServerInternal*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CTcpKrpServer::AddRef() {
  return static_cast<ULONG>(++m_cRef);
}

ULONG CTcpKrpServer::Release() {
  const LONG n = --m_cRef;
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

void CTcpKrpServer::WaitWhileViewerConnected(CTcpSocket* listeningSocket) {
  // The connection's end wakes the wait at once: a flood of connections that send garbage
  // and go must not cost a poll step each before the next viewer's turn. The steps notice
  // the server's closing.
  for (DWORD waited = 0; waited < kConnectedCheckMs; waited += kPollStepMs) {
    if (!listeningSocket->IsListening() || !m_pSocket->IsConnected()) return;
    if (m_hViewerGone)
      OsUserWaitForSingleObject(m_hViewerGone, kPollStepMs);
    else
      OsUserSleep(kPollStepMs);
  }
}

CTcpKrpServerImpl* CTcpKrpServer::CreateConnection(DWORD sendTimeoutMs) {
  return new (std::nothrow) CTcpKrpServerImpl(m_nKrpPort, m_pSrvSync, sendTimeoutMs);
}

DWORD CTcpKrpServer::ProcessPendingAccept(CTcpSocket* listeningSocket) {
  // m_pSocket changes only on this thread while the listener runs (ConnectAs and
  // CloseConnections stop the listener first), so reading it here needs no lock.
  if (!listeningSocket) return 0;
  if (!m_pSocket) {
    OsUserSleep(kPollStepMs);
    return 0;
  }
  if (m_pSocket->IsConnected()) {
    WaitWhileViewerConnected(listeningSocket);
    return 0;
  }
  if (m_bConnectedToClient) {
    m_bConnectedToClient = false;
    // A failed send ends a connection while its receiver may still be serving a request,
    // which could open a view or a notification after the handler's clean-up. The handler
    // hears of the viewer's end only once that receiver has finished.
    m_pSocket->CloseSocket(true);
    if (m_pKrpComm) m_pKrpComm->OnDisconnected();
  }

  CTcpKrpServerImpl* next = CreateConnection(m_dwSendTimeoutMs);
  if (!next) {
    OsUserSleep(kPollStepMs);
    return 0;
  }
  next->SetReceiveIdleTimeout(m_dwFrameTimeoutMs);
  next->SetFirstRequestTimeout(m_dwFirstRequestTimeoutMs);
  next->SetEndedEvent(m_hViewerGone);
  if (listeningSocket->Accept(next, nullptr, nullptr) != 0) {
    delete next;
    return 0;
  }

  CTcpKrpServerImpl* old = nullptr;
  {
    COsCsLock guard(m_critSec);
    old = m_pSocket;
    if (old) {
      m_pSocket = next;
      m_pAsyncRes = next;
    }
  }
  if (!old) {
    delete next;
    return 0;
  }
  // The old connection has ended; deleting it only joins its finished receiver thread.
  delete old;
  m_bConnectedToClient = true;
  if (m_pKrpComm) m_pKrpComm->OnNewConnection();
  next->OnAccepted(0);
  next->Receive();
  return 0;
}

#define VX_FORWARD_TO_CONNECTION(call) \
  do {                                 \
    COsCsLock guard(m_critSec);        \
    if (!m_pAsyncRes) return E_FAIL;   \
    return m_pAsyncRes->call;          \
  } while (0)

HRESULT CTcpKrpServer::WriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result) {
  VX_FORWARD_TO_CONNECTION(WriteRes(addr, invokeId, result));
}

HRESULT CTcpKrpServer::ReadRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                               const void* data) {
  VX_FORWARD_TO_CONNECTION(ReadRes(addr, invokeId, result, length, data));
}

HRESULT CTcpKrpServer::ReadWriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                                    const void* data) {
  VX_FORWARD_TO_CONNECTION(ReadWriteRes(addr, invokeId, result, length, data));
}

HRESULT CTcpKrpServer::WriteControlRes(const NmxAddr& addr, DWORD invokeId, DWORD result) {
  VX_FORWARD_TO_CONNECTION(WriteControlRes(addr, invokeId, result));
}

HRESULT CTcpKrpServer::ReadStateRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                    DWORD krpState, DWORD deviceState, DWORD length,
                                    const void* data) {
  VX_FORWARD_TO_CONNECTION(
      ReadStateRes(addr, invokeId, result, krpState, deviceState, length, data));
}

HRESULT CTcpKrpServer::ReadDeviceInfoRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                         const char* name, KrpVersion version) {
  VX_FORWARD_TO_CONNECTION(ReadDeviceInfoRes(addr, invokeId, result, name, version));
}

HRESULT CTcpKrpServer::AddDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                                DWORD handle) {
  VX_FORWARD_TO_CONNECTION(AddDeviceNotificationRes(addr, invokeId, result, handle));
}

HRESULT CTcpKrpServer::DelDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result) {
  VX_FORWARD_TO_CONNECTION(DelDeviceNotificationRes(addr, invokeId, result));
}

HRESULT CTcpKrpServer::DeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD length,
                                             const void* stream) {
  VX_FORWARD_TO_CONNECTION(DeviceNotificationRes(addr, invokeId, length, stream));
}

HRESULT CTcpKrpServer::KrpSyncNotificationRes(const NmxAddr& addr, KrpNotificationHeader2* header,
                                              DWORD user) {
  VX_FORWARD_TO_CONNECTION(KrpSyncNotificationRes(addr, header, user));
}

#undef VX_FORWARD_TO_CONNECTION
