// A trigger as a user sets one: VxNmxLogger -l capturing into a ring, quiet traffic first, then
// traffic with failures, and nmx-view follow --trigger error stopping the capture; the saved
// capture holds the history before the trigger frame and the frames after it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"
#include "e2e/ListenFixture.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"

namespace {

using e2etest::ListenLogger;

// An NMX error, or a KRP response whose result is not 0.
bool IsError(const vxtest::CapturedFrame& f) {
  const NmxHead h = f.Head();
  if (h.errCode != 0) return true;
  const bool krpResponse =
      (h.stateFlags & NMX_FLAG_RESPONSE) && (h.stateFlags & NMX_FLAG_KRP_COMMAND);
  return krpResponse && h.cbData >= 4 && f.packet.size() >= NMX_HEAD_SIZE + 4 &&
         vx::DecodeLE32(f.Data()) != 0;
}

// The number after needle in text; -1 when needle is not there.
long long NumberAfter(const std::string& text, const std::string& needle) {
  const size_t at = text.find(needle);
  return at == std::string::npos ? -1 : std::stoll(text.substr(at + needle.size()));
}

using ListenTrigger = ListenLogger;

TEST_F(ListenTrigger, AnErrorStopsTheRingAfterTheFramesAskedForWithTheHistoryBeforeIt) {
  ASSERT_EQ(0, View({"set", "ring"}));
  ASSERT_EQ(0, View({"set", "filesize", "1M"}));
  ASSERT_EQ(0, View({"start"}));
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n")) << m_logger->Output();

  // A quiet start: more than the ring holds, so it gives way, and not one failure.
  ASSERT_TRUE(m_router.RunTraffic({"--count", "8000", "--mix", "read,write", "--size", "64"}));
  std::string status;
  ASSERT_EQ(0, View({"--json", "status"}, &status));
  EXPECT_EQ(std::string::npos, status.find("\"overflows\":0,")) << "the ring never gave way";

  auto follow = StartView({"follow", "--trigger", "error", "--after", "100"});
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    return follow->Errors().find("following view") != std::string::npos || follow->Exited();
  })) << follow->Errors();
  auto traffic = m_router.StartTraffic(
      {"--count", "600", "--mix", "read,write", "--size", "64", "--errors", "10"});
  ASSERT_EQ(0, follow->Wait(std::chrono::minutes(2))) << follow->Errors();
  traffic->Wait(std::chrono::minutes(2));
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has stopped.\n")) << m_logger->Output();

  // What nmx-view says: the trigger frame, the stop, and where the frame is in the file.
  const std::string said = follow->Errors();
  const std::string file = Boot() + "run.cap";
  EXPECT_NE(std::string::npos, said.find("nmx-view: trigger: error (error): ")) << said;
  const long long after = NumberAfter(said, "stopped the capture ");
  EXPECT_GE(after, 100) << said;
  const long long index = NumberAfter(said, " is frame ");
  const long long frames = NumberAfter(said, " is frame " + std::to_string(index) + " of ");
  ASSERT_GE(index, 0) << said;
  // The capture file as the logger names it.
  EXPECT_NE(std::string::npos, said.find(" of " + std::to_string(frames) + " in run.cap ("))
      << said;

  vxtest::CaptureContents saved;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(file, &saved, &error)) << error;
  ASSERT_EQ(static_cast<size_t>(frames), saved.frames.size());
  ASSERT_LT(index, frames);
  const size_t trigger = static_cast<size_t>(index);
  // The trigger frame is the first failure, and the frames before it are the quiet history
  // the ring still held: not the capture's first frames, which it gave up.
  EXPECT_TRUE(IsError(saved.frames[trigger]));
  for (size_t i = 0; i < trigger; ++i) ASSERT_FALSE(IsError(saved.frames[i])) << i;
  EXPECT_GT(trigger, 1000u) << "the history before the trigger";
  EXPECT_GT(saved.frames[0].Head().hUser, 1u) << "the ring held the capture from its start";
  // Everything from the trigger on that the logger captured is in the file: at least the 100
  // frames asked for.
  EXPECT_GE(saved.frames.size() - trigger - 1, 100u);
  EXPECT_GE(static_cast<long long>(saved.frames.size() - trigger - 1), after);
}

TEST_F(ListenTrigger, ATriggerThatNeverFiresChangesNothing) {
  ASSERT_EQ(0, View({"start"}));
  auto follow = StartView({"follow", "--count", "40", "--trigger", "error,port:851"});
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    return follow->Errors().find("following view") != std::string::npos || follow->Exited();
  })) << follow->Errors();
  ASSERT_TRUE(m_router.RunTraffic({"--count", "20", "--mix", "read,write", "--size", "64"}));
  ASSERT_EQ(0, follow->Wait()) << follow->Errors();
  EXPECT_EQ(std::string::npos, follow->Errors().find("trigger")) << follow->Errors();
  std::string status;
  ASSERT_EQ(0, View({"--json", "status"}, &status));
  EXPECT_NE(std::string::npos, status.find("\"state\":\"capturing\"")) << status;
  EXPECT_EQ(0, View({"stop"}));
}

}  // namespace
