// The command line: wrong invocations, and the built program as a user runs it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "NmxCapTestUtil.h"
#include "common/ChildProcess.h"

namespace {

using namespace captool;

TEST(CommandLine, WrongInvocationsExplainThemselves) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "usage: nmx-cap COMMAND"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"info"}, "info needs at least one file"},
      {{"check", "a", "b"}, "check takes one file"},
      {{"dump"}, "dump needs a file"},
      {{"dump", "a", "b"}, "dump takes one file"},
      {{"dump", "a", "--port", "65536"}, "--port needs a port number"},
      {{"dump", "a", "--from", "-1"}, "--from needs a frame count"},
      {{"dump", "a", "--count"}, "--count needs a frame count"},
      {{"dump", "a", "--cmd", "Reed"}, "unknown command 'Reed'"},
      {{"dump", "a", "--json=1"}, "--json takes no value"},
      {{"dump", "a", "-x"}, "unknown option -x"},
      {{"dump", "a", "--slower-than", "1.23456"}, "--slower-than needs milliseconds"},
      {{"dump", "a", "--slower-than", "-1"}, "--slower-than needs milliseconds"},
      {{"dump", "a", "--unanswered=yes"}, "--unanswered takes no value"},
      {{"stats"}, "stats needs a file"},
      {{"stats", "a", "b"}, "stats takes one file"},
      {{"stats", "a", "--timeout", "0"}, "--timeout needs milliseconds above 0"},
      {{"stats", "a", "--timeout=1e3"}, "--timeout needs milliseconds above 0"},
      {{"stats", "a", "--slowest", "1001"}, "--slowest needs a count"},
      {{"repair", "a", "-o"}, "-o needs one file"},
      {{"export", "a"}, "export takes a capture and an output file"},
      {{"merge", "out"}, "merge takes an output file and at least one capture"},
      {{"merge", "-", "a"}, "merge needs an output file"},
      {{"repair", "a", "-o", "-"}, "repair -o needs a file"},
  };
  for (const Case& c : cases) {
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(2, r.status) << testing::PrintToString(c.args);
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("usage:")) << r.err;
    EXPECT_EQ("", r.out);
  }
  const ToolRun help = RunTool({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage: nmx-cap COMMAND"));
}

struct Process {
  int status;
  std::string out;
};

// Runs the built program; args are separated by spaces. Standard error is not kept.
Process RunBinary(const std::string& args) {
  std::vector<std::string> argv = {NMXCAP_BINARY};
  std::istringstream words(args);
  for (std::string w; words >> w;) argv.push_back(w);
  vxtest::TempDir outputDir;
  vxtest::ChildProcess p(outputDir.path(), argv, vxtest::ChildProcess::Input::kDevNull);
  const int status = p.Wait();
  return {status, p.Output()};
}

TEST(Program, ExitStatusAndOutputAsAUserSeesThem) {
  vxtest::TempDir dir;
  const std::string good =
      WriteCapture(dir, "good.cap",
                   {{kT0, Packet(kServer, kClient, 2, 4, 1, U32s({0x4020, 0, 4}))},
                    {kT0 + kMs, Packet(kClient, kServer, 2, 5, 1, U32s({0, 4, 0x01020304}))}});
  Bytes damaged = vxtest::ReadFileBytes(good);
  damaged[0] = 'X';
  vxtest::WriteFileBytes(dir / "bad.cap", damaged);

  EXPECT_EQ(0, RunBinary("check " + good).status);
  EXPECT_EQ(1, RunBinary("check " + dir / "bad.cap").status);
  EXPECT_EQ(2, RunBinary("check " + dir / "missing.cap").status);

  const Process json = RunBinary("dump " + good + " --json --cmd read");
  EXPECT_EQ(0, json.status);
  const std::vector<std::string> lines = Lines(json.out);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(0u,
            lines[1].find("{\"frame\":1,\"offset\":204,\"time\":\"2024-05-01T12:00:00.0010000Z\""))
      << lines[1];
  const Process info = RunBinary("info " + good);
  EXPECT_EQ(0, info.status);
  EXPECT_NE(std::string::npos, info.out.find("Requests:            1, 1 answered\n")) << info.out;
}

// Output that cannot be written is an error, never a success: the program says so on standard
// error, and a finding (a damaged capture) keeps its own status.
TEST(Program, OutputThatCannotBeWrittenFailsTheRun) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
  vxtest::TempDir dir;
  const std::string good = WriteCapture(
      dir, "good.cap", {{kT0, Packet(kServer, kClient, 2, 4, 1, U32s({0x4020, 0, 4}))}});
  Bytes damaged = vxtest::ReadFileBytes(good);
  damaged[0] = 'X';
  vxtest::WriteFileBytes(dir / "bad.cap", damaged);
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"dump", good}, 2},
      {{"check", dir / "bad.cap"}, 1},
      {{"export", good, "-"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full",
                                     NMXCAP_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string errors;
    const int status = vxtest::ChildProcess::Run(dir.path(), argv, &errors);
    EXPECT_EQ(c.status, status);
    EXPECT_EQ(1, vxtest::ChildProcess::Count(errors, "nmx-cap: cannot write the output\n"))
        << errors;
  }
}

// "-" is standard output: the same bytes the file would get, and nothing else.
TEST(Program, ExportToStandardOutputWritesThePcapngThere) {
  vxtest::TempDir dir;
  const std::string good =
      WriteCapture(dir, "good.cap",
                   {{kT0, Packet(kServer, kClient, 2, 4, 1, U32s({0x4020, 0, 4}))},
                    {kT0 + kMs, Packet(kClient, kServer, 2, 5, 1, Bytes(3000, 0x5A))}});
  ASSERT_EQ(0, RunTool({"export", good, dir / "file.pcapng"}).status);
  std::string errors;
  ASSERT_EQ(0, vxtest::ChildProcess::Run(
                   dir.path(),
                   {"/bin/sh", "-c", "cd \"$2\" && exec \"$0\" export \"$1\" - >piped.pcapng",
                    NMXCAP_BINARY, good, dir.path()},
                   &errors))
      << errors;
  EXPECT_EQ("", errors);
  EXPECT_EQ(vxtest::ReadFileBytes(dir / "file.pcapng"),
            vxtest::ReadFileBytes(dir / "piped.pcapng"));
  EXPECT_FALSE(std::filesystem::exists(dir / "-"));
}

}  // namespace
