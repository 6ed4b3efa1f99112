#include "viewclient/ViewClient.h"

#include <cstring>

#include "support/SocketOs.h"

namespace {

constexpr NmxPortNo kKrpServerPort = 10502;
constexpr DWORD kConnectionCheckMs = 100;

}  // namespace

std::string SocketErrorText(DWORD code) {
  switch (code) {
    case VxFunctions::SOCK_ERR_CONNREFUSED:
      return "connection refused";
    case VxFunctions::SOCK_ERR_CONNRESET:
      return "connection reset";
    case VxFunctions::SOCK_ERR_NOTCONN:
      return "not connected";
    case VxFunctions::SOCK_ERR_ADDRNOTAVAIL:
      return "address not available";
    case 10051:
      return "network unreachable";
    case 10060:
      return "connection timed out";
    case 10064:
      return "host is down";
    case 10065:
      return "no route to host";
    default:
      return "socket error " + std::to_string(code);
  }
}

CViewClient::CViewClient() {
  m_server.Clear();
  m_server.port = kKrpServerPort;
}

CViewClient::~CViewClient() {
  // The receiver thread calls the handlers of this part.
  CloseSocket(true);
}

bool CViewClient::Open(const std::string& host, WORD port, std::string* error) {
  const DWORD rc = Connect(host.c_str(), port);
  if (rc != 0) {
    *error =
        rc == VxFunctions::SOCK_ERR_BASE ? "cannot resolve or reach the host" : SocketErrorText(rc);
    return false;
  }
  // The logger answers whatever NetId is named; the usual one is its address with .1.1.
  const DWORD ip = GetPeerAddr().dwAddr;
  memcpy(m_server.netId.b, &ip, 4);
  m_server.netId.b[4] = 1;
  m_server.netId.b[5] = 1;
  return true;
}

void CViewClient::SetNotificationSink(NotificationSink sink) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_sink = std::move(sink);
}

KrpReply CViewClient::Call(const std::function<DWORD(const NmxAddr&, DWORD)>& send) {
  std::unique_lock<std::mutex> lock(m_mutex);
  const DWORD invokeId = ++m_nInvoke == 0 ? ++m_nInvoke : m_nInvoke;
  m_nWaiting = invokeId;
  lock.unlock();
  KrpReply reply;
  const DWORD rc = send(m_server, invokeId);
  lock.lock();
  if (rc != 0) {
    m_nWaiting = 0;
    reply.error = rc == KRP_E_NO_MEMORY ? "out of memory" : SocketErrorText(rc);
    return reply;
  }
  const bool bFirst = !m_bAnswered && m_dwBusyTimeoutMs != 0 && m_dwBusyTimeoutMs < m_dwTimeoutMs;
  const DWORD limit = bFirst ? m_dwBusyTimeoutMs : m_dwTimeoutMs;
  for (DWORD waited = 0; !m_replies.count(invokeId);) {
    if (!IsConnected()) {
      reply.error = "the logger closed the connection";
      break;
    }
    if (waited >= limit) {
      reply.error = "no answer from the logger";
      reply.bBusy = bFirst;
      break;
    }
    m_answered.wait_for(lock, std::chrono::milliseconds(kConnectionCheckMs));
    waited += kConnectionCheckMs;
  }
  m_nWaiting = 0;
  auto it = m_replies.find(invokeId);
  if (it != m_replies.end()) {
    reply = std::move(it->second);
    m_replies.erase(it);
  }
  return reply;
}

void CViewClient::Answer(DWORD invokeId, DWORD result, const void* data, DWORD length) {
  std::lock_guard<std::mutex> guard(m_mutex);
  // An answer nobody waits for any more (after a time-out) is dropped.
  if (invokeId == 0 || invokeId != m_nWaiting) return;
  m_bAnswered = true;
  KrpReply& r = m_replies[invokeId];
  r.answered = true;
  r.result = result;
  if (data && length)
    r.data.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + length);
  m_answered.notify_all();
}

KrpReply CViewClient::Read(DWORD group, DWORD offset, DWORD length) {
  return Call(
      [&](const NmxAddr& to, DWORD id) { return KrpReadReq(to, id, group, offset, length); });
}

KrpReply CViewClient::Write(DWORD group, DWORD offset, const void* data, DWORD length) {
  return Call([&](const NmxAddr& to, DWORD id) {
    return KrpWriteReq(to, id, group, offset, length, data);
  });
}

KrpReply CViewClient::ReadWrite(DWORD group, DWORD offset, DWORD readLength, const void* data,
                                DWORD length) {
  return Call([&](const NmxAddr& to, DWORD id) {
    return KrpReadWriteReq(to, id, group, offset, readLength, length, data);
  });
}

KrpReply CViewClient::AddNotification(DWORD group, DWORD offset,
                                      const KrpNotificationAttrib& attrib) {
  return Call([&](const NmxAddr& to, DWORD id) {
    return KrpAddDeviceNotificationReq(to, id, group, offset, attrib);
  });
}

KrpReply CViewClient::DelNotification(DWORD handle) {
  return Call(
      [&](const NmxAddr& to, DWORD id) { return KrpDelDeviceNotificationReq(to, id, handle); });
}

void CViewClient::KrpReadCon(const NmxAddr&, DWORD invokeId, DWORD result, DWORD length,
                             const void* data) {
  Answer(invokeId, result, data, length);
}

void CViewClient::KrpWriteCon(const NmxAddr&, DWORD invokeId, DWORD result) {
  Answer(invokeId, result, nullptr, 0);
}

void CViewClient::KrpReadWriteCon(const NmxAddr&, DWORD invokeId, DWORD result, DWORD length,
                                  const void* data) {
  Answer(invokeId, result, data, length);
}

void CViewClient::KrpAddDeviceNotificationCon(const NmxAddr&, DWORD invokeId, DWORD result,
                                              DWORD handle) {
  BYTE h[4];
  vx::EncodeLE32(h, handle);
  Answer(invokeId, result, h, sizeof h);
}

void CViewClient::KrpDelDeviceNotificationCon(const NmxAddr&, DWORD invokeId, DWORD result) {
  Answer(invokeId, result, nullptr, 0);
}

void CViewClient::KrpDeviceNotificationInd(const NmxAddr&, DWORD, DWORD length,
                                           const void* stream) {
  NotificationSink sink;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    sink = m_sink;
  }
  if (sink && stream) sink(static_cast<const BYTE*>(stream), length);
}
