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

  void SetFileSize(ULONG cbFileSize) override;
  void SetBufferSize(ULONG cbBufferSize) override;
  void SetAutoSave(bool bAutoSave) override;
  void SetSaveFileName(const char* szName) override;
  void EnableRingBuffer(bool bEnable) override;
  ULONG OsUserGetFileSize() override;
  ULONG GetBufferSize() override;
  bool IsRingBuffer() override;
  bool GetAutoSave() override;
  CString GetSaveFileName() override;

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
