#include "capture/RingBuffer.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <new>

#include "capture/CaptureFormat.h"
#include "capture/CapturePath.h"
#include "capture/OsUserTempFile.h"
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

// x.cap -> x.ca~: the name under which an earlier capture is kept instead of overwritten.
void BackupName(const char* name, char* out, size_t cbOut) {
  snprintf(out, cbOut, "%s", name);
  const size_t len = strlen(out);
  if (len > 0) out[len - 1] = '~';
}

// Moves a file that is not open here aside under its backup name.
void MoveAside(const char* path) {
  char backup[CRingBuffer::kMaxPath + 1];
  BackupName(path, backup, sizeof backup);
  OsUserMoveFile(path, backup, vxcap::kMoveCapture);
}

void BackUp(CCaptureFile* file) {
  char name[CRingBuffer::kMaxPath + 1];
  char backup[CRingBuffer::kMaxPath + 1];
  if (FAILED(file->GetFileName(sizeof name, name))) return;
  BackupName(name, backup, sizeof backup);
  file->CloseFile();
  file->Rename(backup);
}

IVxFileStream* OpenExisting(const char* path) {
  IVxFileStream* s = nullptr;
  if (FAILED(CVxFileStream::CreateFileStream(&s, path, GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL)))
    return nullptr;
  return s;
}

// Entries of a file's table read in blocks, so walks over a large table in either direction
// read it about once. Entry(frame count) is the end of the records.
class CTableWalker {
 public:
  explicit CTableWalker(CRingBufferFile* file) : m_pFile(file), m_nFrames(file->GetFrameCount()) {
    file->GetSizeOfFrames(m_cbFrames);
  }

  bool Entry(LONG i, DWORD& entry) {
    if (i < 0 || i > m_nFrames) return false;
    if (i == m_nFrames) {
      entry = vxcap::kHeaderSize + m_cbFrames;
      return true;
    }
    const LONG block = i / kBlock * kBlock;
    if (block != m_nBlock) {
      m_nBlock = -1;
      if (FAILED(m_pFile->ReadTableEntries(block, std::min(kBlock, m_nFrames - block), m_entries)))
        return false;
      m_nBlock = block;
    }
    entry = m_entries[i - block];
    return true;
  }

  // Record size of frame i; false for a table whose offsets do not increase.
  bool Size(LONG i, DWORD& cb) {
    DWORD a = 0, b = 0;
    if (!Entry(i, a) || !Entry(i + 1, b) || b <= a) return false;
    cb = b - a;
    return true;
  }

  // Entries must describe records back to back from the header to the table: they are used
  // as lengths for the copies below.
  bool Valid() {
    DWORD e = 0;
    if (!Entry(0, e) || e != vxcap::kHeaderSize) return false;
    DWORD cb = 0;
    for (LONG i = 0; i < m_nFrames; ++i)
      if (!Size(i, cb)) return false;
    return true;
  }

 private:
  static constexpr LONG kBlock = 1024;
  CRingBufferFile* m_pFile;
  LONG m_nFrames;
  DWORD m_cbFrames = 0;
  LONG m_nBlock = -1;
  DWORD m_entries[kBlock];
};

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
  m_cbMaxSize = cbMaxSize;
  m_bTemporary = bTemporary;

  char folder[kMaxPath + 1];
  HRESULT hr = vxcap::CaptureFolder(szFolder, kMaxPath, folder, m_sErr);
  if (FAILED(hr)) return hr;

  bool madeTempFile = false;
  if (szFileName && *szFileName) {
    if (!JoinPath(m_szFilePath, folder, szFileName, kMaxMainPath)) {
      m_sErr = vxcap::kPathTooLongError;
      return E_FAIL;
    }
  } else {
    if (!OsUserGetTempFileName(folder, "CAP", 0, m_szFilePath)) {
      m_sErr = "Failed to GetTempFileName!";
      return VxHResultFromLastError();
    }
    madeTempFile = true;
  }
  m_szFileName = vxcap::StorePath(m_szFilePath, m_szFilePath, strlen(folder) + 1);
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

// Only a failure to create a ring file is returned; anything that prevents continuing leaves
// the slots empty, so fresh files take the place of what is there, after a non-empty main file
// was moved aside as a backup.
HRESULT CRingBuffer::ContinueCapture(const char* szFolder, LONG& nDropped, DWORD& cbDropped) {
  IVxFileStream* mainStream = OpenExisting(m_szFilePath);
  if (!mainStream) return S_OK;

  char name[kMaxPath + 1];
  char path[kMaxPath + 1];
  LONG p = m_nFiles;
  for (LONG j = 1; j < m_nFiles; ++j) {
    MakeFileName(j, name);
    IVxFileStream* s = JoinPath(path, szFolder, name) ? OpenExisting(path) : nullptr;
    if (!s) {
      p = j;
      break;
    }
    CCaptureFile earlier;
    if (FAILED(earlier.Create(s, false))) {
      s->Release();
      continue;
    }
    if (earlier.GetFrameCount() > 0) BackUp(&earlier);
  }

  auto* main = new (std::nothrow) CRingBufferFile;
  if (!main) {
    mainStream->Release();
    return E_OUTOFMEMORY;
  }
  if (FAILED(main->Create(mainStream, false))) {
    // Perhaps a capture whose header an interrupted write left behind; it may still be
    // repairable, so only an empty file is left for the fresh ring to overwrite.
    ULONGLONG cbFile = 0;
    const bool empty = SUCCEEDED(mainStream->Seek(0, STREAM_SEEK_END, &cbFile)) && cbFile == 0;
    mainStream->Release();
    delete main;
    if (!empty) MoveAside(m_szFilePath);
    return S_OK;
  }
  // An unmerged earlier ring, a capture larger than this ring or one whose table does not
  // describe its records cannot be continued; it is kept rather than overwritten.
  bool keep = p >= 2 || main->GetSize() > m_cbMaxSize;
  if (!keep) {
    CTableWalker table(main);
    keep = !table.Valid();
  }
  if (keep) {
    BackUp(main);
    delete main;
    return S_OK;
  }
  main->SetMaxSize(m_cbFileSize);
  HRESULT hr = KeepNewestFrames(szFolder, main, nDropped, cbDropped);
  if (FAILED(hr) || !main) return S_OK;
  return DistributeFrames(szFolder, main);
}

// When the earlier frames no longer fit into this ring (a smaller size or fewer files than
// before), the main file is rewritten with the newest frames that fit; the others are
// reported as one overflow. Any failure keeps the earlier file as a backup and continues
// nothing (pMain becomes null).
HRESULT CRingBuffer::KeepNewestFrames(const char* szFolder, CRingBufferFile*& pMain, LONG& nDropped,
                                      DWORD& cbDropped) {
  const LONG n = pMain->GetFrameCount();
  const ULONGLONG room = m_cbFileSize - vxcap::kHeaderSize;
  LONG first = n;
  {
    CTableWalker table(pMain);
    LONG m = n - 1;
    DWORD cb = 0;
    for (LONG files = 0; files < m_nFiles && m >= 0; ++files) {
      if (!table.Size(m, cb) || cb + 4ull > room) break;
      ULONGLONG used = 0;
      while (m >= 0 && table.Size(m, cb) && used + cb + 4 <= room) {
        used += cb + 4ull;
        --m;
      }
    }
    first = m + 1;
    DWORD entry = 0;
    if (first > 0 && !table.Entry(first, entry)) first = n;
    if (first > 0 && first < n) cbDropped = entry - vxcap::kHeaderSize;
  }
  if (first == 0) return S_OK;

  HRESULT hr = first < n ? S_OK : E_FAIL;
  CRingBufferFile kept;
  DWORD cbFrames = 0;
  pMain->GetSizeOfFrames(cbFrames);
  if (SUCCEEDED(hr)) hr = kept.Create(cbFrames - cbDropped, szFolder, nullptr, true);
  if (SUCCEEDED(hr)) hr = kept.WriteFrames(pMain, first, n - first);
  if (SUCCEEDED(hr)) hr = kept.Truncate();
  if (SUCCEEDED(hr)) hr = kept.CloseFile();
  char mainPath[kMaxPath + 1];
  snprintf(mainPath, sizeof mainPath, "%s", pMain->GetFilePath());
  if (SUCCEEDED(hr)) {
    pMain->CloseFile();
    if (OsUserMoveFile(kept.GetFilePath(), mainPath, vxcap::kMoveCapture))
      kept.SetTemporary(false);
    else
      hr = VxHResultFromLastError();
  }
  IVxFileStream* s = SUCCEEDED(hr) ? OpenExisting(mainPath) : nullptr;
  auto* reopened = s ? new (std::nothrow) CRingBufferFile : nullptr;
  if (reopened && SUCCEEDED(reopened->Create(s, false))) {
    delete pMain;
    pMain = reopened;
    pMain->SetMaxSize(m_cbFileSize);
    nDropped = first;
    return S_OK;
  }
  if (s) s->Release();
  delete reopened;
  cbDropped = 0;
  if (FAILED(hr)) {
    BackUp(pMain);
  } else {
    // The kept frames are in place under the main name but cannot be opened again: a fresh
    // ring file replaces it, so move it aside first.
    MoveAside(mainPath);
  }
  delete pMain;
  pMain = nullptr;
  return FAILED(hr) ? hr : E_FAIL;
}

// The main file becomes file 0; frames that do not fit into it go to the following files,
// filled greedily in order, and the main file is cut behind its share.
HRESULT CRingBuffer::DistributeFrames(const char* szFolder, CRingBufferFile* pMain) {
  const LONG n = pMain->GetFrameCount();
  const ULONGLONG room = m_cbFileSize - vxcap::kHeaderSize;
  LONG bounds[kMaxFiles + 1] = {};
  DWORD offsets[kMaxFiles] = {};
  LONG k = 0;
  {
    CTableWalker table(pMain);
    ULONGLONG used = 0;
    DWORD cb = 0;
    bool fits = true;
    for (LONG m = 0; fits && m < n; ++m) {
      fits = table.Size(m, cb);
      if (fits && used + cb + 4 > room && m > bounds[k]) {
        DWORD entry = 0;
        fits = k + 1 < m_nFiles && table.Entry(m, entry);
        if (fits) {
          bounds[++k] = m;
          offsets[k] = entry - vxcap::kHeaderSize;
          used = 0;
        }
      }
      used += cb + 4ull;
    }
    if (!fits) {
      // Cannot happen after KeepNewestFrames; keep the earlier capture rather than lose it.
      BackUp(pMain);
      delete pMain;
      return S_OK;
    }
  }
  bounds[k + 1] = n;
  m_pBufferFiles[0] = pMain;

  char name[kMaxPath + 1];
  for (LONG j = 1; j <= k; ++j) {
    auto* file = new (std::nothrow) CRingBufferFile;
    if (!file) return E_OUTOFMEMORY;
    MakeFileName(j, name);
    HRESULT hr = file->Create(m_cbFileSize, szFolder, name, m_bTemporary);
    if (SUCCEEDED(hr)) hr = file->WriteFrames(pMain, bounds[j], bounds[j + 1] - bounds[j]);
    if (FAILED(hr)) {
      m_sErr = file->GetErrorString();
      delete file;
      return hr;
    }
    file->SetBufferStartFrame(bounds[j]);
    file->SetBufferOffset(offsets[j]);
    m_pBufferFiles[j] = file;
  }
  if (k > 0) {
    HRESULT hr = pMain->Truncate(bounds[1] - 1);
    if (FAILED(hr)) return hr;
  }
  m_nCurIndex = k;
  return S_OK;
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
