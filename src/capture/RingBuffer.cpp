#include "capture/RingBuffer.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "capture/CaptureFormat.h"
#include "capture/CapturePath.h"
#include "os/OsUserFile.h"
#include "support/VxLastError.h"
#include "support/VxStream.h"

namespace {

using vxcap::JoinPath;
using vxcap::NamePos;
using vxcap::SamePath;

// Folder, separator and main name: ring file names are two characters longer ("~9.cap" for
// ".cap"). A save into the boot project folder may use one more.
constexpr size_t kMaxMainPath = vxcap::kMaxCapturePath - 2;
constexpr size_t kMaxBootSavePath = vxcap::kMaxCapturePath - 1;

}  // namespace

CRingBuffer::CRingBuffer(LONG nFiles, IOverflow* pOverflow, bool bOverwriteExisting)
    : m_nFiles(std::clamp(nFiles, kMinFiles, kMaxFiles)),
      m_bOverwriteExisting(bOverwriteExisting),
      m_pOverflow(pOverflow) {}

CRingBuffer::~CRingBuffer() {
  if (m_bCreated && m_bClosed && m_bTemporary) OsUserDeleteFile(m_szFilePath);
  DeleteFiles();
}

void CRingBuffer::DeleteFiles() {
  for (auto& f : m_pBufferFiles) {
    delete f;
    f = nullptr;
  }
}

DWORD CRingBuffer::FileSizeFor(DWORD cbMaxSize, LONG nFiles) {
  const LONG n = std::clamp(nFiles, kMinFiles, kMaxFiles);
  if (cbMaxSize <= vxcap::kHeaderSize) return vxcap::kHeaderSize;
  return (cbMaxSize - vxcap::kHeaderSize) / static_cast<DWORD>(n) + vxcap::kHeaderSize;
}

CRingBufferFile* CRingBuffer::GetBufferFile(LONG nSlot) const {
  return nSlot >= 0 && nSlot < m_nFiles ? m_pBufferFiles[nSlot] : nullptr;
}

void CRingBuffer::MakeFileName(LONG j, char* szName) const {
  if (j == 0) {
    snprintf(szName, kMaxPath + 1, "%s", m_szFileName);
    return;
  }
  const size_t len = strlen(m_szFileName);
  const int stem = static_cast<int>(len >= 4 ? len - 4 : 0);
  snprintf(szName, kMaxPath + 1, "%.*s~%d.cap", stem, m_szFileName, static_cast<int>(j));
}

// ---- Creation -----------------------------------------------------------------------------

HRESULT CRingBuffer::Create(DWORD cbMaxSize) {
  m_sErr.Empty();
  if (m_bCreated) return E_FAIL;
  char folder[kMaxPath + 1];
  HRESULT hr = vxcap::CaptureFolder(nullptr, kMaxPath - 1, folder, m_sErr);
  if (FAILED(hr)) return hr;
  return Create(cbMaxSize, folder, nullptr, true);
}

HRESULT CRingBuffer::Create(DWORD cbMaxSize, const char* szFolder, const char* szFileName,
                            bool bTemporary) {
  m_sErr.Empty();
  if (m_bCreated) return E_FAIL;
  vxcap::CaptureTarget target;
  HRESULT hr =
      vxcap::ResolveCaptureTarget(szFolder, szFileName, kMaxPath, kMaxMainPath, target, m_sErr);
  m_cbMaxSize = cbMaxSize;
  m_bTemporary = bTemporary;
  if (FAILED(hr)) return hr;
  const char* folder = target.folder;
  const bool madeTempFile = target.madeTempFile;
  m_szFileName = vxcap::StorePath(m_szFilePath, target.path, target.namePos);
  m_cbFileSize = FileSizeFor(cbMaxSize, m_nFiles);
  m_nCurIndex = 0;

  // Before anything is moved or created: no name of the ring may be a file of another kind.
  char name[kMaxPath + 1];
  char path[kMaxPath + 1];
  for (LONG j = 0; !madeTempFile && j < m_nFiles; ++j) {
    MakeFileName(j, name);
    if (JoinPath(path, folder, name) && vxcap::IsForeignFile(path)) return RefuseForeignFile(path);
  }

  LONG nDropped = 0;
  DWORD cbDropped = 0;
  if (!m_bOverwriteExisting && !madeTempFile) hr = ContinueCapture(folder, nDropped, cbDropped);

  for (LONG j = 0; SUCCEEDED(hr) && j < m_nFiles; ++j) {
    if (m_pBufferFiles[j]) continue;
    auto* file = new (std::nothrow) CRingBufferFile;
    if (!file) {
      hr = E_OUTOFMEMORY;
      break;
    }
    MakeFileName(j, name);
    hr = file->Create(m_cbFileSize, folder, name, bTemporary);
    if (FAILED(hr)) {
      m_sErr = file->GetErrorString();
      delete file;
      break;
    }
    m_pBufferFiles[j] = file;
  }
  if (FAILED(hr)) {
    if (madeTempFile && !m_pBufferFiles[0]) OsUserDeleteFile(m_szFilePath);
    return hr;
  }

  m_nFrames = 0;
  m_cbFrames = 0;
  for (LONG j = 0; j < m_nFiles; ++j) {
    DWORD cb = 0;
    m_pBufferFiles[j]->GetSizeOfFrames(cb);
    m_nFrames += m_pBufferFiles[j]->GetFrameCount();
    m_cbFrames += cb;
  }
  m_nStartFrame = 0;
  m_nStartOffset = 0;
  m_bCreated = true;
  m_bClosed = false;
  if (nDropped > 0 && m_pOverflow) m_pOverflow->OnOverflow(nDropped, cbDropped);
  return hr;
}

// ---- Writing ------------------------------------------------------------------------------

HRESULT CRingBuffer::AddBufferFile(DWORD& cbShiftFrames, LONG& nShiftFrames) {
  if (m_nCurIndex + 1 < m_nFiles) {
    CRingBufferFile* prev = m_pBufferFiles[m_nCurIndex];
    CRingBufferFile* next = m_pBufferFiles[++m_nCurIndex];
    DWORD cb = 0;
    prev->GetSizeOfFrames(cb);
    next->SetBufferOffset(prev->GetBufferOffset() + cb);
    next->SetBufferStartFrame(prev->GetBufferStartFrame() + prev->GetFrameCount());
    return S_OK;
  }
  CRingBufferFile* oldest = m_pBufferFiles[0];
  const LONG f = oldest->GetFrameCount();
  DWORD b = 0;
  oldest->GetSizeOfFrames(b);
  cbShiftFrames += b;
  nShiftFrames += f;
  for (LONG j = 1; j < m_nFiles; ++j) {
    CRingBufferFile* file = m_pBufferFiles[j];
    file->SetBufferStartFrame(file->GetBufferStartFrame() - f);
    file->SetBufferOffset(file->GetBufferOffset() - b);
    m_pBufferFiles[j - 1] = file;
  }
  CRingBufferFile* newest = m_pBufferFiles[m_nFiles - 2];
  DWORD cbNewest = 0;
  newest->GetSizeOfFrames(cbNewest);
  oldest->SetBufferOffset(newest->GetBufferOffset() + cbNewest);
  oldest->SetBufferStartFrame(newest->GetBufferStartFrame() + newest->GetFrameCount());
  m_nFrames = m_nFrames > f ? m_nFrames - f : 0;
  m_cbFrames = m_cbFrames > b ? m_cbFrames - b : 0;
  oldest->Clear(true);
  m_pBufferFiles[m_nFiles - 1] = oldest;
  return S_OK;
}

// A record that cannot fit even into an empty file is refused before anything is dropped:
// rotating for it would throw away a whole file of frames and still fail.
HRESULT CRingBuffer::WriteFrame(const void* pFrame, DWORD cbFrame) {
  if (!m_bCreated || m_bClosed || !pFrame || cbFrame == 0) return E_FAIL;
  if (cbFrame + 4ull > m_cbFileSize - vxcap::kHeaderSize) return E_FAIL;
  DWORD cbShift = 0;
  LONG nShift = 0;
  if (cbFrame + 4ull > m_pBufferFiles[m_nCurIndex]->GetBytesLeft()) AddBufferFile(cbShift, nShift);
  HRESULT hr = m_pBufferFiles[m_nCurIndex]->WriteFrame(pFrame, cbFrame);
  if (SUCCEEDED(hr)) {
    m_cbFrames += cbFrame;
    ++m_nFrames;
  }
  if (nShift > 0 && m_pOverflow) m_pOverflow->OnOverflow(nShift, cbShift);
  return hr;
}

// The entries only give the record sizes (entry i+1 - entry i); each file gets entries
// computed from its own end, so a file stays consistent even if the caller's offsets were
// not those of the ring.
HRESULT CRingBuffer::WriteFrames(IVxStream* pTableStream, DWORD cbTable, IVxStream* pFrameStream,
                                 DWORD cbFrames) {
  if (!m_bCreated || m_bClosed || !pTableStream || !pFrameStream || cbTable % 4 != 0) return E_FAIL;
  const LONG n = static_cast<LONG>(cbTable / 4);
  if (n == 0) return cbFrames == 0 ? S_OK : E_FAIL;

  DWORD* entries = new (std::nothrow) DWORD[static_cast<size_t>(n) + 1];
  BYTE* local = new (std::nothrow) BYTE[cbTable];
  HRESULT hr = entries && local ? S_OK : E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) {
    DWORD got = 0;
    hr = ReadAll(pTableStream, local, cbTable, &got);
    if (SUCCEEDED(hr) && got != cbTable) hr = E_FAIL;
  }
  if (SUCCEEDED(hr)) {
    for (LONG i = 0; i < n; ++i) entries[i] = vxcap::DecodeTableEntry(local + 4 * i);
    const ULONGLONG end = static_cast<ULONGLONG>(entries[0]) + cbFrames;
    if (end > 0xFFFFFFFFull) hr = E_FAIL;
    entries[n] = static_cast<DWORD>(end);
    for (LONG i = 0; SUCCEEDED(hr) && i < n; ++i)
      if (entries[i + 1] <= entries[i]) hr = E_FAIL;
  }

  const ULONGLONG room = m_cbFileSize - vxcap::kHeaderSize;
  DWORD cbShift = 0;
  LONG nShift = 0;
  LONG i = 0;
  while (SUCCEEDED(hr) && i < n) {
    CRingBufferFile* file = m_pBufferFiles[m_nCurIndex];
    const ULONGLONG left = file->GetBytesLeft();
    const LONG first = i;
    ULONGLONG bytes = 0;
    while (i < n) {
      const DWORD cb = entries[i + 1] - entries[i];
      if (bytes + cb + 4ull * static_cast<ULONGLONG>(i - first + 1) > left) break;
      bytes += cb;
      ++i;
    }
    if (i > first) {
      const DWORD base = file->GetFramePosition();
      for (LONG j = first; j < i; ++j)
        vxcap::EncodeTableEntry(local + 4 * (j - first), base + (entries[j] - entries[first]));
      IVxMemoryStream* batch = nullptr;
      const DWORD cbBatchTable = static_cast<DWORD>(i - first) * 4;
      hr = CVxMemoryStream::CreateMemoryStream(local, cbBatchTable, &batch, FALSE);
      if (SUCCEEDED(hr)) {
        hr = file->WriteFrames(batch, cbBatchTable, pFrameStream, static_cast<DWORD>(bytes));
        batch->Release();
      }
      if (FAILED(hr)) break;
      m_cbFrames += static_cast<DWORD>(bytes);
      m_nFrames += i - first;
    }
    if (i < n) {
      if (entries[i + 1] - entries[i] + 4ull > room) {
        hr = E_FAIL;
        break;
      }
      AddBufferFile(cbShift, nShift);
    }
  }
  delete[] entries;
  delete[] local;
  if (nShift > 0 && m_pOverflow) m_pOverflow->OnOverflow(nShift, cbShift);
  return hr;
}

// ---- Reading ------------------------------------------------------------------------------

DWORD CRingBuffer::GetSize() {
  return m_cbFrames + m_cbHeader + GetSizeOfTable();
}

DWORD CRingBuffer::GetFrameOffset(LONG nPos) {
  for (LONG j = 0; j <= m_nCurIndex && m_pBufferFiles[j]; ++j) {
    CRingBufferFile* file = m_pBufferFiles[j];
    if (file->HoldsRingFrame(nPos)) return file->GetFrameOffset(nPos - file->GetBufferStartFrame());
  }
  return 0;
}

HRESULT CRingBuffer::SetFrameOffset(LONG, DWORD) {
  return E_NOTIMPL;
}

HRESULT CRingBuffer::ReadFrames(DWORD cbSize, BYTE* pData, LONG nStartFrame, LONG nFrames,
                                DWORD& cbFramesRead, LONG& nFramesRead,
                                TIncompleteFrame& incompleteFrame) {
  cbFramesRead = 0;
  nFramesRead = 0;
  if (!m_bCreated || !IsFrameInTable(nStartFrame) || !pData || cbSize == 0 || nFrames < 0)
    return E_FAIL;
  HRESULT hr = E_FAIL;
  bool found = false;
  for (LONG j = 0; j <= m_nCurIndex && m_pBufferFiles[j]; ++j) {
    CRingBufferFile* file = m_pBufferFiles[j];
    if (!file->HoldsRingFrame(nStartFrame)) {
      if (found) break;
      continue;
    }
    found = true;
    const LONG local = nStartFrame - file->GetBufferStartFrame();
    const LONG avail = file->GetFrameCount() - local;
    const LONG want = std::min(nFrames, avail);
    DWORD cb = 0;
    LONG got = 0;
    hr = file->ReadFrames(cbSize, pData, local, want, cb, got, incompleteFrame);
    if (FAILED(hr)) break;
    cbFramesRead += cb;
    nFramesRead += got;
    // Done when the range ended in this file, the buffer filled up, or it filled exactly at
    // the file's end (a further read of 0 bytes would fail).
    if (want == nFrames || got < want || cb == cbSize) break;
    pData += cb;
    cbSize -= cb;
    nFrames -= got;
    nStartFrame += got;
  }
  return hr;
}

HRESULT CRingBuffer::ReadIncompleteFrame(DWORD cbSize, BYTE* pData, LONG nStartFrame, DWORD& cbRead,
                                         TIncompleteFrame& incompleteFrame) {
  cbRead = 0;
  if (!m_bCreated) return E_FAIL;
  for (LONG j = std::min(m_nCurIndex, m_nFiles - 1); j >= 0; --j) {
    CRingBufferFile* file = m_pBufferFiles[j];
    if (file && file->HoldsRingFrame(nStartFrame))
      return file->ReadIncompleteFrame(cbSize, pData, nStartFrame - file->GetBufferStartFrame(),
                                       cbRead, incompleteFrame);
  }
  return E_FAIL;
}

HRESULT CRingBuffer::GetSizeOfFrames(LONG nStartFrame, LONG nFrames, DWORD& cbFrames) {
  cbFrames = 0;
  if (!m_bCreated || nFrames < 0) return E_FAIL;
  const LONGLONG end = static_cast<LONGLONG>(nStartFrame) + nFrames;
  for (LONG j = std::min(m_nCurIndex, m_nFiles - 1); j >= 0; --j) {
    CRingBufferFile* file = m_pBufferFiles[j];
    if (!file || file->GetFrameCount() == 0) continue;
    const LONG start = file->GetBufferStartFrame();
    DWORD cb = 0;
    if (start > nStartFrame) {
      const LONGLONG count = std::min<LONGLONG>(end - start, file->GetFrameCount());
      if (count <= 0) continue;
      HRESULT hr = file->GetSizeOfFrames(0, static_cast<LONG>(count), cb);
      if (FAILED(hr)) return hr;
      cbFrames += cb;
    } else if (file->HoldsRingFrame(nStartFrame)) {
      HRESULT hr = file->GetSizeOfFrames(nStartFrame - start, nFrames, cb);
      if (SUCCEEDED(hr)) cbFrames += cb;
      return hr;
    }
  }
  return E_FAIL;
}

HRESULT CRingBuffer::GetSizeOfFrames(DWORD& cbFrames) {
  cbFrames = 0;
  for (LONG j = 0; j < m_nFiles; ++j) {
    DWORD cb = 0;
    if (m_pBufferFiles[j] && SUCCEEDED(m_pBufferFiles[j]->GetSizeOfFrames(cb))) cbFrames += cb;
  }
  return S_OK;
}

// ---- Emptying, closing, saving ------------------------------------------------------------

HRESULT CRingBuffer::Clear(bool bResetTable) {
  if (!m_bCreated || m_bClosed) return E_FAIL;
  m_cbFrames = 0;
  m_nFrames = 0;
  for (LONG j = 0; j <= m_nCurIndex; ++j) {
    m_pBufferFiles[j]->Clear(bResetTable);
    m_pBufferFiles[j]->SetBufferOffset(0);
    m_pBufferFiles[j]->SetBufferStartFrame(0);
  }
  m_nCurIndex = 0;
  return S_OK;
}

HRESULT CRingBuffer::Truncate() {
  HRESULT hr = E_FAIL;
  for (LONG j = 0; j < m_nFiles && m_pBufferFiles[j]; ++j) {
    hr = m_pBufferFiles[j]->Truncate();
    if (FAILED(hr)) break;
  }
  return hr;
}

// A file whose frames could not be appended is kept as it is (and so is every later one):
// deleting it would lose its frames, and renaming file 0 onto the main name could replace it.
const char* CRingBuffer::LostFilePath() {
  for (CRingBufferFile* file : m_pBufferFiles)
    if (const char* lost = file ? file->LostFilePath() : nullptr) return lost;
  return nullptr;
}

CString CRingBuffer::TakeNotice() {
  CString notice = CCaptureFileBase::TakeNotice();
  for (CRingBufferFile* file : m_pBufferFiles)
    if (notice.IsEmpty() && file) notice = file->TakeNotice();
  return notice;
}

HRESULT CRingBuffer::CloseFile() {
  if (!m_bCreated || m_bClosed) return E_FAIL;
  CRingBufferFile* first = m_pBufferFiles[0];
  HRESULT hr = S_OK;
  for (LONG j = 1; j < m_nFiles; ++j) {
    CRingBufferFile* file = m_pBufferFiles[j];
    if (!file) continue;
    if (FAILED(hr) || FAILED(hr = first->WriteFrames(file, 0, -1))) {
      file->CloseFile();
      continue;
    }
    // Merged: the file goes, by its path only where that still names it (the file checks).
    file->SetTemporary(true);
    delete file;
    m_pBufferFiles[j] = nullptr;
  }
  const HRESULT hrClose = first->CloseFile();
  if (SUCCEEDED(hr)) hr = first->Rename(m_szFileName);
  if (SUCCEEDED(hr)) hr = hrClose;
  first->SetTemporary(m_bTemporary);
  m_nCurIndex = 0;
  m_bClosed = true;
  return hr;
}

HRESULT CRingBuffer::SaveCaptureAs(const char* szFileName, bool bBootPath, LONG, LONG) {
  if (!m_bCreated || !m_bClosed || !szFileName) return E_FAIL;
  char target[kMaxPath + 1];
  const HRESULT hr = vxcap::SaveTargetPath(szFileName, bBootPath, kMaxBootSavePath, target, m_sErr);
  if (FAILED(hr)) return hr;
  if (SamePath(target, m_szFilePath)) return S_OK;
  if (vxcap::IsForeignFile(target)) return RefuseForeignFile(target);

  if (m_bTemporary) {
    if (!OsUserMoveFile(m_szFilePath, target, vxcap::kMoveCapture)) return VxHResultFromLastError();
    m_bTemporary = false;
    m_szFileName = vxcap::StorePath(m_szFilePath, target, NamePos(target));
    if (m_pBufferFiles[0]) {
      m_pBufferFiles[0]->SetTemporary(false);
      m_pBufferFiles[0]->SetMovedPath(m_szFilePath);
    }
    return S_OK;
  }
  if (!OsUserCopyFile(m_szFilePath, target, FALSE)) return VxHResultFromLastError();
  return S_OK;
}

HRESULT CRingBuffer::GetFileName(DWORD dwBufferLength, char* szFileName) {
  return vxcap::CopyFileName(m_szFileName, dwBufferLength, szFileName);
}

HRESULT CRingBuffer::OnOverflow(LONG&, DWORD&) {
  return E_NOTIMPL;
}
