// The list that owns listening and accepted sockets and decides what happens to a pending
// connection.
//
// Ownership: every socket in the list is owned by it and deleted by RemoveConnection or by the
// destructor. Thread safety: the array is guarded by m_critSec; ProcessPendingAccept runs on
// the listener thread of a listening socket in the list.
//
// A derived list that overrides ProcessPendingAccept or CreateNewSocket must call
// DeleteAllConnections at the start of its destructor: that stops the listener threads while
// the derived part, which they call into, still exists.
#pragma once

#include <vector>

#include "os/OsUserTools.h"
#include "support/TcpSocket.h"

namespace VxFunctions {

class CTcpConnList {
 public:
  CTcpConnList();
  virtual ~CTcpConnList();
  CTcpConnList(const CTcpConnList&) = delete;
  CTcpConnList& operator=(const CTcpConnList&) = delete;

  // Takes ownership of socket. When a stored socket has the same peer address (ports equal,
  // or either 0), that socket adopts the new one's descriptor, the new object is deleted and
  // the stored one returned; otherwise socket is appended and returned. Null when appending
  // failed (socket is then still the caller's).
  virtual CTcpSocket* AddConnection(CTcpSocket* socket);
  // Deletes the first stored socket that matches socket's peer address as above.
  virtual bool RemoveConnection(CTcpSocket* socket);
  // Called by the listener thread of listeningSocket for every turn of its accept loop.
  virtual DWORD ProcessPendingAccept(CTcpSocket* listeningSocket);
  // A new socket to accept into, owned by the caller; null when none can be made.
  virtual CTcpSocket* CreateNewSocket();

  // Number of sockets in the list.
  size_t GetCount();

 protected:
  // Deletes every socket (stopping and waiting for their service threads) and empties the
  // list. The sockets are taken out under the lock and deleted outside it, so that a listener
  // thread that is calling into the list can finish its turn.
  void DeleteAllConnections();

  bool m_bErrorLog;
  std::vector<CTcpSocket*> m_arrConnectedSockets;
  CRITICAL_SECTION m_critSec;
};

}  // namespace VxFunctions
