#include "capture/CaptureTable.h"

bool CCaptureTable::IsFrameInTable(LONG nFrame) {
  // Wide arithmetic: start + count may not fit in 32 bits after long runs of renumbering.
  return nFrame >= m_nStartFrame &&
         static_cast<LONGLONG>(nFrame) < static_cast<LONGLONG>(m_nStartFrame) + m_nFrames;
}
