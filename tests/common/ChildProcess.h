// Runs a built program for a test: its own environment additions, standard input from a pipe,
// /dev/null or a pseudo-terminal, and its output collected for the test.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

namespace vxtest {

// One program run by the test. The destructor kills the program if it is still running.
// Not thread-safe: one thread drives an object.
class ChildProcess {
 public:
  enum class Input {
    kPipe,     // WriteInput feeds standard input; stdout and stderr go to files
    kDevNull,  // standard input reads /dev/null
    // Standard input and output are a pseudo-terminal that is the program's controlling
    // terminal, in cooked mode with echo but without output processing, so Output() holds
    // exactly the bytes written. Standard error goes to a file.
    kTerminal,
    // As kTerminal, but the program runs in a process group of its own that is not the
    // terminal's foreground group, as a shell runs "program &".
    kBackgroundTerminal,
  };
  enum class ErrorStream {
    kOwnFile,     // standard error is read by Errors()
    kWithOutput,  // standard error goes where standard output goes, interleaved as written
  };

  // dir: an existing folder for the output files; it must outlive this object. env:
  // NAME=VALUE entries added to the environment. argv[0] is the program's path.
  ChildProcess(std::string dir, std::vector<std::string> argv, Input input,
               std::vector<std::string> env = {}, ErrorStream errors = ErrorStream::kOwnFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs a program with standard input from /dev/null to its end and returns Wait()'s status;
  // output (if not null) receives its standard output and error together.
  static int Run(const std::string& dir, std::vector<std::string> argv, std::string* output,
                 std::chrono::milliseconds deadline = std::chrono::minutes(5));

  bool Started() const { return m_pid > 0; }
  pid_t Pid() const { return m_target; }

  // Everything written to standard output (for a terminal: read from it so far) and to
  // standard error.
  std::string Output();
  std::string Errors() const;
  // Waits until Output() holds needle count times; false if it ended or the deadline passed
  // before.
  bool WaitOutput(const std::string& needle, int count = 1,
                  std::chrono::milliseconds deadline = std::chrono::seconds(60));

  // How often needle occurs in text, not overlapping.
  static int Count(const std::string& text, const std::string& needle);

  // Types text (pipe or terminal).
  bool WriteInput(const std::string& text);
  void CloseInput();
  // Sends sig to the program unless it has been waited for.
  void Signal(int sig) const;

  // The terminal's current settings (terminal modes only).
  termios TerminalSettings() const;
  const termios& InitialTerminalSettings() const { return m_initialTerminal; }

  // Waits for the end; returns the exit status, or -1 if it ended by a signal or had to be
  // killed after the deadline. For kBackgroundTerminal, 99 means the program was stopped by
  // job control. Once ended, returns the same status at once.
  int Wait(std::chrono::milliseconds deadline = std::chrono::seconds(60));
  bool Exited();

 private:
  bool OpenTerminal();
  void DrainTerminal();

  std::string m_outPath;
  std::string m_errPath;
  pid_t m_pid = -1;     // the child this object waits for
  pid_t m_target = -1;  // the program itself (differs for kBackgroundTerminal)
  int m_inputFd = -1;   // pipe writer or terminal master
  int m_slaveFd = -1;
  termios m_initialTerminal{};
  std::string m_terminalOutput;
  bool m_bTerminal = false;
  int m_status = -1;
  bool m_bDone = false;
};

}  // namespace vxtest
