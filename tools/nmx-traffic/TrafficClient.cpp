#include "nmx-traffic/TrafficClient.h"

#include <sstream>

#include "nmx-traffic/TrafficServer.h"
#include "os/ByteOrder.h"

namespace {

constexpr DWORD INDEX_GROUP = 0x4020;
constexpr DWORD NOTIFICATION_CYCLE_100NS = 10 * 10000;  // 10 ms

}  // namespace

bool ParseTrafficMix(const std::string& text, std::vector<TrafficOp>& ops) {
  static const std::pair<const char*, TrafficOp> names[] = {
      {"read", TrafficOp::Read},           {"write", TrafficOp::Write},
      {"readwrite", TrafficOp::ReadWrite}, {"readstate", TrafficOp::ReadState},
      {"devinfo", TrafficOp::DevInfo},     {"notification", TrafficOp::Notification}};
  ops.clear();
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    bool found = false;
    for (const auto& [name, op] : names) {
      if (item == name) {
        ops.push_back(op);
        found = true;
      }
    }
    if (!found) return false;
  }
  return !ops.empty();
}

CTrafficClient::CTrafficClient() : CTrafficPort(0, "traffic.client") {}

CTrafficClient::~CTrafficClient() {
  NmxDisconnect();
}

uint64_t CTrafficClient::Sent() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_nSent;
}
uint64_t CTrafficClient::Answered() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_nAnswered;
}
uint64_t CTrafficClient::Failed() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_nFailed;
}
uint64_t CTrafficClient::NotificationsReceived() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_nNotifications;
}

void CTrafficClient::Stop() {
  std::lock_guard<std::mutex> g(m_lock);
  m_bStop = true;
  m_cv.notify_all();
}

void CTrafficClient::Answer(DWORD invokeId, DWORD result, bool check) {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_inFlight.erase(invokeId) == 0) return;  // not ours, or answered twice
  ++m_nAnswered;
  if (result != 0 || !check) ++m_nFailed;
  m_cv.notify_all();
}

bool CTrafficClient::SendOp(TrafficOp op, DWORD invokeId) {
  const NmxAddr& t = m_opt.target;
  const DWORD offset = invokeId;
  DWORD r = 0;
  switch (op) {
    case TrafficOp::Read:
      r = KrpReadReq(t, invokeId, INDEX_GROUP, offset, m_opt.size);
      break;
    case TrafficOp::Write:
      r = KrpWriteReq(t, invokeId, INDEX_GROUP, offset, m_opt.size, m_writeData.data());
      break;
    case TrafficOp::ReadWrite:
      r = KrpReadWriteReq(t, invokeId, INDEX_GROUP, offset, m_opt.size, m_opt.size,
                          m_writeData.data());
      break;
    case TrafficOp::ReadState:
      r = KrpReadStateReq(t, invokeId);
      break;
    case TrafficOp::DevInfo:
      r = KrpReadDeviceInfoReq(t, invokeId);
      break;
    case TrafficOp::Notification: {
      KrpNotificationAttrib attrib{};
      attrib.cbLength = m_opt.size;
      attrib.nCycleTime = NOTIFICATION_CYCLE_100NS;
      r = KrpAddDeviceNotificationReq(t, invokeId, INDEX_GROUP, offset, attrib);
      break;
    }
  }
  return r == 0;
}

void CTrafficClient::SendDeletes() {
  std::vector<DWORD> handles;
  {
    std::lock_guard<std::mutex> g(m_lock);
    handles.swap(m_toDelete);
  }
  for (DWORD h : handles) {
    DWORD id;
    {
      std::lock_guard<std::mutex> g(m_lock);
      id = m_nextInvoke++;
      m_inFlight.insert(id);
      ++m_nSent;
    }
    if (KrpDelDeviceNotificationReq(m_opt.target, id, h) != 0) Answer(id, KRP_E_GENERAL);
  }
}

bool CTrafficClient::Run(const TrafficClientOptions& opt) {
  m_opt = opt;
  m_size = opt.size;
  if (m_opt.mix.empty() || m_opt.window == 0) return false;
  m_writeData.resize(m_opt.size);
  for (uint32_t i = 0; i < m_opt.size; ++i) m_writeData[i] = static_cast<BYTE>(i);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto end = m_opt.durationSec > 0
                       ? start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(m_opt.durationSec))
                       : Clock::time_point::max();
  // Operation i is due at start + i / rate. Whatever is due when the thread wakes (and the
  // window allows) goes out together, so a high rate costs fewer sends, never earlier ones.
  uint64_t ops = 0;
  std::vector<DWORD> ids;
  for (;;) {
    SendDeletes();
    if ((m_opt.count && ops >= m_opt.count) || Clock::now() >= end) break;
    uint64_t due = m_opt.count ? m_opt.count - ops : UINT64_MAX;
    if (m_opt.rate) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const uint64_t dueSoFar = static_cast<uint64_t>(elapsed * m_opt.rate) + 1;
      if (dueSoFar <= ops) {
        const auto next = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(double(ops) / m_opt.rate));
        std::unique_lock<std::mutex> lk(m_lock);
        if (m_cv.wait_until(lk, std::min(next, end), [&] { return m_bStop; })) break;
        continue;
      }
      due = std::min(due, dueSoFar - ops);
    }
    ids.clear();
    {
      std::unique_lock<std::mutex> lk(m_lock);
      m_cv.wait(lk,
                [&] { return m_bStop || m_inFlight.size() < m_opt.window || !m_toDelete.empty(); });
      if (m_bStop) break;
      while (ids.size() < due && m_inFlight.size() < m_opt.window) {
        const DWORD id = m_nextInvoke++;
        m_inFlight.insert(id);
        ++m_nSent;
        ids.push_back(id);
      }
    }
    if (ids.empty()) continue;  // deletes first
    BeginBatch();
    bool ok = true;
    for (size_t i = 0; i < ids.size(); ++i)
      ok = SendOp(m_opt.mix[(ops + i) % m_opt.mix.size()], ids[i]) && ok;
    // A send that failed may have taken others of the batch with it; answers that still
    // come for them are ignored.
    if (FlushBatch() != 0 || !ok)
      for (DWORD id : ids) Answer(id, KRP_E_GENERAL);
    ops += ids.size();
  }

  // Stragglers: answers still on their way, and notifications still to be deleted.
  auto lastProgress = Clock::now();
  uint64_t lastAnswered = Answered();
  for (;;) {
    SendDeletes();
    std::unique_lock<std::mutex> lk(m_lock);
    if (m_inFlight.empty() && m_active.empty() && m_toDelete.empty()) break;
    m_cv.wait_for(lk, std::chrono::milliseconds(50));
    if (m_nAnswered != lastAnswered) {
      lastAnswered = m_nAnswered;
      lastProgress = Clock::now();
    } else if (Clock::now() - lastProgress > m_opt.answerTimeout) {
      break;
    }
  }
  std::lock_guard<std::mutex> g(m_lock);
  return m_nAnswered == m_nSent;
}

void CTrafficClient::KrpReadDeviceInfoCon(const NmxAddr&, DWORD invokeId, DWORD result, const char*,
                                          KrpVersion) {
  Answer(invokeId, result);
}

void CTrafficClient::KrpWriteControlCon(const NmxAddr&, DWORD invokeId, DWORD result) {
  Answer(invokeId, result);
}

void CTrafficClient::KrpReadStateCon(const NmxAddr&, DWORD invokeId, DWORD result, WORD, WORD) {
  Answer(invokeId, result);
}

void CTrafficClient::KrpWriteCon(const NmxAddr&, DWORD invokeId, DWORD result) {
  Answer(invokeId, result);
}

void CTrafficClient::KrpReadCon(const NmxAddr&, DWORD invokeId, DWORD result, DWORD length,
                                const void* data) {
  // A successful read must bring the asked bytes of the server's pattern.
  bool ok = result != 0 || length == m_size.load();
  const BYTE* p = static_cast<const BYTE*>(data);
  for (DWORD i = 0; ok && result == 0 && i < length; ++i)
    ok = p[i] == TrafficPatternByte(INDEX_GROUP, invokeId, i);
  Answer(invokeId, result, ok);
}

void CTrafficClient::KrpReadWriteCon(const NmxAddr& sender, DWORD invokeId, DWORD result,
                                     DWORD length, const void* data) {
  KrpReadCon(sender, invokeId, result, length, data);
}

void CTrafficClient::KrpAddDeviceNotificationCon(const NmxAddr&, DWORD invokeId, DWORD result,
                                                 DWORD handle) {
  if (result == 0) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_inFlight.count(invokeId)) m_active.insert(handle);
  }
  Answer(invokeId, result);
}

void CTrafficClient::KrpDelDeviceNotificationCon(const NmxAddr&, DWORD invokeId, DWORD result) {
  Answer(invokeId, result);
}

void CTrafficClient::KrpDeviceNotificationInd(const NmxAddr&, DWORD, DWORD length,
                                              const void* stream) {
  // One stamp with one sample is what the server sends: nStamps, the stamp's time and
  // sample count, then the sample's handle at +16.
  if (length < 24) return;
  const BYTE* p = static_cast<const BYTE*>(stream);
  const DWORD handle = vx::DecodeLE32(p + 16);
  std::lock_guard<std::mutex> g(m_lock);
  ++m_nNotifications;
  auto it = m_active.find(handle);
  if (it == m_active.end()) return;
  // The first sample shows the stream works; the handle is then deleted.
  m_active.erase(it);
  m_toDelete.push_back(handle);
  m_cv.notify_all();
}
