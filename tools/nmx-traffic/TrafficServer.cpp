#include "nmx-traffic/TrafficServer.h"

#include <time.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "os/ByteOrder.h"

namespace {

// Reads and notifications larger than this are refused as an invalid size.
constexpr DWORD MAX_READ = 1u << 20;
constexpr DWORD MIN_CYCLE_MS = 1;

LONGLONG FileTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<LONGLONG>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100 +
         static_cast<LONGLONG>(116444736000000000LL);
}

}  // namespace

BYTE TrafficPatternByte(DWORD indexGroup, DWORD indexOffset, DWORD i) {
  return static_cast<BYTE>(indexGroup * 31 + indexOffset * 7 + i);
}

CTrafficServer::CTrafficServer(WORD port, unsigned errorPercent)
    : CTrafficPort(port, "traffic.server"),
      m_errorPercent(errorPercent > 100 ? 100 : errorPercent) {
  m_nKrpState = KRPSTATE_RUN;
}

CTrafficServer::~CTrafficServer() {
  Shutdown();
}

void CTrafficServer::Shutdown() {
  NmxDisconnect();
  StopAll();
}

DWORD CTrafficServer::NextResult() {
  // Request k fails when the running share floor(k * p / 100) steps up: exactly p of every
  // 100 requests, evenly spread, the same on every run.
  const uint64_t k = ++m_nRequests;
  ++m_nAnswered;
  if (m_errorPercent == 0) return 0;
  return (k * m_errorPercent) / 100 != ((k - 1) * m_errorPercent) / 100 ? KRP_E_GENERAL : 0;
}

DWORD CTrafficServer::ReadInto(DWORD indexGroup, DWORD indexOffset, DWORD length) {
  if (length > MAX_READ) return KRP_E_INVALID_SIZE;
  m_readBuf.resize(length);
  for (DWORD i = 0; i < length; ++i) m_readBuf[i] = TrafficPatternByte(indexGroup, indexOffset, i);
  return 0;
}

void CTrafficServer::KrpReadDeviceInfoInd(const NmxAddr& sender, DWORD invokeId) {
  KrpVersion v{1, 0, 1};
  KrpReadDeviceInfoRes(sender, invokeId, NextResult(), "nmx-traffic", v);
}

void CTrafficServer::KrpWriteControlInd(const NmxAddr& sender, DWORD invokeId, WORD krpState,
                                        WORD /*deviceState*/, DWORD /*length*/,
                                        const void* /*data*/) {
  DWORD result = NextResult();
  if (result == 0) m_nKrpState = static_cast<KRPSTATE>(krpState);
  KrpWriteControlRes(sender, invokeId, result);
}

void CTrafficServer::KrpReadStateInd(const NmxAddr& sender, DWORD invokeId) {
  KrpReadStateRes(sender, invokeId, NextResult(), static_cast<WORD>(m_nKrpState), 0);
}

void CTrafficServer::KrpWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD, DWORD, DWORD,
                                 const void*) {
  KrpWriteRes(sender, invokeId, NextResult());
}

void CTrafficServer::KrpReadInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                DWORD indexOffset, DWORD length) {
  DWORD result = NextResult();
  if (result == 0) result = ReadInto(indexGroup, indexOffset, length);
  if (result != 0) {
    KrpReadRes(sender, invokeId, result, 0, nullptr);
    return;
  }
  KrpReadRes(sender, invokeId, 0, length, m_readBuf.data());
}

void CTrafficServer::KrpReadWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                     DWORD indexOffset, DWORD readLength, DWORD, const void*) {
  DWORD result = NextResult();
  if (result == 0) result = ReadInto(indexGroup, indexOffset, readLength);
  if (result != 0) {
    KrpReadWriteRes(sender, invokeId, result, 0, nullptr);
    return;
  }
  KrpReadWriteRes(sender, invokeId, 0, readLength, m_readBuf.data());
}

void CTrafficServer::KrpAddDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId,
                                                 DWORD indexGroup, DWORD indexOffset,
                                                 KrpNotificationAttrib attrib) {
  DWORD result = NextResult();
  if (result == 0 && attrib.cbLength > MAX_READ) result = KRP_E_INVALID_SIZE;
  if (result != 0) {
    KrpAddDeviceNotificationRes(sender, invokeId, result, 0);
    return;
  }
  auto n = std::make_unique<Notification>();
  n->client = sender;
  n->indexGroup = indexGroup;
  n->indexOffset = indexOffset;
  n->cbSample = attrib.cbLength;
  const DWORD ms = attrib.nCycleTime / 10000;
  n->cycleMs = ms < MIN_CYCLE_MS ? MIN_CYCLE_MS : ms;
  Notification* p = n.get();
  {
    std::lock_guard<std::mutex> g(m_lock);
    n->handle = m_nextHandle++;
    m_notifications[n->handle] = std::move(n);
  }
  // Answer first, so the client knows the handle before the first sample arrives.
  KrpAddDeviceNotificationRes(sender, invokeId, 0, p->handle);
  std::lock_guard<std::mutex> g(m_lock);
  p->thread = std::thread(&CTrafficServer::RunNotification, this, p);
}

void CTrafficServer::KrpDelDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId,
                                                 DWORD handle) {
  DWORD result = NextResult();
  std::unique_ptr<Notification> n;
  if (result == 0) {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_notifications.find(handle);
    if (it == m_notifications.end() || !(it->second->client == sender)) {
      result = KRP_E_INVALID_HANDLE;
    } else {
      n = std::move(it->second);
      m_notifications.erase(it);
      n->bStop = true;
    }
  }
  if (n) {
    m_cv.notify_all();
    if (n->thread.joinable()) n->thread.join();
  }
  KrpDelDeviceNotificationRes(sender, invokeId, result);
}

void CTrafficServer::RunNotification(Notification* n) {
  std::vector<BYTE> stream(4 + sizeof(KrpStampHeader) + sizeof(KrpNotificationSample) +
                           n->cbSample);
  DWORD seq = 0;
  std::unique_lock<std::mutex> lk(m_lock);
  while (!n->bStop) {
    lk.unlock();
    BYTE* p = stream.data();
    vx::EncodeLE32(p, 1);  // one stamp
    vx::EncodeLE64(p + 4, static_cast<uint64_t>(FileTimeNow()));
    vx::EncodeLE32(p + 12, 1);  // one sample
    vx::EncodeLE32(p + 16, n->handle);
    vx::EncodeLE32(p + 20, n->cbSample);
    for (DWORD i = 0; i < n->cbSample; ++i)
      p[24 + i] = TrafficPatternByte(n->indexGroup, n->indexOffset, seq + i);
    ++seq;
    if (KrpDeviceNotificationReq(n->client, 0, static_cast<DWORD>(stream.size()), p) == 0)
      ++m_nNotifications;
    lk.lock();
    m_cv.wait_for(lk, std::chrono::milliseconds(n->cycleMs), [&] { return n->bStop; });
  }
}

void CTrafficServer::StopAll() {
  std::map<DWORD, std::unique_ptr<Notification>> all;
  {
    std::lock_guard<std::mutex> g(m_lock);
    all.swap(m_notifications);
    for (auto& [h, n] : all) n->bStop = true;
  }
  m_cv.notify_all();
  for (auto& [h, n] : all)
    if (n->thread.joinable()) n->thread.join();
}
