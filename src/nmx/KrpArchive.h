// Byte archives: a cursor over a byte buffer that values are written to (store mode) or read
// from (load mode). CR3TpArchive owns its buffer and doubles it when a write does not fit;
// the NMX/TCP receive path collects frames in one.
//
// Values are written little-endian with their natural widths: int, unsigned int, float and
// KrpDataTypeId 4 bytes, char, unsigned char and bool 1, short and unsigned short 2, double
// and long long 8.
//
// Errors: m_nError holds a KRP code (KRP_E_NO_MEMORY when the buffer cannot grow or a load
// source is exhausted); once it is set, further bytes are dropped silently until Flush.
//
// Threads: an archive is used by one thread at a time. The pointer returned by
// operator const void* is valid until the next write (which may move the buffer), Flush
// keeps it.
#pragma once

#include "nmx/KrpTypes.h"

class CKrpArchive {
 public:
  enum Mode { store = 1, load = 2, bNoFlushOnDelete = 4, bNoByteSwap = 8 };

  virtual ~CKrpArchive();
  CKrpArchive(const CKrpArchive&) = delete;
  CKrpArchive& operator=(const CKrpArchive&) = delete;

  virtual CKrpArchive& operator<<(int v);
  virtual CKrpArchive& operator<<(unsigned int v);
  virtual CKrpArchive& operator<<(unsigned char v);
  virtual CKrpArchive& operator<<(char v);
  virtual CKrpArchive& operator<<(short v);
  virtual CKrpArchive& operator<<(unsigned short v);
  virtual CKrpArchive& operator<<(float v);
  virtual CKrpArchive& operator<<(double v);
  virtual CKrpArchive& operator<<(bool v);
  virtual CKrpArchive& operator<<(long long v);
  virtual CKrpArchive& operator<<(KrpDataTypeId v);
  // A value that cannot be read completely reads as 0.
  virtual CKrpArchive& operator>>(int& v);
  virtual CKrpArchive& operator>>(unsigned int& v);
  virtual CKrpArchive& operator>>(unsigned char& v);
  virtual CKrpArchive& operator>>(char& v);
  virtual CKrpArchive& operator>>(short& v);
  virtual CKrpArchive& operator>>(unsigned short& v);
  virtual CKrpArchive& operator>>(float& v);
  virtual CKrpArchive& operator>>(double& v);
  virtual CKrpArchive& operator>>(bool& v);
  virtual CKrpArchive& operator>>(long long& v);
  virtual CKrpArchive& operator>>(KrpDataTypeId& v);

  // Start of the buffer.
  virtual operator const void*() const;
  // Copies n bytes out of the archive into data (null: skips them); returns the bytes taken.
  virtual DWORD Read(void* data, DWORD n);
  // Appends n bytes; returns the bytes stored (fewer only after an error).
  virtual DWORD Write(const void* data, DWORD n);
  virtual void Flush() = 0;
  virtual LONG ReadBuffer() = 0;
  virtual void OnBufferEmpty() = 0;
  virtual void OnBufferFull() = 0;
  virtual BOOL IsStoring() const;
  virtual BOOL IsLoading() const;
  virtual LONG GetResult() const;
  // Store mode: nothing written since the last flush. Load mode: everything read.
  virtual BOOL BufferEmpty() const;
  virtual LONG GetDataSize() const;

 protected:
  explicit CKrpArchive(int mode);

  int m_nMode;
  DWORD m_nBufSize;
  BYTE* m_lpBufCur;
  BYTE* m_lpBufMax;  // end of the buffer when storing, end of the loaded bytes when loading
  BYTE* m_lpBufStart;
  LONG m_nError;
};

// Where a loading CR3TpArchive refills from. ReadSource returns the bytes it put at dest
// (at most cb); 0 means the source is exhausted.
class IKrpArchiveSource {
 public:
  virtual DWORD ReadSource(void* dest, DWORD cb) = 0;

 protected:
  ~IKrpArchiveSource() = default;
};

struct CR3TpArchiveImpl;

class CR3TpArchive : public CKrpArchive {
 public:
  // inOut is read only in load mode and must outlive the archive; it may be null (a load
  // then fails with KRP_E_NO_MEMORY once the buffer is read). A buffer that cannot be
  // allocated leaves the archive failed with KRP_E_NO_MEMORY.
  CR3TpArchive(IKrpArchiveSource* inOut, int mode, DWORD bufferSize);
  ~CR3TpArchive() override;

  // Cursor back to the start and the error cleared; the capacity stays.
  void Flush() override;
  LONG ReadBuffer() override;
  void OnBufferEmpty() override;
  // Doubles the buffer, keeping its contents.
  void OnBufferFull() override;

  DWORD GetBufferSize() const { return m_nBufSize; }

 private:
  IKrpArchiveSource* m_lpInOut;
  CR3TpArchiveImpl* m_pImpl;
};
