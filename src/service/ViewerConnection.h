// CViewerConnection: one viewer connection of the command set's TCP server. It tells its
// server while a request is being handled and answered.
#pragma once

#include <atomic>

#include "viewer/TcpKrpServerImpl.h"

// As CTcpKrpServerImpl; nServing must outlive the object.
class CViewerConnection : public CTcpKrpServerImpl {
 public:
  CViewerConnection(std::atomic<int>& nServing, LONG krpPort, IVxKrpSync* handler,
                    DWORD sendTimeoutMs);
  ~CViewerConnection() override;

  // Raises nServing while one received command is handled; its answer has been written when
  // the count falls again.
  void OnNmxReceive(NmxCmd* cmd) override;

 private:
  std::atomic<int>& m_nServing;
};
