// CViewerTcpServer: the viewer TCP server as the command set needs it, with a graceful end
// of the viewer's connection for a handler that is being replaced.
#pragma once

#include "viewer/TcpKrpServer.h"

// As CTcpKrpServer (reference-counted, create with new and destroy with Release).
class CViewerTcpServer : public CTcpKrpServer {
 public:
  using CTcpKrpServer::CTcpKrpServer;

  // Stops reading the viewer's requests: the request being handled is still answered, then
  // the connection ends as if the viewer had closed it. Any thread.
  void ShutdownViewerInput();
  // A viewer connection is open. Any thread.
  bool HasViewer();

 protected:
  ~CViewerTcpServer() override = default;
};
