#include "router/VxPalDrvIFace.h"

#include <errno.h>

#include <cstring>

CVxPalDrvIFace::~CVxPalDrvIFace() {
  Close();
}

const char* CVxPalDrvIFace::GetRouterName() {
  return VxRouterDevicePath();
}

const char* CVxPalDrvIFace::GetNameFromPath(const char* path) {
  if (path == nullptr) return nullptr;
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

DWORD CVxPalDrvIFace::Open(const char* name, BOOL /*bOverlapped*/) {
  if (name == nullptr) return EINVAL;
  if (m_pLink) return EBUSY;
  auto link = vx::router::CreateRouterTransport(name);
  if (int err = link->Open(name)) return static_cast<DWORD>(err);
  m_pLink = std::move(link);
  m_fd = m_pLink->Descriptor();
  m_status = DRVSTATE_OPENED;
  return 0;
}

DWORD CVxPalDrvIFace::Close() {
  if (!m_pLink) return 0;
  m_pLink->Close();
  m_pLink.reset();
  m_fd = -1;
  m_status = DRVSTATE_CLOSED;
  return 0;
}

DWORD CVxPalDrvIFace::Read(void* buffer, DWORD length, DWORD* pBytesRead, OVERLAPPED* ov) {
  if (!m_pLink) return EBADF;
  DWORD n = 0;
  int err = m_pLink->ReadAt(buffer, length, ov ? ov->Offset : 0, &n);
  if (err) return static_cast<DWORD>(err);
  if (pBytesRead) *pBytesRead = n;
  return 0;
}

DWORD CVxPalDrvIFace::Write(const void* buffer, DWORD length, DWORD* pBytesWritten,
                            OVERLAPPED* /*ov*/) {
  if (!m_pLink) return EBADF;
  DWORD n = 0;
  int err = m_pLink->Write(buffer, length, &n);
  if (err) return static_cast<DWORD>(err);
  if (pBytesWritten) *pBytesWritten = n;
  return 0;
}

DWORD CVxPalDrvIFace::WriteMany(const void* const* buffers, const DWORD* lengths, DWORD n) {
  if (!m_pLink) return EBADF;
  return static_cast<DWORD>(m_pLink->WriteMany(buffers, lengths, n));
}

BOOL CVxPalDrvIFace::ReadReady() {
  return m_pLink && m_pLink->ReadReady();
}

BOOL CVxPalDrvIFace::RouterDropped(ULONGLONG* pCount) {
  uint64_t count = 0;
  if (!m_pLink || !m_pLink->RouterDropped(&count)) return FALSE;
  *pCount = count;
  return TRUE;
}

DWORD CVxPalDrvIFace::IoControl(DWORD code, const void* in, DWORD cbIn, void* out, DWORD cbOut,
                                DWORD* pcbReturned, OVERLAPPED* /*ov*/) {
  if (!m_pLink) return EBADF;
  if (cbIn > 0 && in == nullptr) return EFAULT;
  PAL_IOCTL_TRANS_BUF tb{};
  tb.params.dwIoControlCode = code;
  tb.params.cbInBufSize = cbIn;
  tb.params.cbOutBufSize = cbOut;
  if (cbIn <= sizeof(tb.buffer)) {
    if (cbIn) std::memcpy(tb.buffer, in, cbIn);
    if (int err = m_pLink->Control(PAL_IOCTL_INLINE, &tb, sizeof(tb)))
      return static_cast<DWORD>(err);
    const DWORD n = cbOut < sizeof(tb.buffer) ? cbOut : static_cast<DWORD>(sizeof(tb.buffer));
    if (out && n) std::memcpy(out, tb.buffer, n);
    if (pcbReturned) *pcbReturned = out ? n : 0;
    return 0;
  }
  tb.params.pInBuf = reinterpret_cast<uintptr_t>(in);
  tb.params.pOutBuf = reinterpret_cast<uintptr_t>(out);
  if (int err = m_pLink->Control(PAL_IOCTL_POINTERS, &tb.params, sizeof(tb.params)))
    return static_cast<DWORD>(err);
  if (pcbReturned) *pcbReturned = cbOut;
  return 0;
}

BOOL CVxPalDrvIFace::CancelIo() {
  if (m_pLink) m_pLink->Cancel();
  return TRUE;
}
