#include "capture/CaptureMngt.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "capture/CaptureFile.h"
#include "capture/RingBuffer.h"
#include "os/ByteOrder.h"
#include "support/VxLastError.h"

namespace {

// Space that runs out may come back (files are removed, a quota is raised); anything else
// means the file or its disk is broken.
bool IsTransientWriteError(HRESULT hr) {
  switch (static_cast<DWORD>(hr)) {
    case static_cast<DWORD>(HRESULT_FROM_OS_ERROR(ENOSPC)):
    case static_cast<DWORD>(HRESULT_FROM_OS_ERROR(EDQUOT)):
    case static_cast<DWORD>(HRESULT_FROM_OS_ERROR(EFBIG)):
    case static_cast<DWORD>(HRESULT_FROM_OS_ERROR(EINTR)):
    case static_cast<DWORD>(HRESULT_FROM_OS_ERROR(EAGAIN)):
    case static_cast<DWORD>(HRESULT_FROM_OS_ERROR(ENOMEM)):
    case static_cast<DWORD>(E_OUTOFMEMORY):
      return true;
    default:
      return false;
  }
}

}  // namespace

CCaptureMngt::CCaptureMngt(DWORD cbFileSize, DWORD cbBufferSize, DWORD nFileUpdateCycle,
                           LONG nRingBufferFiles, bool bOverwriteExisting)
    : m_cbFile(std::max(cbFileSize, kMinFileSize)),
      m_cbBuffer(std::min(cbBufferSize, m_cbFile / 2)),
      m_strSaveFileName(CopyName("Current.cap")),
      m_nRingBufferFiles(nRingBufferFiles),
      m_bOverwriteExisting(bOverwriteExisting),
      // The OS layer polls for time-outs beyond a signed 32-bit count; the thread would spin.
      m_nFileUpdateCycle(
          nFileUpdateCycle == INFINITE ? INFINITE : std::min<DWORD>(nFileUpdateCycle, 0x7FFFFFFF)) {
  m_hFileEvents[0] = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
  m_hFileEvents[1] = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
  m_hCopiedEvent = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
}

CCaptureMngt::~CCaptureMngt() {
  if (m_bStarted) Stop();
  delete m_pCaptureMem;
  delete m_pCaptureFile;
  delete[] m_strSaveFileName;
  delete[] m_strFolder;
  for (OS_USER_EVENT_HANDLE h : {m_hFileEvents[0], m_hFileEvents[1], m_hCopiedEvent})
    if (h) OsUserCloseHandle(h);
}

char* CCaptureMngt::CopyName(const char* s) {
  if (!s || !*s) return nullptr;
  const size_t len = strlen(s);
  char* copy = new (std::nothrow) char[len + 1];
  if (copy) memcpy(copy, s, len + 1);
  return copy;
}

// ---- Settings -----------------------------------------------------------------------------

void CCaptureMngt::SetFileSize(DWORD cbFileSize) {
  COsCsLock file(m_csFile);
  if (m_bStarted) return;
  m_cbFile = std::max(cbFileSize, kMinFileSize);
  m_cbBuffer = std::min(m_cbBuffer, m_cbFile / 2);
}

DWORD CCaptureMngt::OsUserGetFileSize() {
  COsCsLock file(m_csFile);
  return m_cbFile;
}

void CCaptureMngt::SetBufferSize(DWORD cbBufferSize) {
  COsCsLock file(m_csFile);
  if (m_bStarted) return;
  m_cbBuffer = std::min(cbBufferSize, m_cbFile / 2);
}

DWORD CCaptureMngt::GetBufferSize() {
  COsCsLock file(m_csFile);
  return m_cbBuffer;
}

void CCaptureMngt::EnableRingBuffer(bool bEnable) {
  COsCsLock file(m_csFile);
  if (!m_bStarted) m_bRingBuffer = bEnable;
}

bool CCaptureMngt::IsRingBuffer() {
  COsCsLock file(m_csFile);
  return m_bRingBuffer;
}

void CCaptureMngt::SetRingBufferFileCount(LONG nRingBufferFiles) {
  COsCsLock file(m_csFile);
  m_nRingBufferFiles = nRingBufferFiles;
}

LONG CCaptureMngt::GetRingBufferFileCount() {
  COsCsLock file(m_csFile);
  return m_nRingBufferFiles;
}

void CCaptureMngt::SetOverwriteExisting(bool bOverwrite) {
  COsCsLock file(m_csFile);
  m_bOverwriteExisting = bOverwrite;
}

bool CCaptureMngt::GetOverwriteExisting() {
  COsCsLock file(m_csFile);
  return m_bOverwriteExisting;
}

void CCaptureMngt::SetSaveFileName(const char* strFileName) {
  char* copy = CopyName(strFileName);
  COsCsLock file(m_csFile);
  delete[] m_strSaveFileName;
  m_strSaveFileName = copy;
}

char* CCaptureMngt::GetSaveFileName() {
  COsCsLock file(m_csFile);
  return CopyName(m_strSaveFileName);
}

void CCaptureMngt::SetFolderName(const char* strFolder) {
  char* copy = CopyName(strFolder);
  COsCsLock file(m_csFile);
  delete[] m_strFolder;
  m_strFolder = copy;
}

void CCaptureMngt::SetAutoSave(bool bAutoSave) {
  COsCsLock file(m_csFile);
  m_bAutoSave = bAutoSave;
}

bool CCaptureMngt::GetAutoSave() {
  COsCsLock file(m_csFile);
  return m_bAutoSave;
}

CString CCaptureMngt::GetErrorString() {
  COsCsLock file(m_csFile);
  return m_sErr;
}

// ---- Start and stop -----------------------------------------------------------------------

HRESULT CCaptureMngt::Start() {
  COsCsLock control(m_csControl);
  COsCsLock file(m_csFile);
  COsCsLock mem(m_csMem);
  m_sErr.Empty();
  if (m_bStarted) return E_FAIL;
  const HRESULT hr = StartLocked();
  // Whoever reports the failure must be able to say why.
  if (FAILED(hr) && m_sErr.IsEmpty()) m_sErr = DescribeFailure(hr);
  return hr;
}

CString CCaptureMngt::DescribeFailure(HRESULT hr) {
  CString text;
  if (hr == E_OUTOFMEMORY)
    text = "Out of memory";
  else if ((static_cast<DWORD>(hr) & 0xFFFF0000u) == 0x80070000u)
    text = strerror(static_cast<int>(hr & 0xFFFF));
  else
    text.Format("Error 0x%08X", static_cast<unsigned>(hr));
  return text;
}

HRESULT CCaptureMngt::StartLocked() {
  if (!m_hFileEvents[0] || !m_hFileEvents[1] || !m_hCopiedEvent) return E_OUTOFMEMORY;

  m_bFull = false;
  m_bFailed = false;
  m_hrWriteError = S_OK;
  m_bFileLostNoted = false;
  m_notices.clear();
  m_nOverflowCount = 0;
  m_nOverflowFrames = 0;
  m_cbOverflowFrames = 0;
  m_nDroppedFrames = 0;
  m_cbDroppedFrames = 0;
  m_nFramesNotStored = 0;
  m_nFrames = 0;
  m_cbFrames = 0;
  m_nNextFrame = 0;
  m_nNextMemPos = 0;
  delete m_pCaptureFile;
  m_pCaptureFile = nullptr;
  delete m_pCaptureMem;
  m_pCaptureMem = nullptr;

  if (m_bRingBuffer) {
    const LONG n = std::clamp(m_nRingBufferFiles, CRingBuffer::kMinFiles, CRingBuffer::kMaxFiles);
    m_cbBuffer = std::min(m_cbBuffer, m_cbFile / static_cast<DWORD>(n) / 2);
  }
  // The buffer before the file: a start that cannot have its buffer touches nothing on disk.
  m_pCaptureMem = new (std::nothrow) CCaptureMem;
  HRESULT hr = m_pCaptureMem ? m_pCaptureMem->Create(m_cbBuffer) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete m_pCaptureMem;
    m_pCaptureMem = nullptr;
    m_sErr.Format("Out of memory for a capture buffer of %u bytes",
                  static_cast<unsigned>(m_cbBuffer));
    return hr;
  }

  m_pCaptureFile = NewCaptureObject();
  hr = !m_pCaptureFile ? E_OUTOFMEMORY
       : m_bAutoSave && m_strSaveFileName
           ? m_pCaptureFile->Create(m_cbFile, m_strFolder, m_strSaveFileName, false)
           : m_pCaptureFile->Create(m_cbFile);
  if (FAILED(hr)) {
    if (m_pCaptureFile) m_sErr = m_pCaptureFile->GetErrorString();
    delete m_pCaptureMem;
    m_pCaptureMem = nullptr;
    return hr;
  }
  // A ring that continued an earlier capture starts with its frames.
  m_nFrames = m_pCaptureFile->GetFrameCount();
  m_pCaptureFile->GetSizeOfFrames(m_cbFrames);
  RebaseBuffer();

  OsUserResetEvent(m_hFileEvents[0]);
  OsUserResetEvent(m_hFileEvents[1]);
  OsUserResetEvent(m_hCopiedEvent);
  m_bFileThreadEnded = false;
  m_hFileThread = OsUserCreateThread(nullptr, 0, FileThreadProc, this, 0, &m_dwFileThreadId);
  if (!m_hFileThread) {
    hr = VxHResultFromLastError();
    m_sErr = "No file thread";
    m_bFileThreadEnded = true;
    delete m_pCaptureMem;
    m_pCaptureMem = nullptr;
    m_pCaptureFile->Truncate();
    m_pCaptureFile->CloseFile();
    return hr;
  }
  m_bStarted = true;
  return S_OK;
}

CCaptureFileBase* CCaptureMngt::NewCaptureObject() {
  if (m_bRingBuffer)
    return new (std::nothrow) CRingBuffer(m_nRingBufferFiles, this, m_bOverwriteExisting);
  return new (std::nothrow) CCaptureFile;
}

HRESULT CCaptureMngt::Stop() {
  COsCsLock control(m_csControl);
  if (!m_bStarted) return E_FAIL;
  OsUserSetEvent(m_hFileEvents[0]);
  OsUserWaitForSingleObject(m_hFileThread, INFINITE);
  OsUserCloseHandle(m_hFileThread);
  m_hFileThread = nullptr;

  // A writer that raced with the stop may have stored frames after the thread's last copy.
  COsCsLock write(m_csWrite);
  CopyFramesToFile();
  COsCsLock file(m_csFile);
  COsCsLock mem(m_csMem);
  // What is still buffered now never reaches the disk: the count follows the file.
  if (HasUncopiedFrames()) {
    const LONG n = m_pCaptureMem->GetStartFrame() + m_pCaptureMem->GetFrameCount() - m_nNextFrame;
    m_nFrames -= n;
    m_cbFrames -= m_pCaptureMem->GetSize() - m_nNextMemPos;
    CountNotStored(static_cast<ULONGLONG>(n));
  }
  delete m_pCaptureMem;
  m_pCaptureMem = nullptr;
  HRESULT hr = m_pCaptureFile->Truncate();
  if (FAILED(hr)) NoteWriteError(hr);
  const HRESULT hrClose = m_pCaptureFile->CloseFile();
  if (FAILED(hrClose)) NoteWriteError(hrClose);
  for (CString notice = m_pCaptureFile->TakeNotice(); !notice.IsEmpty();
       notice = m_pCaptureFile->TakeNotice())
    AddNotice(notice);
  m_bStarted = false;
  return hr;
}

// ---- File thread --------------------------------------------------------------------------

DWORD CCaptureMngt::FileThreadProc(LPVOID pParam) {
  static_cast<CCaptureMngt*>(pParam)->FileThread();
  return 0;
}

// When the thread ends (stopped, or the single file became full) it signals the copy event
// once more: a writer that asked for a copy the thread will no longer make is released and
// then finds the file full or the capture stopping.
void CCaptureMngt::FileThread() {
  while (!m_bFull && !m_bFailed) {
    const DWORD w = OsUserWaitForMultipleObjects(2, m_hFileEvents, FALSE, m_nFileUpdateCycle);
    CopyFramesToFile();
    if (w == WAIT_OBJECT_0 + 1) OsUserSetEvent(m_hCopiedEvent);
    if (w == WAIT_OBJECT_0) break;
    if (w == WAIT_FAILED) OsUserSleep(10);
  }
  m_bFileThreadEnded = true;
  OsUserSetEvent(m_hCopiedEvent);
}

bool CCaptureMngt::HasUncopiedFrames() {
  return m_pCaptureMem &&
         m_pCaptureMem->GetStartFrame() + m_pCaptureMem->GetFrameCount() > m_nNextFrame;
}

void CCaptureMngt::RebaseBuffer() {
  m_pCaptureMem->Clear(true);
  m_pCaptureMem->SetStartFrame(m_nFrames);
  m_pCaptureMem->SetStartOffset(m_cbFrames + vxcap::kHeaderSize);
  m_nNextFrame = m_nFrames;
  m_nNextMemPos = 0;
}

void CCaptureMngt::NoteWriteError(HRESULT hr) {
  if (m_hrWriteError == S_OK) m_hrWriteError = hr;
  if (!IsTransientWriteError(hr)) m_bFailed = true;
}

HRESULT CCaptureMngt::GetWriteError() {
  COsCsLock mem(m_csMem);
  return m_hrWriteError;
}

// Frames that did not reach the disk stay in the buffer and are copied by the next call, so
// frame numbers always agree with the disk (a ring may store part of a batch before failing).
// After a failure that more writes cannot cure nothing more is written.
HRESULT CCaptureMngt::CopyFramesToFile() {
  COsCsLock file(m_csFile);
  CheckFilesInPlace();
  COsCsLock mem(m_csMem);
  if (!m_pCaptureMem || !m_pCaptureFile) return E_FAIL;
  const LONG n = m_pCaptureMem->GetStartFrame() + m_pCaptureMem->GetFrameCount() - m_nNextFrame;
  if (n <= 0 || m_bFull || m_bFailed) return S_OK;
  const DWORD c = m_pCaptureMem->GetSize() - m_nNextMemPos;
  if (!m_bRingBuffer &&
      static_cast<ULONGLONG>(c) + 4ull * static_cast<ULONGLONG>(n) + m_pCaptureFile->GetSize() >
          m_pCaptureFile->GetMaxSize()) {
    m_bFull = true;
    return S_OK;
  }
  const DWORD overflows = m_nOverflowCount;
  const LONGLONG droppedBefore = m_nDroppedFrames;
  const LONG framesBefore = m_pCaptureFile->GetFrameCount();
  DWORD cbBefore = 0;
  m_pCaptureFile->GetSizeOfFrames(cbBefore);
  const HRESULT hr = m_pCaptureMem->CopyTo(m_pCaptureFile, m_nNextFrame, 0);
  if (FAILED(hr)) NoteWriteError(hr);
  if (m_nOverflowCount != overflows) {
    // OnOverflow took the new totals from the ring; the buffered frames are on disk (or, after
    // a failure, no longer counted), so the buffer starts empty behind them.
    if (FAILED(hr)) {
      const LONGLONG written =
          m_pCaptureFile->GetFrameCount() - framesBefore + (m_nDroppedFrames - droppedBefore);
      if (written < n) CountNotStored(static_cast<ULONGLONG>(n - written));
    }
    RebaseBuffer();
  } else if (SUCCEEDED(hr)) {
    m_nNextFrame += n;
    m_nNextMemPos += c;
  } else {
    DWORD cbAfter = 0;
    m_pCaptureFile->GetSizeOfFrames(cbAfter);
    const LONG gained = m_pCaptureFile->GetFrameCount() - framesBefore;
    if (gained > 0 && gained <= n && cbAfter - cbBefore <= c) {
      m_nNextFrame += gained;
      m_nNextMemPos += cbAfter - cbBefore;
    }
  }
  return hr;
}

void CCaptureMngt::CheckFilesInPlace() {
  if (m_bFileLostNoted || !m_pCaptureFile) return;
  const char* lost = m_pCaptureFile->LostFilePath();
  if (!lost) return;
  m_bFileLostNoted = true;
  char shown[vxcap::kMaxCapturePath + 1];
  snprintf(shown, sizeof shown, "%s", lost);
  OsUserNormalizePath(shown);
  CString text;
  text.Format("Capture file %s was removed or replaced while capturing; the capture goes on and "
              "is written again when it stops",
              shown);
  COsCsLock mem(m_csMem);
  AddNotice(text);
}

void CCaptureMngt::AddNotice(const CString& text) {
  // Bounded: a capture has few files and each is noted once, but a caller that never reads
  // must not make this grow.
  if (m_notices.size() < 32) m_notices.push_back(text);
}

bool CCaptureMngt::TakeNotice(CString& text) {
  COsCsLock mem(m_csMem);
  if (m_notices.empty()) return false;
  text = m_notices.front();
  m_notices.erase(m_notices.begin());
  return true;
}

HRESULT CCaptureMngt::OnOverflow(LONG nFrames, DWORD cbFrames) {
  COsCsLock file(m_csFile);
  COsCsLock mem(m_csMem);
  if (m_pCaptureFile) {
    m_nFrames = m_pCaptureFile->GetFrameCount();
    m_pCaptureFile->GetSizeOfFrames(m_cbFrames);
  }
  m_nOverflowFrames = nFrames;
  m_cbOverflowFrames = cbFrames;
  m_nDroppedFrames += nFrames;
  m_cbDroppedFrames += cbFrames;
  if (++m_nOverflowCount == 0) m_nOverflowCount = 1;
  m_nNextFrame = m_nFrames;
  m_nNextMemPos = 0;
  return S_OK;
}

// ---- Writing ------------------------------------------------------------------------------

HRESULT CCaptureMngt::WriteToBuffer(const FRAME* pFrame, DWORD cbFrame) {
  const HRESULT hr = m_pCaptureMem->WriteFrame(pFrame, cbFrame);
  if (SUCCEEDED(hr)) {
    ++m_nFrames;
    m_cbFrames += cbFrame;
  }
  return hr;
}

HRESULT CCaptureMngt::WriteFrame(const FRAME* pFrame) {
  if (!pFrame) return E_POINTER;
  const DWORD frameLength =
      vx::DecodeLE32(reinterpret_cast<const BYTE*>(pFrame) + vxcap::kRecFrameLength);
  if (frameLength > 0xFFFFFFFFu - vxcap::kRecordHeadSize) return E_FAIL;
  const DWORD cb = frameLength + vxcap::kRecordHeadSize;

  COsCsLock write(m_csWrite);
  if (!m_bStarted) return E_FAIL;
  const HRESULT hr = StoreFrame(pFrame, cb);
  if (hr != S_OK) {
    COsCsLock mem(m_csMem);
    CountNotStored(1);
  }
  return hr;
}

bool CCaptureMngt::TakesNoMoreFrames() const {
  return (!m_bRingBuffer && m_bFull) || m_bFailed;
}

HRESULT CCaptureMngt::StoreFrame(const FRAME* pFrame, DWORD cb) {
  if (TakesNoMoreFrames()) return S_FALSE;
  DWORD cbMaxBuffer = 0;
  {
    COsCsLock mem(m_csMem);
    cbMaxBuffer = m_pCaptureMem->GetMaxSize();
    if (static_cast<ULONGLONG>(m_pCaptureMem->GetSize()) + cb <= cbMaxBuffer)
      return WriteToBuffer(pFrame, cb);
  }

  // The buffer is full: have every outstanding frame copied before it is reused.
  if (m_bFileThreadEnded) {
    CopyFramesToFile();
  } else {
    OsUserSetEvent(m_hFileEvents[1]);
    if (OsUserWaitForSingleObject(m_hCopiedEvent, INFINITE) != WAIT_OBJECT_0) return E_FAIL;
  }
  if (TakesNoMoreFrames()) return S_FALSE;

  if (cb > cbMaxBuffer) return WriteBypassingBuffer(pFrame, cb);

  COsCsLock mem(m_csMem);
  // Frames the disk did not take are kept rather than overwritten; this frame is refused.
  if (HasUncopiedFrames()) return E_FAIL;
  HRESULT hr = m_pCaptureMem->Clear(false);
  if (FAILED(hr)) return hr;
  m_nNextMemPos = 0;
  return WriteToBuffer(pFrame, cb);
}

HRESULT CCaptureMngt::WriteBypassingBuffer(const FRAME* pFrame, DWORD cbFrame) {
  COsCsLock file(m_csFile);
  if (!m_bRingBuffer && static_cast<ULONGLONG>(cbFrame) + m_pCaptureFile->GetSize() + 4 >
                            m_pCaptureFile->GetMaxSize()) {
    m_bFull = true;
    return S_FALSE;
  }
  COsCsLock mem(m_csMem);
  if (HasUncopiedFrames()) return E_FAIL;
  const DWORD overflows = m_nOverflowCount;
  const HRESULT hr = m_pCaptureFile->WriteFrame(pFrame, cbFrame);
  if (FAILED(hr)) NoteWriteError(hr);
  if (m_nOverflowCount != overflows) {
    RebaseBuffer();
    return hr;
  }
  if (FAILED(hr)) return hr;
  ++m_nFrames;
  m_cbFrames += cbFrame;
  const HRESULT hrClear = m_pCaptureMem->Clear(true);
  m_pCaptureMem->SetStartFrame(m_nFrames);
  m_pCaptureMem->SetStartOffset(m_pCaptureFile->GetSize() - m_pCaptureFile->GetSizeOfTable());
  m_nNextFrame = m_nFrames;
  m_nNextMemPos = 0;
  return hrClear;
}

// ---- Saving and naming --------------------------------------------------------------------

HRESULT CCaptureMngt::SaveCaptureAs(const char* szFileName) {
  COsCsLock file(m_csFile);
  if (m_bStarted || !m_pCaptureFile || !szFileName) return E_FAIL;
  return m_pCaptureFile->SaveCaptureAs(szFileName, true, 0, -1);
}

bool CCaptureMngt::IsForeignSaveFile(const char* szFileName) {
  if (!szFileName || !*szFileName) return false;
  char folder[vxcap::kMaxCapturePath + 1] = {};
  {
    COsCsLock file(m_csFile);
    if (m_strFolder) snprintf(folder, sizeof folder, "%s", m_strFolder);
  }
  if (!*folder && CCaptureFile::GetBootPrjPath(folder, sizeof folder) != 0) return false;
  char path[vxcap::kMaxCapturePath + 1];
  return vxcap::JoinPath(path, folder, szFileName) && vxcap::IsForeignFile(path);
}

HRESULT CCaptureMngt::GetFileName(DWORD dwBufferLength, char* szFileName) {
  COsCsLock file(m_csFile);
  if (!m_pCaptureFile) return E_FAIL;
  return m_pCaptureFile->GetFileName(dwBufferLength, szFileName);
}

// ---- Information and reads ----------------------------------------------------------------

bool CCaptureMngt::GetCaptureInfo(LONG& nFrames, DWORD& cbFrames, DWORD& nOverflowCount) {
  COsCsLock file(m_csFile);
  COsCsLock mem(m_csMem);
  nFrames = m_nFrames;
  cbFrames = m_cbFrames;
  nOverflowCount = m_nOverflowCount;
  return true;
}

bool CCaptureMngt::GetCaptureInfo(LONG& nFrames, DWORD& cbFrames, DWORD& nOverflowCount,
                                  LONGLONG& nDroppedFrames, ULONGLONG& cbDroppedFrames) {
  COsCsLock file(m_csFile);
  COsCsLock mem(m_csMem);
  nFrames = m_nFrames;
  cbFrames = m_cbFrames;
  nOverflowCount = m_nOverflowCount;
  nDroppedFrames = m_nDroppedFrames;
  cbDroppedFrames = m_cbDroppedFrames;
  return true;
}

ULONGLONG CCaptureMngt::GetFramesNotStored() {
  COsCsLock mem(m_csMem);
  return m_nFramesNotStored;
}

bool CCaptureMngt::GetOverflowInfo(LONG& nFrames, DWORD& cbFrames) {
  COsCsLock file(m_csFile);
  COsCsLock mem(m_csMem);
  nFrames = m_nOverflowFrames;
  cbFrames = m_cbOverflowFrames;
  return true;
}

// Frame numbers change only under both locks, so a read holding either lock sees one
// numbering. A read that finds its frame on disk re-checks under the file lock, since the
// numbering may have moved while it held no lock.
HRESULT CCaptureMngt::ReadFrames(DWORD cbSize, BYTE* pData, LONG nStartFrame, LONG nFrames,
                                 DWORD& cbFramesRead, LONG& nFramesRead,
                                 TIncompleteFrame& incompleteFrame) {
  cbFramesRead = 0;
  nFramesRead = 0;
  {
    COsCsLock mem(m_csMem);
    if (nStartFrame < 0 || nStartFrame >= m_nFrames) return E_FAIL;
    if (m_pCaptureMem && m_pCaptureMem->IsFrameInTable(nStartFrame))
      return m_pCaptureMem->ReadFrames(cbSize, pData, nStartFrame, nFrames, cbFramesRead,
                                       nFramesRead, incompleteFrame);
  }
  COsCsLock file(m_csFile);
  {
    COsCsLock mem(m_csMem);
    if (nStartFrame >= m_nFrames) return E_FAIL;
    if (m_pCaptureMem && m_pCaptureMem->IsFrameInTable(nStartFrame))
      return m_pCaptureMem->ReadFrames(cbSize, pData, nStartFrame, nFrames, cbFramesRead,
                                       nFramesRead, incompleteFrame);
  }
  if (!m_pCaptureFile || !m_pCaptureFile->IsFrameInTable(nStartFrame)) return E_FAIL;
  DWORD cb = 0;
  LONG n = 0;
  HRESULT hr =
      m_pCaptureFile->ReadFrames(cbSize, pData, nStartFrame, nFrames, cb, n, incompleteFrame);
  if (FAILED(hr)) return hr;
  cbFramesRead = cb;
  nFramesRead = n;
  if (cb < cbSize && n < nFrames && incompleteFrame.cbSize == 0) {
    COsCsLock mem(m_csMem);
    const LONG next = nStartFrame + n;
    if (m_pCaptureMem && m_pCaptureMem->IsFrameInTable(next)) {
      DWORD cb2 = 0;
      LONG n2 = 0;
      TIncompleteFrame more = {0, 0};
      // A failed continuation leaves the disk part, which is complete in itself.
      if (SUCCEEDED(m_pCaptureMem->ReadFrames(cbSize - cb, pData + cb, next, nFrames - n, cb2, n2,
                                              more))) {
        cbFramesRead += cb2;
        nFramesRead += n2;
        incompleteFrame = more;
      }
    }
  }
  return hr;
}

HRESULT CCaptureMngt::ReadIncompleteFrame(DWORD cbSize, BYTE* pData, LONG nStartFrame,
                                          DWORD& cbRead, TIncompleteFrame& incompleteFrame) {
  cbRead = 0;
  {
    COsCsLock mem(m_csMem);
    if (nStartFrame < 0 || nStartFrame >= m_nFrames) return E_FAIL;
    if (m_pCaptureMem && m_pCaptureMem->IsFrameInTable(nStartFrame))
      return m_pCaptureMem->ReadIncompleteFrame(cbSize, pData, nStartFrame, cbRead,
                                                incompleteFrame);
  }
  COsCsLock file(m_csFile);
  {
    COsCsLock mem(m_csMem);
    if (nStartFrame >= m_nFrames) return E_FAIL;
    if (m_pCaptureMem && m_pCaptureMem->IsFrameInTable(nStartFrame))
      return m_pCaptureMem->ReadIncompleteFrame(cbSize, pData, nStartFrame, cbRead,
                                                incompleteFrame);
  }
  if (!m_pCaptureFile || !m_pCaptureFile->IsFrameInTable(nStartFrame)) return E_FAIL;
  return m_pCaptureFile->ReadIncompleteFrame(cbSize, pData, nStartFrame, cbRead, incompleteFrame);
}
