// The command line as a user meets it: each wrong command line with its line, the usage text
// and status 2; each start that fails with its console line, the line after it that says
// where and why (standard error), and status 1; a good run with status 0. The terminal is
// left as it was found.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
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
  std::string line;  // what is wrong, before the usage text
  bool bDiagnostic;  // getopt_long's own line on standard error
};

TEST(Options, WrongCommandLinesOnATerminalEndWithStatus2) {
  const std::string noMode = "either capture or listen mode must be set\n";
  const std::string unknown = "unrecognized option '?'\n\n";
  const std::string size = ": -s takes a whole number of MB from 1 to 4095\n";
  const OptionCase cases[] = {
      {{"-r"}, noMode, false},
      {{"-s", "20"}, noMode, false},
      {{"-f", "x.cap"}, noMode, false},
      {{"--ring", "--si", "3", "--fi=y.cap"}, noMode, false},
      {{"-l", "-p", "70000"}, "invalid listener port 70000\n", false},
      {{"-l", "-p", "-1"}, "invalid listener port -1\n", false},
      {{"-l", "-p", "0"}, "invalid listener port 0\n", false},
      {{"-l", "-p", "abc"}, "invalid listener port abc\n", false},
      {{"--li", "--po", "70000"}, "invalid listener port 70000\n", false},
      {{"-l", "-p", "localhost:47000"}, "invalid listener address localhost\n", false},
      {{"-c", "-s", "99999"}, "invalid file size 99999" + size, false},
      {{"-c", "-s", "abc"}, "invalid file size abc" + size, false},
      {{"-c", "-s", "0"}, "invalid file size 0" + size, false},
      {{"-c", "-s", "-5"}, "invalid file size -5" + size, false},
      {{"-c", "-f", ""}, "invalid capture file name: it is empty\n", false},
      {{"-c", "-d", ""}, "invalid capture directory: it is empty\n", false},
      {{"-c", "-d", "/tmp", "-f", "/var/x.cap"},
       "invalid capture directory /tmp: the file name -f /var/x.cap names its folder\n",
       false},
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
    EXPECT_EQ(p.Wait(), 2);
    EXPECT_EQ(p.Output(), c.line + kUsage);
    EXPECT_EQ(!p.Errors().empty(), c.bDiagnostic) << p.Errors();
    EXPECT_TRUE(SameTerminal(p.TerminalSettings(), p.InitialTerminalSettings()));
  }
  // Without any argument the usage is what was asked for.
  ChildProcess p(dir.path(), {VX_LOGGER_PATH}, ChildProcess::Input::kTerminal);
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_EQ(p.Output(), kUsage);
  EXPECT_TRUE(SameTerminal(p.TerminalSettings(), p.InitialTerminalSettings()));
}

TEST(Options, WithoutATerminalTheSameLinesAreWritten) {
  vxtest::TempDir dir;
  for (auto input : {ChildProcess::Input::kPipe, ChildProcess::Input::kDevNull}) {
    ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-s", "20"}, input);
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.Wait(), 2);
    EXPECT_EQ(p.Output(), std::string("either capture or listen mode must be set\n") + kUsage);
    EXPECT_EQ(p.Errors(), "");
  }
}

struct FailedStart {
  const char* what;
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::string lines;            // the console's lines of the failure, in a row
  std::string detail;           // the line on standard error
  bool bBesideAnother = false;  // while another logger captures on the same router
};

// Every start that fails: the console's lines stay as they are, the line after them names the
// path, device or port and the system's reason, and the program ends at once with status 1.
TEST(Options, FailedStartsSayWhereAndWhyAndEndWithStatus1) {
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started());
  const std::string socket = router.Socket();
  vxtest::WriteFileBytes(dir / "file", {'x'});
  vxtest::TakenPort taken;
  ASSERT_NE(taken.Port(), 0);
  const std::string port = std::to_string(taken.Port());
  const std::string connect =
      "Failed to connect to nmx logger port.\nFailed to start logger (err=0x98110712)!\n";
  const std::string create =
      "Failed to start capture! Failed to Create file stream!\n"
      "Failed to start logger (err=0x80004005)!\n";
  const FailedStart cases[] = {
      {"no router",
       {"-c", "-d", dir.path()},
       {"VX_ROUTER_DEVICE=" + (dir / "no-router.sock"), "VX_BASE_DIR=" + dir.path()},
       connect,
       "router device " + (dir / "no-router.sock") + ": " + strerror(ENOENT)},
      {"a second logger",
       {"-c", "-d", dir.path()},
       router.Environment(),
       connect,
       "router device " + socket + ": port 2 is taken (router error 9): is another logger running?",
       true},
      {"no such folder",
       {"-c", "-d", dir / "no/such/dir", "-f", "x.cap"},
       router.Environment(),
       create,
       "capture file " + (dir / "no/such/dir/x.cap") + ": " + strerror(ENOENT)},
      {"a folder that is a file",
       {"-c", "-f", dir / "file/x.cap"},
       router.Environment(),
       create,
       "capture file " + (dir / "file/x.cap") + ": " + strerror(ENOTDIR)},
      {"a viewer port in use",
       {"-l", "-p", port},
       router.Environment(),
       "Failed to open listener port (err=98112740)\nFailed to open logger (err=0x98112740)!\n",
       "viewer port " + port + ": " + strerror(EADDRINUSE)},
      {"an address of another machine",
       {"-l", "-p", "192.0.2.1:" + port},
       router.Environment(),
       "Failed to open listener port (err=98112741)\nFailed to open logger (err=0x98112741)!\n",
       "viewer port 192.0.2.1:" + port + ": " + strerror(EADDRNOTAVAIL)},
  };
  for (const FailedStart& c : cases) {
    SCOPED_TRACE(c.what);
    // The other one holds port 2 of the router.
    std::unique_ptr<ChildProcess> first;
    if (c.bBesideAnother) {
      first = std::make_unique<ChildProcess>(
          dir.path(), std::vector<std::string>{VX_LOGGER_PATH, "-c", "-d", dir.path()},
          ChildProcess::Input::kPipe, router.Environment());
      ASSERT_TRUE(first->WaitOutput("Packet Count:")) << first->Output();
    }
    std::vector<std::string> argv = {VX_LOGGER_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess p(dir.path(), argv, ChildProcess::Input::kPipe, c.env);
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.Wait(), 1);
    const std::string out = p.Output();
    EXPECT_NE(out.find(c.lines), std::string::npos) << out;
    EXPECT_EQ(out.find("usage:"), std::string::npos) << out;
    EXPECT_EQ(out.find("Press q"), std::string::npos) << out;
    EXPECT_EQ(p.Errors(), c.detail + "\n");
    if (first) {
      ASSERT_TRUE(first->WriteInput("q"));
      EXPECT_EQ(first->Wait(), 0);
    }
  }
}

// A run that starts and is stopped exits 0, also when the runtime's folder is missing: the
// registry says which lock file it looked for and how to point it elsewhere.
TEST(Options, AGoodRunEndsWithStatus0) {
  vxtest::TempDir dir;
  vxtest::RouterProcess router(dir);
  ASSERT_TRUE(router.Started());
  const std::string base = dir / "nowhere";
  const std::string port = std::to_string(vxtest::FreeTcpPort());
  ChildProcess p(dir.path(), {VX_LOGGER_PATH, "-l", "-p", "127.0.0.1:" + port},
                 ChildProcess::Input::kPipe,
                 {"VX_ROUTER_DEVICE=" + router.Socket(), "VX_BASE_DIR=" + base});
  ASSERT_TRUE(p.WaitOutput("Listening for viewer connection at port " + port + "\n")) << p.Output();
  ASSERT_TRUE(p.WriteInput("q"));
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_NE(p.Output().find("Failed to open the Varnix registry lock file\n"), std::string::npos)
      << p.Output();
  EXPECT_EQ(p.Errors(), "registry lock file " + base + "/VxRegistry.xml.lock: " + strerror(ENOENT) +
                            " (the runtime's base folder is " + base +
                            "; VX_BASE_DIR names another)\n");

  ChildProcess capture(dir.path(), {VX_LOGGER_PATH, "-c", "-f", dir / "x.cap"},
                       ChildProcess::Input::kPipe, router.Environment());
  ASSERT_TRUE(capture.WaitOutput("Started capturing to file " + (dir / "x.cap") + "\n"))
      << capture.Output();
  ASSERT_TRUE(capture.WriteInput("q"));
  EXPECT_EQ(capture.Wait(), 0);
  EXPECT_EQ(capture.Errors(), "");
  // The capture is the owner's alone, and no program.
  const mode_t mask = umask(022);
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat((dir / "x.cap").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u & ~mask) << std::oct << st.st_mode;
}

}  // namespace
