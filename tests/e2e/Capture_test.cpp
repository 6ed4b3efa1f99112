// Capture mode through the stand-in router: what the console shows, how the run ends, and
// what the capture file holds afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"
#include "e2e/TrafficCheck.h"

namespace {

using vxtest::ChildProcess;

constexpr DWORD kDataSize = 64;

std::string StatusLine(unsigned frames, unsigned bytes) {
  char line[64];
  snprintf(line, sizeof line, "\rPacket Count: %10u File Size:%10u", frames, bytes);
  return line;
}

// The counts of the last status line printed so far (rewritten on a terminal, a line of its
// own elsewhere), or false if there is none yet.
bool LastStatus(const std::string& out, unsigned* frames, unsigned* bytes) {
  size_t at = out.rfind("Packet Count:");
  return at != std::string::npos &&
         sscanf(out.c_str() + at, "Packet Count: %u File Size:%u", frames, bytes) == 2;
}

// The run's last line when nothing was lost or given up.
std::string Summary(unsigned frames) {
  return "Frames stored: " + std::to_string(frames) +
         ", given up by the ring: 0, dropped: 0 (router: 0)\n";
}

class CaptureRun : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_router.Started()); }

  // On a terminal, where the status line is rewritten every 100 ms.
  std::unique_ptr<ChildProcess> Start(std::vector<std::string> args,
                                      ChildProcess::Input input = ChildProcess::Input::kTerminal) {
    std::vector<std::string> argv = {VX_LOGGER_PATH, "-c", "-d", m_dir.path(), "-f", "x.cap"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = std::make_unique<ChildProcess>(m_dir.path(), argv, input, m_router.Environment());
    return p;
  }

  // Waits until the status line counts `frames` frames.
  static bool WaitFrames(ChildProcess& p, unsigned frames) {
    return vxtest::WaitUntil(
        [&] {
          unsigned n = 0, bytes = 0;
          return (LastStatus(p.Output(), &n, &bytes) && n >= frames) || p.Exited();
        },
        std::chrono::seconds(120));
  }

  // Waits until the last few status lines are the same.
  static bool WaitSettled(ChildProcess& p) {
    return vxtest::WaitUntil(
        [&] {
          const std::string out = p.Output();
          std::vector<std::string> lines;
          for (size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1))
            lines.push_back(out.substr(at, StatusLine(0, 0).size()));
          if (lines.size() < 5) return p.Exited();
          const size_t n = lines.size() - 1;  // the last one may be cut
          return lines[n - 1] == lines[n - 2] && lines[n - 2] == lines[n - 3] &&
                 lines[n - 1].size() == StatusLine(0, 0).size();
        },
        std::chrono::seconds(120));
  }

  // Checks the console lines of a capture run that was stopped from outside.
  void ExpectStoppedRunOutput(const std::string& out, unsigned frames) {
    const std::string head = "Nmx logger port connected.\nStarted capturing to file " +
                             m_dir.path() + "/x.cap\n\nPress q to stop nmx logger\n\n";
    EXPECT_EQ(out.substr(0, head.size()), head) << out;
    unsigned n = 0, bytes = 0;
    ASSERT_TRUE(LastStatus(out, &n, &bytes)) << out;
    EXPECT_EQ(n, frames);
    const std::string tail =
        StatusLine(frames, bytes) + "\n\nCapture has stopped\n" + Summary(frames);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    EXPECT_EQ(out.find("Frames dropped"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat((m_dir / "x.cap").c_str(), &st), 0);
    // The count is of record bytes; the file adds its header and its frame table.
    EXPECT_EQ(static_cast<unsigned>(st.st_size), 128 + bytes + 4 * frames);
  }

  // The file must hold exactly the frames the router mirrored, all of the traffic.
  void ExpectCompleteCapture(DWORD ops, LONGLONG from) {
    unsigned long routed = 0, mirrored = 0;
    ASSERT_TRUE(m_router.Stop(&routed, &mirrored));
    EXPECT_EQ(mirrored, 2ul * ops);
    vxtest::CaptureContents cap;
    std::string error;
    ASSERT_TRUE(vxtest::ReadCapture(m_dir / "x.cap", &cap, &error)) << error;
    EXPECT_TRUE(cap.bCutBehindTable);
    ASSERT_EQ(cap.frames.size(), mirrored);
    vxtest::TrafficSummary s;
    EXPECT_EQ(vxtest::CheckTraffic(cap.frames, kDataSize, from, vxtest::FileTimeNow(), &s), "");
    EXPECT_EQ(s.nRequests, ops);
    EXPECT_EQ(s.nResponses, ops);
    EXPECT_EQ(s.firstRequest, 1u);
  }

  vxtest::TempDir m_dir;
  vxtest::RouterProcess m_router{m_dir};
};

TEST_F(CaptureRun, KeyQEndsTheRunAndTheFileHoldsEveryMirroredCommand) {
  constexpr DWORD kOps = 200;
  const LONGLONG from = vxtest::FileTimeNow();
  auto p = Start({});
  ASSERT_TRUE(p->WaitOutput("\rPacket Count:")) << p->Output();
  ASSERT_TRUE(m_router.RunTraffic({"--count", std::to_string(kOps), "--mix", "read,write", "--size",
                                   std::to_string(kDataSize)}));
  ASSERT_TRUE(WaitFrames(*p, 2 * kOps)) << p->Output();
  ASSERT_TRUE(p->WriteInput("q"));
  EXPECT_EQ(p->Wait(), 0);
  ExpectStoppedRunOutput(p->Output(), 2 * kOps);
  ExpectCompleteCapture(kOps, from);
}

// A load the default registration (queue 512) must carry without losing a frame: every
// request and every answer is in the file, paired and in order.
TEST_F(CaptureRun, TwentyThousandRequestsPerSecondAreCapturedWhole) {
  constexpr DWORD kOps = 20000;
  const LONGLONG from = vxtest::FileTimeNow();
  auto p = Start({});
  ASSERT_TRUE(p->WaitOutput("\rPacket Count:")) << p->Output();
  ASSERT_TRUE(m_router.RunTraffic({"--count", std::to_string(kOps), "--rate", "20000", "--mix",
                                   "read,write", "--size", std::to_string(kDataSize)}));
  if (!WaitFrames(*p, 2 * kOps)) {
    // The end of the run says where the missing frames went (the router's drops among them).
    p->WriteInput("q");
    p->Wait();
    const std::string out = p->Output();
    FAIL() << "not every frame arrived; the run ended with:\n"
           << out.substr(out.size() > 600 ? out.size() - 600 : 0);
  }
  ASSERT_TRUE(p->WriteInput("q"));
  EXPECT_EQ(p->Wait(), 0);
  EXPECT_EQ(p->Output().find("Frames dropped"), std::string::npos);
  ExpectCompleteCapture(kOps, from);
}

TEST_F(CaptureRun, StopSignalsEndTheRunTheSameWay) {
  constexpr DWORD kOps = 50;
  struct Case {
    int sig;
    ChildProcess::Input input;
  };
  // /dev/null and a closed pipe: the end of the input is no key press, the signal stops it.
  for (Case c :
       {Case{SIGTERM, ChildProcess::Input::kDevNull}, Case{SIGINT, ChildProcess::Input::kPipe}}) {
    SCOPED_TRACE(c.sig);
    vxtest::TempDir dir;
    vxtest::RouterProcess router(dir);
    ASSERT_TRUE(router.Started());
    const LONGLONG from = vxtest::FileTimeNow();
    ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-c", "-d", dir.path(), "-f", "x.cap"}, c.input,
                   router.Environment());
    p.CloseInput();
    ASSERT_TRUE(p.WaitOutput("Packet Count:")) << p.Output();
    ASSERT_TRUE(router.RunTraffic({"--count", std::to_string(kOps), "--mix", "read,write", "--size",
                                   std::to_string(kDataSize)}));
    ASSERT_TRUE(WaitFrames(p, 2 * kOps)) << p.Output();
    EXPECT_FALSE(p.Exited());
    p.Signal(c.sig);
    EXPECT_EQ(p.Wait(), 0);

    const std::string out = p.Output();
    EXPECT_NE(out.find("Started capturing to file " + dir.path() + "/x.cap\n"), std::string::npos);
    unsigned n = 0, bytes = 0;
    ASSERT_TRUE(LastStatus(out, &n, &bytes));
    EXPECT_EQ(n, 2 * kOps);
    // Standard output is a file: plain status lines every 10 s, none rewritten in place.
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    const std::string tail =
        StatusLine(n, bytes).substr(1) + "\n\nCapture has stopped\n" + Summary(n);
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail) << out;

    unsigned long routed = 0, mirrored = 0;
    ASSERT_TRUE(router.Stop(&routed, &mirrored));
    vxtest::CaptureContents cap;
    std::string error;
    ASSERT_TRUE(vxtest::ReadCapture(dir / "x.cap", &cap, &error)) << error;
    EXPECT_TRUE(cap.bCutBehindTable);
    EXPECT_EQ(cap.frames.size(), mirrored);
    vxtest::TrafficSummary s;
    EXPECT_EQ(vxtest::CheckTraffic(cap.frames, kDataSize, from, vxtest::FileTimeNow(), &s), "");
    EXPECT_EQ(s.nRequests, kOps);
    EXPECT_EQ(s.nResponses, kOps);
  }
}

TEST_F(CaptureRun, SmallRingRotatesAndEndsAsOneFileOfTheNewestFrames) {
  constexpr DWORD kOps = 3000;
  constexpr DWORD kSize = 1400;  // about 7 MiB of frames through a 1 MiB ring
  const LONGLONG from = vxtest::FileTimeNow();
  auto p = Start({"-s", "1", "-r"});
  ASSERT_TRUE(p->WaitOutput("\rPacket Count:")) << p->Output();
  ASSERT_TRUE(m_router.RunTraffic({"--count", std::to_string(kOps), "--rate", "2000", "--mix",
                                   "read,write", "--size", std::to_string(kSize)}));
  // In a ring the count goes down as old frames give way, so it cannot tell when the last
  // frame is in; a count that stays the same over a few cycles can.
  ASSERT_TRUE(WaitSettled(*p)) << p->Output();
  unsigned long routed = 0, mirrored = 0;
  ASSERT_TRUE(p->WriteInput("q"));
  EXPECT_EQ(p->Wait(), 0);
  const std::string out = p->Output();
  EXPECT_NE(out.find("\n\nCapture has stopped\n"), std::string::npos) << out;
  ASSERT_TRUE(m_router.Stop(&routed, &mirrored));
  ASSERT_EQ(mirrored, 2ul * kOps);

  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(m_dir / "x.cap", &cap, &error)) << error;
  EXPECT_TRUE(cap.bCutBehindTable);
  ASSERT_FALSE(cap.frames.empty());
  EXPECT_LT(cap.frames.size(), mirrored / 4) << "the ring did not drop its oldest frames";
  vxtest::TrafficSummary s;
  EXPECT_EQ(vxtest::CheckTraffic(cap.frames, kSize, from, vxtest::FileTimeNow(), &s), "");
  // Invoke ids count from 1: the oldest requests are gone, the newest are all there.
  EXPECT_GT(s.firstRequest, 1u);
  EXPECT_EQ(s.lastRequest, kOps);
  EXPECT_EQ(s.lastResponse, kOps);
}

TEST_F(CaptureRun, ShownPathHasOneSlashAndIsResolvedWhenTheFileExists) {
  const std::string want = "Started capturing to file " + m_dir.path() + "/x.cap\n";
  ASSERT_EQ(mkdir((m_dir / "sub").c_str(), 0700), 0);
  struct Case {
    std::string dir;
    bool bFileExists;
  };
  for (const Case& c : {Case{m_dir.path(), false}, Case{m_dir.path() + "/", false},
                        Case{m_dir.path() + "/sub/..", true}}) {
    SCOPED_TRACE(c.dir);
    if (c.bFileExists) vxtest::WriteFileBytes(m_dir / "x.cap", {});
    ChildProcess p(m_dir.path(), {VX_LOGGER_PATH, "-c", "-d", c.dir, "-f", "x.cap"},
                   ChildProcess::Input::kPipe, m_router.Environment());
    ASSERT_TRUE(p.WaitOutput("Packet Count:")) << p.Output();
    p.WriteInput("q");
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_NE(p.Output().find(want), std::string::npos) << p.Output();
    remove((m_dir / "x.cap").c_str());
  }
}

TEST_F(CaptureRun, UnwritableFolderFailsTheStartWithStatus1) {
  // A folder below a regular file cannot be created, not even by root.
  vxtest::WriteFileBytes(m_dir / "file", {1});
  ChildProcess p(m_dir.path(), {VX_LOGGER_PATH, "-c", "-d", m_dir / "file", "-f", "x.cap"},
                 ChildProcess::Input::kPipe, m_router.Environment());
  EXPECT_EQ(p.Wait(), 1);
  const std::string out = p.Output();
  EXPECT_TRUE(
      std::regex_search(out, std::regex("\nFailed to start logger \\(err=0x[0-9a-f]+\\)!\n$")))
      << out;
  EXPECT_EQ(out.find("Started capturing"), std::string::npos) << out;
  EXPECT_EQ(out.find("Press q"), std::string::npos) << out;
}

}  // namespace
