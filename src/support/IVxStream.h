// Stream interfaces shared by the file and the memory stream.
//
// The order of the virtual functions below is the binary slot order of the interfaces and
// must not change: ISequentialStream (3-4), IStream (5-13), IVxStream (14-17), then
// IVxFileStream or IVxMemoryStream (18-19).
//
// Positions, sizes and counts of the IVxStream operations are 32-bit; Seek, SetSize and the
// IStream CopyTo work with 64-bit values. A stream is not locked: one owner uses it at a time;
// only AddRef and Release may be called from any thread.
#pragma once

#include "os/ComBase.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"

constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;

// Description of a stream; the streams here fill only cbSize.
struct STATSTG {
  LPSTR pwcsName;
  DWORD type;
  ULONGLONG cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

inline constexpr IID IID_IVxStream = {
    0xbecfff53, 0x70ac, 0x4d24, {0xb4, 0x4d, 0x5e, 0x16, 0x7f, 0x8b, 0x15, 0x3d}};
inline constexpr IID IID_IVxFileStream = {
    0x54c804a5, 0xf086, 0x40be, {0xa8, 0x01, 0x03, 0xa4, 0xfe, 0xc7, 0xbb, 0xd1}};
inline constexpr IID IID_IVxMemoryStream = {
    0x4cac1110, 0x39f7, 0x4e85, {0x8f, 0x0b, 0x64, 0xd3, 0x98, 0x6f, 0xd2, 0xcf}};

class ISequentialStream : public IUnknown {
 public:
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};

class IStream : public ISequentialStream {
 public:
  virtual HRESULT Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) = 0;
  virtual HRESULT SetSize(ULONGLONG libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, ULONGLONG cb, ULONGLONG* pcbRead,
                         ULONGLONG* pcbWritten) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) = 0;
  virtual HRESULT UnlockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};

class IVxStream : public IStream {
 public:
  using IStream::CopyTo;

  virtual HRESULT GetPosition(DWORD* pnPosition) = 0;
  virtual HRESULT SetPosition(DWORD nPosition) = 0;
  // Moves the cbSize bytes at the current position to nDstPosition (the regions may
  // overlap) and leaves the position behind the moved bytes.
  virtual HRESULT MoveRegion(DWORD cbSize, DWORD nDstPosition) = 0;
  // Copies up to cb bytes from the current position to the current position of pstm.
  virtual HRESULT CopyTo(IVxStream* pstm, DWORD cb, DWORD* pcbRead, DWORD* pcbWritten) = 0;

 protected:
  ~IVxStream() = default;
};

class IVxFileStream : public IVxStream {
 public:
  // E_FAIL if the path and its terminating zero do not fit in dwBufferLength characters.
  virtual HRESULT GetFilePath(DWORD dwBufferLength, char* szFilePath) = 0;
  // The handle stays owned by the stream.
  virtual HRESULT GetHandle(OS_USER_FILE_HANDLE* phFile) = 0;

 protected:
  ~IVxFileStream() = default;
};

class IVxMemoryStream : public IVxStream {
 public:
  // The buffer stays owned by the stream; a growable stream moves it when it grows.
  virtual HRESULT GetBuffer(BYTE** ppBuf) = 0;

 protected:
  ~IVxMemoryStream() = default;
};
