#include "viewer/TcpKrpServerImpl.h"

#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <new>

using namespace VxFunctions;

namespace {

// A read buffer of length bytes, zeroed so that bytes a handler reports but does not fill
// never carry old heap contents to the viewer. Never null for length 0.
std::unique_ptr<BYTE[]> AllocReadBuffer(DWORD length) {
  return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[std::max<DWORD>(length, 1)]());
}

}  // namespace

CTcpKrpServerImpl::CTcpKrpServerImpl(LONG krpPort, IVxKrpSync* handler, DWORD sendTimeoutMs)
    : m_nKrpPort(krpPort),
      m_spSrvSync(handler),
      m_spSrvAsync(nullptr),
      m_dwSendTimeoutMs(sendTimeoutMs) {
  m_addr.port = static_cast<NmxPortNo>(krpPort);
}

void CTcpKrpServerImpl::OnAccepted(DWORD) {
  SetSendTimeout(m_dwSendTimeoutMs);
  SetKeepAlive(kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
  m_dwFrameIdleMs = m_dwReceiveIdleMs.load();
  if (m_dwFirstRequestMs == 0) return;
  m_bAwaitingFirstRequest = true;
  m_firstRequestDeadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(m_dwFirstRequestMs);
  FirstRequestOverdue();
}

bool CTcpKrpServerImpl::FirstRequestOverdue() {
  if (!m_bAwaitingFirstRequest) return false;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_firstRequestDeadline -
                                                                 std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) return true;
  // A peer that trickles bytes never lets the idle time-out pass: the receiver must wake at
  // the deadline whatever arrives before it.
  const DWORD leftMs = static_cast<DWORD>(left);
  SetReceiveIdleTimeout(m_dwFrameIdleMs != 0 && m_dwFrameIdleMs < leftMs ? m_dwFrameIdleMs
                                                                         : leftMs);
  return false;
}

DWORD CTcpKrpServerImpl::OnReceive(DWORD error, const BYTE* buf, DWORD len, DWORD timeout) {
  const DWORD rc = CNmxTcpStub::OnReceive(error, buf, len, timeout);
  if (FirstRequestOverdue()) CloseBroken();
  return rc;
}

DWORD CTcpKrpServerImpl::OnReceiveIdle() {
  // A connection that has not said anything within its time holds the one viewer place for
  // nothing; once it has, it may stay quiet (a viewer following the capture sends nothing).
  if (FirstRequestOverdue()) {
    CloseBroken();
    return 0;
  }
  return CNmxTcpStub::OnReceiveIdle();
}

void CTcpKrpServerImpl::OnClose(DWORD) {
  if (m_hEnded) OsUserSetEvent(m_hEnded);
}

CTcpKrpServerImpl::~CTcpKrpServerImpl() {
  // The receiver thread calls into this object: it must end before any part of it goes.
  CloseSocket(true);
}

bool CTcpKrpServerImpl::IsConnected() const {
  return CNmxTcpStub::IsConnected();
}

DWORD CTcpKrpServerImpl::Send(const NmxCmd* cmd) {
  if (!cmd) return SOCK_ERR_BASE;
  DWORD peer = 0;
  memcpy(&peer, cmd->head.target.netId.b, sizeof(peer));
  m_peerIpAddr = peer;
  if (!IsConnected()) return SOCK_ERR_NOTCONN;
  return CNmxTcpStub::Send(cmd);
}

void CTcpKrpServerImpl::OnNmxReceive(NmxCmd* cmd) {
  if (m_bAwaitingFirstRequest) {
    m_bAwaitingFirstRequest = false;
    SetReceiveIdleTimeout(m_dwFrameIdleMs);
  }
  // In place: the command belongs to the stub's receive buffer.
  if (cmd) KrpDispatchCommand(cmd, NMX_HEAD_SIZE + size_t{cmd->head.cbData});
}

void CTcpKrpServerImpl::KrpReadDeviceInfoInd(const NmxAddr& sender, DWORD invokeId) {
  KrpReadDeviceInfoRes(sender, invokeId, KRP_E_NOT_SUPPORTED, nullptr, KrpVersion{0, 0, 0});
}

void CTcpKrpServerImpl::KrpWriteControlInd(const NmxAddr& sender, DWORD invokeId, WORD krpState,
                                           WORD deviceState, DWORD length, const void* data) {
  const HRESULT r = m_spSrvSync ? m_spSrvSync->WriteControl(krpState, deviceState, length, data)
                                : KrpResultFromCode(KRP_E_NOT_SUPPORTED);
  KrpWriteControlRes(sender, invokeId, KrpCodeFromResult(r));
}

void CTcpKrpServerImpl::KrpReadStateInd(const NmxAddr& sender, DWORD invokeId) {
  DWORD krpState = 0, deviceState = 0, length = 0;
  void* data = nullptr;
  const HRESULT r = m_spSrvSync ? m_spSrvSync->ReadState(&krpState, &deviceState, &length, &data)
                                : KrpResultFromCode(KRP_E_NOT_SUPPORTED);
  if (FAILED(r)) krpState = deviceState = 0;
  KrpReadStateRes(sender, invokeId, KrpCodeFromResult(r), static_cast<WORD>(krpState),
                  static_cast<WORD>(deviceState));
}

void CTcpKrpServerImpl::KrpWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                    DWORD indexOffset, DWORD length, const void* data) {
  const HRESULT r = m_spSrvSync ? m_spSrvSync->Write(indexGroup, indexOffset, length, data)
                                : KrpResultFromCode(KRP_E_NOT_SUPPORTED);
  KrpWriteRes(sender, invokeId, KrpCodeFromResult(r));
}

void CTcpKrpServerImpl::KrpReadInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                   DWORD indexOffset, DWORD length) {
  std::unique_ptr<BYTE[]> buf;
  if (length <= KRP_MAX_READ_LENGTH) buf = AllocReadBuffer(length);
  if (!buf) {
    KrpReadRes(sender, invokeId, KRP_E_NO_MEMORY, 0, nullptr);
    return;
  }
  DWORD bytesRead = 0;
  const HRESULT r =
      m_spSrvSync ? m_spSrvSync->ReadEx(indexGroup, indexOffset, length, buf.get(), &bytesRead)
                  : KrpResultFromCode(KRP_E_NOT_SUPPORTED);
  // Never send more than the buffer holds, whatever the handler claims.
  KrpReadRes(sender, invokeId, KrpCodeFromResult(r), std::min(bytesRead, length), buf.get());
}

void CTcpKrpServerImpl::KrpReadWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                        DWORD indexOffset, DWORD readLength, DWORD writeLength,
                                        const void* writeData) {
  std::unique_ptr<BYTE[]> buf;
  if (readLength <= KRP_MAX_READ_LENGTH) buf = AllocReadBuffer(readLength);
  if (!buf) {
    KrpReadWriteRes(sender, invokeId, KRP_E_NO_MEMORY, 0, nullptr);
    return;
  }
  DWORD bytesRead = 0;
  const HRESULT r = m_spSrvSync
                        ? m_spSrvSync->ReadWrite(indexGroup, indexOffset, readLength, buf.get(),
                                                 writeLength, writeData, &bytesRead)
                        : KrpResultFromCode(KRP_E_NOT_SUPPORTED);
  KrpReadWriteRes(sender, invokeId, KrpCodeFromResult(r), std::min(bytesRead, readLength),
                  buf.get());
}

void CTcpKrpServerImpl::KrpAddDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId,
                                                    DWORD indexGroup, DWORD indexOffset,
                                                    KrpNotificationAttrib attrib) {
  DWORD handle = 0;
  const HRESULT r =
      m_spSrvSync ? m_spSrvSync->AddDeviceNotification(indexGroup, indexOffset, &attrib, 0, &handle)
                  : KrpResultFromCode(KRP_E_NOT_SUPPORTED);
  if (FAILED(r)) handle = 0;
  KrpAddDeviceNotificationRes(sender, invokeId, KrpCodeFromResult(r), handle);
}

void CTcpKrpServerImpl::KrpDelDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId,
                                                    DWORD handle) {
  const HRESULT r = m_spSrvSync ? m_spSrvSync->DelDeviceNotification(handle)
                                : KrpResultFromCode(KRP_E_NOT_SUPPORTED);
  KrpDelDeviceNotificationRes(sender, invokeId, KrpCodeFromResult(r));
}

void CTcpKrpServerImpl::KrpDeviceNotificationInd(const NmxAddr& sender, DWORD, DWORD length,
                                                 const void* stream) {
  if (m_spSrvSync) m_spSrvSync->DeviceNotification(&sender, length, stream);
}

HRESULT CTcpKrpServerImpl::WriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result) {
  return KrpResultFromCode(KrpWriteRes(addr, invokeId, result));
}

HRESULT CTcpKrpServerImpl::ReadRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                                   const void* data) {
  return KrpResultFromCode(KrpReadRes(addr, invokeId, result, length, data));
}

HRESULT CTcpKrpServerImpl::ReadWriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                        DWORD length, const void* data) {
  return KrpResultFromCode(KrpReadWriteRes(addr, invokeId, result, length, data));
}

HRESULT CTcpKrpServerImpl::WriteControlRes(const NmxAddr& addr, DWORD invokeId, DWORD result) {
  return KrpResultFromCode(KrpWriteControlRes(addr, invokeId, result));
}

HRESULT CTcpKrpServerImpl::ReadStateRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                        DWORD krpState, DWORD deviceState, DWORD, const void*) {
  return KrpResultFromCode(KrpReadStateRes(addr, invokeId, result, static_cast<WORD>(krpState),
                                           static_cast<WORD>(deviceState)));
}

HRESULT CTcpKrpServerImpl::ReadDeviceInfoRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                             const char* name, KrpVersion version) {
  return KrpResultFromCode(KrpReadDeviceInfoRes(addr, invokeId, result, name, version));
}

HRESULT CTcpKrpServerImpl::AddDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId,
                                                    DWORD result, DWORD handle) {
  return KrpResultFromCode(KrpAddDeviceNotificationRes(addr, invokeId, result, handle));
}

HRESULT CTcpKrpServerImpl::DelDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId,
                                                    DWORD result) {
  return KrpResultFromCode(KrpDelDeviceNotificationRes(addr, invokeId, result));
}

HRESULT CTcpKrpServerImpl::DeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD length,
                                                 const void* stream) {
  return KrpResultFromCode(KrpDeviceNotificationReq(addr, invokeId, length, stream));
}

HRESULT CTcpKrpServerImpl::KrpSyncNotificationRes(const NmxAddr&, KrpNotificationHeader2*, DWORD) {
  return E_NOTIMPL;
}

ULONG CTcpKrpServerImpl::AddRef() {
  return 1;
}
ULONG CTcpKrpServerImpl::Release() {
  return 1;
}

HRESULT CTcpKrpServerImpl::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IVxKrpAsyncRes) {
    *ppv = static_cast<IVxKrpAsyncRes*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}
