// The console on a terminal: single keys without Enter, the status line rewritten in place,
// the terminal settings while running and after, and a run started in the background.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"

namespace {

using vxtest::ChildProcess;

// The last line of a run in which nothing was captured.
const std::string kNothingLost = "Frames stored: 0, given up by the ring: 0, dropped: 0";

bool SameTerminal(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST(Console, KeysOnTheTerminalStopTheRunWithTheStatusRewrittenInPlace) {
  // q without Enter, and Ctrl-C, which the terminal turns into SIGINT for the program.
  for (const char* key : {"q", "\x03"}) {
    SCOPED_TRACE(key[0] == 'q' ? "q" : "Ctrl-C");
    vxtest::TempDir dir;
    vxtest::RouterProcess router(dir);
    ASSERT_TRUE(router.Started());
    ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-c", "-d", dir.path(), "-f", "x.cap"},
                   ChildProcess::Input::kTerminal, router.Environment());
    ASSERT_TRUE(p.WaitOutput("\rPacket Count:", 3)) << p.Output();

    const termios running = p.TerminalSettings();
    EXPECT_FALSE(running.c_lflag & ICANON);
    EXPECT_FALSE(running.c_lflag & ECHO);
    EXPECT_TRUE(running.c_lflag & ISIG);

    ASSERT_TRUE(p.WriteInput("x"));  // any other key is read and ignored
    ASSERT_TRUE(p.WaitOutput("\rPacket Count:", 5)) << p.Output();
    EXPECT_FALSE(p.Exited());
    ASSERT_TRUE(p.WriteInput(key));
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_TRUE(SameTerminal(p.TerminalSettings(), p.InitialTerminalSettings()));

    const std::string out = p.Output();
    const std::string press = "\nPress q to stop nmx logger\n\n";
    const size_t loop = out.find(press);
    ASSERT_NE(loop, std::string::npos) << out;
    const size_t end = out.find("\n\nCapture has stopped\n", loop);
    ASSERT_NE(end, std::string::npos) << out;
    // Between the two only status lines, each starting at the line's beginning, and no
    // echo of the keys.
    const std::string status = out.substr(loop + press.size(), end - loop - press.size());
    EXPECT_GE(ChildProcess::Count(status, "\rPacket Count: "), 5);
    EXPECT_EQ(status.find('\n'), std::string::npos);
    EXPECT_EQ(status.find('x'), std::string::npos);
    EXPECT_EQ(status.substr(0, 15), "\rPacket Count: ");
    // Without traffic the router may not have said what it dropped.
    const std::string last = out.substr(end);
    EXPECT_TRUE(last == "\n\nCapture has stopped\n" + kNothingLost + "\n" ||
                last == "\n\nCapture has stopped\n" + kNothingLost + " (router: 0)\n")
        << last;
  }
}

// Where standard output is no terminal (a file, a pipe, the journal), nobody watches a line
// being rewritten: the status is a plain line at the start, every 10 s and at the end.
TEST(Console, WithoutATerminalTheStatusIsAPlainLine) {
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started());
  ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-c", "-d", dir.path(), "-f", "x.cap"},
                 ChildProcess::Input::kPipe, router.Environment());
  ASSERT_TRUE(p.WaitOutput("Packet Count:")) << p.Output();
  ASSERT_TRUE(p.WriteInput("q"));
  EXPECT_EQ(p.Wait(), 0);
  const std::string out = p.Output();
  const std::string zero = "Packet Count:          0 File Size:         0\n";
  const std::string run =
      "\nPress q to stop nmx logger\n\n" + zero + zero + "\nCapture has stopped\n" + kNothingLost;
  EXPECT_NE(out.find(run), std::string::npos) << out;
  EXPECT_EQ(out.find('\r'), std::string::npos) << out;
}

// The last line accounts for every command the router had for the logger: in the file,
// given up by the ring to make room, or dropped (by the logger, or by the router).
TEST(Console, TheLastLineAccountsForEveryFrame) {
  constexpr unsigned long kOps = 10000;
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started());
  ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-c", "-s", "1", "-d", dir.path(), "-f", "x.cap"},
                 ChildProcess::Input::kTerminal, router.Environment());
  ASSERT_TRUE(p.WaitOutput("\rPacket Count:")) << p.Output();
  ASSERT_TRUE(router.RunTraffic({"--count", std::to_string(kOps), "--mix", "read,write"}));
  // The router has handed over (or dropped) all of it, and the status line stands still.
  unsigned long delivered = 0, routerDropped = 0;
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    return router.PrintCounters() && router.PortCounters(2, &delivered, &routerDropped) &&
           delivered + routerDropped == 2 * kOps;
  })) << router.Output();
  const std::string kStatusLine = "\rPacket Count:          0 File Size:         0";
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    const std::string out = p.Output();
    const size_t last = out.rfind('\r');
    const size_t before = last == std::string::npos ? last : out.rfind('\r', last - 1);
    const size_t first = before == std::string::npos ? before : out.rfind('\r', before - 1);
    if (first == std::string::npos) return false;
    const std::string a = out.substr(first, before - first);
    return a == out.substr(before, last - before) && a.size() == kStatusLine.size();
  })) << p.Output();
  ASSERT_TRUE(p.WriteInput("q"));
  EXPECT_EQ(p.Wait(), 0);

  const std::string out = p.Output();
  const size_t at = out.rfind("Frames stored: ");
  ASSERT_NE(at, std::string::npos) << out;
  unsigned long stored = 0, givenUp = 0, dropped = 0, ofRouter = 0;
  ASSERT_EQ(sscanf(out.c_str() + at,
                   "Frames stored: %lu, given up by the ring: %lu, dropped: %lu (router: %lu)",
                   &stored, &givenUp, &dropped, &ofRouter),
            4)
      << out;
  EXPECT_GT(givenUp, 0ul) << "a ring of 1 MB gives way to 20000 frames";
  EXPECT_EQ(ofRouter, routerDropped);
  EXPECT_EQ(stored + givenUp + dropped, 2 * kOps) << out;
  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(dir / "x.cap", &cap, &error)) << error;
  EXPECT_EQ(cap.frames.size(), stored);
}

TEST(Console, RunInTheBackgroundLeavesTheTerminalToTheShellAndKeepsRunning) {
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started());
  ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-c", "-d", dir.path(), "-f", "x.cap"},
                 ChildProcess::Input::kBackgroundTerminal, router.Environment());
  ASSERT_TRUE(p.WaitOutput("\rPacket Count:", 2)) << p.Output();
  EXPECT_TRUE(SameTerminal(p.TerminalSettings(), p.InitialTerminalSettings()));
  // A whole line, so that the terminal reports input: it belongs to the foreground job, and
  // reading it would stop the program.
  ASSERT_TRUE(p.WriteInput("q\n"));
  ASSERT_TRUE(p.WaitOutput("\rPacket Count:", 6)) << p.Output();
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0) << "99: stopped by job control";
  EXPECT_NE(p.Output().find("\n\nCapture has stopped\n"), std::string::npos) << p.Output();
  EXPECT_TRUE(SameTerminal(p.TerminalSettings(), p.InitialTerminalSettings()));
}

}  // namespace
