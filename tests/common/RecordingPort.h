// A router port for tests that keeps a copy of everything it receives.
#pragma once

#include <cstring>
#include <mutex>
#include <vector>

#include "common/TestUtil.h"
#include "router/NmxR3Port.h"

namespace vxtest {

class RecordingPort : public CNmxR3Port {
 public:
  explicit RecordingPort(WORD port, const char* name = "test") : CNmxR3Port(port, FALSE, name, 0) {}
  ~RecordingPort() override { NmxDisconnect(); }

  void NmxReceive(NmxCmd* cmd) override {
    {
      std::lock_guard<std::mutex> g(m_lock);
      const uint8_t* p = reinterpret_cast<const uint8_t*>(cmd);
      m_received.emplace_back(p, p + NMX_HEAD_SIZE + cmd->head.cbData);
    }
    if (m_bDispatch) CNmxR3Port::NmxReceive(cmd);
  }
  void NmxOnSystemStartStop(BOOL bStart) override { (bStart ? m_nStarts : m_nStops)++; }
  void NmxOnSystemRemoved() override { ++m_nRemoved; }

  // Also run the base handling (system commands, error-11 answers).
  void SetDispatch(bool b) { m_bDispatch = b; }

  std::vector<std::vector<uint8_t>> Received() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_received;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_received.size();
  }
  bool WaitCount(size_t n) const {
    return WaitUntil([&] { return Count() >= n; });
  }
  NmxHead Head(size_t i) const {
    std::lock_guard<std::mutex> g(m_lock);
    NmxHead h;
    std::memcpy(&h, m_received.at(i).data(), sizeof(h));
    return h;
  }
  BOOL Enabled() { return NmxPortEnabled(); }

  std::atomic<int> m_nStarts{0};
  std::atomic<int> m_nStops{0};
  std::atomic<int> m_nRemoved{0};

 private:
  mutable std::mutex m_lock;
  std::vector<std::vector<uint8_t>> m_received;
  std::atomic<bool> m_bDispatch{true};
};

// A command of cbData bytes (filled with a counting pattern) from port to target.
inline std::vector<uint8_t> MakeCommand(const NmxAddr& sender, const NmxAddr& target,
                                        uint32_t cbData, WORD cmdId = 2, DWORD hUser = 7,
                                        WORD flags = NMX_FLAG_KRP_COMMAND) {
  std::vector<uint8_t> bytes(NMX_HEAD_SIZE + cbData);
  CNmxPort::NmxMakeHead(*reinterpret_cast<NmxHead*>(bytes.data()), cmdId, static_cast<LONG>(cbData),
                        target, sender, static_cast<LONG>(hUser), 0, flags);
  for (uint32_t i = 0; i < cbData; ++i) bytes[NMX_HEAD_SIZE + i] = static_cast<uint8_t>(i * 7);
  return bytes;
}

inline NmxCmd* AsCmd(std::vector<uint8_t>& bytes) {
  return reinterpret_cast<NmxCmd*>(bytes.data());
}

}  // namespace vxtest
