#include "nmx-traffic/TrafficPort.h"

#include <cstring>
#include <vector>

namespace {

// What one thread gathered between BeginBatch and FlushBatch: commands back to back.
struct TBatch {
  const CTrafficPort* pOwner = nullptr;  // gathering for this port, null when not gathering
  std::vector<BYTE> bytes;
  std::vector<size_t> offsets;
  std::vector<NmxCmd*> cmds;
};
thread_local TBatch t_batch;

// A batch this large goes out even before it is flushed.
constexpr size_t kBatchBytes = 64u << 10;

}  // namespace

CTrafficPort::CTrafficPort(WORD port, const char* name) : CNmxR3Port(port, FALSE, name, 0) {}

void CTrafficPort::NmxReceive(NmxCmd* cmd) {
  BeginBatch();
  if (cmd->head.stateFlags & NMX_FLAG_SYSTEM_COMMAND)
    CNmxR3Port::NmxDispatch(cmd);
  else
    KrpDispatchCommand(cmd, NMX_HEAD_SIZE + cmd->head.cbData);
  // The answers wait only while more requests are at hand; before the thread waits for the
  // router, they go.
  if (!NmxReceiveReady()) FlushBatch();
}

void CTrafficPort::BeginBatch() {
  t_batch.pOwner = this;
}

DWORD CTrafficPort::FlushBatch() {
  TBatch& b = t_batch;
  b.pOwner = nullptr;
  if (b.offsets.empty()) return 0;
  b.cmds.clear();
  for (size_t off : b.offsets) b.cmds.push_back(reinterpret_cast<NmxCmd*>(b.bytes.data() + off));
  const LONG ok = NmxSendMany(b.cmds.data(), static_cast<DWORD>(b.cmds.size()));
  b.bytes.clear();
  b.offsets.clear();
  if (!ok) return NmxGetLastError() ? NmxGetLastError() : KRP_E_GENERAL;
  return 0;
}

DWORD CTrafficPort::Emit(const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                         WORD flags, DWORD length, const void* payload, bool bLoopbackRule) {
  if (length > 0xFFFFFFFFu - NMX_HEAD_SIZE) return KRP_E_NO_MEMORY;
  // Gathered into this thread's batch; outside one, a buffer per thread (the server answers
  // on the receive thread while notification threads send) keeps the largest command so far.
  thread_local std::vector<BYTE> single;
  TBatch& b = t_batch;
  const bool bGather = b.pOwner == this;
  std::vector<BYTE>& buf = bGather ? b.bytes : single;
  const size_t at = bGather ? buf.size() : 0;
  // Commands start on 8-byte boundaries so that their headers are aligned.
  const size_t start = (at + 7) & ~size_t{7};
  buf.resize(start + NMX_HEAD_SIZE + static_cast<size_t>(length));
  NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf.data() + start);
  NmxMakeHead(cmd->head, cmdId, static_cast<LONG>(length), target, source,
              static_cast<LONG>(invokeId), 0, flags);
  if (bLoopbackRule) KrpApplyLoopbackRule(cmd->head);
  if (length) std::memcpy(cmd->data, payload, length);
  if (bGather) {
    b.offsets.push_back(start);
    if (buf.size() >= kBatchBytes) {
      const DWORD err = FlushBatch();
      BeginBatch();
      return err;
    }
    return 0;
  }
  if (!NmxSend(cmd)) return NmxGetLastError() ? NmxGetLastError() : KRP_E_GENERAL;
  return 0;
}
DWORD CTrafficPort::KrpRequest(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                               const void* payload) {
  return Emit(m_addr, target, invokeId, cmdId, NMX_FLAG_KRP_COMMAND, length, payload, true);
}

DWORD CTrafficPort::KrpForward(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                               WORD cmdId, DWORD length, const void* payload) {
  return Emit(source, target, invokeId, cmdId, NMX_FLAG_KRP_COMMAND, length, payload, false);
}

DWORD CTrafficPort::KrpResponse(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                                const void* payload) {
  return Emit(m_addr, target, invokeId, cmdId, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE, length,
              payload, true);
}
