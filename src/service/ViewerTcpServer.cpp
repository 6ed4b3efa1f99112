#include "service/ViewerTcpServer.h"

#include <new>

#include "service/ViewerConnection.h"

CViewerTcpServer::~CViewerTcpServer() {
  // The listener thread creates connections of this part, and connections count into
  // m_nServing: both end here, before the members go.
  CloseConnections();
}

CTcpKrpServerImpl* CViewerTcpServer::CreateConnection(DWORD sendTimeoutMs) {
  return new (std::nothrow) CViewerConnection(m_nServing, m_nKrpPort, m_pSrvSync, sendTimeoutMs);
}
