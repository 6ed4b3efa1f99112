// IViewerEngine: the capture engine as the viewer service sees it: start and stop, the
// settings document, the capture settings and state a viewer reads and sets, and the traffic
// filters. The engine hands it out (CNmxLogger::ViewerFace()); the service reaches the engine
// only through it, and hears back through IEngineListener.
#pragma once

#include <functional>

#include "capture/CaptureMngt.h"
#include "capture/CaptureSettings.h"
#include "engine/IEngineListener.h"
#include "nmx/NmxFilter.h"
#include "os/OsTypes.h"
#include "os/VxString.h"

// Thread-safety and results as CNmxLogger's operations of the same names.
class IViewerEngine {
 public:
  // The one listener (null: none). Waits for a start or a settings document in progress, so
  // that a listener removed here is not called any more.
  virtual void SetListener(IEngineListener* pListener) = 0;

  virtual bool Start() = 0;
  virtual bool Stop() = 0;
  virtual bool IsStarted() const = 0;
  // May throw what the XML parser throws.
  virtual bool LoadXmlSettings(const char* textOrPath, bool isFile) = 0;

  // Capture settings, read whole and changed in one step.
  virtual CaptureSettings GetCaptureSettings() = 0;
  virtual void ChangeCaptureSettings(const std::function<void(CaptureSettings&)>& change) = 0;

  // The capture.
  virtual bool GetCaptureInfo(LONG& nFrames, ULONG& cbFrames, ULONG& nOverflows) = 0;
  virtual ULONGLONG GetDroppedFrames() const = 0;
  virtual HRESULT GetFileName(DWORD cbBuffer, char* szBuffer) = 0;
  virtual HRESULT SaveCaptureAs(const char* szName) = 0;
  // The capture manager, which views read; lives as long as the engine.
  virtual CCaptureMngt* GetCaptureMngt() = 0;

  // Filters: the table and flag setters are refused while capturing; the rest is the
  // filter's own.
  virtual HRESULT SetIncludeTable(const BYTE* table, DWORD cb) = 0;
  virtual HRESULT SetExcludeTable(const BYTE* table, DWORD cb) = 0;
  virtual HRESULT SetFilterFlags(DWORD dwFlags) = 0;
  virtual CNmxFilter& Filters() = 0;

 protected:
  ~IViewerEngine() = default;
};
