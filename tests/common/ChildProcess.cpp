#include "common/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/TestUtil.h"

extern char** environ;

namespace vxtest {

namespace {

std::vector<std::string> MergeEnvironment(const std::vector<std::string>& additions) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& a : additions) replaced = replaced || a.substr(0, a.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), additions.begin(), additions.end());
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (auto& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// In a forked child: only async-signal-safe calls. Undoes what the test process may have
// changed, so the program starts as it would from a shell.
void ResetSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGTTOU, SIGTTIN, SIGTSTP, SIGHUP})
    signal(sig, SIG_DFL);
}

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

ChildProcess::ChildProcess(std::string dir, std::vector<std::string> argv, Input input,
                           std::vector<std::string> env, ErrorStream errors) {
  static std::atomic<int> serial{0};
  const std::string stem = dir + "/child" + std::to_string(++serial);
  m_outPath = stem + ".out";
  m_errPath = stem + ".err";
  m_bTerminal = input == Input::kTerminal || input == Input::kBackgroundTerminal;
  const bool bOwnErrors = errors == ErrorStream::kOwnFile;

  std::vector<std::string> envStrings = MergeEnvironment(env);
  std::vector<char*> cargv = CStrings(argv);
  std::vector<char*> cenv = CStrings(envStrings);

  int inputRead = -1;
  if (input == Input::kPipe) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    inputRead = fds[0];
    m_inputFd = fds[1];
  } else if (m_bTerminal && !OpenTerminal()) {
    return;
  }
  int pidPipe[2] = {-1, -1};
  if (input == Input::kBackgroundTerminal && pipe2(pidPipe, O_CLOEXEC) != 0) return;

  // Everything the child needs is built before fork: only async-signal-safe calls follow.
  // Descriptors opened in the child are close-on-exec; dup2 gives the program its own copies.
  const char* outPath = m_outPath.c_str();
  const char* errPath = m_errPath.c_str();
  pid_t pid = fork();
  if (pid == 0) {
    ResetSignals();
    int out = -1;
    if (m_bTerminal) {
      setsid();
      ioctl(m_slaveFd, TIOCSCTTY, 0);
      dup2(m_slaveFd, 0);
      dup2(m_slaveFd, 1);
      out = m_slaveFd;
    } else {
      int in = input == Input::kPipe ? inputRead : open("/dev/null", O_RDONLY | O_CLOEXEC);
      out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      dup2(in, 0);
      dup2(out, 1);
    }
    dup2(bOwnErrors ? open(errPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : out, 2);
    if (input == Input::kBackgroundTerminal) {
      pid_t program = fork();
      if (program == 0) {
        setpgid(0, 0);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
      }
      setpgid(program, program);
      WriteAll(pidPipe[1], reinterpret_cast<const char*>(&program), sizeof program);
      int st = 0;
      while (waitpid(program, &st, WUNTRACED) < 0 && errno == EINTR) {
      }
      if (WIFSTOPPED(st)) {
        kill(program, SIGKILL);
        waitpid(program, &st, 0);
        _exit(99);
      }
      _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 128);
    }
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  if (inputRead >= 0) close(inputRead);
  m_pid = pid;
  m_target = pid;
  if (pidPipe[1] >= 0) close(pidPipe[1]);
  if (pid > 0 && pidPipe[0] >= 0) {
    pid_t program = -1;
    if (read(pidPipe[0], &program, sizeof program) == static_cast<ssize_t>(sizeof program))
      m_target = program;
  }
  if (pidPipe[0] >= 0) close(pidPipe[0]);
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && !m_bDone) {
    if (m_target != m_pid) kill(m_target, SIGKILL);
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_inputFd >= 0) close(m_inputFd);
  if (m_slaveFd >= 0) close(m_slaveFd);
}

int ChildProcess::Run(const std::string& dir, std::vector<std::string> argv, std::string* output,
                      std::chrono::milliseconds deadline) {
  ChildProcess p(dir, std::move(argv), Input::kDevNull, {}, ErrorStream::kWithOutput);
  const int status = p.Wait(deadline);
  if (output) *output = p.Output();
  return status;
}

bool ChildProcess::OpenTerminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return false;
  fcntl(master, F_SETFD, FD_CLOEXEC);
  m_inputFd = master;  // closed by the destructor from here on
  const char* name = nullptr;
  if (grantpt(master) != 0 || unlockpt(master) != 0 || !(name = ptsname(master))) return false;
  m_slaveFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_slaveFd < 0) return false;
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  termios t{};
  tcgetattr(m_slaveFd, &t);
  t.c_lflag |= ICANON | ECHO | ISIG;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(m_slaveFd, TCSANOW, &t);
  tcgetattr(m_slaveFd, &m_initialTerminal);
  return true;
}

void ChildProcess::DrainTerminal() {
  if (!m_bTerminal || m_inputFd < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = read(m_inputFd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    m_terminalOutput.append(buf, static_cast<size_t>(n));
  }
}

std::string ChildProcess::Output() {
  if (m_bTerminal) {
    DrainTerminal();
    return m_terminalOutput;
  }
  auto bytes = ReadFileBytes(m_outPath);
  return std::string(bytes.begin(), bytes.end());
}

std::string ChildProcess::Errors() const {
  auto bytes = ReadFileBytes(m_errPath);
  return std::string(bytes.begin(), bytes.end());
}

int ChildProcess::Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

bool ChildProcess::WaitOutput(const std::string& needle, int count,
                              std::chrono::milliseconds deadline) {
  WaitUntil([&] { return Count(Output(), needle) >= count || Exited(); }, deadline);
  return Count(Output(), needle) >= count;
}

bool ChildProcess::WriteInput(const std::string& text) {
  if (m_inputFd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = write(m_inputFd, text.data() + done, text.size() - done);
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

void ChildProcess::CloseInput() {
  if (m_inputFd >= 0 && !m_bTerminal) {
    close(m_inputFd);
    m_inputFd = -1;
  }
}

void ChildProcess::Signal(int sig) const {
  if (m_target > 0 && !m_bDone) kill(m_target, sig);
}

termios ChildProcess::TerminalSettings() const {
  termios t{};
  if (m_slaveFd >= 0) tcgetattr(m_slaveFd, &t);
  return t;
}

bool ChildProcess::Exited() {
  if (m_bDone) return true;
  if (m_pid <= 0) return true;
  int st = 0;
  if (waitpid(m_pid, &st, WNOHANG) != m_pid) return false;
  m_bDone = true;
  m_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  DrainTerminal();
  return true;
}

int ChildProcess::Wait(std::chrono::milliseconds deadline) {
  if (!WaitUntil([&] { return Exited(); }, deadline)) {
    if (m_target != m_pid) kill(m_target, SIGKILL);
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_bDone = true;
    m_status = -1;
    DrainTerminal();
  }
  return m_status;
}

}  // namespace vxtest
