// A KRP endpoint on a router port: requests and responses go out through NmxSend, received
// KRP commands go to the engine's handlers on the port's receive thread.
//
// Commands are gathered and sent together where that costs no latency: the answers to the
// requests that arrive in one batch from the router leave when the batch is used up, and a
// sender may gather its own (BeginBatch, then FlushBatch).
#pragma once

#include "nmx/Krp.h"
#include "router/NmxR3Port.h"

class CTrafficPort : public CNmxR3Port, public CKrp {
 public:
  CTrafficPort(WORD port, const char* name);
  // Derived classes disconnect in their own destructors (see router/NmxR3Port.h).
  ~CTrafficPort() override = default;

  void NmxReceive(NmxCmd* cmd) override;

  DWORD KrpRequest(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                   const void* payload) override;
  DWORD KrpForward(const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                   DWORD length, const void* payload) override;
  DWORD KrpResponse(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                    const void* payload) override;

 protected:
  // From here to FlushBatch, this thread's sends are gathered instead of sent.
  void BeginBatch();
  // Sends what this thread gathered, in order: 0, or the error that every gathered command
  // then shares.
  DWORD FlushBatch();

 private:
  DWORD Emit(const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId, WORD flags,
             DWORD length, const void* payload, bool bLoopbackRule);
};
