#include "RouterCore.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "os/ByteOrder.h"

namespace vx::router {

namespace {

constexpr size_t OFF_TARGET = offsetof(NmxHead, target);
constexpr size_t OFF_SENDER = offsetof(NmxHead, sender);
constexpr size_t OFF_FLAGS = offsetof(NmxHead, stateFlags);
constexpr size_t OFF_CBDATA = offsetof(NmxHead, cbData);
constexpr size_t OFF_ERRCODE = offsetof(NmxHead, errCode);
constexpr size_t OFF_PORT = offsetof(NmxAddr, port);

NmxNetId NetIdAt(const uint8_t* p) {
  NmxNetId id;
  std::memcpy(id.b, p, sizeof(id.b));
  return id;
}

// Names come from clients: keep them printable on one line.
std::string Printable(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  return out;
}

}  // namespace

CRouterCore::CRouterCore(const NmxNetId& netId, bool bTimestamps, IRouterSink* sink, FILE* log)
    : m_netId(netId), m_bTimestamps(bTimestamps), m_pSink(sink), m_pLog(log) {}

bool CRouterCore::IsLocal(const NmxNetId& id) const {
  // A KRP client that addresses the loopback NetId sends with the sender NetId
  // 127.0.0.0.1.1, so answers to it come back addressed there and must stay local too.
  return id == m_netId || id == NMXNETID_LOOPBACK || id == IP2NMXNETID_LOOPBACK;
}

uint64_t CRouterCore::FileTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100 +
         116444736000000000ull;
}

RegisterAnswer CRouterCore::Register(ClientId client, const RegisterRequest& req) {
  Client& c = m_clients[client];
  const uint16_t runErr = m_bRunning ? 0 : NMX_REGISTER_SYSTEM_STOPPED;
  RegisterAnswer ans;
  ans.port = req.port;

  if (req.bUnregister) {
    auto it = m_ports.find(req.port);
    if (it == m_ports.end() || !c.bBound || c.port != req.port) {
      ans.err = REG_ERR_PORT_NOT_FOUND;
      return ans;
    }
    Unregister(it->second);
    return ans;
  }

  if (req.attrib & NMX_PORTATTRIB_ATTACH) {
    auto it = m_ports.find(req.port);
    if (it == m_ports.end()) {
      ans.err = REG_ERR_PORT_NOT_FOUND;
      return ans;
    }
    if (c.bBound) {
      ans.err = c.port == req.port ? runErr : REG_ERR_INVALID;
      return ans;
    }
    c.bBound = true;
    c.port = req.port;
    it->second.attached.push_back(client);
    ans.err = runErr;
    return ans;
  }

  if (c.bBound || m_bRemoving) {
    ans.err = REG_ERR_INVALID;
    return ans;
  }
  uint16_t number = req.port;
  if (req.bFixed && number != 0) {
    if (number == 0xFFFF) {
      ans.err = REG_ERR_INVALID;
      return ans;
    }
    if (m_ports.count(number)) {
      ans.err = REG_ERR_PORT_IN_USE;
      return ans;
    }
  } else {
    number = 0;
    for (uint32_t n = 0; n < 0xFFFFu - FIRST_CHOSEN_PORT; ++n) {
      uint16_t cand = m_nextChosen;
      m_nextChosen = m_nextChosen >= 0xFFFE ? FIRST_CHOSEN_PORT : m_nextChosen + 1;
      if (!m_ports.count(cand)) {
        number = cand;
        break;
      }
    }
    if (number == 0) {
      ans.err = REG_ERR_NO_FREE_PORT;
      return ans;
    }
  }

  Port& p = m_ports[number];
  p.number = number;
  p.name = req.name;
  p.queueSize = req.queueSize ? req.queueSize : DEFAULT_QUEUE_SIZE;
  p.owner = client;
  c.bBound = true;
  c.port = number;
  m_stats[number].name = req.name;
  std::fprintf(m_pLog, "registered port %u \"%s\" queue %u%s\n", number,
               Printable(req.name).c_str(), p.queueSize, m_bRunning ? "" : " (system stopped)");
  ans.port = number;
  ans.err = runErr;
  return ans;
}

void CRouterCore::Unregister(Port& port) {
  std::fprintf(m_pLog, "unregistered port %u \"%s\"\n", port.number, Printable(port.name).c_str());
  for (ClientId r : port.readers) {
    m_clients[r].bReadPending = false;
    ReplyStatus(r, NMX_READ_UNREGISTERED, &port);
  }
  m_clients[port.owner].bBound = false;
  for (ClientId a : port.attached) m_clients[a].bBound = false;
  const uint16_t number = port.number;
  m_ports.erase(number);
}

bool CRouterCore::Read(ClientId client, uint32_t offset, uint32_t cbMax, uint32_t batch) {
  Client& c = m_clients[client];
  const uint32_t nBatch = batch & READ_BATCH_COUNT;
  if (c.bReadPending || nBatch == 0) return false;
  c.bWantsDropped = (batch & READ_WANT_DROPPED) != 0;
  c.bHold = (batch & READ_HOLD) != 0;
  auto it = m_ports.find(static_cast<uint16_t>(offset));
  const bool bHolds = offset <= 0xFFFF && c.bBound && c.port == offset && it != m_ports.end();
  if (m_bRemoving) {
    if (it != m_ports.end()) it->second.bToldRemoved = true;
    ReplyStatus(client, NMX_READ_ROUTER_REMOVED, bHolds ? &it->second : nullptr);
    return true;
  }
  if (!bHolds) {
    ReplyStatus(client, NMX_READ_UNREGISTERED, nullptr);
    return true;
  }
  c.bReadPending = true;
  c.cbReadMax = cbMax;
  c.nBatch = std::min(nBatch, READ_BATCH_MAX);
  it->second.readers.push_back(client);
  Deliver(it->second);
  return true;
}

bool CRouterCore::HoldIsOver(const Port& port) const {
  // A status (the queue holds more than its commands) is never held back, nor a queue that
  // could fill up while its reader waits.
  const size_t nRecords =
      std::max<size_t>(1, std::min<size_t>(READ_HOLD_RECORDS, port.queueSize / 4));
  return port.queue.size() > port.nCommands || port.nCommands >= nRecords ||
         port.cbQueued >= READ_HOLD_BYTES ||
         m_now - port.oldestQueuedAt >= std::chrono::microseconds(READ_HOLD_US);
}

std::optional<CRouterCore::Clock::time_point> CRouterCore::NextHoldDeadline() const {
  std::optional<Clock::time_point> next;
  for (const auto& [number, port] : m_ports) {
    if (port.readers.empty() || port.queue.empty() || !MayHold(port)) continue;
    const auto reader = m_clients.find(port.readers.front());
    if (reader == m_clients.end() || !reader->second.bHold) continue;
    const Clock::time_point due = port.oldestQueuedAt + std::chrono::microseconds(READ_HOLD_US);
    if (!next || due < *next) next = due;
  }
  return next;
}

void CRouterCore::Deliver(Port& port) {
  while (!port.readers.empty() && !port.queue.empty()) {
    ClientId r = port.readers.front();
    Client& c = m_clients[r];
    if (c.bHold && MayHold(port) && !HoldIsOver(port)) return;
    port.readers.erase(port.readers.begin());
    c.bReadPending = false;
    Item& front = port.queue.front();
    if (front.status == 0 && front.bytes.size() > c.cbReadMax) {
      // The command stays queued; the reader comes back with a buffer of the size we name.
      uint8_t need[4];
      EncodeLE32(need, static_cast<uint32_t>(front.bytes.size()));
      const ReadRecord rec{NMX_READ_BUFFER_TOO_SMALL, need, std::min<uint32_t>(4, c.cbReadMax)};
      m_pSink->ReadReply(r, &rec, 1, DroppedFor(c, &port));
      continue;
    }
    // The first item answers the read; what fits behind it goes along in the same reply.
    m_batch.clear();
    m_records.clear();
    size_t cbBatch = 0;
    while (!port.queue.empty() && m_batch.size() < c.nBatch) {
      Item& item = port.queue.front();
      const size_t cb = item.bytes.size();
      if (!m_batch.empty() &&
          (cb > c.cbReadMax || cbBatch + READ_RECORD_HEAD + cb > READ_BATCH_BYTES))
        break;
      if (item.status == 0) {
        ++m_stats[port.number].delivered;
        --port.nCommands;
        port.cbQueued -= cb;
      }
      cbBatch += READ_RECORD_HEAD + cb;
      m_batch.push_back(std::move(item));
      port.queue.pop_front();
    }
    for (const Item& item : m_batch) {
      const uint32_t cb = static_cast<uint32_t>(item.bytes.size());
      m_records.push_back(item.status != 0 ? ReadRecord{item.status, nullptr, 0}
                                           : ReadRecord{cb, item.bytes.data(), cb});
    }
    m_pSink->ReadReply(r, m_records.data(), m_records.size(), DroppedFor(c, &port));
  }
}

std::optional<uint64_t> CRouterCore::DroppedFor(const Client& c, const Port* port) const {
  if (!c.bWantsDropped) return std::nullopt;
  return port ? port->dropped : 0;
}

void CRouterCore::ReplyStatus(ClientId client, uint32_t status, const Port* port) {
  const ReadRecord rec{status, nullptr, 0};
  m_pSink->ReadReply(client, &rec, 1, DroppedFor(m_clients[client], port));
}

bool CRouterCore::Enqueue(Port& port, std::vector<uint8_t>&& bytes) {
  if (port.nCommands >= port.queueSize || port.cbQueued + bytes.size() > MAX_QUEUED_BYTES) {
    ++port.dropped;
    ++m_stats[port.number].dropped;
    ++m_totals.dropped;
    return false;
  }
  port.cbQueued += bytes.size();
  ++port.nCommands;
  if (port.queue.empty()) port.oldestQueuedAt = m_now;
  port.queue.push_back(Item{0, std::move(bytes)});
  port.bQueuedSinceDelivery = true;
  return true;
}

void CRouterCore::DeliverQueued() {
  for (auto& [number, port] : m_ports) {
    // A held read may fall due without anything new queued.
    if (!port.bQueuedSinceDelivery && (port.queue.empty() || port.readers.empty())) continue;
    port.bQueuedSinceDelivery = false;
    Deliver(port);
  }
}

void CRouterCore::EnqueueStatus(Port& port, uint32_t status) {
  port.queue.push_back(Item{status, {}});
  Deliver(port);
}

void CRouterCore::Write(ClientId /*client*/, const uint8_t* cmd, uint32_t cb) {
  if (m_bRemoving || cb < NMX_HEAD_SIZE) return;
  ++m_totals.routed;
  Route(cmd, cb, true);
}

void CRouterCore::Route(const uint8_t* cmd, uint32_t cb, bool bAnswerable) {
  const NmxNetId target = NetIdAt(cmd + OFF_TARGET);
  const uint16_t targetPort = DecodeLE16(cmd + OFF_TARGET + OFF_PORT);
  const bool bLocal = IsLocal(target);
  const bool bResponse = (DecodeLE16(cmd + OFF_FLAGS) & NMX_FLAG_RESPONSE) != 0;
  int32_t answerErr = 0;

  auto itTarget = bLocal ? m_ports.find(targetPort) : m_ports.end();
  if (itTarget != m_ports.end()) {
    Enqueue(itTarget->second, std::vector<uint8_t>(cmd, cmd + cb));
  } else if (!bAnswerable || bResponse) {
    // Answering an undeliverable answer could ping-pong between two missing ports.
    ++m_totals.dropped;
  } else {
    answerErr = bLocal ? ROUTE_ERR_PORT_NOT_FOUND : ROUTE_ERR_NETID_NOT_FOUND;
  }

  auto itLogger = m_ports.find(LOGGER_PORT);
  if (itLogger != m_ports.end() && !(bLocal && targetPort == LOGGER_PORT)) {
    std::vector<uint8_t> copy;
    if (m_bTimestamps) {
      copy.resize(cb + 8);
      std::memcpy(copy.data(), cmd, cb);
      EncodeLE32(copy.data() + OFF_CBDATA, DecodeLE32(cmd + OFF_CBDATA) + 8);
      EncodeLE16(copy.data() + OFF_FLAGS, DecodeLE16(cmd + OFF_FLAGS) | NMX_FLAG_TIMESTAMP);
      EncodeLE64(copy.data() + cb, FileTimeNow());
    } else {
      copy.assign(cmd, cmd + cb);
    }
    if (Enqueue(itLogger->second, std::move(copy))) ++m_totals.mirrored;
  }

  if (answerErr != 0) Answer(cmd, answerErr);
}

void CRouterCore::Answer(const uint8_t* cmd, int32_t err) {
  uint8_t ans[NMX_HEAD_SIZE];
  std::memcpy(ans, cmd, NMX_HEAD_SIZE);
  std::memcpy(ans + OFF_TARGET, cmd + OFF_SENDER, sizeof(NmxAddr));
  std::memcpy(ans + OFF_SENDER, cmd + OFF_TARGET, sizeof(NmxAddr));
  EncodeLE16(ans + OFF_FLAGS, DecodeLE16(cmd + OFF_FLAGS) | NMX_FLAG_RESPONSE);
  EncodeLE32(ans + OFF_CBDATA, 0);
  EncodeLE32(ans + OFF_ERRCODE, static_cast<uint32_t>(err));
  Route(ans, NMX_HEAD_SIZE, false);
}

void CRouterCore::ClientGone(ClientId client) {
  auto it = m_clients.find(client);
  if (it == m_clients.end()) return;
  Client c = it->second;
  if (c.bBound) {
    auto pit = m_ports.find(c.port);
    if (pit != m_ports.end()) {
      Port& p = pit->second;
      std::erase(p.readers, client);
      if (p.owner == client) {
        Unregister(p);
      } else {
        std::erase(p.attached, client);
      }
    }
  }
  m_clients.erase(client);
}

void CRouterCore::ToggleSystem() {
  m_bRunning = !m_bRunning;
  std::fprintf(m_pLog, "system %s\n", m_bRunning ? "started" : "stopped");
  const uint32_t status = m_bRunning ? NMX_READ_SYSTEM_STARTED : NMX_READ_SYSTEM_STOPPED;
  for (auto& [number, port] : m_ports) EnqueueStatus(port, status);
}

void CRouterCore::BeginRemoval() {
  if (m_bRemoving) return;
  m_bRemoving = true;
  for (auto& [number, port] : m_ports) {
    // Whatever is still queued will never be read; the removal is what the port must see.
    port.queue.clear();
    port.nCommands = 0;
    port.cbQueued = 0;
    for (ClientId r : port.readers) {
      m_clients[r].bReadPending = false;
      ReplyStatus(r, NMX_READ_ROUTER_REMOVED, &port);
      port.bToldRemoved = true;
    }
    port.readers.clear();
  }
}

bool CRouterCore::RemovalComplete() const {
  if (!m_bRemoving) return false;
  for (const auto& [number, port] : m_ports)
    if (!port.bToldRemoved) return false;
  return true;
}

void CRouterCore::PrintStats(FILE* out) const {
  std::fprintf(out, "routed %llu  mirrored %llu  dropped %llu\n",
               static_cast<unsigned long long>(m_totals.routed),
               static_cast<unsigned long long>(m_totals.mirrored),
               static_cast<unsigned long long>(m_totals.dropped));
  std::fprintf(out, "%6s  %-31s %12s %12s\n", "port", "name", "delivered", "dropped");
  for (const auto& [number, s] : m_stats)
    std::fprintf(out, "%6u  %-31s %12llu %12llu\n", number, Printable(s.name).c_str(),
                 static_cast<unsigned long long>(s.delivered),
                 static_cast<unsigned long long>(s.dropped));
  std::fflush(out);
}

}  // namespace vx::router
