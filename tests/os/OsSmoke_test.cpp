#include <gtest/gtest.h>

#include <atomic>

#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"

namespace {

DWORD SetFlag(LPVOID p) {
  static_cast<std::atomic<int>*>(p)->store(1);
  return 0;
}

// The lock is re-entrant, which the compiler's lock analysis does not model.
void LockAgain(COsUserLock& lock) NO_THREAD_SAFETY_ANALYSIS {
  COsCsLock inner(lock);
}

TEST(OsSmoke, EventThreadAndLock) {
  OS_USER_EVENT_HANDLE ev = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(OsUserWaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(OsUserSetEvent(ev));
  EXPECT_EQ(OsUserWaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(OsUserWaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(OsUserCloseHandle(ev));

  std::atomic<int> flag{0};
  OS_USER_THREAD_HANDLE th = OsUserCreateThread(nullptr, 0, SetFlag, &flag, 0, nullptr);
  ASSERT_NE(th, nullptr);
  EXPECT_EQ(OsUserWaitForSingleObject(th, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(flag.load(), 1);
  EXPECT_TRUE(OsUserCloseHandle(th));

  COsUserLock lock;
  COsCsLock outer(lock);
  LockAgain(lock);
}

}  // namespace
