#include "console/ConsoleInput.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstring>

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void CloseWriter() {
    close(fd[1]);
    fd[1] = -1;
  }
};

// A pseudo-terminal that is not the controlling terminal of the test process.
struct Pty {
  int master = -1;
  int slave = -1;
  Pty() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  termios Attr() const {
    termios t{};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    return t;
  }
};

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Keys typed on a terminal reach the slave asynchronously; wait for them with a deadline.
char WaitKey(int fd) {
  for (int i = 0; i < 20000; ++i) {
    char k = GetKeyPressed(fd);
    if (k != 0) return k;
  }
  return 0;
}

TEST(ConsoleInput, PipeKeysInOrderThenNothingAlsoAtEndOfInput) {
  Pipe p;
  ASSERT_EQ(write(p.fd[1], "xq", 2), 2);
  EXPECT_EQ(GetKeyPressed(p.fd[0]), 'x');
  EXPECT_EQ(GetKeyPressed(p.fd[0]), 'q');
  EXPECT_EQ(GetKeyPressed(p.fd[0]), 0);
  p.CloseWriter();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GetKeyPressed(p.fd[0]), 0);
}

TEST(ConsoleInput, NoTerminalIsLeftAlone) {
  Pipe p;
  TerminalState saved{};
  SetInputMode(&saved, p.fd[0]);
  EXPECT_FALSE(saved.bSaved);
  ResetInputMode(saved, p.fd[0]);

  int devnull = open("/dev/null", O_RDONLY);
  ASSERT_GE(devnull, 0);
  SetInputMode(&saved, devnull);
  EXPECT_FALSE(saved.bSaved);
  EXPECT_EQ(GetKeyPressed(devnull), 0);
  close(devnull);

  EXPECT_EQ(GetKeyPressed(-1), 0);
}

TEST(ConsoleInput, TerminalGivesSingleKeysWithoutEchoAndIsRestored) {
  Pty t;
  const termios before = t.Attr();
  ASSERT_TRUE(before.c_lflag & ICANON);
  ASSERT_TRUE(before.c_lflag & ECHO);

  // Typed before the switch: discarded, never read as a key.
  ASSERT_EQ(write(t.master, "z", 1), 1);
  char echoed = 0;
  ASSERT_EQ(read(t.master, &echoed, 1), 1);
  ASSERT_EQ(echoed, 'z');
  TerminalState saved{};
  SetInputMode(&saved, t.slave);
  ASSERT_TRUE(saved.bSaved);
  termios during = t.Attr();
  EXPECT_FALSE(during.c_lflag & ICANON);
  EXPECT_FALSE(during.c_lflag & ECHO);
  EXPECT_EQ(during.c_lflag | ICANON | ECHO, before.c_lflag);
  EXPECT_EQ(during.c_iflag, before.c_iflag);
  EXPECT_EQ(GetKeyPressed(t.slave), 0);

  // One key without a line end arrives at once.
  ASSERT_EQ(write(t.master, "q", 1), 1);
  EXPECT_EQ(WaitKey(t.slave), 'q');
  // Echo happens as the key is taken in, so by now it would be waiting on the master.
  fcntl(t.master, F_SETFL, fcntl(t.master, F_GETFL) | O_NONBLOCK);
  char echo[8];
  EXPECT_LE(read(t.master, echo, sizeof echo), 0);

  ResetInputMode(saved, t.slave);
  EXPECT_TRUE(SameSettings(t.Attr(), before));
}

}  // namespace
