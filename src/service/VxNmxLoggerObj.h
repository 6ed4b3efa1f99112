// CVxNmxLogger: the logger component, the capture engine and its viewer service behind
// IVxNmxLogger2.
#pragma once

#include <atomic>

#include "engine/NmxLogger.h"
#include "engine/VxNmxLoggerItf.h"
#include "service/ComObject.h"
#include "service/ViewerService.h"

// Instantiated as CComObject<CVxNmxLogger> (DllGetVxNmxLogger). Adds no locking: calls go
// straight to the engine or the service, which are thread-safe, and each is published once
// (the service first, so that a published engine always has its service). Both are owned and
// destroyed with the object: the service first, so that no viewer can start a capture, then
// the engine, which stops a running capture.
class CVxNmxLogger : public CComObjectRootEx<CComSingleThreadModel>,
                     public CComCoClass<CVxNmxLogger, &CLSID_VxNmxLogger>,
                     public ISupportErrorInfo,
                     public IVxNmxLogger2 {
 public:
  // ISupportErrorInfo: 0 for IID_IVxNmxLogger, 1 for every other identifier.
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

  HRESULT Init(BOOL bOwnPort, IVxNmxLoggerCallback* pCallback) override;
  HRESULT Start() override;
  HRESULT Stop() override;
  HRESULT NmxReceive(void* pCmd) override;
  HRESULT FilterNmxCmd(void* pCmd, VARIANT_BOOL* pDrop) override;
  HRESULT GetCaptureInfo(LONG* pnFrames, ULONG* pcbFrames, ULONG* pnOverflows) override;
  HRESULT LoadXmlSettings(BSTR bstrXml) override;
  HRESULT get_EnableViewerConnection(VARIANT_BOOL* pbEnable) override;
  HRESULT put_EnableViewerConnection(VARIANT_BOOL bEnable) override;
  HRESULT get_IsStarted(VARIANT_BOOL* pbStarted) override;
  HRESULT get_IsConnectedToViewer(VARIANT_BOOL* pbConnected) override;
  HRESULT get_ConnectionPort(LONG* pnPort) override;
  HRESULT put_ConnectionPort(LONG nPort) override;
  HRESULT LoadXmlSettingsEx(BSTR bstrXmlOrPath, VARIANT_BOOL bIsFile) override;
  HRESULT GetDroppedFrames(ULONGLONG* pnDropped) override;
  HRESULT TakeWriteError(LONG* phrError) override;
  HRESULT TakeNotice(char* szText, DWORD cbText) override;
  HRESULT GetRingDroppedFrames(ULONGLONG* pnFrames) override;
  HRESULT GetStartError(LONG* phrError) override;

  // The engine and its viewer service, null before Init; for hosts inside this program and
  // for tests.
  CNmxLogger* GetEngine() const { return m_pNmxLogger.load(std::memory_order_acquire); }
  CViewerService* GetService() const { return m_pService.load(std::memory_order_acquire); }

 protected:
  CVxNmxLogger() = default;
  virtual ~CVxNmxLogger();

  // The interface for riid (not referenced), or null.
  void* InternalQueryInterface(REFIID riid);

 private:
  std::atomic<CViewerService*> m_pService{nullptr};
  std::atomic<CNmxLogger*> m_pNmxLogger{nullptr};
};
