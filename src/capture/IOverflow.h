// How a ring of capture files reports the frames it dropped to make room.
#pragma once

#include "os/OsTypes.h"

// Called synchronously on the thread that wrote into the ring, while it holds the capture
// manager's locks; the implementation must not block on them from another thread.
class IOverflow {
 public:
  // nFrames oldest frames with cbFrames record bytes were dropped; every remaining frame's
  // number fell by nFrames and its single-file offset by cbFrames.
  virtual HRESULT OnOverflow(LONG nFrames, DWORD cbFrames) = 0;

 protected:
  ~IOverflow() = default;
};
