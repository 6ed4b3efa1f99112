// The router's read holding, on a clock the test sets: a recorder's read on the logger's
// port is answered once enough is queued or the oldest command has waited long enough, and
// never later; statuses and every other reader are answered at once.
#include "RouterCore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "common/RecordingPort.h"

namespace {

using namespace vx::router;
using std::chrono::microseconds;

struct Replies final : IRouterSink {
  struct Reply {
    ClientId client;
    size_t n;
    uint32_t firstCount;
  };
  std::vector<Reply> got;
  void ReadReply(ClientId client, const ReadRecord* records, size_t n,
                 std::optional<uint64_t>) override {
    got.push_back({client, n, records[0].count});
  }
};

constexpr ClientId kRecorder = 1, kServer = 2, kSender = 3;
constexpr uint16_t kServerPort = 851;

class RouterCoreHoldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_log = std::tmpfile();
    ASSERT_NE(m_log, nullptr);
    m_core = std::make_unique<CRouterCore>(NMXNETID_LOOPBACK, false, &m_replies, m_log);
    m_core->SetNow(m_t0);
    Register(kRecorder, LOGGER_PORT, 512);
    Register(kServer, kServerPort, 512);
  }
  void TearDown() override { std::fclose(m_log); }
  void Register(ClientId client, uint16_t port, uint16_t queue) {
    RegisterRequest r;
    r.bFixed = true;
    r.port = port;
    r.queueSize = queue;
    ASSERT_EQ(m_core->Register(client, r).err, 0);
  }
  // n commands to the server port; each is mirrored to the logger's port.
  void Send(int n) {
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> cmd = vxtest::MakeCommand(NmxAddr(NMXNETID_LOOPBACK, 40000),
                                                     NmxAddr(NMXNETID_LOOPBACK, kServerPort), 8);
      m_core->Write(kSender, cmd.data(), static_cast<uint32_t>(cmd.size()));
    }
  }
  // The records of the replies the recorder got since the last call.
  std::vector<size_t> Taken() {
    std::vector<size_t> n;
    for (const auto& r : m_replies.got)
      if (r.client == kRecorder) n.push_back(r.n);
    m_replies.got.clear();
    return n;
  }
  void At(int us) { m_core->SetNow(m_t0 + microseconds(us)); }

  FILE* m_log = nullptr;
  Replies m_replies;
  std::unique_ptr<CRouterCore> m_core;
  const CRouterCore::Clock::time_point m_t0 = CRouterCore::Clock::now();
};

TEST_F(RouterCoreHoldTest, AHeldReadIsAnsweredWhenEnoughIsQueuedOrTheOldestIsDue) {
  const uint32_t held = READ_BATCH | READ_HOLD;
  ASSERT_TRUE(m_core->Read(kRecorder, LOGGER_PORT, 4096, held));
  Send(3);
  m_core->DeliverQueued();
  EXPECT_TRUE(Taken().empty()) << "three commands wait for more";
  ASSERT_TRUE(m_core->NextHoldDeadline().has_value());
  EXPECT_EQ(*m_core->NextHoldDeadline(), m_t0 + microseconds(READ_HOLD_US));
  At(READ_HOLD_US - 1);
  Send(2);
  m_core->DeliverQueued();
  EXPECT_TRUE(Taken().empty()) << "the oldest is not due yet";
  At(READ_HOLD_US);
  m_core->DeliverQueued();
  EXPECT_EQ(Taken(), std::vector<size_t>{5}) << "due: all five in one reply";
  EXPECT_FALSE(m_core->NextHoldDeadline().has_value());

  // Enough queued: answered at once, whatever the clock says.
  ASSERT_TRUE(m_core->Read(kRecorder, LOGGER_PORT, 4096, held));
  Send(READ_HOLD_RECORDS - 1);
  m_core->DeliverQueued();
  EXPECT_TRUE(Taken().empty());
  Send(1);
  m_core->DeliverQueued();
  EXPECT_EQ(Taken(), std::vector<size_t>{READ_HOLD_RECORDS});

  // A read that finds enough already queued is answered as it arrives.
  Send(READ_HOLD_RECORDS + 10);
  ASSERT_TRUE(m_core->Read(kRecorder, LOGGER_PORT, 4096, held));
  EXPECT_EQ(Taken(), std::vector<size_t>{READ_HOLD_RECORDS + 10});

  // A status goes at once, with the command held before it.
  ASSERT_TRUE(m_core->Read(kRecorder, LOGGER_PORT, 4096, held));
  Send(1);
  m_core->DeliverQueued();
  EXPECT_TRUE(Taken().empty());
  m_core->ToggleSystem();
  EXPECT_EQ(Taken(), std::vector<size_t>{2});
}

TEST_F(RouterCoreHoldTest, ReadsWithoutTheFlagOrOnOtherPortsAreNotHeld) {
  ASSERT_TRUE(m_core->Read(kRecorder, LOGGER_PORT, 4096, READ_BATCH));
  Send(1);
  m_core->DeliverQueued();
  EXPECT_EQ(Taken(), std::vector<size_t>{1}) << "the logger's port without the flag";
  // The command itself waits on the server's port; a read there with the flag takes it.
  ASSERT_TRUE(m_core->Read(kServer, kServerPort, 4096, READ_BATCH | READ_HOLD));
  ASSERT_EQ(m_replies.got.size(), 1u);
  EXPECT_EQ(m_replies.got[0].client, kServer);
  EXPECT_EQ(m_replies.got[0].n, 1u);
}

}  // namespace
