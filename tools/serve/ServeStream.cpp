#include "serve/ServeStream.h"

#include <chrono>

namespace {

std::string Event(const char* name, const std::string& json) {
  return std::string("event: ") + name + "\ndata: " + json + "\n\n";
}

}  // namespace

void CServeStream::PushFrame(const char* event, const std::string& json) {
  std::string e = Event(event, json);
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_bClosed) return;
  if (m_nBytes + e.size() > m_nMaxBytes) {
    ++m_nDropped;
    return;
  }
  m_nBytes += e.size();
  m_events.push_back(std::move(e));
  m_ready.notify_one();
}

void CServeStream::PushState(const std::string& json) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_bClosed) return;
  m_state = Event("state", json);
  m_ready.notify_one();
}

bool CServeStream::HasRoom(size_t cb) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return !m_bClosed && m_nBytes + cb <= m_nMaxBytes;
}

void CServeStream::Drop() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (!m_bClosed) ++m_nDropped;
}

bool CServeStream::Take(std::string* out, DWORD ms) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_ready.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return m_bClosed || !m_events.empty() || !m_state.empty() || m_nDropped != m_nDroppedTold;
  });
  const bool any = !m_events.empty() || !m_state.empty() || m_nDropped != m_nDroppedTold;
  if (m_nDropped != m_nDroppedTold) {
    *out += Event("dropped", "{\"dropped\":" + std::to_string(m_nDropped) + "}");
    m_nDroppedTold = m_nDropped;
  }
  // The state goes first: frames already queued were captured under it or before.
  *out += m_state;
  m_state.clear();
  for (size_t taken = 0; !m_events.empty();) {
    const std::string& e = m_events.front();
    if (taken > 0 && taken + e.size() > m_nBatchBytes) break;
    *out += e;
    taken += e.size();
    m_nBytes -= e.size();
    m_events.pop_front();
  }
  return any || !m_bClosed;
}

void CServeStream::Close() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_bClosed = true;
  m_ready.notify_all();
}

uint64_t CServeStream::Dropped() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_nDropped;
}
