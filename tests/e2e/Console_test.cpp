// The console on a terminal: single keys without Enter, the status line rewritten in place,
// the terminal settings while running and after, and a run started in the background.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"

namespace {

using vxtest::ChildProcess;

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
    EXPECT_EQ(out.substr(end), "\n\nCapture has stopped\n");
  }
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
