// CFrameArena: memory for queued frames, reserved once per engine, so that queuing a frame
// allocates nothing. Frames leave the queue in the order they entered it, so the arena is a
// ring: blocks are taken at its head and given back at its tail.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "capture/CaptureFormat.h"
#include "os/OsTypes.h"

// One taker and one giver: Take runs under the owner's lock (whoever feeds), Give on the one
// thread that empties the queue, in the order Take handed the blocks out. Blocks are not
// zeroed; a block holds a record of the size it was taken for.
//
// A record larger than kMaxRecord, or one that finds the arena full, gets no block; the owner
// then allocates it on its own (IsArenaBlock tells them apart). When every block has been
// given back, the next one starts at the arena's beginning again, so a light load keeps
// using the same few pages.
class CFrameArena {
 public:
  static constexpr size_t kSize = 16u << 20;
  static constexpr DWORD kMaxRecord = kSize / 16;

  // Reserves the arena; without memory every Take fails.
  CFrameArena();
  ~CFrameArena();
  CFrameArena(const CFrameArena&) = delete;
  CFrameArena& operator=(const CFrameArena&) = delete;

  // A block for a record of cbRecord bytes, or null.
  FRAME* Take(DWORD cbRecord);
  // Gives back the oldest block still out, which held a record of cbRecord bytes.
  void Give(const FRAME* frame, DWORD cbRecord);
  bool IsArenaBlock(const FRAME* frame) const {
    const BYTE* p = reinterpret_cast<const BYTE*>(frame);
    return m_pBase && p >= m_pBase && p < m_pBase + kSize;
  }
  // Bytes between the oldest block out and the head; for the taker.
  size_t BytesOut() const {
    return static_cast<size_t>(m_nTaken - m_nGiven.load(std::memory_order_acquire));
  }

 private:
  static size_t Rounded(DWORD cb) { return (static_cast<size_t>(cb) + 7) & ~size_t{7}; }

  BYTE* m_pBase;
  // Running byte positions: the head (taker's) and the tail (giver's). A position p lies at
  // m_pBase + p % kSize; the bytes a wrap skips at the end count as taken until the block
  // behind them is given back.
  uint64_t m_nTaken = 0;
  std::atomic<uint64_t> m_nGiven{0};
};
