#include "TrafficPort.h"

#include <cstring>
#include <vector>

CTrafficPort::CTrafficPort(WORD port, const char* name) : CNmxR3Port(port, FALSE, name, 0) {}

void CTrafficPort::NmxReceive(NmxCmd* cmd) {
  if (cmd->head.stateFlags & NMX_FLAG_SYSTEM_COMMAND) {
    CNmxR3Port::NmxDispatch(cmd);
    return;
  }
  KrpDispatchCommand(cmd, NMX_HEAD_SIZE + cmd->head.cbData);
}

DWORD CTrafficPort::Emit(const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                         WORD flags, DWORD length, const void* payload, bool bLoopbackRule) {
  // One buffer per thread: the server answers on the receive thread while notification
  // threads send, and a buffer of the largest command so far is kept for the next.
  thread_local std::vector<BYTE> buf;
  if (length > 0xFFFFFFFFu - NMX_HEAD_SIZE) return KRP_E_NO_MEMORY;
  buf.resize(NMX_HEAD_SIZE + static_cast<size_t>(length));
  NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf.data());
  NmxMakeHead(cmd->head, cmdId, static_cast<LONG>(length), target, source,
              static_cast<LONG>(invokeId), 0, flags);
  if (bLoopbackRule) KrpApplyLoopbackRule(cmd->head);
  if (length) std::memcpy(cmd->data, payload, length);
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
