#include "engine/ViewerEngineFace.h"

#include "engine/NmxLogger.h"

void CViewerEngineFace::SetListener(IEngineListener* pListener) {
  m_engine.SetEngineListener(pListener);
}

bool CViewerEngineFace::Start() {
  return m_engine.Start();
}

bool CViewerEngineFace::Stop() {
  return m_engine.Stop();
}

bool CViewerEngineFace::IsStarted() const {
  return m_engine.IsStarted();
}

bool CViewerEngineFace::LoadXmlSettings(const char* textOrPath, bool isFile) {
  return m_engine.LoadXmlSettings(textOrPath, isFile);
}

CaptureSettings CViewerEngineFace::GetCaptureSettings() {
  return m_engine.GetCaptureSettings();
}

void CViewerEngineFace::ChangeCaptureSettings(const std::function<void(CaptureSettings&)>& change) {
  m_engine.ChangeCaptureSettings(change);
}

bool CViewerEngineFace::GetCaptureInfo(LONG& nFrames, ULONG& cbFrames, ULONG& nOverflows) {
  return m_engine.GetCaptureInfo(nFrames, cbFrames, nOverflows);
}

ULONGLONG CViewerEngineFace::GetDroppedFrames() const {
  return m_engine.GetDroppedFrames();
}

HRESULT CViewerEngineFace::GetFileName(DWORD cbBuffer, char* szBuffer) {
  return m_engine.GetFileName(cbBuffer, szBuffer);
}

HRESULT CViewerEngineFace::SaveCaptureAs(const char* szName) {
  return m_engine.SaveCaptureAs(szName);
}

CCaptureMngt* CViewerEngineFace::GetCaptureMngt() {
  return m_engine.GetCaptureMngt();
}

HRESULT CViewerEngineFace::SetIncludeTable(const BYTE* table, DWORD cb) {
  return m_engine.SetIncludeTable(table, cb);
}

HRESULT CViewerEngineFace::SetExcludeTable(const BYTE* table, DWORD cb) {
  return m_engine.SetExcludeTable(table, cb);
}

HRESULT CViewerEngineFace::SetFilterFlags(DWORD dwFlags) {
  return m_engine.SetFilterFlags(dwFlags);
}

CNmxFilter& CViewerEngineFace::Filters() {
  return m_engine.Filters();
}
