// A run of consecutive frames and the capture-file offset of each.
#pragma once

#include "os/OsTypes.h"

// Frame numbers count from 0 for the oldest frame a capture holds; table position p holds
// frame number GetStartFrame() + p. Offsets are those the records have (or will have) in a
// capture file; stream position 0 of the capture corresponds to GetStartOffset().
// Not locked: the owner serialises all calls.
class CCaptureTable {
 public:
  CCaptureTable() = default;
  CCaptureTable(const CCaptureTable&) = delete;
  CCaptureTable& operator=(const CCaptureTable&) = delete;
  virtual ~CCaptureTable() = default;

  // Offset of the frame at table position nPos (0 <= nPos < GetFrameCount()); 0 when it
  // cannot be had.
  virtual DWORD GetFrameOffset(LONG nPos) = 0;
  virtual HRESULT SetFrameOffset(LONG nPos, DWORD nOffset) = 0;
  virtual bool IsFrameInTable(LONG nFrame);
  virtual LONG GetStartFrame() { return m_nStartFrame; }
  virtual void SetStartFrame(LONG nStartFrame) { m_nStartFrame = nStartFrame; }
  virtual LONG GetFrameCount() { return m_nFrames; }
  virtual DWORD GetSizeOfTable() { return 4 * static_cast<DWORD>(m_nFrames); }
  virtual DWORD GetStartOffset() { return m_nStartOffset; }
  virtual void SetStartOffset(DWORD nStartOffset) { m_nStartOffset = nStartOffset; }

 protected:
  DWORD m_nStartOffset = 0;
  LONG m_nStartFrame = 0;
  LONG m_nFrames = 0;
};
