// CNmxR3PortLogger: a capture engine with a router port of its own (port 2), which applies
// the traffic filters to every command the router delivers.
#pragma once

#include "engine/NmxLogger.h"
#include "router/NmxR3Port.h"

// Start connects the port to the router before the engine starts; stopping (by Stop or by the
// writer when a single file is full) disconnects it first. Commands arrive on the port's
// receive thread. Thread-safety as CNmxLogger.
class CNmxR3PortLogger : public CNmxLogger, public CNmxR3Port {
 public:
  static constexpr WORD kLoggerPort = 2;

  explicit CNmxR3PortLogger(IVxNmxLoggerCallback* pCallback);
  ~CNmxR3PortLogger() override;

  // False (with "Nmx Connect failed") when the router refuses the port.
  bool Start() override;
  // The router port's own node address.
  const NmxNetId* GetLocalNetId() override;
  // Kept commands are captured; nothing is answered.
  void NmxReceive(NmxCmd* cmd) override;

 protected:
  void OnCaptureStopping() override;
};
