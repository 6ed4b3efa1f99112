// CViewerTcpServer: the viewer TCP server as the command set needs it. Its connections
// report while they serve a request, so that a command handler replaced during one of its
// own requests can wait until that request has been answered.
#pragma once

#include <atomic>

#include "viewer/TcpKrpServer.h"

// As CTcpKrpServer (reference-counted, create with new and destroy with Release), with the
// same accept policy, serving CViewerConnection objects.
class CViewerTcpServer : public CTcpKrpServer {
 public:
  using CTcpKrpServer::CTcpKrpServer;

  // A request of the viewer is being handled or answered. Any thread.
  bool IsServingRequest() const { return m_nServing.load() != 0; }

 protected:
  ~CViewerTcpServer() override;
  CTcpKrpServerImpl* CreateConnection(DWORD sendTimeoutMs) override;

 private:
  std::atomic<int> m_nServing{0};
};
