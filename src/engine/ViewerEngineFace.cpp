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

void CViewerEngineFace::SetFileSize(ULONG cbFileSize) {
  m_engine.SetFileSize(cbFileSize);
}

void CViewerEngineFace::SetBufferSize(ULONG cbBufferSize) {
  m_engine.SetBufferSize(cbBufferSize);
}

void CViewerEngineFace::SetAutoSave(bool bAutoSave) {
  m_engine.SetAutoSave(bAutoSave);
}

void CViewerEngineFace::SetSaveFileName(const char* szName) {
  m_engine.SetSaveFileName(szName);
}

void CViewerEngineFace::EnableRingBuffer(bool bEnable) {
  m_engine.EnableRingBuffer(bEnable);
}

ULONG CViewerEngineFace::OsUserGetFileSize() {
  return m_engine.OsUserGetFileSize();
}

ULONG CViewerEngineFace::GetBufferSize() {
  return m_engine.GetBufferSize();
}

bool CViewerEngineFace::IsRingBuffer() {
  return m_engine.IsRingBuffer();
}

bool CViewerEngineFace::GetAutoSave() {
  return m_engine.GetAutoSave();
}

CString CViewerEngineFace::GetSaveFileName() {
  return m_engine.GetSaveFileName();
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
