// One file of a ring of capture files.
#pragma once

#include "capture/CaptureFile.h"
#include "os/OsTypes.h"

// A capture file that knows where it lies in the ring: the ring frame number of its first
// frame and the record bytes of all ring frames in earlier files. A frame's offset in the
// ring's single-file view is its offset in this file plus GetBufferOffset(). The ring owns
// its files and calls them under the capture manager's file lock; not locked itself.
class CRingBufferFile : public CCaptureFile {
 public:
  CRingBufferFile() = default;

  DWORD GetBufferOffset() const { return m_nBufferOffset; }
  void SetBufferOffset(DWORD nBufferOffset) { m_nBufferOffset = nBufferOffset; }
  LONG GetBufferStartFrame() const { return m_nBufferStartFrame; }
  void SetBufferStartFrame(LONG nBufferStartFrame) { m_nBufferStartFrame = nBufferStartFrame; }
  // Ring frame numbers this file holds: GetBufferStartFrame() ... + GetFrameCount() - 1.
  bool HoldsRingFrame(LONG nRingFrame);

  // Maximum size minus the used size; 0 when the file already holds more.
  DWORD GetBytesLeft();
  // An adopted file (the main file of an earlier capture) gets the ring's per-file size.
  void SetMaxSize(DWORD cbMaxSize) { m_cbMaxSize = cbMaxSize; }

  // The full path, valid until the file is renamed or moved.
  const char* GetFilePath() const { return m_szFilePath; }
  // The closed file now lives at szPath (the ring moved it).
  void SetMovedPath(const char* szPath);

  // Reads n table entries from table position nPos on into pEntries, straight from the
  // file (for walks over large tables that the 250-entry cache would reload on every step).
  HRESULT ReadTableEntries(LONG nPos, LONG n, DWORD* pEntries);

 private:
  DWORD m_nBufferOffset = 0;
  LONG m_nBufferStartFrame = 0;
};
