// The command line as a user meets it: what each refused or failing command line prints, that
// the program always exits 0, and that the terminal is left as it was found.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"

namespace {

using vxtest::ChildProcess;

const char kUsage[] =
    "usage:\n"
    "\n"
    "\tVxNmxLog -l [-p <portNo>]\n"
    "\tVxNmaLog -c [-r] [-s <size>] [-f <filename>]\n"
    "\n"
    "\t\t-l\n"
    "\t\t--listen\n"
    "\t\tlisten for nmx viewer connection\n"
    "\n"
    "\t\t-p\n"
    "\t\t--port\n"
    "\t\tlisten port for nmx viewer connection (default 0xbf12/48914)\n"
    "\n"
    "\t\t-c\n"
    "\t\t--capture\n"
    "\t\tstart capturing nmx commands\n"
    "\n"
    "\t\t-f\n"
    "\t\t--file\n"
    "\t\tfilename of capture file (default nmx.cap)\n"
    "\n"
    "\t\t-d\n"
    "\t\t--dir\n"
    "\t\tdirectory the capture is stored to (default is current\n"
    "\t\tdirectory)\n"
    "\n"
    "\t\ts-\n"
    "\t\t--size\n"
    "\t\tsize of capture file in MB ( default 15MB )\n"
    "\n"
    "\t\tr-\n"
    "\t\t--ringbuffer ( default true )\n"
    "\t\tuse ringbuffer\n";

bool SameTerminal(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

struct OptionCase {
  std::vector<std::string> args;
  std::string out;
  bool bDiagnostic;  // getopt_long's own line on standard error
};

TEST(Options, RefusedCommandLinesOnATerminal) {
  const std::string noMode = std::string("either capture or listen mode must be set\n") + kUsage;
  const std::string unknown = std::string("unrecognized option '?'\n\n") + kUsage;
  const OptionCase cases[] = {
      {{}, kUsage, false},
      {{"-r"}, noMode, false},
      {{"-s", "20"}, noMode, false},
      {{"-f", "x.cap"}, noMode, false},
      {{"--ring", "--si", "3", "--fi=y.cap"}, noMode, false},
      {{"-l", "-p", "70000"}, "invalid listener port 70000\n", false},
      {{"-l", "-p", "-1"}, "invalid listener port -1\n", false},
      {{"--li", "--po", "70000"}, "invalid listener port 70000\n", false},
      {{"-c", "-f", ""}, "invalid capture file name: it is empty\n", false},
      {{"-x"}, unknown, true},
      {{"-c", "-d"}, unknown, true},
  };
  vxtest::TempDir dir;
  for (const auto& c : cases) {
    std::vector<std::string> argv = {VX_LOGGER_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(testing::PrintToString(argv));
    ChildProcess p(dir.path(), argv, ChildProcess::Input::kTerminal);
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(p.Output(), c.out);
    EXPECT_EQ(!p.Errors().empty(), c.bDiagnostic) << p.Errors();
    EXPECT_TRUE(SameTerminal(p.TerminalSettings(), p.InitialTerminalSettings()));
  }
}

TEST(Options, PortZeroIsAcceptedAndAFailedStartStillExitsZero) {
  vxtest::TempDir dir;
  // No router behind the socket: the program gets as far as connecting and says why it
  // cannot capture.
  ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-c", "-p", "0", "-d", dir.path(), "-f", "x.cap"},
                 ChildProcess::Input::kTerminal,
                 {"VX_ROUTER_DEVICE=" + (dir / "no-router.sock"), "VX_BASE_DIR=" + dir.path()});
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Wait(), 0);
  const std::string out = p.Output();
  EXPECT_EQ(out.find("invalid listener port"), std::string::npos) << out;
  EXPECT_EQ(out.find("usage:"), std::string::npos) << out;
  EXPECT_NE(out.find("Failed to connect to nmx logger port.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Failed to start logger (err=0x98110712)!\n"), std::string::npos) << out;
  EXPECT_TRUE(SameTerminal(p.TerminalSettings(), p.InitialTerminalSettings()));
}

TEST(Options, WithoutATerminalTheSameLinesAreWritten) {
  vxtest::TempDir dir;
  for (auto input : {ChildProcess::Input::kPipe, ChildProcess::Input::kDevNull}) {
    ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-s", "20"}, input);
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(p.Output(), std::string("either capture or listen mode must be set\n") + kUsage);
    EXPECT_EQ(p.Errors(), "");
  }
}

// A listener port another program holds: both the listener and the logger report the same
// code, nothing listens, and the run ends at once with status 0.
TEST(Options, AListenerPortInUseIsReportedAndTheRunEnds) {
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started());
  vxtest::TakenPort holder;
  ASSERT_NE(holder.Port(), 0);
  const std::string port = std::to_string(holder.Port());

  ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-l", "-p", port}, ChildProcess::Input::kPipe,
                 router.Environment());
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Wait(), 0);
  holder.Free();
  const std::string out = p.Output();
  EXPECT_TRUE(
      std::regex_search(out, std::regex("Failed to open listener port \\(err=([0-9a-f]+)\\)\n"
                                        "Failed to open logger \\(err=0x\\1\\)!\n")))
      << out;
  EXPECT_EQ(out.find("Listening for viewer connection"), std::string::npos) << out;
  EXPECT_EQ(p.Errors(), "");
}

}  // namespace
