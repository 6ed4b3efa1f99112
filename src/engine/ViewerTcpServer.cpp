#include "engine/ViewerTcpServer.h"

#include <sys/socket.h>

// The current connection object is replaced and deleted only outside m_critSec after it was
// taken out under it, so it stays alive while the lock is held.
void CViewerTcpServer::ShutdownViewerInput() {
  COsCsLock guard(m_critSec);
  if (m_pSocket && m_pSocket->IsConnected()) m_pSocket->Shutdown(SHUT_RD);
}

bool CViewerTcpServer::HasViewer() {
  COsCsLock guard(m_critSec);
  return m_pSocket && m_pSocket->IsConnected();
}
