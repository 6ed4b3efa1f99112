// CFramePool: frame blocks written by the writer thread come back to the feeder, so that in
// steady state queuing a frame allocates nothing.
#pragma once

#include <cstddef>

#include "capture/CaptureFormat.h"
#include "os/OsTypes.h"

// Blocks come in four size classes of record capacity; a record larger than the largest class
// gets a block of its own size that is never cached. The pool keeps at most kMaxCachedBytes of
// blocks (enough for a full 25 ms batch of 1.4 KiB commands at 300 000 per second), so a
// burst does not pin more memory for the rest of the run.
//
// Not locked: Take, Put and Splice are called under the owner's lock; Allocate, Release and
// the CReturns chain need none. Every block is malloc'ed and released with free.
class CFramePool {
 public:
  static constexpr size_t kClasses = 4;
  static constexpr size_t kMaxCachedBytes = 16 * 1048576;

  // Blocks handed back by the writer, chained per class through their first bytes, to be
  // spliced into the pool under the lock in one step.
  class CReturns {
   public:
    ~CReturns();
    // The block of a record of cbRecord bytes, no longer used.
    void Add(FRAME* frame, DWORD cbRecord);

   private:
    friend class CFramePool;
    BYTE* m_pHead[kClasses] = {};
    BYTE* m_pTail[kClasses] = {};
    size_t m_nCount[kClasses] = {};
    size_t m_cbBlocks = 0;
  };

  CFramePool() = default;
  ~CFramePool();
  CFramePool(const CFramePool&) = delete;
  CFramePool& operator=(const CFramePool&) = delete;

  // A cached block for a record of cbRecord bytes, or null.
  FRAME* Take(DWORD cbRecord);
  // A new block for a record of cbRecord bytes (null when out of memory).
  static FRAME* Allocate(DWORD cbRecord);
  // Caches a block of a record of cbRecord bytes, or frees it.
  void Put(FRAME* frame, DWORD cbRecord);
  // Moves the returned blocks of each class into the pool while the budget allows; what is
  // left in returns is the caller's to Release outside the lock.
  void Splice(CReturns& returns);
  static void Release(CReturns& returns);

 private:
  static constexpr size_t kCapacity[kClasses] = {128, 512, 2048, 4160};
  // The class for a record of cbRecord bytes; kClasses when no class holds it.
  static size_t ClassOf(DWORD cbRecord);
  static BYTE* Next(BYTE* block);
  static void SetNext(BYTE* block, BYTE* next);

  BYTE* m_pFree[kClasses] = {};
  size_t m_cbFree = 0;
};
