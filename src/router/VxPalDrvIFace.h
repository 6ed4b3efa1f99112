// CVxPalDrvIFace: the router device transport. Builds the device-control envelope and
// passes open, positioned read, write and control to the link behind the device path (the
// runtime's device, or the stand-in router's socket; see router/RouterTransport.h).
//
// Thread-safety: Read, Write and IoControl may run on different threads at once; Open and
// Close must not overlap any other call. Deleting an open transport closes it.
#pragma once

#include <memory>

#include "router/DrvIFace.h"
#include "router/RouterTransport.h"

class CVxPalDrvIFace : public CDrvIFace {
 public:
  CVxPalDrvIFace() = default;
  ~CVxPalDrvIFace() override;

  DWORD Start() override { return 0; }
  DWORD Create() override { return 0; }
  DWORD Install() override { return 0; }
  // Opens name read-write; the flag is ignored.
  DWORD Open(const char* name, BOOL bOverlapped) override;
  DWORD Unload() override { return 0; }
  DWORD Remove() override { return 0; }
  DWORD Close() override;
  DWORD Stop() override { return 0; }
  // One read of at most length bytes for the port in ov->Offset (0 without ov).
  DWORD Read(void* buffer, DWORD length, DWORD* pBytesRead, OVERLAPPED* ov) override;
  DWORD Write(const void* buffer, DWORD length, DWORD* pBytesWritten, OVERLAPPED* ov) override;
  // Inputs of at most 64 bytes travel inside the envelope and up to 64 output bytes are
  // copied back (*pcbReturned says how many); larger inputs go by pointer. On failure the
  // output is left untouched.
  DWORD IoControl(DWORD code, const void* in, DWORD cbIn, void* out, DWORD cbOut,
                  DWORD* pcbReturned, OVERLAPPED* ov) override;
  // Makes a read blocked on another thread return where the link allows it (the socket);
  // on the device the unregistration does that. Always TRUE.
  BOOL CancelIo() override;
  DWORD ReadServerConfig(const char*, char*, DWORD) override { return 0; }
  const char* GetFileExt() override { return ""; }
  DWORD GetState() override { return 0; }
  const char* GetRouterName() override;
  const char* GetNameFromPath(const char* path) override;
  BOOL GetOverlappedResult(OVERLAPPED*, DWORD*, BOOL) override { return TRUE; }
  DWORD WriteMany(const void* const* buffers, const DWORD* lengths, DWORD n) override;
  BOOL ReadReady() override;
  // Only the stand-in router's socket can say; the device cannot.
  BOOL RouterDropped(ULONGLONG* pCount) override;

 private:
  int m_fd = -1;
  std::unique_ptr<vx::router::IRouterTransport> m_pLink;
};
