// Walks the records of a capture file from offset 128 by their own sizes, without the table:
// how a file is recovered whose table or header was left behind by an interrupted append.
#pragma once

#include <cstdint>

#include "frames/CapFile.h"
#include "frames/CapRecord.h"

// The file must outlive the scanner. Not thread-safe.
class CCapRecordScanner {
 public:
  enum class Step { kFrame, kEnd, kProblem };

  // Records must lie below nLimit (at most the file size); szLimit names that place in
  // messages.
  CCapRecordScanner(const CCapFile& file, uint64_t nLimit, const char* szLimit)
      : m_window(file), m_nLimit(nLimit), m_szLimit(szLimit) {}

  // The next well-formed record; kEnd when the records end exactly at the limit; kProblem
  // for the first record that is not whole or not well formed.
  Step Next(CapFrame* frame, CapProblem* problem);

  // Frames returned so far and the offset behind the last of them.
  DWORD Frames() const { return m_nFrames; }
  uint64_t End() const { return m_nOffset; }

 private:
  CCapReadWindow m_window;
  uint64_t m_nLimit;
  const char* m_szLimit;
  uint64_t m_nOffset = vxcap::kHeaderSize;
  DWORD m_nFrames = 0;
};
