// CViewerService: the viewer service of an engine. It listens for the remote viewer (a
// command handler, CKrpComm, on the connection port and address), holds the one read view a
// viewer opens, knows whether a viewer is connected, and moves the listener when a settings
// document names another port or address. It reaches the engine only through IViewerEngine
// and hears from it as its IEngineListener.
#pragma once

#include <atomic>
#include <vector>

#include "capture/CaptureView.h"
#include "engine/IEngineListener.h"
#include "engine/IViewerEngine.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"
#include "os/VxString.h"

class CKrpComm;

constexpr LONG NMX_LOGGER_DEFAULT_PORT = 48914;

// Locks: m_csService guards the handler, the retired handlers, the connection address and a
// reconnection that is due; m_csView guards the view. Order: the engine's control lock (the
// engine calls the listener under it, and a viewer's request calls the engine), then
// m_csService, then m_csView. A handler is never deleted under any of them, since a request
// it is serving may be waiting for one: it is taken out under m_csService and deleted after,
// or by a reaper thread once its request in progress has been answered.
//
// The engine must outlive the service; its owner destroys the service first, which ends every
// handler (so that no viewer can start a capture any more) and closes the view before the
// engine shuts down.
class CViewerService final : public IEngineListener {
 public:
  // Becomes the engine's listener.
  explicit CViewerService(IViewerEngine& engine);
  ~CViewerService();
  CViewerService(const CViewerService&) = delete;
  CViewerService& operator=(const CViewerService&) = delete;

  IViewerEngine& Engine() { return m_engine; }

  // Connect opens the listener on the connection port: 0, or the code of the failure (a
  // socket code such as 10048 as a positive value, E_OUTOFMEMORY). Disconnect closes the
  // listener and the viewer's connection and waits for their threads.
  HRESULT Connect();
  HRESULT Disconnect();
  // The TCP port listened on (useful with connection port 0); 0 when not enabled.
  WORD GetViewerListenPort() const { return m_nListenPort.load(); }
  bool IsConnected() const { return m_bConnected.load(); }
  LONG GetConnectionPort() const { return m_nPort.load(); }
  void SetConnectionPort(LONG nPort) { m_nPort = nPort; }
  // The local IPv4 address (dotted) listened on; empty: every address. A change takes effect
  // when the service is enabled next.
  CString GetConnectionAddress();
  void SetConnectionAddress(const char* szAddress);
  void OnViewerNewConnection() { m_bViewerConnected = TRUE; }
  void OnViewerDisconnected() { m_bViewerConnected = FALSE; }
  BOOL IsConnectedToViewer() const { return m_bViewerConnected.load(); }

  // The single view, handle 1. A view pointer may be used only while ViewLock() is held,
  // since CreateView, CloseView, a capture's start (which resets the view) and Disconnect
  // replace or change it from other threads.
  LONG CreateView();
  CCaptureView* GetView(LONG hView);
  void CloseView(LONG hView);
  void CloseAllViews();
  COsUserLock& ViewLock() RETURN_CAPABILITY(m_csView) { return m_csView; }

  // Ends the service and waits for every handler it replaced, so that no viewer can start a
  // capture any more. The destructor calls it; later calls do nothing.
  void StopViewerService();

  // IEngineListener, under the engine's control lock.
  void OnCaptureStarting() override;
  void OnConnectionSettings(const pugi::xml_node& port, const pugi::xml_node& address) override;

 private:
  // A command handler replaced by a settings document, and the thread that deletes it once
  // its request in progress has been answered (null when that thread could not start).
  struct TRetiredHandler {
    CKrpComm* pKrpComm;
    OS_USER_THREAD_HANDLE hReaper;
  };
  struct TReaperParam {
    CViewerService* pThis;
    CKrpComm* pKrpComm;
    bool bReconnect;
  };
  // Creates and connects a handler on m_nPort and m_strAddress.
  HRESULT ConnectLocked() REQUIRES(m_csService);
  // A settings document's "ConnectionPort" and "ConnectionAddress" (either may be empty);
  // moves an enabled service.
  void ApplyConnectionSettings(const pugi::xml_node& port, const pugi::xml_node& address)
      REQUIRES(m_csService);
  // Takes the handler out of service and closes the view. The caller deletes the handler
  // outside m_csService, since a request it is serving may wait for it.
  CKrpComm* DetachViewerService() REQUIRES(m_csService);
  // As DetachViewerService, but the handler is deleted later, once the request it may be
  // serving on this very thread has been answered. With bReconnect the service is enabled
  // again (ReconnectAfterRetire) once the handler has gone, for a listener that needs the
  // port it holds. False when no thread could be started for that.
  bool RetireViewerService(bool bReconnect = false) REQUIRES(m_csService);
  // On a reaper thread: enables the service a settings document moved, unless it was
  // enabled, disabled or stopped for good meanwhile.
  void ReconnectAfterRetire();
  // Says on the console and in the system log that the listener could not be opened on
  // m_nPort and m_strAddress.
  void ReportListenerFailure(HRESULT hr) REQUIRES(m_csService);
  // Forgets the retired handlers that are gone, without waiting.
  void ReapRetiredHandlers() REQUIRES(m_csService);
  static DWORD ReaperThread(LPVOID pParam);

  IViewerEngine& m_engine;
  COsUserLock m_csService;
  std::atomic<LONG> m_nPort{NMX_LOGGER_DEFAULT_PORT};
  CString m_strAddress GUARDED_BY(m_csService);
  CKrpComm* m_pKrpComm GUARDED_BY(m_csService) = nullptr;
  std::vector<TRetiredHandler> m_retired GUARDED_BY(m_csService);
  std::atomic<bool> m_bReapNow{false};
  bool m_bReconnectWanted GUARDED_BY(m_csService) = false;
  std::atomic<WORD> m_nListenPort{0};
  std::atomic<bool> m_bConnected{false};
  std::atomic<BOOL> m_bViewerConnected{FALSE};
  COsUserLock m_csView;
  CCaptureView* m_pCaptureView GUARDED_BY(m_csView) = nullptr;
};
