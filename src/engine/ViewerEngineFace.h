// CViewerEngineFace: the IViewerEngine of a CNmxLogger, which owns it. Each operation is the
// engine's operation of the same name.
#pragma once

#include "engine/IViewerEngine.h"

class CNmxLogger;

class CViewerEngineFace final : public IViewerEngine {
 public:
  explicit CViewerEngineFace(CNmxLogger& engine) : m_engine(engine) {}
  CViewerEngineFace(const CViewerEngineFace&) = delete;
  CViewerEngineFace& operator=(const CViewerEngineFace&) = delete;

  void SetListener(IEngineListener* pListener) override;
  bool Start() override;
  bool Stop() override;
  bool IsStarted() const override;
  bool LoadXmlSettings(const char* textOrPath, bool isFile) override;

  CaptureSettings GetCaptureSettings() override;
  void ChangeCaptureSettings(const std::function<void(CaptureSettings&)>& change) override;

  bool GetCaptureInfo(LONG& nFrames, ULONG& cbFrames, ULONG& nOverflows) override;
  ULONGLONG GetDroppedFrames() const override;
  HRESULT GetFileName(DWORD cbBuffer, char* szBuffer) override;
  HRESULT SaveCaptureAs(const char* szName) override;
  CCaptureMngt* GetCaptureMngt() override;

  HRESULT SetIncludeTable(const BYTE* table, DWORD cb) override;
  HRESULT SetExcludeTable(const BYTE* table, DWORD cb) override;
  HRESULT SetFilterFlags(DWORD dwFlags) override;
  CNmxFilter& Filters() override;

 private:
  CNmxLogger& m_engine;
};
