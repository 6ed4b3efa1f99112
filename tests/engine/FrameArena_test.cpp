// The frame arena: blocks in arrival order, given back in the same order, a ring that wraps,
// refuses when full or for oversized records, and starts over when everything is back.
#include "engine/FrameArena.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

BYTE* At(FRAME* f) {
  return reinterpret_cast<BYTE*>(f);
}

TEST(FrameArenaTest, RingOfBlocksInArrivalOrder) {
  CFrameArena arena;
  constexpr DWORD kBig = CFrameArena::kMaxRecord;
  EXPECT_EQ(arena.Take(kBig + 1), nullptr) << "too large for the arena";

  // Blocks follow each other on 8-byte boundaries, and an empty arena starts over at its
  // beginning.
  FRAME* a = arena.Take(100);
  FRAME* b = arena.Take(13);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(arena.IsArenaBlock(a));
  EXPECT_EQ(At(b), At(a) + 104);
  arena.Give(a, 100);
  arena.Give(b, 13);
  EXPECT_EQ(arena.BytesOut(), 0u);
  EXPECT_EQ(arena.Take(64), a);
  arena.Give(a, 64);

  // Full: the ring never fills completely, so one large block short of its size.
  std::vector<FRAME*> out;
  const BYTE* base = nullptr;
  while (FRAME* f = arena.Take(kBig)) {
    if (!base) base = At(f);
    std::memset(f, 0xA5, kBig);  // the whole block is usable
    out.push_back(f);
  }
  ASSERT_EQ(out.size(), CFrameArena::kSize / kBig - 1);
  EXPECT_EQ(base, At(a) + 64) << "behind the last block given back";
  FRAME* heap = static_cast<FRAME*>(malloc(64));
  EXPECT_FALSE(arena.IsArenaBlock(heap));
  free(heap);

  // Two blocks back make room for two more; they do not fit behind the last one, so they
  // wrap to the arena's beginning, and the end skipped stays taken until given back.
  arena.Give(out[0], kBig);
  arena.Give(out[1], kBig);
  FRAME* w0 = arena.Take(kBig);
  FRAME* w1 = arena.Take(kBig);
  ASSERT_TRUE(w0 && w1);
  EXPECT_EQ(At(w0), At(a));
  EXPECT_EQ(At(w1), At(a) + kBig);
  EXPECT_EQ(arena.Take(kBig), nullptr);
  for (size_t i = 2; i < out.size(); ++i) arena.Give(out[i], kBig);
  arena.Give(w0, kBig);
  arena.Give(w1, kBig);
  EXPECT_EQ(arena.BytesOut(), 0u);
  EXPECT_EQ(arena.Take(64), a) << "empty again: back to the beginning";
}

}  // namespace
