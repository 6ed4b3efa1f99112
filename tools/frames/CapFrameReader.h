// Reads the frames of a capture file through its header and table, checking every rule of
// the format on the way: the header, the table's position, each table entry against the
// end of the record before it, and each record.
#pragma once

#include <cstdint>

#include "capture/CaptureFormat.h"
#include "frames/CapFile.h"
#include "frames/CapRecord.h"

// The file must outlive the reader. Not thread-safe.
class CCapFrameReader {
 public:
  enum class Step { kFrame, kEnd, kProblem };
  static constexpr size_t kTableWindow = 64 * 1024;

  explicit CCapFrameReader(const CCapFile& file) : m_file(file), m_records(file), m_table(file) {}

  // Reads and checks the header and where the table lies. False with *problem filled when
  // the file cannot describe any frame.
  bool Open(CapProblem* problem);

  const vxcap::HeaderInfo& Header() const { return m_header; }
  DWORD FrameCount() const { return m_nFrames; }

  // Goes to frame nFrame (at most FrameCount()); the frames before it are not checked.
  bool Seek(DWORD nFrame, CapProblem* problem);

  // The next frame, the end of the capture, or the first problem (frames behind it are not
  // read).
  Step Next(CapFrame* frame, CapProblem* problem);

 private:
  bool ReadEntry(DWORD i, DWORD* entry, CapProblem* problem);
  void DescribeCut(CapProblem* problem);

  const CCapFile& m_file;
  CCapReadWindow m_records;
  CCapReadWindow m_table;
  vxcap::HeaderInfo m_header{};
  DWORD m_nFrames = 0;
  DWORD m_nNext = 0;
  DWORD m_nExpected = vxcap::kHeaderSize;  // where frame m_nNext must start
  bool m_bSeeked = false;                  // m_nExpected comes from the table, not a record
  bool m_bOpen = false;
};

// Reads every frame of a capture through the reader, which must not have read any yet: true
// when the file keeps every rule of the format; otherwise *problem holds the first problem
// (bUnreadable for a read that failed).
bool CheckCapture(CCapFrameReader& reader, CapProblem* problem);
