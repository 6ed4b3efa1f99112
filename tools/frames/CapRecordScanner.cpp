#include "frames/CapRecordScanner.h"

CCapRecordScanner::Step CCapRecordScanner::Next(CapFrame* frame, CapProblem* problem) {
  if (m_nOffset == m_nLimit) return Step::kEnd;
  if (m_nOffset > m_nLimit || m_nOffset > 0xFFFFFFFFull || m_nFrames == 0xFFFFFFFFu) {
    *problem = CapProblem{};
    problem->nFrame = m_nFrames;
    problem->nOffset = m_nOffset;
    problem->strWhat = "records beyond the 4 GiB a capture file can address";
    return Step::kProblem;
  }
  if (!LoadRecord(m_window, m_nFrames, static_cast<DWORD>(m_nOffset), m_nLimit - m_nOffset,
                  m_szLimit, frame, problem))
    return Step::kProblem;
  m_nOffset += frame->cbRecord;
  ++m_nFrames;
  return Step::kFrame;
}
