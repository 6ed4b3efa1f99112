// CDrvControl: one handle on the router device. Owns its transport (a CVxPalDrvIFace) for
// its whole life; every operation forwards to it.
//
// Thread-safety: as the transport's (router/VxPalDrvIFace.h). A handle is opened with
// OpenRouter, used, closed with CloseDrv and deleted; deleting an open handle closes it.
#pragma once

#include "router/DrvIFace.h"

class CDrvControl {
 public:
  CDrvControl();
  virtual ~CDrvControl();
  CDrvControl(const CDrvControl&) = delete;
  CDrvControl& operator=(const CDrvControl&) = delete;

  virtual DWORD Read(void* buffer, DWORD length, DWORD* pBytesRead, OVERLAPPED* ov);
  virtual DWORD Write(const void* buffer, DWORD length, DWORD* pBytesWritten, OVERLAPPED* ov);
  virtual DWORD IoControl(DWORD code, const void* in, DWORD cbIn, void* out, DWORD cbOut,
                          DWORD* pcbReturned, OVERLAPPED* ov);
  virtual BOOL CancelIo();
  virtual const char* GetFileExt();
  virtual DWORD GetDrvState();
  virtual BOOL GetOverlappedResult(OVERLAPPED* ov, DWORD* pcbTransferred, BOOL bWait);
  virtual DWORD ReadServerConfig(const char* key, char* value, DWORD cbValue);
  virtual DWORD ReadServerConfig(const char* section, const char* key, char* value, DWORD cbValue);
  virtual DWORD WriteMany(const void* const* buffers, const DWORD* lengths, DWORD n);
  virtual BOOL ReadReady();
  virtual BOOL RouterDropped(ULONGLONG* pCount);

  // Opens the router device (GetRouterName of the transport); 0 or the errno of the open.
  DWORD OpenRouter(BOOL bOverlapped);
  DWORD CloseDrv();

 private:
  CDrvIFace* m_pDrv;
};
