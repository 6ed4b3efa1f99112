#include "engine/NmxR3PortLogger.h"

#include <cstdio>

namespace {

constexpr DWORD kReceiveBuffer = 4096;
constexpr DWORD kQueueSize = 80;
constexpr DWORD kPortAttributes = 4;

}  // namespace

CNmxR3PortLogger::CNmxR3PortLogger(IVxNmxLoggerCallback* pCallback)
    : CNmxLogger(pCallback), CNmxR3Port(kLoggerPort, FALSE, nullptr, kPortAttributes) {
  m_bRaisePriority = true;
}

CNmxR3PortLogger::~CNmxR3PortLogger() {
  // The receive thread and a self-stopping writer call into this object: both end here,
  // before any part of it goes. The owner has stopped the viewer service before.
  Shutdown();
  NmxDisconnect();
}

bool CNmxR3PortLogger::Start() {
  COsCsLock control(m_csControl);
  if (IsStarted()) return false;
  // A writer that stopped the last run may still be disconnecting the port.
  ReapWriter();
  if (!NmxConnect(NMX_PORT_PREVIOUS, kReceiveBuffer, kQueueSize)) {
    puts("Nmx Connect failed");
    return false;
  }
  if (!CNmxLogger::Start()) {
    NmxDisconnect();
    return false;
  }
  return true;
}

void CNmxR3PortLogger::OnCaptureStopping() {
  NmxDisconnect();
}

const NmxNetId* CNmxR3PortLogger::GetLocalNetId() {
  return &m_addr.netId;
}

void CNmxR3PortLogger::NmxReceive(NmxCmd* cmd) {
  if (!FilterNmxCmd(cmd)) OnNmxReceive(cmd);
}
