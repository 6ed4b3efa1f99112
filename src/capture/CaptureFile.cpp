#include "capture/CaptureFile.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <new>

#include "capture/CaptureFormat.h"
#include "capture/CapturePath.h"
#include "os/OsErrorText.h"
#include "os/OsUserFile.h"
#include "support/VxLastError.h"

namespace {

using vxcap::JoinPath;
using vxcap::NamePos;
using vxcap::SamePath;

// Folder, separator and name of a save into the boot project folder.
constexpr size_t kMaxBootSavePath = vxcap::kMaxCapturePath - 2;

}  // namespace

CCaptureFile::CCaptureFile() = default;

CCaptureFile::~CCaptureFile() {
  delete[] m_pTmpTable;
  if (m_pFileStream) {
    m_pFileStream->Release();
    m_pFileStream = nullptr;
    m_bClosed = true;
  }
  // A path that names another file now is not ours to remove.
  if (m_bCreated && m_bClosed && m_bTemporary && IsAtPath()) OsUserDeleteFile(m_szFilePath);
}

void CCaptureFile::NoteIdentity() {
  OS_USER_FILE_HANDLE h = nullptr;
  m_bHasIdentity =
      m_pFileStream && SUCCEEDED(m_pFileStream->GetHandle(&h)) && OsUserGetFileId(h, &m_identity);
}

bool CCaptureFile::IsAtPath() {
  if (!m_bHasIdentity || OsUserIsFileAtPath(m_szFilePath, m_identity)) return true;
  // A path that cannot be looked at (no permission) may well still name the file.
  return errno != 0 && errno != ENOENT && errno != ENOTDIR;
}

const char* CCaptureFile::LostFilePath() {
  return m_pFileStream && !IsAtPath() ? m_szFilePath : nullptr;
}

namespace {

// Where a capture goes whose name another file took meanwhile: "x.cap" -> "x-recovered.cap",
// then "x-recovered-2.cap" ...
bool RecoveredName(const char* path, int attempt, char* out, size_t cbOut) {
  const size_t len = strlen(path);
  const bool cap = len > 4 && strcasecmp(path + len - 4, ".cap") == 0;
  const int stem = static_cast<int>(cap ? len - 4 : len);
  const int n = attempt < 2
                    ? snprintf(out, cbOut, "%.*s-recovered%s", stem, path, cap ? path + stem : "")
                    : snprintf(out, cbOut, "%.*s-recovered-%d%s", stem, path, attempt,
                               cap ? path + stem : "");
  return n > 0 && static_cast<size_t>(n) < cbOut;
}

}  // namespace

HRESULT CCaptureFile::WriteBack() {
  char shown[kMaxPath + 1];
  snprintf(shown, sizeof shown, "%s", m_szFilePath);
  OsUserNormalizePath(shown);
  const bool replaced = OsUserGetFileAttributes(m_szFilePath) != INVALID_FILE_ATTRIBUTES;
  char target[kMaxPath + 1];
  IVxFileStream* copy = nullptr;
  HRESULT hr = E_FAIL;
  // Never over another file: each name is only taken when nothing is there.
  for (int attempt = replaced ? 1 : 0; attempt < 10 && !copy; ++attempt) {
    if (attempt == 0)
      snprintf(target, sizeof target, "%s", m_szFilePath);
    else if (!RecoveredName(m_szFilePath, attempt, target, sizeof target))
      break;
    hr = CVxFileStream::CreateFileStream(&copy, target, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (FAILED(hr)) copy = nullptr;
  }
  const DWORD size = GetSize();
  if (copy) {
    DWORD read = 0, written = 0;
    hr = m_pFileStream->SetPosition(0);
    if (SUCCEEDED(hr)) hr = m_pFileStream->CopyTo(copy, size, &read, &written);
    if (SUCCEEDED(hr) && written != size) hr = E_FAIL;
    if (FAILED(hr)) {
      copy->Release();
      OsUserDeleteFile(target);
      copy = nullptr;
    }
  }
  if (!copy) {
    const int err = OsErrorFromResult(hr);
    m_sNotice.Format(
        "Capture file %s was removed or replaced while capturing and could not be "
        "written again%s%s (err=0x%08x)",
        shown, err ? ": " : "", err ? static_cast<const char*>(OsErrorText(err)) : "",
        static_cast<unsigned>(hr));
    return hr;
  }
  m_pFileStream->Release();
  m_pFileStream = copy;
  SetPath(target, NamePos(target));
  NoteIdentity();
  m_cbReserved = size;
  m_cbTouched = size;
  char shownTarget[kMaxPath + 1];
  snprintf(shownTarget, sizeof shownTarget, "%s", target);
  OsUserNormalizePath(shownTarget);
  if (replaced)
    m_sNotice.Format("Capture file %s was replaced while capturing; the capture is in %s", shown,
                     shownTarget);
  else
    m_sNotice.Format("Capture file %s was removed while capturing; written again at stop", shown);
  return S_OK;
}

void CCaptureFile::SetPath(const char* szPath, size_t namePos) {
  m_szFileName = vxcap::StorePath(m_szFilePath, szPath, namePos);
}

DWORD CCaptureFile::GetBootPrjPath(char* szBootPath, DWORD dwCount) {
  return vxcap::GetBootPrjPath(szBootPath, dwCount);
}

// Unlike the other Create, a folder that cannot be used leaves no text.
HRESULT CCaptureFile::Create(DWORD cbMaxSize) {
  m_sErr.Empty();
  if (m_bCreated) return E_FAIL;
  char boot[kMaxPath + 1];
  const DWORD err = vxcap::GetBootPrjPath(boot, kMaxPath);
  if (err != 0) return HRESULT_FROM_OS_ERROR(err);
  return Create(cbMaxSize, boot, nullptr, true);
}

HRESULT CCaptureFile::Create(DWORD cbMaxSize, const char* szFolder, const char* szFileName,
                             bool bTemporary) {
  m_sErr.Empty();
  if (m_bCreated) return E_FAIL;
  m_cbMaxSize = cbMaxSize;
  m_bTemporary = bTemporary;

  vxcap::CaptureTarget target;
  HRESULT hr =
      vxcap::ResolveCaptureTarget(szFolder, szFileName, kMaxPath - 1, kMaxPath, target, m_sErr);
  if (FAILED(hr)) return hr;
  const bool madeTempFile = target.madeTempFile;
  SetPath(target.path, target.namePos);
  // A named capture replaces an earlier capture of that name, never a file of another kind.
  if (!madeTempFile && vxcap::IsForeignFile(m_szFilePath)) return RefuseForeignFile(m_szFilePath);

  hr = CVxFileStream::CreateFileStream(&m_pFileStream, m_szFilePath, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (FAILED(hr)) {
    m_sErr = "Failed to Create file stream!";
    if (madeTempFile) OsUserDeleteFile(m_szFilePath);
    return hr;
  }

  m_cbFrames = 0;
  m_nFrames = 0;
  m_nStartFrame = 0;
  m_nStartOffset = 0;
  m_nTableOffset = m_cbHeader;
  DropCache();
  m_cbReserved = 0;
  m_cbTouched = m_cbHeader;
  hr = m_pFileStream->SetSize(cbMaxSize);
  if (SUCCEEDED(hr)) {
    ReserveFile(cbMaxSize);
    OsUserGetSystemTime(&m_timeStamp);
    hr = WriteHeader();
  }
  if (FAILED(hr)) {
    m_pFileStream->Release();
    m_pFileStream = nullptr;
    // A name we generated ourselves is nobody else's file: do not leave it behind.
    if (madeTempFile) OsUserDeleteFile(m_szFilePath);
    return hr;
  }
  NoteIdentity();
  m_bCreated = true;
  m_bClosed = false;
  return hr;
}

HRESULT CCaptureFile::Create(IVxFileStream* pFileStream, bool bTemporary) {
  m_sErr.Empty();
  if (m_bCreated || !pFileStream) return E_FAIL;
  char path[kMaxPath + 1];
  HRESULT hr = pFileStream->GetFilePath(sizeof path, path);
  if (FAILED(hr)) return hr;
  m_bTemporary = bTemporary;
  m_pFileStream = pFileStream;
  m_cbReserved = 0;
  m_cbTouched = ~0ull;  // whatever lies behind its table is unknown
  hr = ReadHeader();
  if (FAILED(hr)) {
    m_pFileStream = nullptr;  // the caller keeps its reference
    return hr;
  }
  SetPath(path, NamePos(path));
  NoteIdentity();
  m_bCreated = true;
  m_bClosed = false;
  return S_OK;
}

HRESULT CCaptureFile::WriteHeader() {
  if (!m_pFileStream) return E_FAIL;
  BYTE header[vxcap::kHeaderSize];
  vxcap::EncodeHeader(header, m_timeStamp, m_nTableOffset, GetSizeOfTable());
  HRESULT hr = m_pFileStream->SetPosition(0);
  if (SUCCEEDED(hr)) hr = m_pFileStream->Write(header, sizeof header, nullptr);
  return hr;
}

// Besides the signature, a header is refused when its table lies before the records' start,
// past 4 GiB or past the end of the file: such a header cannot describe frames that are
// there, and every length taken from it is used later.
HRESULT CCaptureFile::ReadHeader() {
  if (!m_pFileStream) return E_FAIL;
  BYTE header[vxcap::kHeaderSize];
  DWORD got = 0;
  HRESULT hr = m_pFileStream->SetPosition(0);
  if (SUCCEEDED(hr)) hr = ReadAll(m_pFileStream, header, sizeof header, &got);
  if (FAILED(hr)) return hr;
  vxcap::HeaderInfo info;
  if (vxcap::DecodeHeader(header, got, &info) != vxcap::HeaderStatus::kOk) return E_FAIL;
  const ULONGLONG tableEnd = static_cast<ULONGLONG>(info.frameTableOffset) + info.frameTableLength;
  ULONGLONG fileSize = 0;
  hr = m_pFileStream->Seek(0, STREAM_SEEK_END, &fileSize);
  if (FAILED(hr)) return hr;
  if (info.frameTableOffset < m_cbHeader || tableEnd > 0xFFFFFFFFull || tableEnd > fileSize)
    return E_FAIL;
  m_timeStamp = info.timeStamp;
  m_nTableOffset = info.frameTableOffset;
  m_nFrames = static_cast<LONG>(vxcap::FrameCount(info));
  m_cbFrames = info.frameTableOffset - m_cbHeader;
  m_nStartFrame = 0;
  m_nStartOffset = 0;
  DropCache();
  return S_OK;
}

DWORD CCaptureFile::GetSize() {
  return m_cbFrames + m_cbHeader + GetSizeOfTable();
}

DWORD CCaptureFile::GetFrameOffset(LONG nPos) {
  if (nPos < 0 || nPos >= m_nFrames) return 0;
  if (m_nTmpFrames > 0 && nPos >= m_nTmpStartFrame && nPos - m_nTmpStartFrame < m_nTmpFrames)
    return m_pTmpTable[nPos - m_nTmpStartFrame];
  if (!m_pFileStream) return 0;
  if (!m_pTmpTable) {
    m_pTmpTable = new (std::nothrow) DWORD[kTableCacheEntries];
    if (!m_pTmpTable) return 0;
  }
  DropCache();
  const LONG n = std::min(kTableCacheEntries, m_nFrames - nPos);
  BYTE raw[kTableCacheEntries * vxcap::kTableEntrySize];
  const DWORD cb = static_cast<DWORD>(n) * vxcap::kTableEntrySize;
  DWORD got = 0;
  HRESULT hr = m_pFileStream->SetPosition(m_nTableOffset + static_cast<DWORD>(nPos) * 4);
  if (SUCCEEDED(hr)) hr = ReadAll(m_pFileStream, raw, cb, &got);
  if (FAILED(hr) || got != cb) return 0;
  for (LONG i = 0; i < n; ++i) m_pTmpTable[i] = vxcap::DecodeTableEntry(raw + 4 * i);
  m_nTmpStartFrame = nPos;
  m_nTmpFrames = n;
  return m_pTmpTable[0];
}

HRESULT CCaptureFile::SetFrameOffset(LONG, DWORD) {
  return E_NOTIMPL;
}

HRESULT CCaptureFile::GetSizeOfFrames(DWORD& cbFrames) {
  cbFrames = m_cbFrames;
  return S_OK;
}

HRESULT CCaptureFile::OnOverflow(LONG&, DWORD&) {
  return E_NOTIMPL;
}

HRESULT CCaptureFile::SetTemporary(bool bTemporary) {
  m_bTemporary = bTemporary;
  return S_OK;
}

// ---- Appending ----------------------------------------------------------------------------
//
// An append moves the table up, writes the new entries behind it and the records into the
// gap, then rewrites the header. Until the header is rewritten the old header describes the
// file, so a failing step must leave the old table where it was. The space the append needs
// beyond the current end of the table is claimed before anything is moved: a full disk or a
// size limit then stops the append while nothing valid has been touched, and the later steps
// only overwrite bytes that already exist. A new file claims its whole size at once where the
// file system can reserve space; elsewhere, and beyond that size, each append claims what it
// needs, by reserving it or by writing zeros. A step that still fails moves the table back.

void CCaptureFile::ReserveFile(DWORD cbSize) {
  OS_USER_FILE_HANDLE h = nullptr;
  if (SUCCEEDED(m_pFileStream->GetHandle(&h)) && OsUserReserveFileSpace(h, 0, cbSize) == 0)
    m_cbReserved = cbSize;
}

HRESULT CCaptureFile::WriteZeros(ULONGLONG from, ULONGLONG to) {
  static const BYTE kZeros[4096] = {};
  HRESULT hr = m_pFileStream->SetPosition(static_cast<DWORD>(from));
  for (ULONGLONG at = from; SUCCEEDED(hr) && at < to;) {
    const DWORD n = static_cast<DWORD>(std::min<ULONGLONG>(to - at, sizeof kZeros));
    hr = m_pFileStream->Write(kZeros, n, nullptr);
    at += n;
  }
  return hr;
}

// Besides claiming space, the tail is wiped where the file held something before (an earlier
// lap of a ring file, or a file opened as it was): an append cut off half-way must not leave
// old records where a repair would take them for new ones.
HRESULT CCaptureFile::ReserveTail(ULONGLONG cbGrowth) {
  const ULONGLONG from = static_cast<ULONGLONG>(m_nTableOffset) + GetSizeOfTable();
  const ULONGLONG to = from + cbGrowth;
  if (to > 0xFFFFFFFFull) return E_FAIL;
  if (to > m_cbReserved) {
    OS_USER_FILE_HANDLE h = nullptr;
    DWORD err = ENOTSUP;
    if (SUCCEEDED(m_pFileStream->GetHandle(&h))) err = OsUserReserveFileSpace(h, from, cbGrowth);
    if (err != 0 && err != ENOTSUP) return HRESULT_FROM_OS_ERROR(err);
    if (err == ENOTSUP) {
      const HRESULT hr = WriteZeros(from, to);
      if (SUCCEEDED(hr) && to > m_cbTouched) m_cbTouched = to;
      return hr;
    }
  }
  if (m_cbTouched > from) {
    const HRESULT hr = WriteZeros(from, std::min(to, m_cbTouched));
    if (FAILED(hr)) return hr;
  }
  if (to > m_cbTouched) m_cbTouched = to;
  return S_OK;
}

HRESULT CCaptureFile::MoveTableUp(DWORD cbFrames, DWORD cbNewEntries) {
  HRESULT hr = ReserveTail(static_cast<ULONGLONG>(cbFrames) + cbNewEntries);
  if (SUCCEEDED(hr)) hr = m_pFileStream->SetPosition(m_nTableOffset);
  if (SUCCEEDED(hr)) hr = m_pFileStream->MoveRegion(GetSizeOfTable(), m_nTableOffset + cbFrames);
  if (SUCCEEDED(hr)) m_nTableOffset += cbFrames;
  return hr;
}

void CCaptureFile::MoveTableBack(DWORD nOldTableOffset) {
  if (m_nTableOffset == nOldTableOffset) return;
  if (SUCCEEDED(m_pFileStream->SetPosition(m_nTableOffset)))
    m_pFileStream->MoveRegion(GetSizeOfTable(), nOldTableOffset);
  m_nTableOffset = nOldTableOffset;
}

HRESULT CCaptureFile::CommitAppend(DWORD cbFrames, LONG nFrames, DWORD nOldTableOffset) {
  m_cbFrames += cbFrames;
  m_nFrames += nFrames;
  HRESULT hr = WriteHeader();
  if (FAILED(hr)) {
    m_cbFrames -= cbFrames;
    m_nFrames -= nFrames;
    MoveTableBack(nOldTableOffset);
    WriteHeader();
  }
  return hr;
}

HRESULT CCaptureFile::WriteFromStream(IVxStream* pFrom, DWORD cb) {
  DWORD read = 0, written = 0;
  HRESULT hr = pFrom->CopyTo(m_pFileStream, cb, &read, &written);
  if (SUCCEEDED(hr) && written != cb) hr = E_FAIL;
  return hr;
}

HRESULT CCaptureFile::AddFrameToTable(DWORD nOffset) {
  if (!IsWritable()) return E_FAIL;
  BYTE entry[vxcap::kTableEntrySize];
  vxcap::EncodeTableEntry(entry, nOffset);
  HRESULT hr = m_pFileStream->SetPosition(m_nTableOffset + GetSizeOfTable());
  if (SUCCEEDED(hr)) hr = m_pFileStream->Write(entry, sizeof entry, nullptr);
  return hr;
}

HRESULT CCaptureFile::AddFramesToTable(IVxStream* pTableStream, DWORD cbTable, DWORD cbFrames,
                                       DWORD cbShift, bool bPosShift) {
  if (!m_pFileStream || !pTableStream || cbTable % vxcap::kTableEntrySize != 0) return E_FAIL;
  const DWORD oldTableOffset = m_nTableOffset;
  HRESULT hr = MoveTableUp(cbFrames, cbTable);
  if (FAILED(hr)) return hr;
  hr = m_pFileStream->SetPosition(m_nTableOffset + GetSizeOfTable());
  if (SUCCEEDED(hr) && cbShift == 0) {
    hr = WriteFromStream(pTableStream, cbTable);
  } else if (SUCCEEDED(hr)) {
    BYTE chunk[1000];
    for (DWORD done = 0; SUCCEEDED(hr) && done < cbTable;) {
      const DWORD n = std::min<DWORD>(cbTable - done, sizeof chunk);
      DWORD got = 0;
      hr = ReadAll(pTableStream, chunk, n, &got);
      if (SUCCEEDED(hr) && got != n) hr = E_FAIL;
      for (DWORD i = 0; SUCCEEDED(hr) && i < n; i += vxcap::kTableEntrySize) {
        const DWORD e = vxcap::DecodeTableEntry(chunk + i);
        vxcap::EncodeTableEntry(chunk + i, bPosShift ? e + cbShift : e - cbShift);
      }
      if (SUCCEEDED(hr)) hr = m_pFileStream->Write(chunk, n, nullptr);
      done += n;
    }
  }
  if (FAILED(hr)) MoveTableBack(oldTableOffset);
  return hr;
}

HRESULT CCaptureFile::WriteFrame(const void* pFrame, DWORD cbFrame) {
  m_sErr.Empty();
  if (!IsWritable() || !pFrame || cbFrame == 0) return E_FAIL;
  const DWORD oldTableOffset = m_nTableOffset;
  HRESULT hr = MoveTableUp(cbFrame, vxcap::kTableEntrySize);
  if (FAILED(hr)) return hr;
  hr = AddFrameToTable(m_cbFrames + m_cbHeader);
  if (SUCCEEDED(hr)) hr = m_pFileStream->SetPosition(m_cbFrames + m_cbHeader);
  if (SUCCEEDED(hr)) hr = m_pFileStream->Write(pFrame, cbFrame, nullptr);
  if (FAILED(hr)) {
    MoveTableBack(oldTableOffset);
    return hr;
  }
  return CommitAppend(cbFrame, 1, oldTableOffset);
}

HRESULT CCaptureFile::WriteFrames(IVxStream* pTableStream, DWORD cbTable, IVxStream* pFrameStream,
                                  DWORD cbFrames) {
  m_sErr.Empty();
  if (!IsWritable() || !pTableStream || !pFrameStream || cbTable % vxcap::kTableEntrySize != 0)
    return E_FAIL;
  const DWORD oldTableOffset = m_nTableOffset;
  HRESULT hr = AddFramesToTable(pTableStream, cbTable, cbFrames, 0, true);
  if (FAILED(hr)) return hr;
  hr = m_pFileStream->SetPosition(m_cbFrames + m_cbHeader);
  if (SUCCEEDED(hr)) hr = WriteFromStream(pFrameStream, cbFrames);
  if (FAILED(hr)) {
    MoveTableBack(oldTableOffset);
    return hr;
  }
  return CommitAppend(cbFrames, static_cast<LONG>(cbTable / vxcap::kTableEntrySize),
                      oldTableOffset);
}

HRESULT CCaptureFile::WriteFrames(CCaptureFile* pCaptureFile, LONG nStartFrame, LONG nFrames) {
  m_sErr.Empty();
  CCaptureFile* src = pCaptureFile;
  if (!IsWritable() || !src || src == this || !src->m_pFileStream) return E_FAIL;
  const LONG srcFrames = src->m_nFrames;
  const bool whole = nStartFrame == 0 && (nFrames == -1 || nFrames == srcFrames);
  if (whole && srcFrames == 0) return S_OK;
  if (nStartFrame < 0 || nStartFrame >= srcFrames) return E_FAIL;
  if (nFrames != -1 && (nFrames < 0 || nFrames > srcFrames)) return E_FAIL;
  if (!whole && nFrames == -1) return E_FAIL;
  const LONG count = whole ? srcFrames : std::min(nFrames, srcFrames - nStartFrame);

  IVxFileStream* s = src->m_pFileStream;
  DWORD srcSaved = 0;
  HRESULT hr = s->GetPosition(&srcSaved);
  if (FAILED(hr)) return hr;
  const DWORD oldTableOffset = m_nTableOffset;
  const DWORD cbEntries = static_cast<DWORD>(count) * vxcap::kTableEntrySize;
  DWORD cbRecords = 0;
  DWORD srcFrom = m_cbHeader;
  if (whole) {
    // Entries of the source start at 128; here they start behind this file's records.
    cbRecords = src->m_cbFrames;
    hr = s->SetPosition(src->m_nTableOffset);
    if (SUCCEEDED(hr)) hr = AddFramesToTable(s, cbEntries, cbRecords, m_cbFrames, true);
  } else {
    srcFrom = src->GetFrameOffset(nStartFrame);
    hr = src->GetSizeOfFrames(nStartFrame, count, cbRecords);
    if (SUCCEEDED(hr) && srcFrom < m_cbHeader) hr = E_FAIL;
    if (SUCCEEDED(hr))
      hr = s->SetPosition(src->m_nTableOffset + static_cast<DWORD>(nStartFrame) * 4);
    if (SUCCEEDED(hr)) {
      const DWORD d = srcFrom - m_cbHeader;
      const DWORD e = m_cbFrames;
      hr = AddFramesToTable(s, cbEntries, cbRecords, e >= d ? e - d : d - e, e >= d);
    }
  }
  if (SUCCEEDED(hr)) {
    hr = m_pFileStream->SetPosition(m_cbFrames + m_cbHeader);
    if (SUCCEEDED(hr)) hr = s->SetPosition(srcFrom);
    if (SUCCEEDED(hr)) hr = WriteFromStream(s, cbRecords);
    if (FAILED(hr)) MoveTableBack(oldTableOffset);
  }
  if (SUCCEEDED(hr)) hr = CommitAppend(cbRecords, count, oldTableOffset);
  s->SetPosition(srcSaved);
  return hr;
}

// ---- Emptying, shortening, closing --------------------------------------------------------

HRESULT CCaptureFile::Clear(bool) {
  if (!IsWritable()) return E_FAIL;
  m_cbFrames = 0;
  m_nTableOffset = m_cbHeader;
  m_nFrames = 0;
  m_nStartFrame = 0;
  OsUserGetSystemTime(&m_timeStamp);
  DropCache();
  return WriteHeader();
}

HRESULT CCaptureFile::Truncate() {
  if (!m_pFileStream) return E_FAIL;
  const ULONGLONG end = static_cast<ULONGLONG>(m_nTableOffset) + GetSizeOfTable();
  if (m_cbReserved > end) m_cbReserved = end;
  if (m_cbTouched > end) m_cbTouched = end;
  return m_pFileStream->SetSize(end);
}

HRESULT CCaptureFile::Truncate(LONG nEndFrame) {
  if (!m_pFileStream) return E_FAIL;
  if (nEndFrame >= m_nFrames - 1) return S_OK;
  if (nEndFrame < -1) return E_FAIL;
  const LONG keep = nEndFrame + 1;
  const DWORD end = GetFrameOffset(keep);
  if (end < m_cbHeader || end - m_cbHeader > m_cbFrames) return E_FAIL;
  HRESULT hr = m_pFileStream->SetPosition(m_nTableOffset);
  if (SUCCEEDED(hr)) hr = m_pFileStream->MoveRegion(static_cast<DWORD>(keep) * 4, end);
  if (FAILED(hr)) return hr;
  m_cbFrames = end - m_cbHeader;
  m_nFrames = keep;
  m_nTableOffset = end;
  DropCache();
  OsUserGetSystemTime(&m_timeStamp);
  hr = WriteHeader();
  if (SUCCEEDED(hr)) hr = Truncate();
  return hr;
}

// A closed capture is on the disk: a power loss after this keeps it as it is. Appends are not
// synced one by one; a crash in between leaves what the last append wrote (or less).
HRESULT CCaptureFile::CloseFile() {
  if (!m_pFileStream) return E_FAIL;
  if (!IsAtPath()) WriteBack();
  const HRESULT hr = m_pFileStream->Commit(0);
  m_pFileStream->Release();
  m_pFileStream = nullptr;
  m_bClosed = true;
  return hr;
}

HRESULT CCaptureFile::OpenFile() {
  if (!m_bCreated || !m_bClosed || m_pFileStream) return E_FAIL;
  // Whatever took the name meanwhile is not this capture.
  if (!IsAtPath()) return E_FAIL;
  HRESULT hr =
      CVxFileStream::CreateFileStream(&m_pFileStream, m_szFilePath, GENERIC_READ, FILE_SHARE_READ,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (SUCCEEDED(hr)) m_bClosed = false;
  return hr;
}

// ---- Names --------------------------------------------------------------------------------

HRESULT CCaptureFile::GetFileName(DWORD dwBufferLength, char* szFileName) {
  return vxcap::CopyFileName(m_szFileName, dwBufferLength, szFileName);
}

// After a successful move the old name is gone (a move across file systems removes the
// source itself); removing "the old path" again could only hit the file under its new name.
HRESULT CCaptureFile::Rename(const char* szFileName) {
  if (!m_bCreated || !m_bClosed || m_pFileStream || !szFileName) return E_FAIL;
  const size_t cbFolder = static_cast<size_t>(m_szFileName - m_szFilePath);
  if (cbFolder + strlen(szFileName) > kMaxPath) return E_FAIL;
  char newPath[kMaxPath + 1];
  memcpy(newPath, m_szFilePath, cbFolder);
  snprintf(newPath + cbFolder, sizeof newPath - cbFolder, "%s", szFileName);
  if (SamePath(newPath, m_szFilePath)) return S_OK;
  if (!OsUserMoveFile(m_szFilePath, newPath, vxcap::kMoveCapture)) return VxHResultFromLastError();
  SetPath(newPath, cbFolder);
  return S_OK;
}

HRESULT CCaptureFile::SaveCaptureAs(const char* szFileName, bool bBootPath, LONG nStartFrame,
                                    LONG nFrames) {
  if (!szFileName || nStartFrame < 0 || !m_bCreated || nStartFrame >= m_nFrames || nFrames < -1 ||
      nFrames > m_nFrames)
    return E_FAIL;
  const bool wasClosed = m_pFileStream == nullptr;

  char target[kMaxPath + 1];
  HRESULT hr = vxcap::SaveTargetPath(szFileName, bBootPath, kMaxBootSavePath, target, m_sErr);
  if (FAILED(hr)) return hr;
  if (!SamePath(target, m_szFilePath) && vxcap::IsForeignFile(target))
    return RefuseForeignFile(target);

  const bool whole = nStartFrame == 0 && (nFrames == -1 || nFrames == m_nFrames);
  if (whole) {
    if (!wasClosed) CloseFile();
    if (m_bTemporary) {
      if (OsUserMoveFile(m_szFilePath, target, vxcap::kMoveCapture)) {
        m_bTemporary = false;
        SetPath(target, NamePos(target));
      } else {
        hr = VxHResultFromLastError();
      }
    } else if (!SamePath(target, m_szFilePath) && !OsUserCopyFile(m_szFilePath, target, FALSE)) {
      hr = VxHResultFromLastError();
    }
    if (!wasClosed) OpenFile();
    return hr;
  }

  // A part copied onto this very file would be truncated away while it is being read.
  const size_t namePos = NamePos(target);
  if (namePos == 0 || SamePath(target, m_szFilePath)) return E_FAIL;
  if (wasClosed) {
    hr = OpenFile();
    if (FAILED(hr)) return hr;
  }
  const LONG count =
      nFrames == -1 ? m_nFrames - nStartFrame : std::min(nFrames, m_nFrames - nStartFrame);
  DWORD cbRecords = 0;
  hr = GetSizeOfFrames(nStartFrame, count, cbRecords);
  if (SUCCEEDED(hr)) {
    char folder[kMaxPath + 1];
    snprintf(folder, sizeof folder, "%.*s", static_cast<int>(namePos - 1), target);
    CCaptureFile copy;
    hr = copy.Create(cbRecords, folder, target + namePos, false);
    if (SUCCEEDED(hr)) {
      hr = copy.WriteFrames(this, nStartFrame, count);
      if (SUCCEEDED(hr)) hr = copy.CloseFile();
      // A copy that failed half-way is no copy: remove it with the object.
      if (FAILED(hr)) copy.SetTemporary(true);
    }
  }
  if (wasClosed) CloseFile();
  return hr;
}
