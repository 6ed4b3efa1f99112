#include "console/Parameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  bool ok;
  int status;
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
  r.status = -1;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r.ok = ParseParameter(&r.parms, static_cast<int>(args.size()), argv.data(), &r.status);
  fflush(stdout);
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

const std::string kUsage = std::string(arg_doc) + "\n";

struct RefusedCase {
  std::vector<std::string> args;
  std::string line;  // the reason, before the usage text
};

// Every wrong command line: one line that names what is wrong, then the usage, status 2.
TEST(ParseParameter, RefusedCommandLinesPrintTheirReasonAndTheUsage) {
  const std::string noMode = "either capture or listen mode must be set\n";
  const std::string unknown = "unrecognized option '?'\n\n";
  const std::string size = ": -s takes a whole number of MB from 1 to 4095\n";
  // One byte over what the record holds: cut short, it would name another path.
  const std::string longDir = "/tmp/" + std::string(CAP_PATH_SIZE - 5, 'd');
  const std::string longName = std::string(CAP_PATH_SIZE, 'n') + ".cap";
  const std::string tooLong = ": longer than " + std::to_string(CAP_PATH_SIZE - 1) + " bytes\n";
  const RefusedCase cases[] = {
      {{"-r"}, noMode},
      {{"-s", "20"}, noMode},
      {{"-f", "x.cap"}, noMode},
      {{"stray"}, noMode},
      {{"-l", "-p", "70000"}, "invalid listener port 70000\n"},
      {{"-l", "-p", "65536"}, "invalid listener port 65536\n"},
      {{"-l", "-p", "-1"}, "invalid listener port -1\n"},
      {{"-l", "-p", "0"}, "invalid listener port 0\n"},
      {{"-l", "-p", "abc"}, "invalid listener port abc\n"},
      {{"-l", "-p", ""}, "invalid listener port \n"},
      {{"-l", "-p", "47000x"}, "invalid listener port 47000x\n"},
      // Beyond 32 bits the number is refused as typed instead of wrapping into a valid port.
      {{"-l", "-p", "4294967297"}, "invalid listener port 4294967297\n"},
      {{"-l", "-p", "1.2.3:47000"}, "invalid listener address 1.2.3\n"},
      {{"-l", "-p", "localhost:47000"}, "invalid listener address localhost\n"},
      {{"-l", "-p", "127.0.0.1:70000"}, "invalid listener port 70000\n"},
      {{"-l", "-p", "127.0.0.1:"}, "invalid listener port \n"},
      {{"-c", "-s", "0"}, "invalid file size 0" + size},
      {{"-c", "-s", "4096"}, "invalid file size 4096" + size},
      {{"-c", "-s", "99999"}, "invalid file size 99999" + size},
      {{"-c", "-s", "-5"}, "invalid file size -5" + size},
      {{"-c", "-s", "abc"}, "invalid file size abc" + size},
      {{"-c", "-s", "7MB"}, "invalid file size 7MB" + size},
      {{"-c", "-s", " 12"}, "invalid file size  12" + size},
      {{"-c", "-s", "18446744073709551617"}, "invalid file size 18446744073709551617" + size},
      {{"-c", "-f", ""}, "invalid capture file name: it is empty\n"},
      {{"-c", "-f", "/tmp/"}, "invalid capture file name /tmp/: it names a folder\n"},
      {{"-c", "-d", ""}, "invalid capture directory: it is empty\n"},
      {{"-c", "-d", longDir}, "invalid capture directory " + longDir + tooLong},
      {{"-c", "-f", longName}, "invalid capture file name " + longName + tooLong},
      {{"-c", "-f", "/" + longName}, "invalid capture file name /" + longName + tooLong},
      {{"-c", "-d", "/var", "-f", "/tmp/x.cap"},
       "invalid capture directory /var: the file name -f /tmp/x.cap names its folder\n"},
      // A value check ends the scan before later options are looked at.
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
    EXPECT_EQ(r.out, c.line + kUsage);
    EXPECT_EQ(r.status, 2);
  }
}

TEST(ParseParameter, NoArgumentsPrintTheUsageAlone) {
  Parsed r = Parse({});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.status, 0);
}

TEST(ParseParameter, UnknownOptionLeavesTheLibraryDiagnosticOnStandardError) {
  Parsed r = Parse({"-c", "-x"});
  EXPECT_NE(r.err.find("x"), std::string::npos) << r.err;
  EXPECT_EQ(Parse({"-c"}).err, "");
}

TEST(ParseParameter, DefaultsWithOneMode) {
  Parsed r = Parse({"-c"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.status, 0);
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
      {"-l", "-c", "-p", "7", "-f", "x.cap", "-d", "/tmp", "-s", "20", "-r", "stray"},
      {"--listen", "--capture", "--port", "7", "--file", "x.cap", "--dir", "/tmp", "--size", "20",
       "--ringbuffer"},
      {"--li", "--ca", "--po=7", "--fi=x.cap", "--di", "/tmp", "--si", "20", "--r"},
      {"-lcp7", "-fx.cap", "-d/tmp", "-s20"},
  };
  for (const auto& args : forms) {
    SCOPED_TRACE(args[0]);
    Parsed r = Parse(args);
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.parms.bListen);
    EXPECT_TRUE(r.parms.bCapture);
    EXPECT_EQ(r.parms.listenerPort, 7);
    EXPECT_STREQ(r.parms.capName, "x.cap");
    EXPECT_STREQ(r.parms.capDir, "/tmp");
    EXPECT_EQ(r.parms.fileSizeMb, 20);
    EXPECT_TRUE(r.parms.bRingBuffer);
  }
}

TEST(ParseParameter, SizesAndPortsWithinTheirRanges) {
  const std::pair<const char*, int32_t> sizes[] = {
      {"1", 1}, {"15", 15}, {"015", 15}, {"4095", 4095}};
  for (const auto& [text, value] : sizes) {
    SCOPED_TRACE(text);
    Parsed r = Parse({"-c", "-s", text});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.parms.fileSizeMb, value);
  }
  for (const auto& [text, value] : {std::pair<const char*, int32_t>{"1", 1}, {"65535", 65535}}) {
    SCOPED_TRACE(text);
    Parsed r = Parse({"-l", "-p", text});
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ(r.parms.listenerPort, value);
  }
}

// An absolute -f names its folder itself; a relative one lies in the -d folder.
TEST(ParseParameter, AnAbsoluteFileNameIsUsedAsItIs) {
  const struct {
    std::vector<std::string> args;
    const char* dir;
    const char* name;
  } cases[] = {
      {{"-c", "-f", "/abs/path/x.cap"}, "/abs/path", "x.cap"},
      {{"-c", "-f", "/x.cap"}, "/", "x.cap"},
      {{"-c", "-f", "sub/x.cap"}, "./", "sub/x.cap"},
      {{"-c", "-d", "/tmp", "-f", "x.cap"}, "/tmp", "x.cap"},
      // The last -f counts.
      {{"-c", "-f", "/abs/x.cap", "-f", "y.cap"}, "./", "y.cap"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[2]);
    Parsed r = Parse(c.args);
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_STREQ(r.parms.capDir, c.dir);
    EXPECT_STREQ(r.parms.capName, c.name);
  }
}

// -p ADDRESS:PORT listens on one local address; without an address, on every one.
TEST(ParseParameter, APortMayNameTheAddressToListenOn) {
  const struct {
    const char* value;
    const char* address;
    int32_t port;
  } cases[] = {{"127.0.0.1:47000", "127.0.0.1", 47000},
               {"10.1.2.3:1", "10.1.2.3", 1},
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

// Up to what the record holds a path is kept whole; beyond it the refusals above.
TEST(ParseParameter, LongPathsAreKeptWholeUpTo1023Bytes) {
  const std::string longName(1023, 'n');
  const std::string longDir(1023, 'd');
  Parsed r = Parse({"-c", "-f", longName, "-d", longDir});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(std::string(r.parms.capName), longName);
  EXPECT_EQ(std::string(r.parms.capDir), longDir);
  EXPECT_FALSE(Parse({"-c", "-f", std::string(1024, 'n')}).ok);
}

}  // namespace
