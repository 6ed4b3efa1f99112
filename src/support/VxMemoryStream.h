// A reference-counted stream over a byte buffer, fixed or growable.
#pragma once

#include "os/OsTypes.h"
#include "support/IVxStream.h"

// The end of the stream is the capacity of the buffer: every byte up to it is readable.
// A fixed stream never reallocates, so its buffer pointer is valid for the stream's
// lifetime; a growable stream replaces its buffer when a write goes past the capacity.
// Not locked: one owner uses a stream at a time; AddRef and Release are atomic.
class CVxMemoryStream : public IVxMemoryStream {
 public:
  // A fixed stream owning a new buffer of cbSize bytes. Its bytes read as zero until written,
  // without being written up front: a large buffer takes memory only as it fills.
  static HRESULT CreateMemoryStream(DWORD cbSize, IVxMemoryStream** ppIVxMemoryStream);
  // A fixed stream over pBuf (a new buffer when pBuf is null). With bDelete the stream frees
  // the buffer (it must come from new[]); without it the caller keeps the buffer alive for
  // the stream's lifetime.
  static HRESULT CreateMemoryStream(BYTE* pBuf, DWORD cbSize, IVxMemoryStream** ppIVxMemoryStream,
                                    BOOL bDelete);
  // A growable stream owning a buffer of max(cbSize, cbGrowth) bytes that grows by at least
  // cbGrowth bytes at a time.
  static HRESULT CreateGrowableMemoryStream(DWORD cbSize, IVxMemoryStream** ppIVxMemoryStream,
                                            DWORD cbGrowth);

  CVxMemoryStream();
  CVxMemoryStream(const CVxMemoryStream&) = delete;
  CVxMemoryStream& operator=(const CVxMemoryStream&) = delete;

  HRESULT Init(DWORD cbSize, BYTE* pBuf, BOOL bDelete);
  HRESULT InitGrowable(DWORD cbSize, DWORD cbGrowth);
  HRESULT GrowStream(DWORD cbNewSize);

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

  HRESULT GetBuffer(BYTE** ppBuf) override;

  BYTE* GetBuffer() { return m_pBuf; }
  // Positions at nOffset from the start; E_FAIL without a buffer.
  HRESULT Seek(DWORD nOffset);
  // Positions at 0; E_FAIL without a buffer.
  HRESULT Flush();
  bool IsEmpty() const { return m_cbCurrent == 0; }

 protected:
  virtual ~CVxMemoryStream();

 private:
  // Bytes between the position and the end, 0 when the position lies beyond the end.
  DWORD Remaining() const { return m_cbCurrent < m_cbSize ? m_cbSize - m_cbCurrent : 0; }
  // Frees m_pBuf if the stream owns it, and forgets it.
  void ReleaseBuffer();
  template <typename Target, typename Count>
  HRESULT CopyToImpl(Target* pstm, ULONGLONG cb, Count* pcbRead, Count* pcbWritten);

  BYTE* m_pBuf;
  DWORD m_cbSize;
  DWORD m_cbCurrent;
  LONG m_cRef;
  bool m_bDelete;
  bool m_bAllocated;  // m_pBuf is one of NewBuffer's (freed with free, not delete[])
  bool m_bGrowable;
  DWORD m_cbGrowth;
};
