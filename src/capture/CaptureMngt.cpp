#include "capture/CaptureMngt.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "capture/CaptureFile.h"
#include "capture/RingBuffer.h"
#include "os/ByteOrder.h"
#include "os/OsErrorText.h"
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

// Each append moves the file's frame table behind the new records, so a batch is handed to
// the disk only once it holds at least this share of the table: the bytes moved per frame
// stored stay bounded however full the file is.
constexpr DWORD kTableShare = 4;
// Each of the two buffers holds at most this much: the memory bound of a capture, whatever
// its file size.
constexpr DWORD kMaxBatchBuffer = 16u << 20;
// The smallest record with its table entry: a file's largest table is its size / 17.
constexpr DWORD kMinRecordWithEntry = vxcap::kRecordHeadSize + 48 + vxcap::kTableEntrySize;

// Null for an empty name: what the capture file takes as "none".
const char* NameOrNull(const std::string& s) {
  return s.empty() ? nullptr : s.c_str();
}

CaptureSettings InitialSettings(DWORD cbFileSize, DWORD cbBufferSize, LONG nRingBufferFiles,
                                bool bOverwriteExisting) {
  CaptureSettings s = DefaultCaptureSettings();
  s.cbFile = cbFileSize;
  s.cbBuffer = cbBufferSize;
  s.nRingBufferFiles = nRingBufferFiles;
  s.bOverwriteExisting = bOverwriteExisting;
  return ResolveCaptureSettings(s, s, false);
}

}  // namespace

CCaptureMngt::CCaptureMngt(DWORD cbFileSize, DWORD cbBufferSize, DWORD nFileUpdateCycle,
                           LONG nRingBufferFiles, bool bOverwriteExisting)
    : m_settings(InitialSettings(cbFileSize, cbBufferSize, nRingBufferFiles, bOverwriteExisting)),
      // The OS layer polls for time-outs beyond a signed 32-bit count; the thread would spin.
      m_nFileUpdateCycle(
          nFileUpdateCycle == INFINITE ? INFINITE : std::min<DWORD>(nFileUpdateCycle, 0x7FFFFFFF)) {
  for (OS_USER_EVENT_HANDLE& h : m_hFileEvents)
    h = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
  m_hCopiedEvent = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
}

CCaptureMngt::~CCaptureMngt() {
  if (m_bStarted) Stop();
  delete m_pCaptureMem;
  delete m_pFlushMem;
  delete m_pCaptureFile;
  for (OS_USER_EVENT_HANDLE h :
       {m_hFileEvents[0], m_hFileEvents[1], m_hFileEvents[2], m_hCopiedEvent})
    if (h) OsUserCloseHandle(h);
}

// ---- Settings -----------------------------------------------------------------------------

CaptureSettings CCaptureMngt::GetSettings() {
  COsCsLock file(m_csFile);
  return m_settings;
}

void CCaptureMngt::ChangeSettings(const std::function<void(CaptureSettings&)>& change) {
  COsCsLock file(m_csFile);
  CaptureSettings next = m_settings;
  change(next);
  m_settings = ResolveCaptureSettings(m_settings, std::move(next), m_bStarted);
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
  else if (const int err = OsErrorFromResult(hr))
    text = OsErrorText(err);
  else
    text.Format("Error 0x%08X", static_cast<unsigned>(hr));
  return text;
}

HRESULT CCaptureMngt::StartLocked() {
  if (!m_hFileEvents[0] || !m_hFileEvents[1] || !m_hFileEvents[2] || !m_hCopiedEvent)
    return E_OUTOFMEMORY;

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
  DeleteBuffers();

  DWORD cbPerFile = m_settings.cbFile;
  m_bRingRun = m_settings.bRingBuffer;
  if (m_settings.bRingBuffer) {
    const LONG n =
        std::clamp(m_settings.nRingBufferFiles, CRingBuffer::kMinFiles, CRingBuffer::kMaxFiles);
    m_settings.cbBuffer =
        std::min(m_settings.cbBuffer, m_settings.cbFile / static_cast<DWORD>(n) / 2);
    cbPerFile = CRingBuffer::FileSizeFor(m_settings.cbFile, n);
  }
  // The buffers before the file: a start that cannot have them touches nothing on disk.
  const DWORD cbEach = BatchBufferSize(m_settings.cbBuffer, cbPerFile);
  m_pCaptureMem = new (std::nothrow) CCaptureMem;
  m_pFlushMem = new (std::nothrow) CCaptureMem;
  HRESULT hr = m_pCaptureMem && m_pFlushMem ? m_pCaptureMem->Create(cbEach) : E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) hr = m_pFlushMem->Create(cbEach);
  if (FAILED(hr)) {
    DeleteBuffers();
    m_sErr.Format("Out of memory for a capture buffer of %u bytes",
                  static_cast<unsigned>(std::max(m_settings.cbBuffer, 2 * cbEach)));
    return hr;
  }
  m_cbEachBuffer = cbEach;
  m_cbMinBatch = cbEach / 2;
  m_cbBatch = m_cbMinBatch;

  m_pCaptureFile = NewCaptureObject();
  hr = !m_pCaptureFile ? E_OUTOFMEMORY
       : m_settings.bAutoSave && !m_settings.saveFileName.empty()
           ? m_pCaptureFile->Create(m_settings.cbFile, NameOrNull(m_settings.folder),
                                    m_settings.saveFileName.c_str(), false)
           : m_pCaptureFile->Create(m_settings.cbFile);
  if (FAILED(hr)) {
    if (m_pCaptureFile) m_sErr = m_pCaptureFile->GetErrorString();
    DeleteBuffers();
    return hr;
  }
  // A ring that continued an earlier capture starts with its frames.
  m_nFrames = m_pCaptureFile->GetFrameCount();
  m_pCaptureFile->GetSizeOfFrames(m_cbFrames);
  RebaseBuffer();
  UpdateBatchSize();

  for (OS_USER_EVENT_HANDLE h : m_hFileEvents) OsUserResetEvent(h);
  OsUserResetEvent(m_hCopiedEvent);
  m_bFileThreadEnded = false;
  m_hFileThread = OsUserCreateThread(nullptr, 0, FileThreadProc, this, 0, &m_dwFileThreadId);
  if (!m_hFileThread) {
    hr = VxHResultFromLastError();
    m_sErr = "No file thread";
    m_bFileThreadEnded = true;
    DeleteBuffers();
    m_pCaptureFile->Truncate();
    m_pCaptureFile->CloseFile();
    return hr;
  }
  m_bStarted = true;
  return S_OK;
}

CCaptureFileBase* CCaptureMngt::NewCaptureObject() {
  if (m_settings.bRingBuffer)
    return new (std::nothrow)
        CRingBuffer(m_settings.nRingBufferFiles, this, m_settings.bOverwriteExisting);
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
  if (m_nFrames > m_nNextFrame) {
    const LONG n = m_nFrames - m_nNextFrame;
    m_nFrames = m_pCaptureFile->GetFrameCount();
    m_pCaptureFile->GetSizeOfFrames(m_cbFrames);
    CountNotStored(static_cast<ULONGLONG>(n));
  }
  DeleteBuffers();
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
//
// A round hands the writer an empty buffer first and only then writes the full one, so the
// writer waits for the disk only when both buffers are full.
void CCaptureMngt::FileThread() {
  while (!m_bFull && !m_bFailed) {
    const DWORD w = OsUserWaitForMultipleObjects(3, m_hFileEvents, FALSE, m_nFileUpdateCycle);
    {
      COsCsLock file(m_csFile);
      CheckFilesInPlace();
      WriteFlushBuffer();  // what the disk refused last time comes first
      SwapBuffers();
      if (w == WAIT_OBJECT_0 + 1) OsUserSetEvent(m_hCopiedEvent);
      WriteFlushBuffer();
      UpdateBatchSize();
    }
    if (w == WAIT_OBJECT_0) break;
    if (w == WAIT_FAILED) OsUserSleep(10);
  }
  m_bFileThreadEnded = true;
  OsUserSetEvent(m_hCopiedEvent);
}

// The buffer size set is shared by the two buffers; a large file gets more, so that a batch
// can reach a quarter of the largest table its appends move, within the bound of each
// buffer and a quarter of a file.
DWORD CCaptureMngt::BatchBufferSize(DWORD cbBuffer, DWORD cbPerFile) {
  const DWORD forTable = cbPerFile / kMinRecordWithEntry * vxcap::kTableEntrySize / kTableShare * 2;
  return std::max(cbBuffer / 2, std::min({forTable, kMaxBatchBuffer, cbPerFile / 4}));
}

void CCaptureMngt::UpdateBatchSize() {
  const DWORD cbTable = m_pCaptureFile ? m_pCaptureFile->GetSizeOfTable() : 0;
  m_cbBatch = std::max(m_cbMinBatch, std::min(cbTable / kTableShare, m_cbEachBuffer / 2));
}

void CCaptureMngt::DeleteBuffers() {
  delete m_pCaptureMem;
  m_pCaptureMem = nullptr;
  delete m_pFlushMem;
  m_pFlushMem = nullptr;
}

LONG CCaptureMngt::UnwrittenInFlush() {
  if (!m_pFlushMem) return 0;
  return std::max<LONG>(0,
                        m_pFlushMem->GetStartFrame() + m_pFlushMem->GetFrameCount() - m_nNextFrame);
}

void CCaptureMngt::RebaseBuffer() {
  for (CCaptureMem* mem : {m_pCaptureMem, m_pFlushMem}) {
    mem->Clear(true);
    mem->SetStartFrame(m_nFrames);
    mem->SetStartOffset(m_cbFrames + vxcap::kHeaderSize);
  }
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

HRESULT CCaptureMngt::CopyFramesToFile() {
  COsCsLock file(m_csFile);
  CheckFilesInPlace();
  HRESULT hr = WriteFlushBuffer();
  if (SUCCEEDED(hr) && SwapBuffers()) hr = WriteFlushBuffer();
  return hr;
}

// The full buffer becomes the one the disk is written from, with all its frames still to be
// written; the writer goes on in the emptied other one, numbered behind them.
bool CCaptureMngt::SwapBuffers() {
  COsCsLock mem(m_csMem);
  if (!m_pCaptureMem || !m_pFlushMem || !m_pCaptureFile || m_bFull || m_bFailed) return false;
  if (UnwrittenInFlush() > 0) return false;
  const LONG n = m_pCaptureMem->GetFrameCount();
  if (n == 0) return false;
  const DWORD c = m_pCaptureMem->GetSize();
  if (!m_settings.bRingBuffer &&
      static_cast<ULONGLONG>(c) + 4ull * static_cast<ULONGLONG>(n) + m_pCaptureFile->GetSize() >
          m_pCaptureFile->GetMaxSize()) {
    m_bFull = true;
    return false;
  }
  CCaptureMem* emptied = m_pFlushMem;
  emptied->Clear(true);
  emptied->SetStartFrame(m_pCaptureMem->GetStartFrame() + n);
  emptied->SetStartOffset(m_pCaptureMem->GetStartOffset() + c);
  m_pFlushMem = m_pCaptureMem;
  m_pCaptureMem = emptied;
  m_nNextFrame = m_pFlushMem->GetStartFrame();
  m_nNextMemPos = 0;
  return true;
}

// Writes without the memory lock, so the writer fills the other buffer meanwhile. Frames that
// did not reach the disk stay and are written by the next call, so frame numbers always agree
// with the disk (a ring may store part of a batch before failing). After a failure that more
// writes cannot cure nothing more is written.
HRESULT CCaptureMngt::WriteFlushBuffer() {
  LONG first = 0, n = 0;
  DWORD c = 0, overflows = 0;
  LONGLONG droppedBefore = 0;
  {
    COsCsLock mem(m_csMem);
    if (!m_pFlushMem || !m_pCaptureFile) return E_FAIL;
    n = UnwrittenInFlush();
    if (n <= 0 || m_bFull || m_bFailed) return S_OK;
    c = m_pFlushMem->GetSize() - m_nNextMemPos;
    first = m_nNextFrame;
    overflows = m_nOverflowCount;
    droppedBefore = m_nDroppedFrames;
  }
  const LONG framesBefore = m_pCaptureFile->GetFrameCount();
  DWORD cbBefore = 0;
  m_pCaptureFile->GetSizeOfFrames(cbBefore);
  const HRESULT hr = m_pFlushMem->CopyTo(m_pCaptureFile, first, 0);

  COsCsLock mem(m_csMem);
  if (FAILED(hr)) NoteWriteError(hr);
  const LONG framesAfter = m_pCaptureFile->GetFrameCount();
  DWORD cbAfter = 0;
  m_pCaptureFile->GetSizeOfFrames(cbAfter);
  if (m_nOverflowCount != overflows) {
    // OnOverflow renumbered every frame. What the ring took is behind its older frames; after
    // a failure the rest of the batch is given up, as the ring's files moved under it.
    if (FAILED(hr)) {
      const LONGLONG written = framesAfter - framesBefore + (m_nDroppedFrames - droppedBefore);
      if (written < n) CountNotStored(static_cast<ULONGLONG>(n - written));
      m_pFlushMem->Clear(true);
    }
    m_pFlushMem->SetStartFrame(framesAfter - m_pFlushMem->GetFrameCount());
    m_nNextFrame = framesAfter;
    m_nNextMemPos = m_pFlushMem->GetSize();
    m_pCaptureMem->SetStartFrame(framesAfter);
    m_nFrames = framesAfter + m_pCaptureMem->GetFrameCount();
    m_cbFrames = cbAfter + m_pCaptureMem->GetSize();
  } else if (SUCCEEDED(hr)) {
    m_nNextFrame += n;
    m_nNextMemPos += c;
  } else {
    const LONG gained = framesAfter - framesBefore;
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
  text.Format(
      "Capture file %s was removed or replaced while capturing; the capture goes on and "
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

// Called by the ring inside a write, under the file lock, with the drop of its oldest frames:
// every frame number falls by nFrames, those on disk and those still in the buffers alike.
HRESULT CCaptureMngt::OnOverflow(LONG nFrames, DWORD cbFrames) {
  COsCsLock file(m_csFile);
  COsCsLock mem(m_csMem);
  m_nFrames -= nFrames;
  m_cbFrames -= cbFrames;
  m_nNextFrame -= nFrames;
  for (CCaptureMem* buffer : {m_pCaptureMem, m_pFlushMem})
    if (buffer) buffer->SetStartFrame(buffer->GetStartFrame() - nFrames);
  m_nOverflowFrames = nFrames;
  m_cbOverflowFrames = cbFrames;
  m_nDroppedFrames += nFrames;
  m_cbDroppedFrames += cbFrames;
  if (++m_nOverflowCount == 0) m_nOverflowCount = 1;
  return S_OK;
}

// ---- Writing ------------------------------------------------------------------------------

HRESULT CCaptureMngt::WriteToBuffer(const FRAME* pFrame, DWORD cbFrame) {
  const DWORD before = m_pCaptureMem->GetSize();
  const HRESULT hr = m_pCaptureMem->WriteFrame(pFrame, cbFrame);
  if (SUCCEEDED(hr)) {
    ++m_nFrames;
    m_cbFrames += cbFrame;
    // Once per batch: the file thread takes the buffer as soon as the batch is complete.
    const DWORD batch = m_cbBatch.load(std::memory_order_relaxed);
    if (before < batch && m_pCaptureMem->GetSize() >= batch) OsUserSetEvent(m_hFileEvents[2]);
  }
  return hr;
}

namespace {

// The record's size from its FrameLength, or false when that cannot be a record.
bool RecordBytes(const FRAME* pFrame, DWORD& cb) {
  const DWORD frameLength =
      vx::DecodeLE32(reinterpret_cast<const BYTE*>(pFrame) + vxcap::kRecFrameLength);
  if (frameLength > 0xFFFFFFFFu - vxcap::kRecordHeadSize) return false;
  cb = frameLength + vxcap::kRecordHeadSize;
  return true;
}

}  // namespace

HRESULT CCaptureMngt::WriteFrame(const FRAME* pFrame) {
  if (!pFrame) return E_POINTER;
  size_t stored = 0;
  return WriteFrames(&pFrame, 1, &stored);
}

HRESULT CCaptureMngt::WriteFrames(const FRAME* const* frames, size_t n, size_t* pnStored) {
  size_t i = 0;
  HRESULT hr = S_OK;
  COsCsLock write(m_csWrite);
  if (!m_bStarted) hr = E_FAIL;
  while (hr == S_OK && i < n) {
    DWORD cb = 0;
    {
      // The frames that fit the buffer go in under one hold of its lock.
      COsCsLock mem(m_csMem);
      const ULONGLONG cbMax = m_pCaptureMem->GetMaxSize();
      for (; i < n && !TakesNoMoreFrames(); ++i) {
        if (!RecordBytes(frames[i], cb) || m_pCaptureMem->GetSize() + ULONGLONG{cb} > cbMax) break;
        hr = WriteToBuffer(frames[i], cb);
        if (hr != S_OK) {
          CountNotStored(1);
          break;
        }
      }
    }
    if (hr != S_OK || i == n) break;
    // A length that cannot be a record is refused, and counted like every refusal.
    hr = RecordBytes(frames[i], cb) ? StoreFrame(frames[i], cb) : E_FAIL;
    if (hr != S_OK) {
      COsCsLock mem(m_csMem);
      CountNotStored(1);
      break;
    }
    ++i;
  }
  *pnStored = i;
  return hr;
}

bool CCaptureMngt::TakesNoMoreFrames() const {
  return (!m_bRingRun.load() && m_bFull) || m_bFailed;
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

  // The buffer is full: have the file thread take it (after the batch it may be writing).
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
  if (static_cast<ULONGLONG>(m_pCaptureMem->GetSize()) + cb > cbMaxBuffer) return E_FAIL;
  return WriteToBuffer(pFrame, cb);
}

// The frame goes to the disk after every frame before it, so both buffers must have been
// written; they start empty behind it.
HRESULT CCaptureMngt::WriteBypassingBuffer(const FRAME* pFrame, DWORD cbFrame) {
  COsCsLock file(m_csFile);
  if (!m_settings.bRingBuffer && static_cast<ULONGLONG>(cbFrame) + m_pCaptureFile->GetSize() + 4 >
                                     m_pCaptureFile->GetMaxSize()) {
    m_bFull = true;
    return S_FALSE;
  }
  COsCsLock mem(m_csMem);
  if (m_nFrames > m_nNextFrame) return E_FAIL;
  const HRESULT hr = m_pCaptureFile->WriteFrame(pFrame, cbFrame);
  if (FAILED(hr)) NoteWriteError(hr);
  m_nFrames = m_pCaptureFile->GetFrameCount();
  m_pCaptureFile->GetSizeOfFrames(m_cbFrames);
  for (CCaptureMem* buffer : {m_pCaptureMem, m_pFlushMem}) {
    buffer->Clear(true);
    buffer->SetStartFrame(m_nFrames);
    buffer->SetStartOffset(m_pCaptureFile->GetSize() - m_pCaptureFile->GetSizeOfTable());
  }
  m_nNextFrame = m_nFrames;
  m_nNextMemPos = 0;
  return hr;
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
    snprintf(folder, sizeof folder, "%s", m_settings.folder.c_str());
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
// numbering. The newest frames are in the buffer the writer fills (memory lock alone), the
// batch before them in the other buffer and everything older on disk (file lock alone, so a
// read from there never holds up the writer). A read that does not find its frame in the
// writer's buffer re-checks under the file lock, since the numbering may have moved while it
// held no lock, and a short read continues into the next newer source.
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
  // The buffer before the disk: the disk may hold some of its frames too.
  const bool inFlush = m_pFlushMem && m_pFlushMem->IsFrameInTable(nStartFrame);
  CCapture* source = inFlush ? static_cast<CCapture*>(m_pFlushMem) : m_pCaptureFile;
  if (!source || !source->IsFrameInTable(nStartFrame)) return E_FAIL;
  HRESULT hr = source->ReadFrames(cbSize, pData, nStartFrame, nFrames, cbFramesRead, nFramesRead,
                                  incompleteFrame);
  if (FAILED(hr)) return hr;
  // A failed continuation leaves what was read, which is complete in itself.
  auto more = [&](CCapture* next) {
    const LONG at = nStartFrame + nFramesRead;
    if (cbFramesRead >= cbSize || nFramesRead >= nFrames || incompleteFrame.cbSize != 0 || !next ||
        !next->IsFrameInTable(at))
      return;
    DWORD cb = 0;
    LONG n = 0;
    TIncompleteFrame pending = {0, 0};
    if (FAILED(next->ReadFrames(cbSize - cbFramesRead, pData + cbFramesRead, at,
                                nFrames - nFramesRead, cb, n, pending)))
      return;
    cbFramesRead += cb;
    nFramesRead += n;
    incompleteFrame = pending;
  };
  if (!inFlush) more(m_pFlushMem);
  COsCsLock mem(m_csMem);
  more(m_pCaptureMem);
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
  if (m_pFlushMem && m_pFlushMem->IsFrameInTable(nStartFrame))
    return m_pFlushMem->ReadIncompleteFrame(cbSize, pData, nStartFrame, cbRead, incompleteFrame);
  if (!m_pCaptureFile || !m_pCaptureFile->IsFrameInTable(nStartFrame)) return E_FAIL;
  return m_pCaptureFile->ReadIncompleteFrame(cbSize, pData, nStartFrame, cbRead, incompleteFrame);
}
