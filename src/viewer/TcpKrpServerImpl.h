// CTcpKrpServerImpl: one viewer connection. A KRP engine bound to an NMX/TCP stub; every
// request of the viewer becomes a synchronous call of the command handler, answered on the
// same connection. Its IVxKrpAsyncRes sends answers and notifications to the viewer.
//
// Ownership: owned by CTcpKrpServer, which deletes it; AddRef and Release count nothing. The
// handler is not owned and must outlive the object.
//
// Threads: requests are handled one after another on the connection's receiver thread;
// the IVxKrpAsyncRes operations may be called from any thread. Deleting the object closes
// the connection and waits for the receiver thread.
#pragma once

#include <chrono>

#include "viewer/NmxTcpStub.h"
#include "viewer/VxKrp.h"
#include "viewer/VxKrpItf.h"

class CTcpKrpServerImpl : public CVxKrp<CNmxTcpStub>, public IVxKrpAsyncRes {
 public:
  // sendTimeoutMs bounds how long writing one frame may take, however slowly the viewer reads;
  // a frame not written whole by then ends the connection. 0: no bound.
  CTcpKrpServerImpl(LONG krpPort, IVxKrpSync* handler, DWORD sendTimeoutMs = 0);
  ~CTcpKrpServerImpl() override;

  bool IsConnected() const override;

  // IVxKrpAsyncRes: results are 0 or the engine's result in 32-bit form.
  HRESULT WriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result) override;
  HRESULT ReadRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                  const void* data) override;
  HRESULT ReadWriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                       const void* data) override;
  HRESULT WriteControlRes(const NmxAddr& addr, DWORD invokeId, DWORD result) override;
  HRESULT ReadStateRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD krpState,
                       DWORD deviceState, DWORD length, const void* data) override;
  HRESULT ReadDeviceInfoRes(const NmxAddr& addr, DWORD invokeId, DWORD result, const char* name,
                            KrpVersion version) override;
  HRESULT AddDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                   DWORD handle) override;
  HRESULT DelDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result) override;
  HRESULT DeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD length,
                                const void* stream) override;
  HRESULT KrpSyncNotificationRes(const NmxAddr& addr, KrpNotificationHeader2* header,
                                 DWORD user) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT QueryInterface(REFIID riid, void** ppv) override;

  // Writes cmd on the accepted connection. A connection that has ended is not reopened
  // towards the target: a server never dials out. Returns 10057 then.
  using CNmxTcpStub::Send;
  DWORD Send(const NmxCmd* cmd) override;

  void KrpReadDeviceInfoInd(const NmxAddr& sender, DWORD invokeId) override;
  void KrpWriteControlInd(const NmxAddr& sender, DWORD invokeId, WORD krpState, WORD deviceState,
                          DWORD length, const void* data) override;
  void KrpReadStateInd(const NmxAddr& sender, DWORD invokeId) override;
  void KrpWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                   DWORD length, const void* data) override;
  // Read lengths above KRP_MAX_READ_LENGTH are answered {KRP_E_NO_MEMORY, 0} without calling
  // the handler: the viewer chooses the length and the buffer is allocated for it.
  void KrpReadInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                  DWORD length) override;
  void KrpReadWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                       DWORD readLength, DWORD writeLength, const void* writeData) override;
  void KrpAddDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                   DWORD indexOffset, KrpNotificationAttrib attrib) override;
  void KrpDelDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD handle) override;
  void KrpDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD length,
                                const void* stream) override;

  void OnNmxReceive(NmxCmd* cmd) override;
  DWORD OnReceive(DWORD error, const BYTE* buf, DWORD len, DWORD timeout) override;
  DWORD OnReceiveIdle() override;
  // Applies the send time-out and keepalive to the accepted connection and starts the clock
  // of its first request.
  void OnAccepted(DWORD error) override;
  // The connection is closed unless a complete command has arrived within ms of OnAccepted
  // (0, the default: no limit). Set before OnAccepted, after the receive idle time-out.
  void SetFirstRequestTimeout(DWORD ms) { m_dwFirstRequestMs = ms; }

  // Keepalive of an accepted connection: a peer that vanished while the connection carried
  // nothing is noticed after about 60 + 3 x 10 seconds.
  static constexpr int kKeepAliveIdleSeconds = 60;
  static constexpr int kKeepAliveIntervalSeconds = 10;
  static constexpr int kKeepAliveProbes = 3;
  // Sets hEnded (an event of the caller that outlives this object) when the connection ends.
  void SetEndedEvent(OS_USER_EVENT_HANDLE hEnded) { m_hEnded = hEnded; }
  void OnClose(DWORD error) override;

  NmxAddr GetOwnAddr() const { return m_addr; }

 protected:
  LONG m_nKrpPort;
  IVxKrpSync* m_spSrvSync;
  IVxKrpAsync* m_spSrvAsync;

 private:
  // Whether the first request is overdue; if not, makes the receiver wake at its deadline.
  bool FirstRequestOverdue();

  DWORD m_dwSendTimeoutMs;
  OS_USER_EVENT_HANDLE m_hEnded = nullptr;
  DWORD m_dwFirstRequestMs = 0;
  // From OnAccepted on, touched by the receiver thread only (it starts after OnAccepted).
  bool m_bAwaitingFirstRequest = false;
  std::chrono::steady_clock::time_point m_firstRequestDeadline;
  DWORD m_dwFrameIdleMs = 0;  // the receive idle time-out once the first request is in
};
