#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/TestUtil.h"
#include "os/OsUserFile.h"
#include "os/OsUserTools.h"

namespace {

// A set of events closed at the end of a test.
struct Events {
  Events(int n, bool manual) {
    for (int i = 0; i < n; ++i) h.push_back(OsUserCreateEvent(nullptr, manual, FALSE, nullptr));
  }
  ~Events() {
    for (OS_USER_HANDLE e : h) OsUserCloseHandle(e);
  }
  DWORD WaitAny(DWORD ms) { return OsUserWaitForMultipleObjects(Count(), h.data(), FALSE, ms); }
  DWORD WaitAll(DWORD ms) { return OsUserWaitForMultipleObjects(Count(), h.data(), TRUE, ms); }
  DWORD Count() const { return static_cast<DWORD>(h.size()); }
  std::vector<OS_USER_HANDLE> h;
};

TEST(OsWaitMultiple, NoHandlesFails) {
  Events ev(1, false);
  EXPECT_EQ(OsUserWaitForMultipleObjects(0, ev.h.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(OsUserWaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(OsUserWaitForMultipleObjects(0, ev.h.data(), TRUE, 0), WAIT_FAILED);
}

TEST(OsWaitMultiple, WaitAnyReturnsTheLowestSignalledIndex) {
  struct Case {
    std::vector<int> set;
    DWORD expected;
  } cases[] = {
      {{}, WAIT_TIMEOUT}, {{1}, 1}, {{0, 1}, 0}, {{2, 1}, 1}, {{2}, 2},
  };
  for (const Case& c : cases) {
    Events ev(3, false);
    for (int i : c.set) OsUserSetEvent(ev.h[i]);
    EXPECT_EQ(ev.WaitAny(0), c.expected) << "signalled: " << c.set.size();
    if (c.expected != WAIT_TIMEOUT) {
      // Only the returned auto-reset event was consumed.
      EXPECT_EQ(OsUserWaitForSingleObject(ev.h[c.expected], 0), WAIT_TIMEOUT);
      for (int i : c.set) {
        if (static_cast<DWORD>(i) != c.expected) {
          EXPECT_EQ(OsUserWaitForSingleObject(ev.h[i], 0), WAIT_OBJECT_0) << i;
        }
      }
    }
  }
}

TEST(OsWaitMultiple, WaitAnyBlocksUntilASignalFromAnotherThread) {
  for (DWORD timeout : {INFINITE, DWORD{60000}}) {
    Events ev(3, false);
    std::atomic<DWORD> result{12345};
    std::thread waiter([&] { result = ev.WaitAny(timeout); });
    OsUserSleep(20);
    EXPECT_EQ(result.load(), 12345u);
    OsUserSetEvent(ev.h[2]);
    waiter.join();
    EXPECT_EQ(result.load(), 2u);
    EXPECT_EQ(OsUserWaitForSingleObject(ev.h[2], 0), WAIT_TIMEOUT);  // consumed
  }
}

TEST(OsWaitMultiple, WaitAnyTimesOut) {
  Events ev(2, true);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ev.WaitAny(30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
}

TEST(OsWaitMultiple, TimeOutsBeyondTheSignedRangeOnlyPoll) {
  Events ev(2, true);
  for (DWORD ms : {0x80000000u, 0xFFFFFFFEu}) {
    EXPECT_EQ(ev.WaitAny(ms), WAIT_TIMEOUT) << ms;
    EXPECT_EQ(ev.WaitAll(ms), WAIT_TIMEOUT) << ms;
    EXPECT_EQ(OsUserWaitForSingleObject(ev.h[0], ms), WAIT_TIMEOUT) << ms;
  }
}

TEST(OsWaitMultiple, WaitAllNeedsEveryHandle) {
  Events ev(3, false);
  OsUserSetEvent(ev.h[0]);
  OsUserSetEvent(ev.h[2]);
  EXPECT_EQ(ev.WaitAll(20), WAIT_TIMEOUT);
  // Acquisition is not atomic: the events taken during the failed wait stay consumed.
  EXPECT_EQ(OsUserWaitForSingleObject(ev.h[0], 0), WAIT_TIMEOUT);

  std::atomic<DWORD> result{12345};
  std::thread waiter([&] { result = ev.WaitAll(INFINITE); });
  for (OS_USER_HANDLE h : ev.h) {
    OsUserSleep(5);
    OsUserSetEvent(h);
  }
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
}

DWORD WaitForRelease(LPVOID p) {
  OsUserWaitForSingleObject(p, INFINITE);
  return 0;
}

TEST(OsWaitMultiple, WaitAnyOnThreadsReturnsTheEndedOneAndJoinsIt) {
  OS_USER_EVENT_HANDLE slow = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
  OS_USER_EVENT_HANDLE fast = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
  OS_USER_HANDLE th[2] = {OsUserCreateThread(nullptr, 0, WaitForRelease, slow, 0, nullptr),
                          OsUserCreateThread(nullptr, 0, WaitForRelease, fast, 0, nullptr)};
  ASSERT_NE(th[0], nullptr);
  ASSERT_NE(th[1], nullptr);
  std::atomic<DWORD> result{12345};
  std::thread waiter([&] { result = OsUserWaitForMultipleObjects(2, th, FALSE, INFINITE); });
  OsUserSleep(20);
  EXPECT_EQ(result.load(), 12345u);
  OsUserSetEvent(fast);
  waiter.join();
  EXPECT_EQ(result.load(), 1u);
  EXPECT_EQ(OsUserWaitForSingleObject(th[1], 0), WAIT_OBJECT_0);
  EXPECT_EQ(OsUserWaitForSingleObject(th[0], 0), WAIT_TIMEOUT);

  OsUserSetEvent(slow);
  EXPECT_EQ(OsUserWaitForMultipleObjects(2, th, TRUE, INFINITE), WAIT_OBJECT_0);
  for (OS_USER_HANDLE h : th) OsUserCloseHandle(h);
  OsUserCloseHandle(slow);
  OsUserCloseHandle(fast);
}

// A handle that cannot register a waiter (a file) makes the wait poll, which must still see
// an event signalled later.
TEST(OsWaitMultiple, WaitAnyWithAFileHandlePolls) {
  vxtest::TempDir dir;
  OS_USER_FILE_HANDLE file = OsUserCreateFile((dir / "f").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                              nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Events ev(1, false);
  OS_USER_HANDLE handles[2] = {file, ev.h[0]};
  errno = 0;
  EXPECT_EQ(OsUserWaitForMultipleObjects(2, handles, FALSE, 10), WAIT_TIMEOUT);
  EXPECT_EQ(errno, EINVAL);

  std::atomic<DWORD> result{12345};
  std::thread waiter([&] { result = OsUserWaitForMultipleObjects(2, handles, FALSE, 60000); });
  OsUserSleep(20);
  OsUserSetEvent(ev.h[0]);
  waiter.join();
  EXPECT_EQ(result.load(), 1u);
  OsUserCloseHandle(file);
}

}  // namespace
