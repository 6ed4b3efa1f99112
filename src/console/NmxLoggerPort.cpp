#include "console/NmxLoggerPort.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/FailureDetail.h"
#include "console/LoggerSettings.h"
#include "console/SystemLog.h"
#include "os/OsErrorText.h"
#include "router/RouterTransport.h"

namespace {

constexpr VARIANT_BOOL kTrue = -1;

// The capture path as the user should see it: absolute and resolved when the file exists.
std::string DisplayPath(const Parms_t& parms) {
  std::string path = parms.capDir;
  if (path.empty() || path.back() != '/') path += '/';
  path += parms.capName;
  if (char* resolved = realpath(path.c_str(), nullptr)) {
    path = resolved;
    free(resolved);
  }
  return path;
}

}  // namespace

CNmxLoggerPort::CNmxLoggerPort() : CNmxR3Port(NMX_LOGGER_PORT, FALSE, nullptr, 4) {
  m_bRaisePriority = true;
}

CNmxLoggerPort::~CNmxLoggerPort() {
  // The receive thread calls into this object; it must be gone before any of it is. Close
  // ends it first of all (and the viewer service, which could connect the port again).
  Close();
  NmxDisconnect();
}

HRESULT CNmxLoggerPort::Open(bool bListen, WORD port, const char* address) {
  if (m_pNmxLogger) return NMX_LOGGER_E_INVALID_STATE;
  HRESULT hr = DllGetVxNmxLogger(&m_pNmxLogger);
  if (hr < 0) {
    m_pNmxLogger = nullptr;
    return hr;
  }
  hr = m_pNmxLogger->Init(FALSE, this);
  if (hr < 0) {
    ReleaseComponent();
    return hr;
  }
  m_bListener = false;
  if (bListen) {
    hr = OpenListener(port, address);
    if (hr < 0) {
      ReleaseComponent();
      return hr;
    }
  }
  m_state = OPENED;
  return hr;
}

HRESULT CNmxLoggerPort::OpenListener(WORD port, const char* address) {
  m_pNmxLogger->put_ConnectionPort(port);
  // The component takes the address from a settings document; one without capture settings
  // is refused as a whole, but its connection settings apply all the same.
  if (address && *address)
    m_pNmxLogger->LoadXmlSettingsEx(BuildListenerSettings(address).c_str(), 0);
  // Set first: a viewer may start the capture as soon as the listener is open, and its
  // OnStart must find the port in listen mode.
  m_bListener = true;
  HRESULT hr = m_pNmxLogger->put_EnableViewerConnection(kTrue);
  if (hr < 0) {
    m_bListener = false;
    printf("Failed to open listener port (err=%x)\n", static_cast<unsigned>(hr));
    ReportDetail(ListenerFailureDetail(port, address, hr));
  }
  return hr;
}

HRESULT CNmxLoggerPort::Start(const Parms_t& parms) {
  if (m_state.load() != OPENED) return NMX_LOGGER_E_INVALID_STATE;
  const std::string path = DisplayPath(parms);
  m_pNmxLogger->LoadXmlSettingsEx(BuildLoggerSettings(parms).c_str(), 0);

  if (!NmxConnect(NMX_LOGGER_PORT, NMX_LOGGER_PORT_BUFFER, NMX_LOGGER_PORT_QUEUE)) {
    puts("Failed to connect to nmx logger port.");
    ReportDetail(RouterFailureDetail(VxRouterDevicePath(), NmxGetDeviceError(), NmxGetLastError()));
    return NMX_LOGGER_E_INVALID_STATE;
  }
  puts("Nmx logger port connected.");
  HRESULT hr = m_pNmxLogger->Start();
  if (hr < 0) {
    NmxDisconnect();
    LONG why = 0;
    if (m_pNmxLogger->GetStartError(&why) == S_OK)
      ReportDetail(CaptureFailureDetail(AbsoluteCapturePath(parms.capDir, parms.capName), why));
    return hr;
  }
  // Before the line is printed: commands arriving meanwhile are already recorded.
  SetStarted();
  printf("Started capturing to file %s\n", path.c_str());
  return hr;
}

bool CNmxLoggerPort::Stop() {
  {
    COsCsLock guard(m_lock);
    if (m_state.load() != STARTED) return false;
    m_state = OPENED;
    NmxDisconnect();
  }
  // Outside the lock: a viewer that stops the capture at the same moment holds the engine's
  // lock while its OnStop waits for ours. Our own OnStop finds the port OPENED and is silent.
  return m_pNmxLogger->Stop() == S_OK;
}

void CNmxLoggerPort::Close() {
  if (m_state.load() == INIT) return;
  // No viewer may start a capture while the component goes.
  if (m_bListener) m_pNmxLogger->put_EnableViewerConnection(0);
  bool started = false;
  {
    COsCsLock guard(m_lock);
    started = m_state.load() == STARTED;
    if (started) m_state = OPENED;
    // Nothing may reach the component once it is released.
    NmxDisconnect();
  }
  if (started) m_pNmxLogger->Stop();
  ReleaseComponent();
  m_state = INIT;
}

void CNmxLoggerPort::SetStarted() {
  ULONGLONG routerDropped = 0;
  GetRouterDroppedCount(&routerDropped);
  m_routerDroppedAtStart = routerDropped;
  m_state = STARTED;
}

void CNmxLoggerPort::ReleaseComponent() {
  if (m_pNmxLogger) m_pNmxLogger->Release();
  m_pNmxLogger = nullptr;
}

ULONG CNmxLoggerPort::GetPacketCount() {
  LONG frames = 0;
  if (m_pNmxLogger) m_pNmxLogger->GetCaptureInfo(&frames, nullptr, nullptr);
  return static_cast<ULONG>(frames);
}

ULONG CNmxLoggerPort::GetCaptureFileSize() {
  ULONG bytes = 0;
  if (m_pNmxLogger) m_pNmxLogger->GetCaptureInfo(nullptr, &bytes, nullptr);
  return bytes;
}

bool CNmxLoggerPort::IsViewerConnected() {
  VARIANT_BOOL connected = 0;
  return m_pNmxLogger && m_pNmxLogger->get_IsConnectedToViewer(&connected) >= 0 &&
         connected == kTrue;
}

ULONGLONG CNmxLoggerPort::GetEngineDroppedFrames() {
  ULONGLONG dropped = 0;
  if (m_pNmxLogger && m_pNmxLogger->GetDroppedFrames(&dropped) < 0) dropped = 0;
  return dropped;
}

ULONGLONG CNmxLoggerPort::GetDroppedFrames() {
  return GetEngineDroppedFrames() + GetRouterDroppedFrames();
}

ULONGLONG CNmxLoggerPort::GetRouterDroppedFrames() {
  // The port's count only grows; the run's share is what it gained since the start.
  ULONGLONG total = 0;
  GetRouterDroppedCount(&total);
  const ULONGLONG atStart = m_routerDroppedAtStart;
  return total > atStart ? total - atStart : 0;
}

std::string CNmxLoggerPort::DroppedLine() {
  const ULONGLONG router = GetRouterDroppedFrames();
  const ULONGLONG dropped = GetEngineDroppedFrames() + router;
  if (dropped == 0) return {};
  char line[96];
  if (router == 0)
    snprintf(line, sizeof line, "Frames dropped: %llu", static_cast<unsigned long long>(dropped));
  else
    snprintf(line, sizeof line, "Frames dropped: %llu (router: %llu)",
             static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(router));
  return line;
}

std::string CNmxLoggerPort::SummaryLine() {
  ULONGLONG givenUp = 0;
  if (!m_pNmxLogger || m_pNmxLogger->GetRingDroppedFrames(&givenUp) < 0) givenUp = 0;
  ULONGLONG routerTotal = 0;
  const bool routerKnown = GetRouterDroppedCount(&routerTotal);
  const ULONGLONG router = GetRouterDroppedFrames();
  char line[160];
  int n = snprintf(
      line, sizeof line, "Frames stored: %lu, given up by the ring: %llu, dropped: %llu",
      static_cast<unsigned long>(GetPacketCount()), static_cast<unsigned long long>(givenUp),
      static_cast<unsigned long long>(GetEngineDroppedFrames() + router));
  if (routerKnown && n > 0 && static_cast<size_t>(n) < sizeof line)
    snprintf(line + n, sizeof line - static_cast<size_t>(n), " (router: %llu)",
             static_cast<unsigned long long>(router));
  return line;
}

std::string CNmxLoggerPort::TakeWriteErrorLine() {
  LONG hr = 0;
  if (!m_pNmxLogger || m_pNmxLogger->TakeWriteError(&hr) != S_OK) return {};
  std::string reason;
  if (const int err = OsErrorFromResult(hr)) {
    reason = std::string(OsErrorText(err));
  } else {
    char code[16];
    snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
    reason = std::string("error ") + code;
  }
  return "Capture file write failed: " + reason;
}

std::string CNmxLoggerPort::TakeNoticeLine() {
  char text[2 * 1024 + 256];
  if (!m_pNmxLogger || m_pNmxLogger->TakeNotice(text, sizeof text) != S_OK) return {};
  return text;
}

// The router's removal reaches the capture as the system command the port makes of it, so
// the recording itself shows where the traffic ended.
void CNmxLoggerPort::NmxReceive(NmxCmd* cmd) {
  if ((cmd->head.stateFlags & NMX_FLAG_SYSTEM_COMMAND) && cmd->head.cmdId == NMX_SYSCMD_REMOVED)
    m_bRouterLost = true;
  if (m_state.load() == STARTED) m_pNmxLogger->NmxReceive(cmd);
}

HRESULT CNmxLoggerPort::QueryInterface(REFIID, void**) {
  return E_NOINTERFACE;
}

ULONG CNmxLoggerPort::AddRef() {
  return 1;
}

ULONG CNmxLoggerPort::Release() {
  return 0;
}

HRESULT CNmxLoggerPort::OnStart() {
  if (!m_bListener) return S_OK;
  return OnListenerStart();
}

HRESULT CNmxLoggerPort::OnStop() {
  COsCsLock guard(m_lock);
  if (m_state.load() == STARTED) {
    puts("Capturing has stopped.");
    if (m_bListener) {
      // No status line follows a viewer's capture, so a loss is owned up to here.
      const std::string writeError = TakeWriteErrorLine();
      if (!writeError.empty()) ReportAlert(writeError);
      for (std::string notice = TakeNoticeLine(); !notice.empty(); notice = TakeNoticeLine())
        ReportAlert(notice);
      const std::string dropped = DroppedLine();
      if (!dropped.empty()) ReportAlert(dropped);
      puts(SummaryLine().c_str());
      OnListenerStop();
    } else {
      m_state = OPENED;
    }
  }
  return S_OK;
}

// In listen mode the router connection follows the capture a viewer starts and stops. The
// lock keeps the connect apart from the disconnects of OnStop, Stop and Close on other threads.
HRESULT CNmxLoggerPort::OnListenerStart() {
  COsCsLock guard(m_lock);
  // With -c as well the console's own start connected the port just before.
  if (NmxPortConnected()) return S_OK;
  if (!NmxConnect(NMX_LOGGER_PORT, NMX_LOGGER_PORT_BUFFER, NMX_LOGGER_PORT_QUEUE)) {
    puts("Failed to connect nmx logger port!");
    ReportDetail(RouterFailureDetail(VxRouterDevicePath(), NmxGetDeviceError(), NmxGetLastError()));
    return NMX_LOGGER_E_INVALID_STATE;
  }
  puts("Capturing has started.");
  SetStarted();
  return S_OK;
}

void CNmxLoggerPort::OnListenerStop() {
  NmxDisconnect();
}
