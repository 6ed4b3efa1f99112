#include "console/Parameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  bool ok;
  Parms_t parms;
  std::string out;
  std::string err;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "VxNmxLogger");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed r{};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r.ok = ParseParameter(&r.parms, static_cast<int>(args.size()), argv.data());
  fflush(stdout);
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

const std::string kUsage = std::string(arg_doc) + "\n";

struct RefusedCase {
  std::vector<std::string> args;
  std::string out;
};

TEST(ParseParameter, RefusedCommandLinesPrintTheirReason) {
  const std::string noMode = "either capture or listen mode must be set\n" + kUsage;
  const std::string unknown = "unrecognized option '?'\n\n" + kUsage;
  const RefusedCase cases[] = {
      {{}, kUsage},
      {{"-r"}, noMode},
      {{"-s", "20"}, noMode},
      {{"-f", "x.cap"}, noMode},
      {{"stray"}, noMode},
      {{"-l", "-p", "70000"}, "invalid listener port 70000\n"},
      {{"-l", "-p", "65536"}, "invalid listener port 65536\n"},
      {{"-l", "-p", "-1"}, "invalid listener port -1\n"},
      // Beyond 32 bits the number saturates instead of wrapping into a valid port.
      {{"-l", "-p", "99999999999"}, "invalid listener port 2147483647\n"},
      {{"-l", "-p", "4294967297"}, "invalid listener port 2147483647\n"},
      {{"-l", "-p", "1.2.3:47000"}, "invalid listener address 1.2.3\n"},
      {{"-l", "-p", "localhost:47000"}, "invalid listener address localhost\n"},
      {{"-l", "-p", "127.0.0.1:70000"}, "invalid listener port 70000\n"},
      // The port check ends the scan before later options are looked at.
      {{"-p", "70000", "-x"}, "invalid listener port 70000\n"},
      {{"-c", "-x"}, unknown},
      {{"-x", "-c"}, unknown},
      {{"-c", "-p"}, unknown},
      {{"-c", "--bogus"}, unknown},
      // "--" ends the options; what follows is no mode.
      {{"--", "-c"}, noMode},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    Parsed r = Parse(c.args);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST(ParseParameter, UnknownOptionLeavesTheLibraryDiagnosticOnStandardError) {
  Parsed r = Parse({"-c", "-x"});
  EXPECT_NE(r.err.find("x"), std::string::npos) << r.err;
  EXPECT_EQ(Parse({"-c"}).err, "");
}

TEST(ParseParameter, DefaultsWithOneMode) {
  Parsed r = Parse({"-c"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.parms.bCapture);
  EXPECT_FALSE(r.parms.bListen);
  EXPECT_EQ(r.parms.listenerPort, 48914);
  EXPECT_TRUE(r.parms.bRingBuffer);
  EXPECT_EQ(r.parms.ringBufferFiles, 3);
  EXPECT_EQ(r.parms.fileSizeMb, 15);
  EXPECT_STREQ(r.parms.capName, "nmx.cap");
  EXPECT_STREQ(r.parms.capDir, "./");
}

TEST(ParseParameter, ShortAndLongOptionsFillTheRecord) {
  const std::vector<std::string> forms[] = {
      {"-l", "-c", "-p", "0", "-f", "x.cap", "-d", "/tmp", "-s", "20", "-r", "stray"},
      {"--listen", "--capture", "--port", "0", "--file", "x.cap", "--dir", "/tmp", "--size", "20",
       "--ringbuffer"},
      {"--li", "--ca", "--po=0", "--fi=x.cap", "--di", "/tmp", "--si", "20", "--r"},
      {"-lcp0", "-fx.cap", "-d/tmp", "-s20"},
  };
  for (const auto& args : forms) {
    SCOPED_TRACE(args[0]);
    Parsed r = Parse(args);
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.parms.bListen);
    EXPECT_TRUE(r.parms.bCapture);
    EXPECT_EQ(r.parms.listenerPort, 0);
    EXPECT_STREQ(r.parms.capName, "x.cap");
    EXPECT_STREQ(r.parms.capDir, "/tmp");
    EXPECT_EQ(r.parms.fileSizeMb, 20);
    EXPECT_TRUE(r.parms.bRingBuffer);
  }
}

TEST(ParseParameter, NumbersAsAtoiReadsThem) {
  const std::pair<const char*, int32_t> sizes[] = {
      {"7MB", 7}, {"abc", 0}, {"-5", -5}, {" 12", 12}, {"99999999999", INT32_MAX}};
  for (const auto& [text, value] : sizes) {
    SCOPED_TRACE(text);
    Parsed r = Parse({"-c", "-s", text});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.parms.fileSizeMb, value);
  }
  Parsed port = Parse({"-l", "-p", "abc"});
  ASSERT_TRUE(port.ok);
  EXPECT_EQ(port.parms.listenerPort, 0);
}

// -p ADDRESS:PORT listens on one local address; without an address, on every one.
TEST(ParseParameter, APortMayNameTheAddressToListenOn) {
  const struct {
    const char* value;
    const char* address;
    int32_t port;
  } cases[] = {{"127.0.0.1:47000", "127.0.0.1", 47000},
               {"10.1.2.3:0", "10.1.2.3", 0},
               {":47000", "", 47000},
               {"47000", "", 47000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    Parsed r = Parse({"-l", "-p", c.value});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_STREQ(r.parms.listenerAddress, c.address);
    EXPECT_EQ(r.parms.listenerPort, c.port);
  }
}

TEST(ParseParameter, LongPathsAreCutTo1023Characters) {
  const std::string longName(2000, 'n');
  const std::string longDir(1023, 'd');
  Parsed r = Parse({"-c", "-f", longName, "-d", longDir});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(std::string(r.parms.capName), longName.substr(0, 1023));
  EXPECT_EQ(std::string(r.parms.capDir), longDir);
}

}  // namespace
