// The logger port in listen mode against the stand-in router: the router connection follows
// the capture a viewer starts and stops, and the host stopping at the same moment as a
// viewer never deadlocks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "common/RouterProcess.h"
#include "console/NmxLoggerPort.h"
#include "service/ViewerServiceTestUtil.h"

using namespace vstest;

namespace {

// The logger port, with its router connection visible.
class Port : public CNmxLoggerPort {
 public:
  bool RouterConnected() const { return m_bConnected.load() != FALSE; }
};

class ListenMode : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_router.Started());
    setenv("VX_ROUTER_DEVICE", m_router.Socket().c_str(), 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(m_port.Open(true, m_nPort), S_OK);
    m_client = std::make_unique<Client>(m_nPort);
    ASSERT_TRUE(m_client->Connected());
    // A single file with a name, so that nothing is left behind in the boot folder.
    ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({2})).result, 0u);
    ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text("listen.cap")).result,
              0u);
  }
  void TearDown() override {
    m_client.reset();
    m_port.Close();
    m_output = testing::internal::GetCapturedStdout();
    unsetenv("VX_ROUTER_DEVICE");
    unlink((Environment::Boot() + "listen.cap").c_str());
  }

  vxtest::TempDir m_dir;
  vxtest::RouterProcess m_router{m_dir};
  const WORD m_nPort = vxtest::FreeTcpPort();
  Port m_port;
  std::unique_ptr<Client> m_client;
  std::string m_output;
};

TEST_F(ListenMode, TheRouterConnectionFollowsTheCaptureAViewerStartsAndStops) {
  EXPECT_TRUE(m_port.IsListener());
  EXPECT_EQ(m_port.GetState(), CNmxLoggerPort::OPENED);
  EXPECT_FALSE(m_port.RouterConnected());
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
    EXPECT_TRUE(m_port.RouterConnected());
    EXPECT_EQ(m_port.GetState(), CNmxLoggerPort::STARTED);
    ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2})).result, 0u);
    EXPECT_FALSE(m_port.RouterConnected());
    EXPECT_EQ(m_port.GetState(), CNmxLoggerPort::STARTED);
  }
  m_client.reset();
  m_port.Close();
  const std::string out = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  // Each capture ends with its summary; the router says what it dropped once it has sent.
  const std::string run =
      "Capturing has started.\nCapturing has stopped.\n"
      "Frames stored: 0, given up by the ring: 0, dropped: 0( \\(router: 0\\))?\n";
  EXPECT_TRUE(std::regex_match(out, std::regex(run + run))) << out;
}

TEST_F(ListenMode, FramesLostDuringAViewersCaptureAreOwnedUpToWhenItStops) {
  // A ring never fills up, so the capture runs until the viewer stops it.
  ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({1})).result, 0u);
  ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  ASSERT_TRUE(m_port.IsStarted());
  // Faster than the writer empties the engine's queue.
  Bytes cmd = TrafficCommand(1, 64);
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    for (int i = 0; i < 20000; ++i) m_port.NmxReceive(reinterpret_cast<NmxCmd*>(cmd.data()));
    return m_port.GetDroppedFrames() > 0;
  }));
  ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2})).result, 0u);
  const ULONGLONG dropped = m_port.GetDroppedFrames();
  fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_NE(out.find("Capturing has stopped.\nFrames dropped: " + std::to_string(dropped) + "\n"),
            std::string::npos)
      << out;
}

TEST_F(ListenMode, TheHostAndAViewerStoppingTogetherNeverDeadlock) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
    ASSERT_TRUE(m_port.IsStarted());
    std::atomic<int> done{0};
    std::thread viewer([&] {
      const Answer a = m_client->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2}));
      EXPECT_TRUE(a.result == 0 || a.result == 0x712) << a.result;
      ++done;
    });
    std::thread host([&] {
      m_port.Stop();
      ++done;
    });
    if (!vxtest::WaitUntil([&] { return done == 2; }, std::chrono::seconds(60))) {
      // Threads that hang cannot be joined; nothing sensible is left to do.
      fprintf(stderr, "round %d: the host's and the viewer's stop deadlocked\n", round);
      abort();
    }
    viewer.join();
    host.join();
    EXPECT_FALSE(m_port.RouterConnected());
  }
}

}  // namespace
