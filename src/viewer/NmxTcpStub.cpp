#include "viewer/NmxTcpStub.h"

#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <new>

#include "registry/VxReg.h"

using namespace VxFunctions;

namespace {

constexpr NmxPortNo kDefaultStubPort = 0xFFFE;
constexpr DWORD kArchiveStartSize = 0xFFFF;

}  // namespace

CNmxTcpStub::CNmxTcpStub()
    : m_peerIpAddr(0),
      m_peerSockAddr{},
      m_nLastError(0),
      m_pArchiveIn(nullptr),
      m_cbSize(0),
      m_cbTcpBlockSize(0),
      m_bLocal(false),
      m_prefix{},
      m_cbPrefix(0) {
  InitStub();
}

CNmxTcpStub::~CNmxTcpStub() {
  CloseSocket(true);
  delete m_pArchiveIn;
}

void CNmxTcpStub::InitStub() {
  Create(0, nullptr, VX_SOCK_STREAM, false);
  if (IsCreated()) {
    NmxNetId id{};
    if (!VxRegReadLocalMachineId(id)) {
      DWORD ip = 0;
      if (GetLocalHost(&ip)) {
        memcpy(id.b, &ip, 4);
        id.b[4] = 1;
        id.b[5] = 1;
      } else {
        for (BYTE& b : id.b) b = 1;
      }
    }
    m_addr.netId = id;
    m_addr.port = kDefaultStubPort;
    m_peerSockAddr.sin_family = AF_INET;
    m_peerSockAddr.sin_port = htons(s_serverSocketPort);
  }
  m_peerIpAddr = 0;
  m_nLastError = 0;
  m_cbSize = 0;
  m_cbTcpBlockSize = 0;
  m_bLocal = false;
  m_cbPrefix = 0;
  delete m_pArchiveIn;
  m_pArchiveIn = new (std::nothrow) CR3TpArchive(nullptr, CKrpArchive::store, kArchiveStartSize);
}

NmxCmd* CNmxTcpStub::NmxAlloc(DWORD size) {
  if (size < NMX_HEAD_SIZE) size = NMX_HEAD_SIZE;
  return reinterpret_cast<NmxCmd*>(new (std::nothrow) BYTE[size]);
}

void CNmxTcpStub::NmxFree(NmxCmd* cmd) {
  delete[] reinterpret_cast<BYTE*>(cmd);
}

void CNmxTcpStub::NmxConnect(void*) {}
void CNmxTcpStub::NmxDisconnect() {}

bool CNmxTcpStub::NmxSend(NmxCmd* cmd) {
  const DWORD rc = Send(cmd);
  m_nLastError = rc;
  NmxFree(cmd);
  return rc == 0;
}

NmxPortNo CNmxTcpStub::NmxGetPort() const {
  return m_addr.port;
}
NmxNetId CNmxTcpStub::NmxGetNetId() const {
  return m_addr.netId;
}
DWORD CNmxTcpStub::NmxGetLastError() const {
  return m_nLastError;
}

void CNmxTcpStub::NmxMakeHead(NmxHead& head, WORD cmdId, DWORD cbData, const NmxNetId& target,
                              NmxPortNo targetPort, DWORD invokeId, LONG errCode, WORD stateFlags) {
  head.Clear();
  head.target = NmxAddr(target, targetPort);
  head.sender = m_addr;
  head.cmdId = cmdId;
  head.cbData = cbData;
  head.hUser = invokeId;
  head.errCode = errCode;
  head.stateFlags = stateFlags;
  KrpApplyLoopbackRule(head);
}

void CNmxTcpStub::OnNmxReceive(NmxCmd*) {}

void CNmxTcpStub::ResetReceiveState() {
  m_cbSize = 0;
  m_cbPrefix = 0;
  if (m_pArchiveIn) m_pArchiveIn->Flush();
}

void CNmxTcpStub::CloseBroken() {
  ResetReceiveState();
  CloseSocket(true);
}

DWORD CNmxTcpStub::Receiver() {
  // A new connection starts between frames, whatever the last one left behind.
  ResetReceiveState();
  return CTcpSocket::Receiver();
}

DWORD CNmxTcpStub::OnReceiveIdle() {
  // The rest of a frame that stopped coming would never be waited out, and the connection
  // would hold its place (a server serves one viewer at a time) for good. Between frames,
  // silence is an idle peer, which may rightly wait for hours.
  if (m_cbSize != 0 || m_cbPrefix != 0) CloseBroken();
  return 0;
}

DWORD CNmxTcpStub::OnReceive(DWORD error, const BYTE* buf, DWORD len, DWORD) {
  if (error != 0 || !buf) return 0;
  if (len == 0) {
    CloseBroken();
    return 0;
  }
  if (!m_pArchiveIn) {
    CloseBroken();
    return 0;
  }
  const BYTE* p = buf;
  DWORD left = len;
  while (left > 0) {
    if (m_cbSize == 0) {
      // Between frames: collect the prefix, which may arrive split across chunks.
      const DWORD n = std::min(left, NMXTCP_PREFIX_SIZE - m_cbPrefix);
      memcpy(m_prefix + m_cbPrefix, p, n);
      m_cbPrefix += n;
      p += n;
      left -= n;
      if (m_cbPrefix < NMXTCP_PREFIX_SIZE) return 0;
      const NmxTcpPrefix prefix = DecodeNmxTcpPrefix(m_prefix);
      const DWORD length = prefix.length;
      // The length is the peer's word: bound it before anything is allocated for it.
      if (prefix.reserved > NMXTCP_MAX_RESERVED || length < NMX_HEAD_SIZE ||
          length > NMXTCP_MAX_FRAME_LENGTH) {
        CloseBroken();
        return 0;
      }
      m_cbPrefix = 0;
      m_cbSize = std::max(m_cbTcpBlockSize, length);
      continue;
    }

    const DWORD have = static_cast<DWORD>(m_pArchiveIn->GetDataSize());
    const DWORD n = std::min(left, m_cbSize - have);
    const bool headerWasIncomplete = have < NMX_HEAD_SIZE;
    if (m_pArchiveIn->Write(p, n) != n || m_pArchiveIn->GetResult() != 0) {
      // Out of memory: the frame can never complete, so the connection cannot go on.
      CloseBroken();
      return 0;
    }
    p += n;
    left -= n;
    const DWORD collected = have + n;
    const BYTE* frame = static_cast<const BYTE*>(static_cast<const void*>(*m_pArchiveIn));
    if (headerWasIncomplete && collected >= NMX_HEAD_SIZE) {
      const uint64_t expected =
          uint64_t{vx::DecodeLE32(frame + NMXTCP_CBDATA_OFFSET)} + NMX_HEAD_SIZE;
      if (expected != m_cbSize) {
        CloseBroken();
        return 0;
      }
    }
    if (collected == m_cbSize) {
      OnNmxReceive(reinterpret_cast<NmxCmd*>(const_cast<BYTE*>(frame)));
      m_pArchiveIn->Flush();
      m_cbSize = 0;
    }
  }
  return 0;
}

DWORD CNmxTcpStub::ConnectToPeer() {
  sockaddr_in sin = m_peerSockAddr;
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = m_peerIpAddr;
  sin.sin_port = htons(s_serverSocketPort);
  return Connect(reinterpret_cast<const sockaddr*>(&sin), sizeof(sin));
}

DWORD CNmxTcpStub::Send(const NmxCmd* cmd) {
  if (!cmd) return SOCK_ERR_BASE;
  const uint64_t total = uint64_t{NMX_HEAD_SIZE} + cmd->head.cbData;
  // The peer closes the connection on a longer frame, so it must not be written.
  if (total > NMXTCP_MAX_FRAME_LENGTH) return SOCK_ERR_MSGSIZE;

  COsCsLock guard(m_csSend);
  if (!IsConnected()) {
    if (!IsCreated()) {
      const DWORD rc = Create(0, nullptr, VX_SOCK_STREAM, false);
      if (!IsCreated()) return rc;
    }
    const DWORD rc = ConnectToPeer();
    if (rc != 0) return rc;
  }

  const DWORD cbFrame = NMXTCP_PREFIX_SIZE + static_cast<DWORD>(total);
  std::unique_ptr<BYTE[]> frame(new (std::nothrow) BYTE[cbFrame]);
  if (!frame) return SOCK_ERR_NOBUFS;
  EncodeNmxTcpPrefix(frame.get(), static_cast<DWORD>(total));
  memcpy(frame.get() + NMXTCP_PREFIX_SIZE, cmd, static_cast<size_t>(total));
  const DWORD rc = SendAll(frame.get(), cbFrame);
  // Part of the frame may be on the wire: the peer could no longer find the next frame, so
  // the connection ends here. (A send time-out, a peer that stopped reading, lands here too.)
  if (rc != 0 && IsConnected()) Shutdown(SHUT_RDWR);
  return rc;
}

DWORD CNmxTcpStub::SetPeerIpAddr(DWORD addr) {
  if (!IsConnected()) {
    m_peerIpAddr = addr;
    return 0;
  }
  const TcpAddr peer = GetPeerAddr();
  if (peer.dwAddr == addr && ntohs(peer.nPort) == s_serverSocketPort) return 0;
  COsCsLock guard(m_csSend);
  CloseSocket(true);
  m_peerIpAddr = addr;
  m_peerSockAddr.sin_family = AF_INET;
  m_peerSockAddr.sin_addr.s_addr = addr;
  m_peerSockAddr.sin_port = htons(s_serverSocketPort);
  Create(0, nullptr, VX_SOCK_STREAM, false);
  if (!IsCreated()) return 0;
  return ConnectToPeer();
}
