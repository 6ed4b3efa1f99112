#include "engine/ViewerTcpServer.h"

#include <new>

#include "engine/ViewerConnection.h"

using VxFunctions::CTcpSocket;

namespace {

constexpr DWORD kConnectedCheckMs = 1000;
constexpr DWORD kPollStepMs = 50;

}  // namespace

CViewerTcpServer::~CViewerTcpServer() {
  // The listener thread runs ProcessPendingAccept of this part; connections count into
  // m_nServing. Both end here.
  CloseConnections();
}

void CViewerTcpServer::WaitWhileViewerConnected(CTcpSocket* listeningSocket) {
  for (DWORD waited = 0; waited < kConnectedCheckMs; waited += kPollStepMs) {
    if (!listeningSocket->IsListening() || !m_pSocket->IsConnected()) return;
    OsUserSleep(kPollStepMs);
  }
}

// m_pSocket changes only on this thread while the listener runs, as in the base.
DWORD CViewerTcpServer::ProcessPendingAccept(CTcpSocket* listeningSocket) {
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
    // which could open a view or a notification after the clean-up below. The handler hears
    // of the viewer's end only once its receiver has finished.
    m_pSocket->CloseSocket(true);
    if (m_pKrpComm) m_pKrpComm->OnDisconnected();
  }

  auto* next = new (std::nothrow)
      CViewerConnection(m_nServing, m_nKrpPort, m_pSrvSync, kViewerSendTimeoutMs);
  if (!next) {
    OsUserSleep(kPollStepMs);
    return 0;
  }
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
  delete old;
  m_bConnectedToClient = true;
  if (m_pKrpComm) m_pKrpComm->OnNewConnection();
  next->OnAccepted(0);
  next->Receive();
  return 0;
}
