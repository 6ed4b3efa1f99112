#include "support/VxFileStream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "os/OsUserFile.h"
#include "support/VxLastError.h"

namespace {
// Moves and copies go through a buffer on the stack, never the heap. 16 KiB moves a large
// frame table about five times faster than 1 KiB (bench_capture) and is small against a
// thread's default stack.
constexpr DWORD kVxStreamChunk = 16384;
// Regions moved within a file go in chunks this large where the memory can be had.
constexpr ULONGLONG kMoveChunk = 1u << 20;
}  // namespace

CVxFileStream::CVxFileStream() : m_szFilePath(nullptr), m_hFile(INVALID_HANDLE_VALUE), m_cRef(1) {}

CVxFileStream::~CVxFileStream() {
  if (m_hFile != INVALID_HANDLE_VALUE) OsUserCloseHandle(m_hFile);
  delete[] m_szFilePath;
}

HRESULT CVxFileStream::CreateFileStream(IVxFileStream** ppIFileStream, LPCSTR lpFilePath,
                                        DWORD dwDesiredAccess, DWORD dwShareMode,
                                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes) {
  if (!ppIFileStream) return E_POINTER;
  CVxFileStream* p = new (std::nothrow) CVxFileStream();
  if (!p) return E_OUTOFMEMORY;
  HRESULT hr = p->Init(lpFilePath, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                       dwFlagsAndAttributes, nullptr, nullptr);
  if (FAILED(hr)) {
    p->Release();
    return hr;
  }
  *ppIFileStream = p;
  return S_OK;
}

HRESULT CVxFileStream::Init(LPCSTR lpFilePath, DWORD dwDesiredAccess, DWORD dwShareMode,
                            DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                            OS_USER_FILE_HANDLE hTemplateFile) {
  if (!lpFilePath) return E_POINTER;
  size_t len = strlen(lpFilePath);
  char* path = new (std::nothrow) char[len + 1];
  if (!path) return E_OUTOFMEMORY;
  memcpy(path, lpFilePath, len + 1);

  OS_USER_FILE_HANDLE h =
      OsUserCreateFile(lpFilePath, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
  if (h == INVALID_HANDLE_VALUE) {
    HRESULT hr = VxHResultFromLastError();
    delete[] path;
    return hr;
  }
  if (m_hFile != INVALID_HANDLE_VALUE) OsUserCloseHandle(m_hFile);
  m_hFile = h;
  delete[] m_szFilePath;
  m_szFilePath = path;
  return S_OK;
}

HRESULT CVxFileStream::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream ||
      riid == IID_IVxStream || riid == IID_IVxFileStream) {
    *ppv = static_cast<IVxFileStream*>(this);
    AddRef();
  } else {
    *ppv = nullptr;
  }
  return S_OK;
}

ULONG CVxFileStream::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
}

ULONG CVxFileStream::Release() {
  LONG n = InterlockedDecrement(&m_cRef);
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

HRESULT CVxFileStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  DWORD n = 0;
  if (!OsUserReadFile(m_hFile, pv, cb, &n, nullptr)) return VxHResultFromLastError();
  if (pcbRead) *pcbRead = n;
  return S_OK;
}

// The OS layer writes once and may stop short (a full disk, a file size limit); going on
// with the rest either finishes the write or yields the error that explains the stop, so a
// success always means every byte was written.
HRESULT CVxFileStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  const BYTE* p = static_cast<const BYTE*>(pv);
  ULONG done = 0;
  HRESULT hr = S_OK;
  do {
    DWORD n = 0;
    if (!OsUserWriteFile(m_hFile, p + done, cb - done, &n, nullptr)) {
      hr = VxHResultFromLastError();
      break;
    }
    if (n == 0 && cb != 0) {
      hr = E_FAIL;
      break;
    }
    done += n;
  } while (done < cb);
  if (pcbWritten) *pcbWritten = done;
  return hr;
}

HRESULT CVxFileStream::Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) {
  if (dwOrigin > STREAM_SEEK_END) return E_UNEXPECTED;
  LONG high = static_cast<LONG>(dlibMove >> 32);
  DWORD low =
      OsUserSetFilePointer(m_hFile, static_cast<LONG>(dlibMove & 0xFFFFFFFF), &high, dwOrigin);
  if (low == 0xFFFFFFFFu && OsUserGetLastError() != 0) return VxHResultFromLastError();
  if (plibNewPosition)
    *plibNewPosition = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
  return S_OK;
}

// A failed cut or extension is reported: callers size files to reserve space and cut them
// to their final length, and both must be known to have happened.
HRESULT CVxFileStream::SetSize(ULONGLONG libNewSize) {
  DWORD high = 0;
  if (OsUserGetFileSize(m_hFile, &high) == 0xFFFFFFFFu && OsUserGetLastError() != 0) return E_FAIL;
  HRESULT hr = Seek(static_cast<LONGLONG>(libNewSize), STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;
  if (!OsUserSetEndOfFile(m_hFile)) return VxHResultFromLastError();
  return hr;
}

HRESULT CVxFileStream::CopyTo(IStream*, ULONGLONG, ULONGLONG*, ULONGLONG*) {
  return E_NOTIMPL;
}
// Every flag asks for the same: the data written so far on the storage device.
HRESULT CVxFileStream::Commit(DWORD) {
  return OsUserFlushFileBuffers(m_hFile) ? S_OK : VxHResultFromLastError();
}
HRESULT CVxFileStream::Revert() {
  return E_NOTIMPL;
}
HRESULT CVxFileStream::LockRegion(ULONGLONG, ULONGLONG, DWORD) {
  return E_NOTIMPL;
}
HRESULT CVxFileStream::UnlockRegion(ULONGLONG, ULONGLONG, DWORD) {
  return E_NOTIMPL;
}
HRESULT CVxFileStream::Stat(STATSTG*, DWORD) {
  return E_NOTIMPL;
}
HRESULT CVxFileStream::Clone(IStream**) {
  return E_NOTIMPL;
}

HRESULT CVxFileStream::GetPosition(DWORD* pnPosition) {
  if (!pnPosition) return E_UNEXPECTED;
  ULONGLONG pos = 0;
  HRESULT hr = Seek(0, STREAM_SEEK_CUR, &pos);
  if (SUCCEEDED(hr)) *pnPosition = static_cast<DWORD>(pos);
  return hr;
}

HRESULT CVxFileStream::SetPosition(DWORD nPosition) {
  return Seek(nPosition, STREAM_SEEK_SET, nullptr);
}

HRESULT CVxFileStream::ReadExact(void* pv, DWORD cb) {
  BYTE* p = static_cast<BYTE*>(pv);
  DWORD done = 0;
  while (done < cb) {
    ULONG n = 0;
    HRESULT hr = Read(p + done, cb - done, &n);
    if (FAILED(hr)) return hr;
    if (n == 0) return E_FAIL;
    done += n;
  }
  return S_OK;
}

// A region that reaches beyond the end of the file cannot be moved whole and fails rather
// than leaving a partly moved copy that looks complete.
HRESULT CVxFileStream::MoveRegion(DWORD cbSize, DWORD nDstPosition) {
  DWORD start = 0;
  HRESULT hr = GetPosition(&start);
  if (FAILED(hr)) return hr;
  const ULONGLONG src = start;
  const ULONGLONG dst = nDstPosition;
  const ULONGLONG size = cbSize;
  // A capture moves its whole frame table with every append: large chunks keep that to a few
  // system calls per megabyte. Without the memory the stack chunk does the same, slower.
  BYTE small[kVxStreamChunk];
  const size_t cbLarge = static_cast<size_t>(std::min<ULONGLONG>(size, kMoveChunk));
  std::unique_ptr<BYTE[]> large(cbLarge > sizeof small ? new (std::nothrow) BYTE[cbLarge]
                                                       : nullptr);
  BYTE* buf = large ? large.get() : small;
  const ULONGLONG cbBuf = large ? cbLarge : sizeof small;

  auto moveChunk = [&](ULONGLONG at, DWORD n) -> HRESULT {
    HRESULT r = Seek(static_cast<LONGLONG>(src + at), STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(r)) r = ReadExact(buf, n);
    if (SUCCEEDED(r)) r = Seek(static_cast<LONGLONG>(dst + at), STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(r)) r = Write(buf, n, nullptr);
    return r;
  };

  if (src != dst) {
    if (src < dst && dst < src + size) {
      // The destination overlaps the tail of the source: copy from the end backwards so
      // that no byte is overwritten before it has been read.
      ULONGLONG left = size;
      while (left > 0) {
        DWORD n = static_cast<DWORD>(std::min<ULONGLONG>(left, cbBuf));
        left -= n;
        hr = moveChunk(left, n);
        if (FAILED(hr)) return hr;
      }
    } else {
      for (ULONGLONG done = 0; done < size;) {
        DWORD n = static_cast<DWORD>(std::min<ULONGLONG>(size - done, cbBuf));
        hr = moveChunk(done, n);
        if (FAILED(hr)) return hr;
        done += n;
      }
    }
  }
  return Seek(static_cast<LONGLONG>(dst + size), STREAM_SEEK_SET, nullptr);
}

// Ends early, with the count copied so far, at the end of this file. A failed read or a
// target that takes fewer bytes than offered is reported: the caller must not mistake a
// partial copy for a complete one.
HRESULT CVxFileStream::CopyTo(IVxStream* pstm, DWORD cb, DWORD* pcbRead, DWORD* pcbWritten) {
  if (!pstm) return E_POINTER;
  BYTE buf[kVxStreamChunk];
  DWORD copied = 0;
  HRESULT hr = S_OK;
  while (copied < cb) {
    DWORD chunk = std::min<DWORD>(cb - copied, sizeof buf);
    ULONG n = 0;
    hr = Read(buf, chunk, &n);
    if (FAILED(hr)) break;
    if (n == 0) break;
    ULONG written = 0;
    hr = pstm->Write(buf, n, &written);
    if (FAILED(hr)) break;
    if (written != n) {
      hr = E_FAIL;
      break;
    }
    copied += n;
    if (n < chunk) break;
  }
  if (SUCCEEDED(hr)) hr = S_OK;
  if (pcbRead) *pcbRead = copied;
  if (pcbWritten) *pcbWritten = copied;
  return hr;
}

HRESULT CVxFileStream::GetFilePath(DWORD dwBufferLength, char* szFilePath) {
  if (!szFilePath) return E_POINTER;
  if (!m_szFilePath) return E_FAIL;
  size_t len = strlen(m_szFilePath);
  if (len + 1 > dwBufferLength) return E_FAIL;
  memcpy(szFilePath, m_szFilePath, len + 1);
  return S_OK;
}

HRESULT CVxFileStream::GetHandle(OS_USER_FILE_HANDLE* phFile) {
  if (!phFile) return E_POINTER;
  *phFile = m_hFile;
  return S_OK;
}
