#include "console/ConsoleInput.h"

#include <sys/select.h>

#include <cerrno>

namespace {

// False only for the controlling terminal of a process outside its foreground group: reading
// from it or changing its settings would stop the process with SIGTTIN or SIGTTOU.
bool MayUseTerminal(int fd) {
  pid_t foreground = tcgetpgrp(fd);
  return foreground == -1 || foreground == getpgrp();
}

}  // namespace

void SetInputMode(TerminalState* saved, int fd) {
  saved->bSaved = false;
  if (!isatty(fd) || !MayUseTerminal(fd)) return;
  if (tcgetattr(fd, &saved->oldt) != 0) return;
  termios newt = saved->oldt;
  newt.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  if (tcsetattr(fd, TCSAFLUSH, &newt) != 0) return;
  saved->bSaved = true;
}

void ResetInputMode(const TerminalState& saved, int fd) {
  if (!saved.bSaved || !MayUseTerminal(fd)) return;
  tcsetattr(fd, TCSANOW, &saved.oldt);
}

char GetKeyPressed(int fd) {
  if (fd < 0 || fd >= FD_SETSIZE) return 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval timeout{0, 1000};
  if (select(fd + 1, &readable, nullptr, nullptr, &timeout) <= 0) return 0;
  if (isatty(fd) && !MayUseTerminal(fd)) return 0;
  char key = 0;
  ssize_t n;
  do {
    n = read(fd, &key, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? key : 0;
}
