#include "router/DrvControl.h"

#include "router/VxPalDrvIFace.h"

CDrvControl::CDrvControl() : m_pDrv(new CVxPalDrvIFace()) {}

CDrvControl::~CDrvControl() {
  delete m_pDrv;
}

DWORD CDrvControl::Read(void* buffer, DWORD length, DWORD* pBytesRead, OVERLAPPED* ov) {
  return m_pDrv->Read(buffer, length, pBytesRead, ov);
}

DWORD CDrvControl::WriteMany(const void* const* buffers, const DWORD* lengths, DWORD n) {
  return m_pDrv->WriteMany(buffers, lengths, n);
}

BOOL CDrvControl::ReadReady() {
  return m_pDrv->ReadReady();
}

BOOL CDrvControl::RouterDropped(ULONGLONG* pCount) {
  return m_pDrv->RouterDropped(pCount);
}

DWORD CDrvControl::Write(const void* buffer, DWORD length, DWORD* pBytesWritten, OVERLAPPED* ov) {
  return m_pDrv->Write(buffer, length, pBytesWritten, ov);
}

DWORD CDrvControl::IoControl(DWORD code, const void* in, DWORD cbIn, void* out, DWORD cbOut,
                             DWORD* pcbReturned, OVERLAPPED* ov) {
  return m_pDrv->IoControl(code, in, cbIn, out, cbOut, pcbReturned, ov);
}

BOOL CDrvControl::CancelIo() {
  return m_pDrv->CancelIo();
}

const char* CDrvControl::GetFileExt() {
  return m_pDrv->GetFileExt();
}

DWORD CDrvControl::GetDrvState() {
  return m_pDrv->GetState();
}

BOOL CDrvControl::GetOverlappedResult(OVERLAPPED* ov, DWORD* pcbTransferred, BOOL bWait) {
  return m_pDrv->GetOverlappedResult(ov, pcbTransferred, bWait);
}

DWORD CDrvControl::ReadServerConfig(const char* key, char* value, DWORD cbValue) {
  return m_pDrv->ReadServerConfig(key, value, cbValue);
}

// The transport has one configuration store; the section adds nothing to the look-up.
DWORD CDrvControl::ReadServerConfig(const char* /*section*/, const char* key, char* value,
                                    DWORD cbValue) {
  return m_pDrv->ReadServerConfig(key, value, cbValue);
}

DWORD CDrvControl::OpenRouter(BOOL bOverlapped) {
  return m_pDrv->Open(m_pDrv->GetRouterName(), bOverlapped);
}

DWORD CDrvControl::CloseDrv() {
  return m_pDrv->Close();
}
