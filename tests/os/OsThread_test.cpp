#include "os/OsThread.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "common/TestUtil.h"
#include "os/OsUserTools.h"

namespace {

// A thread routine that records that it ran and then holds until released.
struct Gate {
  Gate() : release(OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr)) {}
  ~Gate() { OsUserCloseHandle(release); }
  static DWORD Run(LPVOID p) {
    Gate* g = static_cast<Gate*>(p);
    g->started = true;
    OsUserWaitForSingleObject(g->release, INFINITE);
    g->finished = true;
    return 7;
  }
  OS_USER_EVENT_HANDLE release;
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
};

TEST(OsThread, WaitTimesOutWhileRunningThenSucceedsRepeatedly) {
  Gate g;
  OS_USER_THREAD_ID id{};
  OS_USER_THREAD_HANDLE th = OsUserCreateThread(nullptr, 0, Gate::Run, &g, 0, &id);
  ASSERT_NE(th, nullptr);
  EXPECT_NE(id, OS_USER_THREAD_ID{});
  EXPECT_EQ(OsUserWaitForThread(th, 20), WAIT_TIMEOUT);
  EXPECT_EQ(OsUserWaitForSingleObject(th, 0), WAIT_TIMEOUT);
  OsUserSetEvent(g.release);
  EXPECT_EQ(OsUserWaitForSingleObject(th, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(g.finished);
  // Joined once; later waits keep succeeding and the close neither joins nor detaches again.
  EXPECT_EQ(OsUserWaitForThread(th, 0), WAIT_OBJECT_0);
  EXPECT_EQ(OsUserWaitForThread(th, static_cast<INT>(INFINITE)), WAIT_OBJECT_0);
  EXPECT_EQ(OsUserCloseThreadHandle(th), TRUE);
}

TEST(OsThread, ASuspendedThreadRunsOnlyAfterResume) {
  for (bool ex : {false, true}) {
    SCOPED_TRACE(ex ? "OsUserCreateThreadEx" : "OsUserCreateThread");
    Gate g;
    OsUserSetEvent(g.release);
    OS_USER_THREAD_HANDLE th = nullptr;
    if (ex) {
      ASSERT_EQ(OsUserCreateThreadEx(0, Gate::Run, &g, 0, &th, nullptr, TRUE), 0u);
    } else {
      th = OsUserCreateThread(nullptr, 0, Gate::Run, &g, CREATE_SUSPENDED, nullptr);
    }
    ASSERT_NE(th, nullptr);
    EXPECT_EQ(OsUserWaitForSingleObject(th, 50), WAIT_TIMEOUT);
    EXPECT_FALSE(g.started);
    EXPECT_EQ(OsUserThreadResume(th), 0u);
    EXPECT_EQ(OsUserWaitForSingleObject(th, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(g.finished);
    EXPECT_EQ(OsUserThreadResume(th), 0u);  // the gate stays open
    OsUserCloseHandle(th);
  }
}

TEST(OsThread, ResumeDoesNotAffectARunningThread) {
  Gate g;
  OsUserSetEvent(g.release);
  OS_USER_THREAD_HANDLE th = OsUserCreateThread(nullptr, 0, Gate::Run, &g, 0, nullptr);
  ASSERT_NE(th, nullptr);
  EXPECT_EQ(OsUserThreadResume(th), 0u);
  EXPECT_EQ(OsUserWaitForSingleObject(th, INFINITE), WAIT_OBJECT_0);
  OsUserCloseHandle(th);
}

// Closing without a wait detaches: the thread finishes on its own and frees the handle
// object (the leak checker of the ASan build sees a missing free).
TEST(OsThread, CloseWithoutWaitDetachesAndTheThreadStillFinishes) {
  Gate g;
  OS_USER_THREAD_HANDLE th = OsUserCreateThread(nullptr, 0, Gate::Run, &g, 0, nullptr);
  ASSERT_NE(th, nullptr);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return g.started.load(); }));
  EXPECT_EQ(OsUserCloseHandle(th), TRUE);
  OsUserSetEvent(g.release);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return g.finished.load(); }));
}

DWORD Nothing(LPVOID p) {
  static_cast<std::atomic<int>*>(p)->fetch_add(1);
  return 0;
}

// The thread's end and the creator's close race to drop the last reference; either order
// must free the object exactly once.
TEST(OsThread, CloseAndThreadEndInEitherOrder) {
  std::atomic<int> ran{0};
  const int kThreads = 100;
  for (int i = 0; i < kThreads; ++i) {
    OS_USER_THREAD_HANDLE th = nullptr;
    ASSERT_EQ(OsUserCreateThreadEx(0, Nothing, &ran, 0, &th, nullptr, FALSE), 0u);
    if (i % 3 == 0) OsUserSleep(1);
    if (i % 2 == 0) {
      EXPECT_EQ(OsUserWaitForSingleObject(th, INFINITE), WAIT_OBJECT_0);
    }
    EXPECT_EQ(OsUserCloseHandle(th), TRUE);
  }
  EXPECT_TRUE(vxtest::WaitUntil([&] { return ran.load() == kThreads; }));
}

TEST(OsThread, StackSizeRules) {
  EXPECT_EQ(OsUserThreadStackSize(0), 262144u);
  EXPECT_GE(OsUserThreadStackSize(100), 2048u);
  EXPECT_EQ(OsUserThreadStackSize(100), OsUserThreadStackSize(2048));
  EXPECT_EQ(OsUserThreadStackSize(1u << 20), 1u << 20);
  // Small requests still give a thread that runs.
  for (SIZE_T size : {SIZE_T{0}, SIZE_T{100}, SIZE_T{2048}, SIZE_T{1} << 20}) {
    std::atomic<int> ran{0};
    OS_USER_THREAD_HANDLE th = nullptr;
    ASSERT_EQ(OsUserCreateThreadEx(size, Nothing, &ran, 0, &th, nullptr, FALSE), 0u) << size;
    EXPECT_EQ(OsUserWaitForSingleObject(th, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 1);
    OsUserCloseHandle(th);
  }
}

TEST(OsThread, FailedCreationReportsTheErrorAndNullsTheId) {
  OS_USER_THREAD_HANDLE th = nullptr;
  OS_USER_THREAD_ID id = pthread_self();
  std::atomic<int> ran{0};
  // No address space holds a stack this large.
  DWORD rc = OsUserCreateThreadEx(SIZE_MAX / 2, Nothing, &ran, 0, &th, &id, FALSE);
  EXPECT_NE(rc, 0u);
  EXPECT_EQ(th, nullptr);
  EXPECT_EQ(id, OS_USER_THREAD_ID{});
  EXPECT_EQ(OsUserCreateThread(nullptr, SIZE_MAX / 2, Nothing, &ran, 0, nullptr), nullptr);
  EXPECT_EQ(ran.load(), 0);
}

TEST(OsThread, IsCurrentThreadEqual) {
  EXPECT_EQ(OsUserIsCurrentThreadEqual(OS_USER_THREAD_ID{}), FALSE);
  EXPECT_EQ(OsUserIsCurrentThreadEqual(pthread_self()), TRUE);
  std::atomic<int> ran{0};
  OS_USER_THREAD_ID id{};
  OS_USER_THREAD_HANDLE th = OsUserCreateThread(nullptr, 0, Nothing, &ran, 0, &id);
  ASSERT_NE(th, nullptr);
  EXPECT_EQ(OsUserIsCurrentThreadEqual(id), FALSE);
  OsUserWaitForSingleObject(th, INFINITE);
  OsUserCloseHandle(th);
}

// A thread that may raise its priority runs round-robin above ordinary threads afterwards;
// one that may not keeps its policy and priority (checked in a child that gave up root).
TEST(OsThread, RaisedPriorityOrARefusalThatChangesNothing) {
  auto policyOf = [](pthread_t t) {
    int policy = -1;
    sched_param p{};
    pthread_getschedparam(t, &policy, &p);
    return std::make_pair(policy, p.sched_priority);
  };
  std::pair<int, int> before, after;
  DWORD result = 0;
  std::thread t([&] {
    before = policyOf(pthread_self());
    result = OsUserRaiseThreadPriority();
    after = policyOf(pthread_self());
  });
  t.join();
  if (result == 0) {
    EXPECT_EQ(after.first, SCHED_RR);
    EXPECT_EQ(after.second, sched_get_priority_min(SCHED_RR));
  } else {
    EXPECT_TRUE(result == EPERM || result == ENOTSUP) << result;
    EXPECT_EQ(after, before);
  }

  if (geteuid() != 0) return;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Without privilege and with no real-time allowance the system must refuse.
    const rlimit none{0, 0};
    if (setrlimit(RLIMIT_RTPRIO, &none) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const auto mine = policyOf(pthread_self());
    const DWORD r = OsUserRaiseThreadPriority();
    _exit(r != 0 && policyOf(pthread_self()) == mine ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not give up root, 1: not refused";
}

}  // namespace
