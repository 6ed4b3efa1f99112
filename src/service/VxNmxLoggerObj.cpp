#include "service/VxNmxLoggerObj.h"

#include <cstdio>
#include <new>

#include "engine/NmxR3PortLogger.h"

namespace {

VARIANT_BOOL ToVariantBool(bool b) {
  return b ? VARIANT_TRUE : VARIANT_FALSE;
}

// A failure of the viewer service as a result: a KRP or socket code c becomes 0x98110000 + c,
// and a code that already is a failure result stays one.
HRESULT ViewerResult(HRESULT e) {
  if (e == 0) return S_OK;
  if (e < 0) return e;
  return static_cast<HRESULT>((static_cast<DWORD>(e) & 0xE7EEFFFFu) ^ 0x98110000u);
}

}  // namespace

HRESULT DllGetVxNmxLogger(IVxNmxLogger2** ppLogger) {
  if (!ppLogger) return E_POINTER;
  *ppLogger = nullptr;
  CComObject<CVxNmxLogger>* obj = CComObject<CVxNmxLogger>::CreateInstance();
  if (!obj) return E_OUTOFMEMORY;
  obj->AddRef();
  *ppLogger = obj;
  return S_OK;
}

CVxNmxLogger::~CVxNmxLogger() {
  delete m_pService.load();
  delete m_pNmxLogger.load();
}

void* CVxNmxLogger::InternalQueryInterface(REFIID riid) {
  // IVxNmxLogger2 is the primary interface, so IUnknown is the same pointer.
  if (riid == IID_IUnknown || riid == IID_IVxNmxLogger || riid == IID_IVxNmxLogger2)
    return static_cast<IVxNmxLogger2*>(this);
  if (riid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
  return nullptr;
}

HRESULT CVxNmxLogger::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IVxNmxLogger ? S_OK : S_FALSE;
}

HRESULT CVxNmxLogger::Init(BOOL bOwnPort, IVxNmxLoggerCallback* pCallback) {
  if (GetService()) return E_FAIL;
  CNmxLogger* engine = nullptr;
  CViewerService* service = nullptr;
  try {
    engine = bOwnPort ? new CNmxR3PortLogger(pCallback) : new CNmxLogger(pCallback);
    service = new CViewerService(engine->ViewerFace());
  } catch (const std::bad_alloc&) {
    delete engine;
    return E_OUTOFMEMORY;
  }
  CViewerService* expected = nullptr;
  if (!m_pService.compare_exchange_strong(expected, service)) {
    delete service;
    delete engine;
    return E_FAIL;
  }
  m_pNmxLogger.store(engine, std::memory_order_release);
  return S_OK;
}

HRESULT CVxNmxLogger::Start() {
  CNmxLogger* engine = GetEngine();
  return engine && engine->Start() ? S_OK : E_FAIL;
}

HRESULT CVxNmxLogger::Stop() {
  CNmxLogger* engine = GetEngine();
  return engine && engine->Stop() ? S_OK : E_FAIL;
}

HRESULT CVxNmxLogger::NmxReceive(void* pCmd) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  engine->OnNmxReceive(static_cast<const NmxCmd*>(pCmd));
  return S_OK;
}

HRESULT CVxNmxLogger::FilterNmxCmd(void* pCmd, VARIANT_BOOL* pDrop) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  if (!pDrop) return E_POINTER;
  *pDrop = ToVariantBool(engine->FilterNmxCmd(static_cast<const NmxCmd*>(pCmd)));
  return S_OK;
}

HRESULT CVxNmxLogger::GetCaptureInfo(LONG* pnFrames, ULONG* pcbFrames, ULONG* pnOverflows) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  LONG nFrames = 0;
  ULONG cbFrames = 0, nOverflows = 0;
  engine->GetCaptureInfo(nFrames, cbFrames, nOverflows);
  if (pnFrames) *pnFrames = nFrames;
  if (pcbFrames) *pcbFrames = cbFrames;
  if (pnOverflows) *pnOverflows = nOverflows;
  return S_OK;
}

HRESULT CVxNmxLogger::LoadXmlSettings(BSTR bstrXml) {
  return LoadXmlSettingsEx(bstrXml, VARIANT_FALSE);
}

HRESULT CVxNmxLogger::LoadXmlSettingsEx(BSTR bstrXmlOrPath, VARIANT_BOOL bIsFile) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  try {
    return engine->LoadXmlSettings(bstrXmlOrPath, bIsFile == VARIANT_TRUE) ? S_OK : E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT CVxNmxLogger::get_EnableViewerConnection(VARIANT_BOOL* pbEnable) {
  CViewerService* service = GetService();
  if (!service) return E_FAIL;
  if (!pbEnable) return E_POINTER;
  *pbEnable = ToVariantBool(service->IsConnected());
  return S_OK;
}

HRESULT CVxNmxLogger::put_EnableViewerConnection(VARIANT_BOOL bEnable) {
  CViewerService* service = GetService();
  if (!service) return E_FAIL;
  return ViewerResult(bEnable == VARIANT_TRUE ? service->Connect() : service->Disconnect());
}

HRESULT CVxNmxLogger::get_IsStarted(VARIANT_BOOL* pbStarted) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  if (!pbStarted) return E_POINTER;
  *pbStarted = ToVariantBool(engine->IsStarted());
  return S_OK;
}

HRESULT CVxNmxLogger::get_IsConnectedToViewer(VARIANT_BOOL* pbConnected) {
  CViewerService* service = GetService();
  if (!service) return E_FAIL;
  if (!pbConnected) return E_POINTER;
  *pbConnected = ToVariantBool(service->IsConnectedToViewer());
  return S_OK;
}

HRESULT CVxNmxLogger::get_ConnectionPort(LONG* pnPort) {
  CViewerService* service = GetService();
  if (!service) return E_FAIL;
  if (!pnPort) return E_POINTER;
  *pnPort = service->GetConnectionPort();
  return S_OK;
}

HRESULT CVxNmxLogger::put_ConnectionPort(LONG nPort) {
  CViewerService* service = GetService();
  if (!service) return E_FAIL;
  service->SetConnectionPort(nPort);
  return S_OK;
}

HRESULT CVxNmxLogger::TakeWriteError(LONG* phrError) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  if (!phrError) return E_POINTER;
  HRESULT hr = S_OK;
  const bool taken = engine->TakeWriteError(hr);
  *phrError = taken ? hr : 0;
  return taken ? S_OK : S_FALSE;
}

HRESULT CVxNmxLogger::TakeNotice(char* szText, DWORD cbText) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  if (!szText || cbText == 0) return E_POINTER;
  CString text;
  const bool taken = engine->TakeNotice(text);
  snprintf(szText, cbText, "%s", taken ? static_cast<const char*>(text) : "");
  return taken ? S_OK : S_FALSE;
}

HRESULT CVxNmxLogger::GetRingDroppedFrames(ULONGLONG* pnFrames) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  if (!pnFrames) return E_POINTER;
  *pnFrames = engine->GetRingDroppedFrames();
  return S_OK;
}

HRESULT CVxNmxLogger::GetStartError(LONG* phrError) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  if (!phrError) return E_POINTER;
  *phrError = engine->GetStartError();
  return *phrError == S_OK ? S_FALSE : S_OK;
}

HRESULT CVxNmxLogger::GetDroppedFrames(ULONGLONG* pnDropped) {
  CNmxLogger* engine = GetEngine();
  if (!engine) return E_FAIL;
  if (!pnDropped) return E_POINTER;
  *pnDropped = engine->GetDroppedFrames();
  return S_OK;
}
