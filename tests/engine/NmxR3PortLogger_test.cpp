// The engine with its own router port, against the stand-in router: nmx-traffic's requests and
// answers are captured into a file, with a settings document's filters deciding what is kept.
#ifdef NMX_ROUTER_PATH

#include "engine/NmxR3PortLogger.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>

#include "EngineTestUtil.h"
#include "common/RouterProcess.h"

using namespace engtest;

namespace {

// Runs nmx-traffic to its end; its exit status, its output in *out.
int RunTraffic(const vxtest::TempDir& dir, std::vector<std::string> args, std::string* out) {
  args.insert(args.begin(), NMX_TRAFFIC_PATH);
  return vxtest::ChildProcess::Run(dir.path(), std::move(args), out);
}

class RouterEnv {
 public:
  explicit RouterEnv(const std::string& socket) { setenv("VX_ROUTER_DEVICE", socket.c_str(), 1); }
  ~RouterEnv() { unsetenv("VX_ROUTER_DEVICE"); }
};

TEST(NmxR3PortLoggerTest, CapturesFilteredTrafficFromTheRouter) {
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started()) << router.Output();
  RouterEnv env(router.Socket());

  CountingCallback cb;
  CNmxR3PortLogger engine(&cb);
  // Keep Read, Write and ReadWrite requests to port 851 of group 0x4020 and their answers.
  const std::string settings =
      "<VxNmxLogger><FilterInfo><KrpCommands><KrpCommand><IGroup>#x4020</IGroup>"
      "<Port>851</Port></KrpCommand></KrpCommands></FilterInfo>"
      "<CaptureInfo><FileSize>2</FileSize><RingBuffer>false</RingBuffer><AutoSave>1</AutoSave>"
      "<AutoSaveName>engine.cap</AutoSaveName><AutoSaveDirectoryName>" +
      dir.path() + "</AutoSaveDirectoryName></CaptureInfo></VxNmxLogger>";
  ASSERT_TRUE(engine.LoadXmlSettings(settings.c_str(), false));
  ASSERT_TRUE(engine.Start());
  EXPECT_EQ(cb.starts, 1);
  EXPECT_TRUE(engine.GetLocalNetId()->IsValid());

  const int n = 200;
  std::string out;
  ASSERT_EQ(RunTraffic(dir,
                       {"--socket", router.Socket(), "--count", std::to_string(n), "--rate", "2000",
                        "--window", "4", "--size", "16", "--mix", "read,readstate"},
                       &out),
            0)
      << out;

  // Half the requests are reads: those and their answers are kept, ReadState is not.
  LONG frames = 0;
  ULONG cbFrames = 0, overflows = 0;
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    engine.GetCaptureInfo(frames, cbFrames, overflows);
    return frames >= n;
  })) << frames;
  ASSERT_TRUE(engine.Stop());
  EXPECT_EQ(cb.stops, 1);
  EXPECT_EQ(engine.GetDroppedFrames(), 0u);

  const captest::Parsed p = ReadCapture(dir);
  ASSERT_TRUE(p.ok) << p.why;
  ASSERT_EQ(p.frames.size(), size_t(n));
  std::map<DWORD, int> pairs;
  for (const Bytes& r : p.frames) {
    const NmxHead h = StoredHead(r);
    EXPECT_EQ(h.cmdId, KRP_CMD_READ);
    EXPECT_FALSE(h.stateFlags & NMX_FLAG_TIMESTAMP);
    EXPECT_NE(vx::DecodeLE64(r.data()), 0u);
    const bool response = h.stateFlags & NMX_FLAG_RESPONSE;
    EXPECT_EQ(response ? h.sender.port : h.target.port, 851);
    // A request holds group, offset and length; the answer result, length and 16 bytes.
    EXPECT_EQ(h.cbData, response ? 24u : 12u);
    pairs[h.hUser] += response ? 10 : 1;
  }
  EXPECT_EQ(pairs.size(), size_t(n / 2));
  for (const auto& [id, v] : pairs) EXPECT_EQ(v, 11) << id;

  // Stopped, the port no longer takes traffic.
  ASSERT_EQ(RunTraffic(dir, {"--socket", router.Socket(), "--count", "10", "--mix", "read"}, &out),
            0)
      << out;
  engine.GetCaptureInfo(frames, cbFrames, overflows);
  EXPECT_EQ(frames, n);
}

TEST(NmxR3PortLoggerTest, FullFileStopsTheEngineAndDisconnectsThePort) {
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started()) << router.Output();
  RouterEnv env(router.Socket());
  CountingCallback cb;
  CNmxR3PortLogger engine(&cb);
  CaptureInto(engine, dir, 1048576);
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(engine.NmxPortConnected());

  // About 1 KiB per answer: the file is full long before the traffic ends.
  std::string out;
  RunTraffic(dir,
             {"--socket", router.Socket(), "--count", "3000", "--rate", "0", "--window", "8",
              "--size", "1000", "--mix", "read"},
             &out);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return cb.stops == 1; })) << out;
  EXPECT_FALSE(engine.IsStarted());
  EXPECT_FALSE(engine.NmxPortConnected());
  const captest::Parsed p = ReadCapture(dir);
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_GT(p.frames.size(), 900u);

  // A new run connects again.
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.NmxPortConnected());
  ASSERT_TRUE(engine.Stop());
  EXPECT_FALSE(engine.NmxPortConnected());
  EXPECT_EQ(cb.stops, 2);
}

TEST(NmxR3PortLoggerTest, StartWithoutRouterFails) {
  vxtest::TempDir dir;
  RouterEnv env(dir / "no-router.sock");
  CountingCallback cb;
  CNmxR3PortLogger engine(&cb);
  CaptureInto(engine, dir, 1048576);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(engine.Start());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Nmx Connect failed\n");
  EXPECT_FALSE(engine.IsStarted());
  EXPECT_EQ(cb.starts, 0);
  EXPECT_FALSE(engine.Stop());
}

}  // namespace

#endif
