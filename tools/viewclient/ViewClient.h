// CViewClient: the viewer side of the logger's viewer connection. KRP requests in NMX/TCP
// framing to the logger's KRP server, each waited for until its answer arrives, and the
// DeviceNotifications the logger pushes, handed to a sink as they arrive.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nmx/KrpTypes.h"
#include "viewer/NmxTcpStub.h"
#include "viewer/VxKrp.h"

// The outcome of one request. Without an answer (the connection ended, or none came within
// the time-out) error says why.
struct KrpReply {
  bool answered = false;
  DWORD result = 0;        // the KRP result, 0 success
  std::vector<BYTE> data;  // Read and ReadWrite: the data; AddDeviceNotification: the handle
  std::string error;
  // No answer came to the connection's first request although the connection stands: the
  // logger serves another viewer, and this one waits in its listen backlog.
  bool bBusy = false;
};

// Requests may come from one thread at a time; the sink runs on the connection's receiver
// thread. Not copyable; the destructor closes the connection and waits for that thread.
class CViewClient : public CVxKrp<CNmxTcpStub> {
 public:
  // Receives each DeviceNotification stream (length bytes, valid during the call).
  typedef std::function<void(const BYTE* stream, DWORD length)> NotificationSink;

  CViewClient();
  ~CViewClient() override;

  // Connects to the logger's viewer port; false with *error when that fails.
  bool Open(const std::string& host, WORD port, std::string* error);
  void SetTimeout(DWORD ms) { m_dwTimeoutMs = ms; }
  // How long the first request on the connection waits before it is given up as one a busy
  // logger does not take (KrpReply::bBusy); 0, the default: as long as any other. At most
  // the time-out.
  void SetBusyTimeout(DWORD ms) { m_dwBusyTimeoutMs = ms; }
  DWORD BusyTimeout() const { return m_dwBusyTimeoutMs; }
  // Set before requesting notifications.
  void SetNotificationSink(NotificationSink sink);
  bool Connected() const { return IsConnected(); }

  KrpReply Read(DWORD group, DWORD offset, DWORD length);
  KrpReply Write(DWORD group, DWORD offset, const void* data, DWORD length);
  KrpReply ReadWrite(DWORD group, DWORD offset, DWORD readLength, const void* data, DWORD length);
  KrpReply AddNotification(DWORD group, DWORD offset, const KrpNotificationAttrib& attrib);
  KrpReply DelNotification(DWORD handle);

  void KrpReadCon(const NmxAddr& sender, DWORD invokeId, DWORD result, DWORD length,
                  const void* data) override;
  void KrpWriteCon(const NmxAddr& sender, DWORD invokeId, DWORD result) override;
  void KrpReadWriteCon(const NmxAddr& sender, DWORD invokeId, DWORD result, DWORD length,
                       const void* data) override;
  void KrpAddDeviceNotificationCon(const NmxAddr& sender, DWORD invokeId, DWORD result,
                                   DWORD handle) override;
  void KrpDelDeviceNotificationCon(const NmxAddr& sender, DWORD invokeId, DWORD result) override;
  void KrpDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD length,
                                const void* stream) override;

 private:
  // Sends with a new invoke id through send, then waits for the answer.
  KrpReply Call(const std::function<DWORD(const NmxAddr&, DWORD)>& send);
  void Answer(DWORD invokeId, DWORD result, const void* data, DWORD length);

  NmxAddr m_server;
  DWORD m_dwTimeoutMs = 10000;
  DWORD m_dwBusyTimeoutMs = 0;
  bool m_bAnswered = false;  // an answer came on this connection; guarded by m_mutex
  DWORD m_nInvoke = 0;
  std::mutex m_mutex;
  std::condition_variable m_answered;
  DWORD m_nWaiting = 0;                 // invoke id waited for, 0 none; guarded by m_mutex
  std::map<DWORD, KrpReply> m_replies;  // guarded by m_mutex
  NotificationSink m_sink;              // set before any notification can arrive
};

// "connection refused" and the like, for a socket result code.
std::string SocketErrorText(DWORD code);
