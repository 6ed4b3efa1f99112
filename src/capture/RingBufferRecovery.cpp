// The ring's recovery of what an earlier run left under its names: continuing a merged
// capture, keeping its newest frames when they no longer fit, and spreading them over the
// ring's files; whatever cannot be continued is kept as a backup.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "capture/CaptureFormat.h"
#include "capture/CapturePath.h"
#include "capture/RingBuffer.h"
#include "os/OsUserFile.h"
#include "support/VxLastError.h"
#include "support/VxStream.h"

namespace {

using vxcap::JoinPath;

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
