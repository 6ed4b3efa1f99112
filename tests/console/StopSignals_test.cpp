#include "console/StopSignals.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

namespace {

// Leaves the process as it found it: default actions, stop signals unblocked, flag clear.
class StopSignalsTest : public testing::Test {
 protected:
  void TearDown() override {
    sigset_t set;
    sigemptyset(&set);
    for (const auto& entry : g_signals) {
      signal(entry.first, SIG_DFL);
      sigaddset(&set, entry.first);
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    g_bStop = false;
  }
};

TEST_F(StopSignalsTest, TableHoldsTermAndIntInAscendingOrder) {
  ASSERT_EQ(g_signals.size(), 2u);
  EXPECT_EQ(g_signals.begin()->first, SIGINT);
  EXPECT_EQ(g_signals.rbegin()->first, SIGTERM);
  for (const auto& entry : g_signals) EXPECT_EQ(entry.second, &sigterm_handler);
}

TEST_F(StopSignalsTest, EachStopSignalRaisesTheFlagOnlyWhenPolled) {
  InstallSignalHandlers();
  BlockStopSignals();
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    g_bStop = false;
    EXPECT_FALSE(PollStopSignals());
    // Sent to the process from a thread started after the block: it inherits the block, so
    // the signal waits for the main thread's poll instead of interrupting that thread.
    std::thread worker([&] { kill(getpid(), sig); });
    worker.join();
    EXPECT_FALSE(g_bStop);
    EXPECT_TRUE(PollStopSignals());
    EXPECT_TRUE(g_bStop);
  }
}

TEST_F(StopSignalsTest, UnblockedSignalRaisesTheFlagAtOnce) {
  InstallSignalHandlers();
  raise(SIGTERM);
  EXPECT_TRUE(g_bStop);
  EXPECT_TRUE(PollStopSignals());
}

}  // namespace
