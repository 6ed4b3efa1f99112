#include "support/VxMemoryStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Zeroed by the allocator, not by us: fresh pages of a large buffer come from the system
// already zero and stay untouched until written, so a buffer costs memory as it fills.
BYTE* NewBuffer(DWORD cb) {
  return static_cast<BYTE*>(calloc(cb ? cb : 1, 1));
}

template <typename Stream>
HRESULT Hand(Stream* p, IVxMemoryStream** pp, HRESULT hr) {
  if (FAILED(hr)) {
    p->Release();
    return hr;
  }
  *pp = p;
  return S_OK;
}

}  // namespace

CVxMemoryStream::CVxMemoryStream()
    : m_pBuf(nullptr),
      m_cbSize(0),
      m_cbCurrent(0),
      m_cRef(1),
      m_bDelete(true),
      m_bAllocated(false),
      m_bGrowable(false),
      m_cbGrowth(0) {}

CVxMemoryStream::~CVxMemoryStream() {
  ReleaseBuffer();
}

void CVxMemoryStream::ReleaseBuffer() {
  if (m_bDelete) {
    if (m_bAllocated)
      free(m_pBuf);
    else
      delete[] m_pBuf;
  }
  m_pBuf = nullptr;
}

HRESULT CVxMemoryStream::CreateMemoryStream(DWORD cbSize, IVxMemoryStream** ppIVxMemoryStream) {
  return CreateMemoryStream(nullptr, cbSize, ppIVxMemoryStream, TRUE);
}

HRESULT CVxMemoryStream::CreateMemoryStream(BYTE* pBuf, DWORD cbSize,
                                            IVxMemoryStream** ppIVxMemoryStream, BOOL bDelete) {
  if (!ppIVxMemoryStream) return E_POINTER;
  CVxMemoryStream* p = new (std::nothrow) CVxMemoryStream();
  if (!p) return E_OUTOFMEMORY;
  return Hand(p, ppIVxMemoryStream, p->Init(cbSize, pBuf, bDelete));
}

HRESULT CVxMemoryStream::CreateGrowableMemoryStream(DWORD cbSize,
                                                    IVxMemoryStream** ppIVxMemoryStream,
                                                    DWORD cbGrowth) {
  if (!ppIVxMemoryStream) return E_POINTER;
  CVxMemoryStream* p = new (std::nothrow) CVxMemoryStream();
  if (!p) return E_OUTOFMEMORY;
  return Hand(p, ppIVxMemoryStream, p->InitGrowable(cbSize, cbGrowth));
}

// A buffer the stream allocates itself is always its own to free, whatever bDelete says:
// nobody else knows it exists.
HRESULT CVxMemoryStream::Init(DWORD cbSize, BYTE* pBuf, BOOL bDelete) {
  bool own = bDelete != FALSE;
  bool allocated = false;
  if (!pBuf) {
    pBuf = NewBuffer(cbSize);
    if (!pBuf) return E_OUTOFMEMORY;
    own = true;
    allocated = true;
  }
  if (m_pBuf != pBuf) ReleaseBuffer();
  m_pBuf = pBuf;
  m_cbSize = cbSize;
  m_cbCurrent = 0;
  m_bDelete = own;
  m_bAllocated = allocated;
  m_bGrowable = false;
  m_cbGrowth = 0;
  return S_OK;
}

HRESULT CVxMemoryStream::InitGrowable(DWORD cbSize, DWORD cbGrowth) {
  HRESULT hr = Init(std::max(cbSize, cbGrowth), nullptr, TRUE);
  if (FAILED(hr)) return hr;
  m_bGrowable = true;
  m_cbGrowth = cbGrowth;
  return S_OK;
}

HRESULT CVxMemoryStream::GrowStream(DWORD cbNewSize) {
  if (cbNewSize <= m_cbSize) return S_OK;
  ULONGLONG grown =
      static_cast<ULONGLONG>(m_cbSize) + std::max<DWORD>(m_cbGrowth, cbNewSize - m_cbSize);
  DWORD cap = grown > 0xFFFFFFFFull ? cbNewSize : static_cast<DWORD>(grown);
  BYTE* p = NewBuffer(cap);
  if (!p) return E_OUTOFMEMORY;
  if (m_pBuf && m_cbSize) memcpy(p, m_pBuf, m_cbSize);
  ReleaseBuffer();
  m_pBuf = p;
  m_cbSize = cap;
  m_bDelete = true;
  m_bAllocated = true;
  return S_OK;
}

HRESULT CVxMemoryStream::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream ||
      riid == IID_IVxMemoryStream) {
    *ppv = static_cast<IVxMemoryStream*>(this);
    AddRef();
  } else {
    *ppv = nullptr;
  }
  return S_OK;
}

ULONG CVxMemoryStream::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
}

ULONG CVxMemoryStream::Release() {
  LONG n = InterlockedDecrement(&m_cRef);
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

HRESULT CVxMemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead) *pcbRead = 0;
  if (!pv) return E_FAIL;
  if (m_cbSize != 0 && m_cbCurrent >= m_cbSize) return E_FAIL;
  DWORD n = std::min<DWORD>(cb, Remaining());
  if (n == 0) return S_FALSE;
  memcpy(pv, m_pBuf + m_cbCurrent, n);
  m_cbCurrent += n;
  if (pcbRead) *pcbRead = n;
  return S_OK;
}

HRESULT CVxMemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (!pv) return E_FAIL;
  if (cb == 0) return S_FALSE;
  ULONGLONG end = static_cast<ULONGLONG>(m_cbCurrent) + cb;
  if (end > m_cbSize) {
    if (!m_bGrowable || end > 0xFFFFFFFFull) return E_OUTOFMEMORY;
    HRESULT hr = GrowStream(static_cast<DWORD>(end));
    if (FAILED(hr)) return hr;
  }
  memcpy(m_pBuf + m_cbCurrent, pv, cb);
  m_cbCurrent += cb;
  if (pcbWritten) *pcbWritten = cb;
  return S_OK;
}

HRESULT CVxMemoryStream::Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) {
  DWORD low = static_cast<DWORD>(static_cast<ULONGLONG>(dlibMove) & 0xFFFFFFFFu);
  if (dwOrigin == STREAM_SEEK_SET)
    m_cbCurrent = low;
  else if (dwOrigin == STREAM_SEEK_CUR)
    m_cbCurrent += low;
  else
    return E_UNEXPECTED;
  if (plibNewPosition) *plibNewPosition = m_cbCurrent;
  return S_OK;
}

HRESULT CVxMemoryStream::SetSize(ULONGLONG) {
  return E_NOTIMPL;
}
HRESULT CVxMemoryStream::Commit(DWORD) {
  return E_NOTIMPL;
}
HRESULT CVxMemoryStream::Revert() {
  return E_NOTIMPL;
}
HRESULT CVxMemoryStream::LockRegion(ULONGLONG, ULONGLONG, DWORD) {
  return E_NOTIMPL;
}
HRESULT CVxMemoryStream::UnlockRegion(ULONGLONG, ULONGLONG, DWORD) {
  return E_NOTIMPL;
}

HRESULT CVxMemoryStream::Stat(STATSTG* pstatstg, DWORD) {
  if (!pstatstg) return E_POINTER;
  pstatstg->cbSize = m_cbSize;
  return S_OK;
}

HRESULT CVxMemoryStream::Clone(IStream** ppstm) {
  if (m_bGrowable) return E_NOTIMPL;
  if (!ppstm) return E_POINTER;
  CVxMemoryStream* p = new (std::nothrow) CVxMemoryStream();
  if (!p) return E_OUTOFMEMORY;
  HRESULT hr = p->Init(m_cbSize, nullptr, TRUE);
  if (FAILED(hr) || !m_pBuf) {
    p->Release();
    return FAILED(hr) ? hr : E_FAIL;
  }
  if (m_cbSize) memcpy(p->m_pBuf, m_pBuf, m_cbSize);
  *ppstm = p;
  return m_cbSize ? S_OK : S_FALSE;
}

HRESULT CVxMemoryStream::GetPosition(DWORD* pnPosition) {
  if (!pnPosition) return E_UNEXPECTED;
  *pnPosition = m_cbCurrent;
  return S_OK;
}

HRESULT CVxMemoryStream::SetPosition(DWORD nPosition) {
  m_cbCurrent = nPosition;
  return S_OK;
}

HRESULT CVxMemoryStream::MoveRegion(DWORD cbSize, DWORD nDstPosition) {
  if (m_bGrowable) return E_NOTIMPL;
  if (m_cbCurrent > m_cbSize || nDstPosition > m_cbSize || m_cbSize - m_cbCurrent < cbSize ||
      m_cbSize - nDstPosition < cbSize)
    return E_FAIL;
  if (cbSize) memmove(m_pBuf + nDstPosition, m_pBuf + m_cbCurrent, cbSize);
  m_cbCurrent = nDstPosition + cbSize;
  return S_OK;
}

template <typename Target, typename Count>
HRESULT CVxMemoryStream::CopyToImpl(Target* pstm, ULONGLONG cb, Count* pcbRead, Count* pcbWritten) {
  if (!pstm) return E_POINTER;
  DWORD n = static_cast<DWORD>(std::min<ULONGLONG>(cb, Remaining()));
  const BYTE* src = (m_pBuf && n) ? m_pBuf + m_cbCurrent : m_pBuf;
  ULONG written = 0;
  HRESULT hr = pstm->Write(src, n, &written);
  m_cbCurrent += n;
  if (FAILED(hr)) return hr;
  if (pcbRead) *pcbRead = n;
  if (pcbWritten) *pcbWritten = written;
  return hr;
}

HRESULT CVxMemoryStream::CopyTo(IStream* pstm, ULONGLONG cb, ULONGLONG* pcbRead,
                                ULONGLONG* pcbWritten) {
  return CopyToImpl(pstm, cb, pcbRead, pcbWritten);
}

HRESULT CVxMemoryStream::CopyTo(IVxStream* pstm, DWORD cb, DWORD* pcbRead, DWORD* pcbWritten) {
  return CopyToImpl(pstm, cb, pcbRead, pcbWritten);
}

HRESULT CVxMemoryStream::GetBuffer(BYTE** ppBuf) {
  if (!ppBuf) return E_POINTER;
  *ppBuf = m_pBuf;
  return S_OK;
}

HRESULT CVxMemoryStream::Seek(DWORD nOffset) {
  if (!m_pBuf) return E_FAIL;
  m_cbCurrent = nOffset;
  return S_OK;
}

HRESULT CVxMemoryStream::Flush() {
  return Seek(0u);
}
