// A reference-counted stream over an open file of the OS layer.
#pragma once

#include "os/OsTypes.h"
#include "os/OsUserTools.h"
#include "support/IVxStream.h"

// Not locked: one owner uses a stream at a time; AddRef and Release are atomic. The object
// owns its handle and its path copy; the last Release closes the file and frees both.
class CVxFileStream : public IVxFileStream {
 public:
  // Opens lpFilePath with the OS layer (the arguments have OsUserCreateFile's meaning). On
  // success *ppIFileStream receives the stream holding one reference; on failure it is left
  // unchanged and the converted OS error is returned.
  static HRESULT CreateFileStream(IVxFileStream** ppIFileStream, LPCSTR lpFilePath,
                                  DWORD dwDesiredAccess, DWORD dwShareMode,
                                  DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes);

  CVxFileStream();
  CVxFileStream(const CVxFileStream&) = delete;
  CVxFileStream& operator=(const CVxFileStream&) = delete;

  HRESULT Init(LPCSTR lpFilePath, DWORD dwDesiredAccess, DWORD dwShareMode,
               DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
               LPSECURITY_ATTRIBUTES lpSecurityAttributes, OS_USER_FILE_HANDLE hTemplateFile);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;

  HRESULT Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) override;
  HRESULT SetSize(ULONGLONG libNewSize) override;
  HRESULT CopyTo(IStream* pstm, ULONGLONG cb, ULONGLONG* pcbRead, ULONGLONG* pcbWritten) override;
  HRESULT Commit(DWORD grfCommitFlags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
  HRESULT UnlockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT Clone(IStream** ppstm) override;

  HRESULT GetPosition(DWORD* pnPosition) override;
  HRESULT SetPosition(DWORD nPosition) override;
  HRESULT MoveRegion(DWORD cbSize, DWORD nDstPosition) override;
  HRESULT CopyTo(IVxStream* pstm, DWORD cb, DWORD* pcbRead, DWORD* pcbWritten) override;

  HRESULT GetFilePath(DWORD dwBufferLength, char* szFilePath) override;
  HRESULT GetHandle(OS_USER_FILE_HANDLE* phFile) override;

 protected:
  virtual ~CVxFileStream();

 private:
  HRESULT ReadExact(void* pv, DWORD cb);

  char* m_szFilePath;
  OS_USER_FILE_HANDLE m_hFile;
  LONG m_cRef;
};
