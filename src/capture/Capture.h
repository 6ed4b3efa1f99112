// A capture: frame records in a stream plus their table, and the reads every capture shares.
#pragma once

#include "capture/CaptureTable.h"
#include "os/OsTypes.h"
#include "support/VxStream.h"

// A frame record only partly delivered into a read buffer. cbSize 0: nothing pending.
typedef struct _TIncompleteFrame {
  DWORD cbSize;  // size of the whole record
  DWORD cbLeft;  // bytes not yet delivered
} TIncompleteFrame, *PTIncompleteFrame;

// The generic reads locate records through the table and read them from GetFrameStream().
// They save the stream's position and restore it, so a reader never moves a writer's
// position. Not locked: the owner serialises all calls.
class CCapture : public CCaptureTable {
 public:
  CCapture() = default;

  virtual HRESULT Create(DWORD cbMaxSize) = 0;
  virtual HRESULT Clear(bool bResetTable) = 0;
  // Appends one record of cbFrame bytes.
  virtual HRESULT WriteFrame(const void* pFrame, DWORD cbFrame) = 0;
  // Appends cbTable / 4 frames: their entries come from pTableStream and their cbFrames
  // record bytes from pFrameStream, both read from the streams' current positions.
  virtual HRESULT WriteFrames(IVxStream* pTableStream, DWORD cbTable, IVxStream* pFrameStream,
                              DWORD cbFrames) = 0;
  // The stream holding the records; owned by the capture, not referenced for the caller.
  virtual IVxStream* GetFrameStream() = 0;
  // Bytes in use.
  virtual DWORD GetSize() = 0;
  virtual DWORD GetMaxSize() { return m_cbMaxSize; }

  // Continues the pending record of frame nStartFrame: delivers up to cbSize more of its
  // bytes into pData and lowers incompleteFrame.cbLeft by the count (cbRead).
  virtual HRESULT ReadIncompleteFrame(DWORD cbSize, BYTE* pData, LONG nStartFrame, DWORD& cbRead,
                                      TIncompleteFrame& incompleteFrame);
  // Reads frame nIndex into a new[] array of exactly its record size, which the caller frees
  // with delete[] (also after a failed read).
  virtual HRESULT ReadFrame(LONG nIndex, BYTE** ppFrame, DWORD* pcbFrame);
  // Reads frame nIndex into the caller's buffer; *pcbFrame is the full record size when the
  // record did not fit (the buffer then holds its beginning).
  virtual HRESULT ReadFrame(LONG nIndex, DWORD cbFrame, BYTE* pFrame, DWORD* pcbFrame);
  // Copies whole records of up to nFrames frames from nStartFrame on into pData (cbSize >= 1
  // bytes) and, when they do not all fit, the beginning of one more, described by
  // incompleteFrame.
  virtual HRESULT ReadFrames(DWORD cbSize, BYTE* pData, LONG nStartFrame, LONG nFrames,
                             DWORD& cbFramesRead, LONG& nFramesRead,
                             TIncompleteFrame& incompleteFrame);
  // Record bytes of nFrames frames from nStartFrame (fewer if the capture ends before).
  virtual HRESULT GetSizeOfFrames(LONG nStartFrame, LONG nFrames, DWORD& cbFrames);
  // Table position of the frame holding the byte nOffset bytes behind the start of the frame
  // at table position nStartPos.
  virtual LONG GetTablePos(DWORD nOffset, LONG nStartPos);
  // Stream position just behind the last record.
  virtual DWORD GetFramePosition() = 0;

 protected:
  // End offset of the record at table position nPos: the next entry, or the end of the
  // records for the last frame.
  ULONGLONG FrameEndOffset(LONG nPos);
  // Reads until cb bytes arrived, the stream ends or it fails; *got receives the count.
  static HRESULT ReadAll(IVxStream* s, BYTE* p, DWORD cb, DWORD* got);

  DWORD m_cbMaxSize = 0;
};
