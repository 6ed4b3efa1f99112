#include "support/TcpConnList.h"

#include <algorithm>
#include <new>

namespace VxFunctions {

namespace {

constexpr DWORD kNoAddress = 0xFFFFFFFFu;
constexpr size_t kMaxRemoveScan = 500;

bool SamePeer(const TcpAddr& stored, const TcpAddr& other) {
  return stored.dwAddr == other.dwAddr &&
         (stored.nPort == other.nPort || stored.nPort == 0 || other.nPort == 0);
}

}  // namespace

CTcpConnList::CTcpConnList() : m_bErrorLog(false) {
  OsUserInitializeCriticalSection(&m_critSec);
}

CTcpConnList::~CTcpConnList() {
  DeleteAllConnections();
  OsUserDeleteCriticalSection(&m_critSec);
}

void CTcpConnList::DeleteAllConnections() {
  // A listener thread may append one more socket while the listening socket is being
  // deleted, so repeat until the list stays empty.
  for (;;) {
    std::vector<CTcpSocket*> sockets;
    {
      COsCsLock guard(m_critSec);
      sockets.swap(m_arrConnectedSockets);
    }
    if (sockets.empty()) return;
    for (CTcpSocket* s : sockets) delete s;
  }
}

size_t CTcpConnList::GetCount() {
  COsCsLock guard(m_critSec);
  return m_arrConnectedSockets.size();
}

CTcpSocket* CTcpConnList::AddConnection(CTcpSocket* socket) {
  if (!socket) return nullptr;
  COsCsLock guard(m_critSec);
  const TcpAddr addr = socket->GetPeerAddr();
  if (addr.dwAddr != kNoAddress) {
    for (CTcpSocket* stored : m_arrConnectedSockets) {
      if (stored == socket || !SamePeer(stored->GetPeerAddr(), addr)) continue;
      *stored = socket->Detach();
      delete socket;
      return stored;
    }
  }
  try {
    m_arrConnectedSockets.push_back(socket);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return socket;
}

bool CTcpConnList::RemoveConnection(CTcpSocket* socket) {
  if (!socket) return false;
  CTcpSocket* found = nullptr;
  {
    COsCsLock guard(m_critSec);
    const TcpAddr addr = socket->GetPeerAddr();
    const size_t n = std::min(m_arrConnectedSockets.size(), kMaxRemoveScan);
    for (size_t i = 0; i < n; ++i) {
      if (!SamePeer(m_arrConnectedSockets[i]->GetPeerAddr(), addr)) continue;
      found = m_arrConnectedSockets[i];
      m_arrConnectedSockets.erase(m_arrConnectedSockets.begin() + static_cast<ptrdiff_t>(i));
      break;
    }
  }
  // Deleted outside the lock: its service thread may be waiting for the list.
  delete found;
  return found != nullptr;
}

DWORD CTcpConnList::ProcessPendingAccept(CTcpSocket* listeningSocket) {
  if (!listeningSocket) return 0;
  CTcpSocket* socket = CreateNewSocket();
  if (!socket) return 0;
  if (listeningSocket->Accept(socket, nullptr, nullptr) != 0) {
    delete socket;
    return 0;
  }
  CTcpSocket* added = AddConnection(socket);
  if (added) {
    added->OnAccepted(0);
    added->Receive();
  } else {
    socket->CloseSocket(true);
    delete socket;
  }
  return 0;
}

CTcpSocket* CTcpConnList::CreateNewSocket() {
  return new (std::nothrow) CTcpSocket();
}

}  // namespace VxFunctions
