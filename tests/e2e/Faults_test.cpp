// What the program does when its world fails under it: a disk that refuses writes, a router
// that vanishes. It keeps what it recorded, says what happened, and stops or waits as it
// would otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"

namespace {

using vxtest::ChildProcess;

constexpr DWORD kDataSize = 64;

// The counts of the last status line printed so far, or false if there is none yet.
bool LastStatus(const std::string& out, unsigned* frames) {
  size_t at = out.rfind("\rPacket Count:");
  unsigned bytes = 0;
  return at != std::string::npos &&
         sscanf(out.c_str() + at, "\rPacket Count: %u File Size:%u", frames, &bytes) == 2;
}

// The number after "Frames dropped: ", or 0 without that line.
unsigned long DroppedLine(const std::string& out) {
  const size_t at = out.find("Frames dropped: ");
  return at == std::string::npos ? 0 : std::stoul(out.substr(at + 16));
}

// In time order, and requests and answers each in the order of their invoke ids, none twice;
// each run of nmx-traffic counts its invoke ids from 1 again.
void ExpectInOrder(const std::vector<vxtest::CapturedFrame>& frames) {
  DWORD lastRequest = 0, lastResponse = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i > 0) {
      ASSERT_GE(frames[i].timeStamp, frames[i - 1].timeStamp) << "frame " << i;
    }
    const NmxHead h = frames[i].Head();
    if (h.stateFlags & NMX_FLAG_SYSTEM_COMMAND) continue;
    const bool response = (h.stateFlags & NMX_FLAG_RESPONSE) != 0;
    if (!response && h.hUser == 1) lastRequest = lastResponse = 0;
    DWORD& last = response ? lastResponse : lastRequest;
    ASSERT_GT(h.hUser, last) << "frame " << i;
    last = h.hUser;
  }
}

#ifdef VX_HAVE_PRLIMIT
// The running program's file size limit: its writes beyond `bytes` fail with EFBIG, as on a
// full disk, also inside files it created larger before.
bool LimitFileSize(pid_t pid, rlim_t bytes) {
  rlimit lim{bytes, RLIM_INFINITY};
  return prlimit(pid, RLIMIT_FSIZE, &lim, nullptr) == 0;
}
#endif

// Writes that fail for a while: one line says so when it happens, the capture goes on once
// there is room, and at the end every frame the router mirrored is in the file or counted in
// "Frames dropped".
TEST(Faults, WriteErrorsAreOwnedUpToAndTheCaptureGoesOn) {
#ifndef VX_HAVE_PRLIMIT
  GTEST_SKIP() << "no prlimit on this platform to limit the running program's file size";
#else
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started());
  ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-c", "-d", dir.path(), "-f", "x.cap", "-s", "1"},
                 ChildProcess::Input::kPipe, router.Environment());
  ASSERT_TRUE(p.WaitOutput("\rPacket Count:")) << p.Output();
  const std::vector<std::string> traffic = {
      "--count", "1500",       "--rate", "3000",
      "--mix",   "read,write", "--size", std::to_string(kDataSize)};
  ASSERT_TRUE(LimitFileSize(p.Pid(), 4096));
  ASSERT_TRUE(router.RunTraffic(traffic));
  ASSERT_TRUE(p.WaitOutput("Capture file write failed: File too large\n")) << p.Output();
  ASSERT_TRUE(LimitFileSize(p.Pid(), RLIM_INFINITY));
  ASSERT_TRUE(router.RunTraffic(traffic));
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    unsigned n = 0;
    return LastStatus(p.Output(), &n) && n > 1000;
  })) << p.Output();
  ASSERT_TRUE(p.WriteInput("q"));
  EXPECT_EQ(p.Wait(), 0);

  const std::string out = p.Output();
  EXPECT_EQ(ChildProcess::Count(out, "Capture file write failed"), 1) << out;
  EXPECT_NE(out.find("Capture has stopped\nFrames dropped: "), std::string::npos) << out;
  const unsigned long dropped = DroppedLine(out);
  EXPECT_GT(dropped, 0ul);
  unsigned counted = 0;
  ASSERT_TRUE(LastStatus(out, &counted));

  unsigned long routed = 0, mirrored = 0;
  ASSERT_TRUE(router.Stop(&routed, &mirrored));
  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(dir / "x.cap", &cap, &error)) << error;
  EXPECT_EQ(cap.frames.size(), counted);
  EXPECT_EQ(cap.frames.size() + dropped, mirrored);
  // The frames after the pause are there too.
  EXPECT_GT(cap.frames.size(), 1500u);
  ExpectInOrder(cap.frames);
#endif
}

}  // namespace
