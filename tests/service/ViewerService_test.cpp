// The viewer service on an engine, without a viewer: what the engine tells it, and an engine
// that goes on without it.
#include "service/ViewerService.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/EngineTestUtil.h"

using namespace engtest;

namespace {

constexpr char kPortDocument[] =
    "<VxNmxLogger><ConnectionPort>5000</ConnectionPort><CaptureInfo/></VxNmxLogger>";

LONG Frames(CNmxLogger& engine) {
  LONG n = 0;
  ULONG cb = 0, overflows = 0;
  engine.GetCaptureInfo(n, cb, overflows);
  return n;
}

// Feeds n commands and waits until the capture holds them.
bool FeedAndWait(CNmxLogger& engine, LONG n) {
  const Bytes cmd = MakeCmd(CmdFields{});
  for (LONG i = 0; i < n; ++i) engine.OnNmxReceive(AsCmd(cmd));
  return vxtest::WaitUntil([&] { return Frames(engine) == n; });
}

// A view that read a whole capture reads the next one from its first frame: the start tells
// the service, which moves the view back. A view left where it was would find the new capture
// shorter than what it had read.
TEST(ViewerServiceTest, EachStartMovesTheViewToTheNewCapture) {
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  CViewerService service(engine.ViewerFace());
  CaptureInto(engine, dir, 1048576);
  ASSERT_EQ(service.CreateView(), 1);
  std::vector<BYTE> packet(4096);
  for (const LONG frames : {3, 1}) {
    ASSERT_TRUE(engine.Start());
    ASSERT_TRUE(FeedAndWait(engine, frames));
    {
      COsCsLock lock(service.ViewLock());
      EXPECT_EQ(service.GetView(1)->GetUnreadFrames(packet.data(), 4096), S_OK) << frames;
      EXPECT_EQ(service.GetView(1)->GetUnreadFrames(packet.data(), 4096), S_FALSE) << frames;
    }
    ASSERT_TRUE(engine.Stop());
  }
}

// Once its service has gone, the engine calls it no more: it starts, stops and takes a
// settings document naming a viewer port, and a new service hears from it again.
TEST(ViewerServiceTest, TheEngineGoesOnWithoutItsService) {
  vxtest::TempDir dir;
  CNmxLogger engine(nullptr);
  CaptureInto(engine, dir, 1048576);
  {
    CViewerService service(engine.ViewerFace());
    ASSERT_EQ(service.CreateView(), 1);
  }
  EXPECT_TRUE(engine.LoadXmlSettings(kPortDocument, false));
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.Stop());

  CViewerService again(engine.ViewerFace());
  EXPECT_EQ(again.GetConnectionPort(), NMX_LOGGER_DEFAULT_PORT);
  EXPECT_TRUE(engine.LoadXmlSettings(kPortDocument, false));
  EXPECT_EQ(again.GetConnectionPort(), 5000);
}

}  // namespace
