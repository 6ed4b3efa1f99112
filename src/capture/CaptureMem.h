// The bounded in-memory buffer that frames pass through on their way to the capture file.
#pragma once

#include "capture/Capture.h"
#include "os/OsTypes.h"
#include "support/VxStream.h"

// Records live in a fixed memory stream of GetMaxSize() bytes, their entries in a growable
// one. Entries already carry the offsets the frames will have in the capture file: the first
// buffered frame lies at stream position 0, which is file offset GetStartOffset() (128 for a
// new buffer). The object owns both streams. Not locked: the capture manager serialises all
// calls under its memory lock.
class CCaptureMem : public CCapture {
 public:
  CCaptureMem();
  ~CCaptureMem() override;

  // Sizes the buffer once; a second call fails.
  HRESULT Create(DWORD cbMaxSize) override;
  // bResetTable: forget numbering and offsets (the caller sets them anew). Otherwise numbering
  // and offsets continue behind the frames that were held, as if they had moved on to the
  // file.
  HRESULT Clear(bool bResetTable) override;
  // Refuses a record that does not fit in the rest of the buffer; nothing is stored then.
  HRESULT WriteFrame(const void* pFrame, DWORD cbFrame) override;
  HRESULT WriteFrames(IVxStream* pTableStream, DWORD cbTable, IVxStream* pFrameStream,
                      DWORD cbFrames) override;
  IVxStream* GetFrameStream() override { return m_pFrameStream; }
  DWORD GetSize() override { return m_nCurPos; }
  DWORD GetFramePosition() override { return m_nCurPos; }

  DWORD GetFrameOffset(LONG nPos) override;
  HRESULT SetFrameOffset(LONG nPos, DWORD nOffset) override;

  // The record stream; owned by this object, not referenced for the caller.
  virtual IVxMemoryStream* GetMemoryStream() { return m_pFrameStream; }
  // Hands every buffered frame from frame number nFrame on to pCapture (WriteFrames), with
  // nTableOffsetShift added to each entry. The buffer keeps its frames.
  virtual HRESULT CopyTo(CCapture* pCapture, LONG nFrame, DWORD nTableOffsetShift);
  virtual HRESULT AddFrameToTable(DWORD nOffset);

 private:
  BYTE* Table();

  IVxMemoryStream* m_pFrameStream = nullptr;
  IVxMemoryStream* m_pTableStream = nullptr;
  BYTE* m_pTable = nullptr;  // cached buffer of the table stream; null after it was written
  DWORD m_nCurPos = 0;
};
