// Frame blocks handed back by the writer are reused by size class, within the pool's budget.
#include "engine/FramePool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

TEST(FramePoolTest, ReusesBlocksOfTheSameClassWithinTheBudget) {
  CFramePool pool;
  EXPECT_EQ(pool.Take(64), nullptr);

  // A block returned by the writer serves any record of its class, and only those.
  CFramePool::CReturns returns;
  FRAME* small = CFramePool::Allocate(100);
  FRAME* mid = CFramePool::Allocate(1424);
  FRAME* huge = CFramePool::Allocate(5000);
  ASSERT_TRUE(small && mid && huge);
  memset(mid, 0xA5, 2048);  // the class capacity is usable
  returns.Add(small, 100);
  returns.Add(mid, 1424);
  returns.Add(huge, 5000);  // too large for a class: freed at once
  pool.Splice(returns);
  CFramePool::Release(returns);
  EXPECT_EQ(pool.Take(300), nullptr);
  EXPECT_EQ(pool.Take(5000), nullptr);
  EXPECT_EQ(pool.Take(2048), mid);
  EXPECT_EQ(pool.Take(128), small);
  EXPECT_EQ(pool.Take(64), nullptr);
  pool.Put(small, 64);
  pool.Put(mid, 1424);

  // Beyond the budget, blocks are freed rather than kept.
  const size_t n = CFramePool::kMaxCachedBytes / 2048 + 10;
  for (size_t i = 0; i < n; ++i) pool.Put(CFramePool::Allocate(2000), 2000);
  std::set<FRAME*> taken;
  while (FRAME* f = pool.Take(2000)) taken.insert(f);
  EXPECT_EQ(taken.size(), CFramePool::kMaxCachedBytes / 2048 - 1);  // one 128-byte block held
  for (FRAME* f : taken) free(f);
}

}  // namespace
