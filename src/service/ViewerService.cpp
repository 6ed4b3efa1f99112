#include "service/ViewerService.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <new>
#include <pugixml.hpp>

#include "engine/FailureReport.h"
#include "engine/XmlReaders.h"
#include "nmx/KrpTypes.h"
#include "service/KrpComm.h"

namespace {

// How often a retired viewer handler looks whether its last request has been answered.
constexpr DWORD kReapPollMs = 20;

}  // namespace

CViewerService::CViewerService(IViewerEngine& engine) : m_engine(engine) {
  m_engine.SetListener(this);
}

CViewerService::~CViewerService() {
  // First, so that no viewer request can start a capture behind the engine's shutdown.
  StopViewerService();
  m_engine.SetListener(nullptr);
  // Views read through the capture manager, so they go before the engine.
  CloseAllViews();
}

// ---- Views ----------------------------------------------------------------------------------

LONG CViewerService::CreateView() {
  COsCsLock view(m_csView);
  delete m_pCaptureView;
  m_pCaptureView = new (std::nothrow) CCaptureView(m_engine.GetCaptureMngt());
  return m_pCaptureView ? 1 : 0;
}

CCaptureView* CViewerService::GetView(LONG hView) {
  COsCsLock view(m_csView);
  return hView == 1 ? m_pCaptureView : nullptr;
}

void CViewerService::CloseView(LONG hView) {
  if (hView != 1) return;
  CloseAllViews();
}

void CViewerService::CloseAllViews() {
  COsCsLock view(m_csView);
  delete m_pCaptureView;
  m_pCaptureView = nullptr;
}

void CViewerService::OnCaptureStarting() {
  COsCsLock view(m_csView);
  if (m_pCaptureView) m_pCaptureView->Reset();
}

// ---- Listener and handler -------------------------------------------------------------------

HRESULT CViewerService::Connect() {
  COsCsLock service(m_csService);
  m_bReconnectWanted = false;
  if (m_bConnected) return S_OK;
  m_bViewerConnected = FALSE;
  ReapRetiredHandlers();
  return ConnectLocked();
}

HRESULT CViewerService::ConnectLocked() {
  CKrpComm* comm = new (std::nothrow) CKrpComm(this, true, m_nPort, m_strAddress);
  if (!comm) return E_OUTOFMEMORY;
  const HRESULT hr = comm->Connect();
  if (hr != S_OK) {
    // It never listened, so it has no thread to wait for.
    delete comm;
    return hr;
  }
  m_pKrpComm = comm;
  m_nListenPort = comm->GetListenPort();
  m_bConnected = true;
  return S_OK;
}

CString CViewerService::GetConnectionAddress() {
  COsCsLock service(m_csService);
  return m_strAddress;
}

void CViewerService::SetConnectionAddress(const char* szAddress) {
  COsCsLock service(m_csService);
  m_strAddress = szAddress ? szAddress : "";
}

HRESULT CViewerService::Disconnect() {
  CKrpComm* old = nullptr;
  {
    COsCsLock service(m_csService);
    m_bReconnectWanted = false;
    old = DetachViewerService();
  }
  delete old;
  return S_OK;
}

CKrpComm* CViewerService::DetachViewerService() {
  CKrpComm* comm = m_pKrpComm;
  m_pKrpComm = nullptr;
  m_bViewerConnected = FALSE;
  m_bConnected = false;
  m_nListenPort = 0;
  // In one step under the view lock: the handler can open no view after this one is closed.
  COsCsLock view(m_csView);
  if (comm) comm->Retire();
  delete m_pCaptureView;
  m_pCaptureView = nullptr;
  return comm;
}

bool CViewerService::RetireViewerService(bool bReconnect) {
  ReapRetiredHandlers();
  CKrpComm* comm = DetachViewerService();
  if (!comm) return false;
  TRetiredHandler retired{comm, nullptr};
  if (auto* param = new (std::nothrow) TReaperParam{this, comm, bReconnect}) {
    OS_USER_THREAD_ID id{};
    retired.hReaper = OsUserCreateThread(nullptr, 0, ReaperThread, param, 0, &id);
    if (!retired.hReaper) delete param;
  }
  m_retired.push_back(retired);
  return retired.hReaper != nullptr;
}

void CViewerService::ReconnectAfterRetire() {
  COsCsLock service(m_csService);
  if (!m_bReconnectWanted || m_bReapNow || m_bConnected) return;
  m_bReconnectWanted = false;
  const HRESULT hr = ConnectLocked();
  if (hr != S_OK) ReportListenerFailure(hr);
}

void CViewerService::ReportListenerFailure(HRESULT hr) {
  const HRESULT shown = hr > 0 ? KrpResultFromCode(static_cast<DWORD>(hr)) : hr;
  CString line;
  if (m_strAddress.IsEmpty())
    line.Format("Failed to open listener port %ld (err=%x)", static_cast<long>(m_nPort.load()),
                static_cast<unsigned>(shown));
  else
    line.Format("Failed to open listener port %ld on %s (err=%x)",
                static_cast<long>(m_nPort.load()), static_cast<const char*>(m_strAddress),
                static_cast<unsigned>(shown));
  ReportFailure(line);
}

// The handler may be serving the request that loaded the document, on its receiver thread,
// where it cannot be deleted. Once that request has been answered it goes, and its viewer's
// connection with it; a retired handler refuses whatever else arrives meanwhile.
DWORD CViewerService::ReaperThread(LPVOID pParam) {
  auto* param = static_cast<TReaperParam*>(pParam);
  CKrpComm* comm = param->pKrpComm;
  while (comm->IsServingRequest() && !param->pThis->m_bReapNow.load()) OsUserSleep(kReapPollMs);
  delete comm;
  if (param->bReconnect) param->pThis->ReconnectAfterRetire();
  delete param;
  return 0;
}

void CViewerService::ReapRetiredHandlers() {
  for (size_t i = 0; i < m_retired.size();) {
    const OS_USER_THREAD_HANDLE h = m_retired[i].hReaper;
    if (h && OsUserWaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
      OsUserCloseHandle(h);
      m_retired.erase(m_retired.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void CViewerService::StopViewerService() {
  CKrpComm* current = nullptr;
  std::vector<TRetiredHandler> retired;
  {
    COsCsLock service(m_csService);
    current = DetachViewerService();
    retired.swap(m_retired);
    m_bReapNow = true;
  }
  delete current;
  for (const TRetiredHandler& r : retired) {
    if (r.hReaper) {
      OsUserWaitForSingleObject(r.hReaper, INFINITE);
      OsUserCloseHandle(r.hReaper);
    } else {
      delete r.pKrpComm;
    }
  }
}

// ---- Settings document ----------------------------------------------------------------------

void CViewerService::OnConnectionSettings(const pugi::xml_node& port,
                                          const pugi::xml_node& address) {
  COsCsLock service(m_csService);
  ApplyConnectionSettings(port, address);
}

void CViewerService::ApplyConnectionSettings(const pugi::xml_node& port,
                                             const pugi::xml_node& address) {
  LONG newPort = m_nPort;
  CString newAddress = m_strAddress;
  CString line;
  if (port) {
    const LONG p = XMLGetUshort(port);
    if (p != 0) {
      newPort = p;
    } else {
      // Port 0 would listen wherever the system chooses, where no viewer will look.
      const long stays = m_bConnected ? m_nListenPort.load() : m_nPort.load();
      line.Format("Ignoring ConnectionPort '%s': not a port; the viewer port stays %ld",
                  PrintableText(XMLGettext(port)).c_str(), stays);
      ReportFailure(line);
    }
  }
  if (address) {
    const char* text = XMLGettext(address);
    in_addr parsed{};
    if (!*text || inet_pton(AF_INET, text, &parsed) == 1) {
      newAddress = text;
    } else {
      line.Format("Ignoring ConnectionAddress '%s': not an IPv4 address",
                  PrintableText(text).c_str());
      ReportFailure(line);
    }
  }
  const bool samePort = newPort == m_nPort;
  const bool moved = !samePort || strcmp(newAddress, m_strAddress) != 0;
  m_nPort = newPort;
  m_strAddress = newAddress;
  if (!m_bConnected || !moved) return;
  // This may run on a request of the handler being replaced, which must first answer it. On
  // the same port, the new listener has to wait until the old one has closed.
  if (RetireViewerService(samePort) && samePort) {
    m_bReconnectWanted = true;
    return;
  }
  const HRESULT hr = ConnectLocked();
  if (hr != S_OK) ReportListenerFailure(hr);
}
