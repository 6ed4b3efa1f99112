#include "console/NmxLoggerPort.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "console/LoggerConsole.h"
#include "console/StopSignals.h"

namespace {

// A logger port against a private stand-in router, with the program's output collected.
class LoggerPortTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_router.Started());
    setenv("VX_ROUTER_DEVICE", m_router.Socket().c_str(), 1);
    setenv("VX_BASE_DIR", m_dir.path().c_str(), 1);
    m_parms.bCapture = true;
    m_parms.listenerPort = 48914;
    m_parms.bRingBuffer = true;
    m_parms.ringBufferFiles = 3;
    m_parms.fileSizeMb = 15;
    strcpy(m_parms.capName, "x.cap");
    strcpy(m_parms.capDir, m_dir.path().c_str());
    g_bStop = false;
    testing::internal::CaptureStdout();
  }
  void TearDown() override {
    if (!m_bOutputTaken) Output();
    unsetenv("VX_ROUTER_DEVICE");
    unsetenv("VX_BASE_DIR");
    g_bStop = false;
  }
  std::string Output() {
    fflush(stdout);
    m_bOutputTaken = true;
    return testing::internal::GetCapturedStdout();
  }

  // Feeds one 64-byte KRP write request as the router port's receive thread would.
  static void Feed(CNmxLoggerPort& port, DWORD invokeId, DWORD cbData = 64 + 12) {
    std::vector<BYTE> buf(NMX_HEAD_SIZE + cbData);
    NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf.data());
    cmd->head.target = NmxAddr(NMXNETID_LOOPBACK, 851);
    cmd->head.sender = NmxAddr(NMXNETID_LOOPBACK, 32768);
    cmd->head.cmdId = 3;
    cmd->head.stateFlags = NMX_FLAG_KRP_COMMAND;
    cmd->head.cbData = static_cast<DWORD>(buf.size() - NMX_HEAD_SIZE);
    cmd->head.hUser = invokeId;
    port.NmxReceive(cmd);
  }

  vxtest::TempDir m_dir;
  vxtest::RouterProcess m_router{m_dir};
  Parms_t m_parms{};
  bool m_bOutputTaken = false;
};

TEST_F(LoggerPortTest, StatesRefuseWhatTheyCannotDo) {
  CNmxLoggerPort port;
  EXPECT_EQ(port.Start(m_parms), NMX_LOGGER_E_INVALID_STATE);
  ASSERT_EQ(port.Open(false, 48914), S_OK);
  EXPECT_EQ(port.GetState(), CNmxLoggerPort::OPENED);
  EXPECT_EQ(port.Open(false, 48914), NMX_LOGGER_E_INVALID_STATE);
  // A command before the start does not count.
  Feed(port, 1);
  ASSERT_EQ(port.Start(m_parms), S_OK);
  EXPECT_EQ(port.GetState(), CNmxLoggerPort::STARTED);
  EXPECT_EQ(port.Start(m_parms), NMX_LOGGER_E_INVALID_STATE);
  Feed(port, 2);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return port.GetPacketCount() == 1; }));
  port.Stop();
  EXPECT_EQ(port.GetState(), CNmxLoggerPort::OPENED);
  Feed(port, 3);
  port.Close();
  EXPECT_EQ(port.GetState(), CNmxLoggerPort::INIT);
  // Closed, it can be opened again.
  EXPECT_EQ(port.Open(false, 48914), S_OK);
  port.Close();
  EXPECT_EQ(Output(),
            "Nmx logger port connected.\nStarted capturing to file " + m_dir.path() + "/x.cap\n");
}

TEST_F(LoggerPortTest, ListenerThatCannotOpenLeavesNoComponentBehind) {
  // A port that is taken: the listener cannot open it, whether or not the viewer service
  // exists in this build.
  vxtest::TakenPort taken;
  ASSERT_NE(taken.Port(), 0);

  CNmxLoggerPort port;
  HRESULT hr = port.Open(true, taken.Port());
  EXPECT_LT(hr, 0);
  EXPECT_EQ(port.GetState(), CNmxLoggerPort::INIT);
  EXPECT_FALSE(port.IsListener());
  char line[64];
  snprintf(line, sizeof line, "Failed to open listener port (err=%x)\n", static_cast<unsigned>(hr));
  // The failed component was released: a new Open creates a fresh one.
  EXPECT_EQ(port.Open(false, 48914), S_OK);
  port.Close();
  taken.Free();
  // The listener looks up the local NetId first; this folder has no registry file, which the
  // registry reports on its own line.
  const std::string out = Output();
  ASSERT_GE(out.size(), strlen(line));
  EXPECT_EQ(out.substr(out.size() - strlen(line)), line) << out;
}

TEST_F(LoggerPortTest, FullSingleFileEndsTheLoopByItself) {
  m_parms.bRingBuffer = false;
  m_parms.fileSizeMb = 1;
  CNmxLoggerPort port;
  ASSERT_EQ(port.Open(false, 48914), S_OK);
  ASSERT_EQ(port.Start(m_parms), S_OK);
  DWORD fed = 0;
  // 144 bytes a frame with its table entry: a 1 MiB file is full after some 7000 frames.
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    for (int i = 0; i < 100 && port.IsStarted(); ++i) Feed(port, ++fed);
    return !port.IsStarted();
  }));
  ExecuteLoggerLoop(port, m_parms);
  const ULONG frames = port.GetPacketCount();
  const ULONG bytes = port.GetCaptureFileSize();
  // The last batch counted did not fit into the file: the user is told it is not stored.
  const ULONGLONG dropped = port.GetDroppedFrames();
  port.Close();

  const std::string out = Output();
  EXPECT_EQ(vxtest::ChildProcess::Count(out, "Capturing has stopped.\n"), 1) << out;
  EXPECT_GT(dropped, 0u);
  // Standard output is no terminal here: plain status lines, none rewritten in place.
  EXPECT_EQ(out.find('\r'), std::string::npos) << out;
  char tail[256];
  snprintf(tail, sizeof tail,
           "\nCapture has stopped\nPacket Count: %10u File Size:%10u\n\nCapture has stopped\n"
           "Frames dropped: %llu\nFrames stored: %u, given up by the ring: 0, dropped: %llu",
           frames, bytes, static_cast<unsigned long long>(dropped), frames,
           static_cast<unsigned long long>(dropped));
  const size_t at = out.rfind(tail);
  ASSERT_NE(at, std::string::npos) << out;
  // The router is not asked here; where it has said what it dropped, that follows.
  const std::string end = out.substr(at + strlen(tail));
  EXPECT_TRUE(end == "\n" || end == " (router: 0)\n") << end;
  EXPECT_GT(frames, 1000u);
  EXPECT_LT(frames, fed);
}

TEST_F(LoggerPortTest, FramesTheEngineDroppedAreCountedInTheLastLine) {
  CNmxLoggerPort port;
  ASSERT_EQ(port.Open(false, 48914), S_OK);
  ASSERT_EQ(port.Start(m_parms), S_OK);
  // Frames of 2 MiB, larger than the capture's buffer: the writer puts each on the disk by
  // itself, while the queue holds 16 MiB of them, so 20 fed at once overrun it. Whether the
  // feeder gets ahead is the machine's matter (an instrumented build copies more slowly than
  // its writer stores); the queue's count itself is NmxLoggerTest.FullQueueDropsAndCounts.
  DWORD fed = 0;
  const bool bDropped = vxtest::WaitUntil(
      [&] {
        for (int i = 0; i < 20; ++i) Feed(port, ++fed, 2u << 20);
        return port.GetDroppedFrames() > 0;
      },
      std::chrono::seconds(5));
  if (!bDropped) {
    port.Close();
    GTEST_SKIP() << "the writer kept up with all " << fed << " frames fed";
  }
  g_bStop = true;
  ExecuteLoggerLoop(port, m_parms);
  const ULONGLONG dropped = port.GetDroppedFrames();
  port.Close();
  const std::string out = Output();
  const std::string tail =
      "\n\nCapture has stopped\nFrames dropped: " + std::to_string(dropped) + "\nFrames stored: ";
  EXPECT_NE(out.find(tail), std::string::npos) << out;
}

// The last line accounts for every frame the port handed on: in the file, given up by the
// ring to make room, or dropped.
TEST_F(LoggerPortTest, TheSummaryAccountsForEveryFrame) {
  m_parms.fileSizeMb = 1;  // a ring of three files of a third of a MiB
  CNmxLoggerPort port;
  ASSERT_EQ(port.Open(false, 48914), S_OK);
  ASSERT_EQ(port.Start(m_parms), S_OK);
  constexpr DWORD kFed = 20000;
  for (DWORD i = 1; i <= kFed; ++i) Feed(port, i);
  g_bStop = true;
  ExecuteLoggerLoop(port, m_parms);
  port.Close();
  const std::string out = Output();
  const size_t at = out.rfind("Frames stored: ");
  ASSERT_NE(at, std::string::npos) << out;
  unsigned long stored = 0;
  unsigned long long givenUp = 0, dropped = 0;
  ASSERT_EQ(
      sscanf(out.c_str() + at, "Frames stored: %lu, given up by the ring: %llu, dropped: %llu",
             &stored, &givenUp, &dropped),
      3)
      << out;
  EXPECT_GT(givenUp, 0u);
  EXPECT_EQ(stored + givenUp + dropped, kFed) << out;
  // What is stored is what the last status line counts.
  EXPECT_NE(out.find("Packet Count: " + std::string(10 - std::to_string(stored).size(), ' ') +
                     std::to_string(stored) + " File Size:"),
            std::string::npos)
      << out;
}

}  // namespace
