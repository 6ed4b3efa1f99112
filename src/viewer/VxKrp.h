// CVxKrp<T>: binds the KRP engine to a transport T that provides NmxAlloc, NmxFree, Send
// (const NmxCmd*), OnNmxReceive, m_addr and m_nLastError (CNmxTcpStub). Requests and responses
// go out with the transport's own address as sender; received commands are dispatched to
// the engine's handlers on the transport's receive thread.
//
// Thread safety: as the engine and the transport; commands are built in buffers of their own,
// so requests and responses may be sent from several threads at once.
#pragma once

#include <string.h>

#include "nmx/Krp.h"
#include "nmx/KrpTypes.h"

template <class T>
class CVxKrp : public CKrp, public T {
 public:
  CVxKrp() = default;
  ~CVxKrp() override = default;

  DWORD KrpRequest(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                   const void* payload) override {
    return Emit(nullptr, target, invokeId, cmdId, NMX_FLAG_KRP_COMMAND, length, payload);
  }
  DWORD KrpForward(const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                   DWORD length, const void* payload) override {
    return Emit(&source, target, invokeId, cmdId, NMX_FLAG_KRP_COMMAND, length, payload);
  }
  DWORD KrpResponse(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                    const void* payload) override {
    return Emit(nullptr, target, invokeId, cmdId, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE, length,
                payload);
  }

  // The command is the transport's receive buffer: dispatched in place, never released here.
  void OnNmxReceive(NmxCmd* cmd) override {
    if (cmd) KrpDispatchCommand(cmd, NMX_HEAD_SIZE + size_t{cmd->head.cbData});
  }

  virtual const char* GetDeviceName() { return "NotDef"; }

 private:
  // source null: sender is the transport's own address, with the loopback rule.
  DWORD Emit(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
             WORD stateFlags, DWORD length, const void* payload) {
    if (length > 0xFFFFFFFFu - NMX_HEAD_SIZE) return KRP_E_NO_MEMORY;
    if (length != 0 && payload == nullptr) return KRP_E_MISSING_DATA;
    NmxCmd* cmd = this->NmxAlloc(NMX_HEAD_SIZE + length);
    if (!cmd) return KRP_E_NO_MEMORY;
    KrpMakeHead(cmd->head, target, source ? *source : this->m_addr, invokeId, cmdId, stateFlags,
                length);
    if (!source) KrpApplyLoopbackRule(cmd->head);
    if (length != 0) memcpy(cmd->data, payload, length);
    const DWORD rc = this->Send(cmd);
    this->m_nLastError = rc;
    this->NmxFree(cmd);
    return rc;
  }
};
