// CDrvIFace: the abstract driver transport behind a CDrvControl.
//
// Results of the operations are 0 for success or an errno value, except where noted.
#pragma once

#include <string>

#include "os/OsTypes.h"
#include "router/PalDrvTypes.h"

enum DRVSTATE : DWORD {
  DRVSTATE_UNLOADED = 0,
  DRVSTATE_LOADED = 1,
  DRVSTATE_STARTED = 2,
  DRVSTATE_OPENED = 3,
  DRVSTATE_INSTALLED = 4,
  DRVSTATE_CLOSED = 5,
};

class CDrvIFace {
 public:
  CDrvIFace() = default;
  virtual ~CDrvIFace() = default;
  CDrvIFace(const CDrvIFace&) = delete;
  CDrvIFace& operator=(const CDrvIFace&) = delete;

  virtual DWORD Start() = 0;
  virtual DWORD Create() = 0;
  virtual DWORD Install() = 0;
  virtual DWORD Open(const char* name, BOOL bOverlapped) = 0;
  virtual DWORD Unload() = 0;
  virtual DWORD Remove() = 0;
  virtual DWORD Close() = 0;
  virtual DWORD Stop() = 0;
  virtual DWORD Read(void* buffer, DWORD length, DWORD* pBytesRead, OVERLAPPED* ov) = 0;
  virtual DWORD Write(const void* buffer, DWORD length, DWORD* pBytesWritten, OVERLAPPED* ov) = 0;
  virtual DWORD IoControl(DWORD code, const void* in, DWORD cbIn, void* out, DWORD cbOut,
                          DWORD* pcbReturned, OVERLAPPED* ov) = 0;
  // BOOL results.
  virtual BOOL CancelIo() = 0;
  virtual DWORD ReadServerConfig(const char* key, char* value, DWORD cbValue) = 0;
  virtual const char* GetFileExt() = 0;
  virtual DWORD GetState() = 0;
  virtual const char* GetRouterName() = 0;
  // The file name part of path (behind its last separator).
  virtual const char* GetNameFromPath(const char* path) = 0;
  virtual BOOL GetOverlappedResult(OVERLAPPED* ov, DWORD* pcbTransferred, BOOL bWait) = 0;
  // n whole commands in order, as n calls of Write would (0 or the first failure's errno),
  // in as few system calls as the link allows.
  virtual DWORD WriteMany(const void* const* buffers, const DWORD* lengths, DWORD n) = 0;
  // TRUE when the next Read returns without waiting for the router.
  virtual BOOL ReadReady() = 0;
  // TRUE with the count of commands the router dropped for the port this handle reads (its
  // queue was full) since the port registered, as far as the router has told; FALSE where the
  // router cannot say.
  virtual BOOL RouterDropped(ULONGLONG* pCount) = 0;

 protected:
  std::string m_csDrvName;    // left empty by this program
  void* m_hDevice = nullptr;  // left null by this program
  DWORD m_status = DRVSTATE_UNLOADED;
};
