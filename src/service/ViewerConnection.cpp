#include "service/ViewerConnection.h"

CViewerConnection::CViewerConnection(std::atomic<int>& nServing, LONG krpPort, IVxKrpSync* handler,
                                     DWORD sendTimeoutMs)
    : CTcpKrpServerImpl(krpPort, handler, sendTimeoutMs), m_nServing(nServing) {}

CViewerConnection::~CViewerConnection() {
  // The receiver thread calls OnNmxReceive of this part.
  CloseSocket(true);
}

void CViewerConnection::OnNmxReceive(NmxCmd* cmd) {
  ++m_nServing;
  CTcpKrpServerImpl::OnNmxReceive(cmd);
  --m_nServing;
}
