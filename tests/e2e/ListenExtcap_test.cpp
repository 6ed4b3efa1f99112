// nmx-extcap as Wireshark and tshark run it: its control calls, read line by line, and a live
// capture into a FIFO that tshark reads while nmx-traffic runs through nmx-router into
// VxNmxLogger -l. Only frame-level and Ethernet fields of tshark are looked at.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/Pcapng.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"
#include "e2e/ListenFixture.h"

namespace {

using vxtest::ChildProcess;

constexpr LONGLONG kFileTimeUnixEpoch = 116444736000000000LL;

// A program on PATH, or empty.
std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// One line of a control call's answer: "keyword {key=value}{key=value}...".
struct ExtcapLine {
  std::string keyword;
  std::map<std::string, std::string> values;
};

// Every line must have that form; *bad receives the first that has not.
std::vector<ExtcapLine> ParseControlAnswer(const std::string& text, std::string* bad) {
  static const std::regex line("^([a-z]+) ((\\{[a-z]+=[^{}]*\\})+)$");
  static const std::regex item("\\{([a-z]+)=([^{}]*)\\}");
  std::vector<ExtcapLine> lines;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) {
      if (bad->empty()) *bad = l;
      continue;
    }
    ExtcapLine e{m[1], {}};
    const std::string items = m[2];
    for (std::sregex_iterator it(items.begin(), items.end(), item), end; it != end; ++it)
      e.values[(*it)[1]] = (*it)[2];
    lines.push_back(e);
  }
  return lines;
}

struct ExtcapRun {
  int status;
  std::string out, err;
};

ExtcapRun Extcap(const vxtest::TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), NMX_EXTCAP_PATH);
  ChildProcess p(dir.path(), args, ChildProcess::Input::kDevNull);
  const int status = p.Wait();
  return {status, p.Output(), p.Errors()};
}

TEST(ExtcapControl, EachCallAnswersInTheGrammarWiresharkReadsAndExitsZero) {
  vxtest::TempDir dir;
  std::string bad;

  ExtcapRun r = Extcap(dir, {"--extcap-interfaces", "--extcap-version=4.0"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  std::vector<ExtcapLine> lines = ParseControlAnswer(r.out, &bad);
  EXPECT_EQ("", bad);
  ASSERT_EQ(2u, lines.size()) << r.out;
  EXPECT_EQ("extcap", lines[0].keyword);
  EXPECT_FALSE(lines[0].values["version"].empty());
  EXPECT_EQ("interface", lines[1].keyword);
  EXPECT_EQ("nmxlogger", lines[1].values["value"]);
  EXPECT_EQ("NMX logger (viewer port)", lines[1].values["display"]);

  r = Extcap(dir, {"--extcap-interface", "nmxlogger", "--extcap-dlts"});
  ASSERT_EQ(0, r.status) << r.err;
  lines = ParseControlAnswer(r.out, &bad);
  EXPECT_EQ("", bad);
  ASSERT_EQ(1u, lines.size()) << r.out;
  EXPECT_EQ("dlt", lines[0].keyword);
  EXPECT_EQ("1", lines[0].values["number"]);  // Ethernet
  EXPECT_EQ("EN10MB", lines[0].values["name"]);

  r = Extcap(dir, {"--extcap-config", "--extcap-interface=nmxlogger"});
  ASSERT_EQ(0, r.status) << r.err;
  lines = ParseControlAnswer(r.out, &bad);
  EXPECT_EQ("", bad);
  // call -> {type, default, range}
  const std::map<std::string, std::vector<std::string>> expected = {
      {"--host", {"string", "127.0.0.1", ""}}, {"--port", {"unsigned", "48914", "1,65535"}},
      {"--start", {"boolean", "true", ""}},    {"--cycle", {"unsigned", "10", "1,10000"}},
      {"--trigger", {"string", "", ""}},       {"--after", {"unsigned", "0", ""}},
  };
  ASSERT_EQ(expected.size(), lines.size()) << r.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    ExtcapLine& a = lines[i];
    SCOPED_TRACE(a.values["call"]);
    EXPECT_EQ("arg", a.keyword);
    EXPECT_EQ(std::to_string(i), a.values["number"]);
    EXPECT_FALSE(a.values["display"].empty());
    ASSERT_EQ(1u, expected.count(a.values["call"]));
    const std::vector<std::string>& e = expected.at(a.values["call"]);
    EXPECT_EQ(e[0], a.values["type"]);
    EXPECT_EQ(e[1], a.values["default"]);
    EXPECT_EQ(e[2], a.values["range"]);
  }
  EXPECT_NE(std::string::npos, r.out.find("{display=Start the capture if it is stopped}"));

  // A capture filter as it is typed: silence when it is one, its reason when it is not.
  r = Extcap(dir, {"--extcap-interface", "nmxlogger", "--extcap-capture-filter",
                   "include :851 exclude 5.1.204.160.1.1:30000 flags krp"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
  r = Extcap(dir, {"--extcap-interface", "nmxlogger", "--extcap-capture-filter", "tcp port 80"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "capture filter: 'tcp': not an address (any, NETID, :PORT or NETID:PORT, NETID as "
      "1.2.3.4.1.1)\n",
      r.out);

  r = Extcap(dir, {"--extcap-interface", "eth0", "--extcap-dlts"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("nmx-extcap: no interface 'eth0' (there is nmxlogger)",
            r.err.substr(0, r.err.find('\n')));
}

TEST(ExtcapControl, AnUnreachableLoggerIsOneLineOnStandardError) {
  vxtest::TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string port = std::to_string(vxtest::FreeTcpPort());
  const ExtcapRun r =
      Extcap(dir, {"--extcap-interface", "nmxlogger", "--capture", "--fifo", fifo, "--port", port});
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("nmx-extcap: capture: cannot connect to 127.0.0.1:" + port + ": connection refused\n",
            r.err);
  EXPECT_EQ("", r.out);
}

// The listen-mode logger with a FIFO for nmx-extcap to write into.
class ListenExtcap : public e2etest::ListenLogger {
 protected:
  void SetUp() override {
    ListenLogger::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, mkfifo(Fifo().c_str(), 0600));
  }

  std::string Fifo() const { return m_dir / "capture.fifo"; }

  std::unique_ptr<ChildProcess> StartExtcap(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {
        NMX_EXTCAP_PATH, "--capture", "--extcap-interface",  "nmxlogger", "--fifo",
        Fifo(),          "--port",    std::to_string(m_port)};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(m_dir.path(), argv, ChildProcess::Input::kDevNull);
  }

  // "capturing" or "stopped"; the viewer place must be free for it.
  std::string State() {
    std::string out;
    if (View({"--json", "status"}, &out) != 0) return "no answer";
    std::smatch m;
    return std::regex_search(out, m, std::regex("\"state\":\"([a-z]+)\"")) ? m.str(1) : out;
  }
};

// "1714564800.000000300": nanoseconds since 1970 as tshark prints frame.time_epoch.
std::string EpochText(uint64_t ns) {
  char buf[32];
  snprintf(buf, sizeof buf, "%llu.%09llu", static_cast<unsigned long long>(ns / 1000000000),
           static_cast<unsigned long long>(ns % 1000000000));
  return buf;
}

TEST_F(ListenExtcap, TsharkGetsEveryCapturedFrameLiveInOrderWithItsBytesAndTime) {
  const std::string tshark = FindProgram("tshark");
  if (tshark.empty()) GTEST_SKIP() << "tshark is not installed (Debian package tshark)";
  constexpr int kOps = 150;
  constexpr int kFrames = 2 * kOps;

  // tshark reads the FIFO as Wireshark's capture child does, prints the frame-level and
  // Ethernet fields of each frame and keeps what it read.
  const std::string copy = m_dir / "tshark.pcapng";
  ChildProcess reader(m_dir.path(),
                      {tshark, "-r", Fifo(), "-c", std::to_string(kFrames), "-w", copy, "-P", "-T",
                       "fields", "-e", "frame.time_epoch", "-e", "frame.len", "-e", "eth.type"},
                      ChildProcess::Input::kDevNull);
  // Starts the stopped capture itself, from its first frame.
  auto extcap = StartExtcap();
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n")) << extcap->Errors();
  ASSERT_TRUE(m_router.RunTraffic(
      {"--count", std::to_string(kOps), "--mix", "read,write,readwrite", "--size", "100"}));

  // tshark ends after the last frame; the extcap sees its reader gone, stops the capture it
  // started and leaves.
  ASSERT_EQ(0, reader.Wait()) << reader.Errors();
  ASSERT_EQ(0, extcap->Wait()) << extcap->Errors();
  EXPECT_EQ("", extcap->Errors());
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has stopped.\n")) << m_logger->Output();
  EXPECT_EQ("stopped", State());

  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(Boot() + "run.cap", &cap, &error)) << error;
  ASSERT_EQ(static_cast<size_t>(kFrames), cap.frames.size());
  std::string dump;
  ASSERT_EQ(0, ChildProcess::Run(m_dir.path(), {NMX_CAP_PATH, "dump", Boot() + "run.cap", "--json"},
                                 &dump));
  std::vector<uint64_t> dumpNs;
  const std::regex fileTime("\"fileTime\":([0-9]+)");
  for (std::sregex_iterator it(dump.begin(), dump.end(), fileTime), end; it != end; ++it)
    dumpNs.push_back((std::stoull((*it)[1]) - kFileTimeUnixEpoch) * 100);
  ASSERT_EQ(cap.frames.size(), dumpNs.size());

  // What tshark shows, frame by frame.
  std::istringstream fields(reader.Output());
  std::string line;
  size_t n = 0;
  while (std::getline(fields, line)) {
    SCOPED_TRACE("frame " + std::to_string(n) + ": " + line);
    ASSERT_LT(n, cap.frames.size());
    EXPECT_EQ(
        EpochText(dumpNs[n]) + "\t" + std::to_string(16 + cap.frames[n].packet.size()) + "\t0x88a4",
        line);
    ++n;
  }
  EXPECT_EQ(cap.frames.size(), n);

  // What it read: a nanosecond interface of link type Ethernet, and each pseudo-Ethernet
  // frame byte for byte at its recorded time.
  const std::vector<vxtest::PcapngBlock> blocks =
      vxtest::ReadPcapngBlocks(vxtest::ReadFileBytes(copy));
  ASSERT_EQ(2 + cap.frames.size(), blocks.size());
  ASSERT_EQ(1u, blocks[1].type);
  EXPECT_EQ(1, vxtest::PcapngU16(blocks[1].body, 0));
  EXPECT_EQ(std::vector<unsigned char>{9}, vxtest::PcapngOptions(blocks[1].body, 8)[9]);
  for (size_t i = 0; i < cap.frames.size(); ++i) {
    SCOPED_TRACE(i);
    const vxtest::PcapngBlock& b = blocks[2 + i];
    ASSERT_EQ(6u, b.type);
    EXPECT_EQ(dumpNs[i],
              uint64_t{vxtest::PcapngU32(b.body, 4)} << 32 | vxtest::PcapngU32(b.body, 8));
    const std::vector<BYTE>& packet = cap.frames[i].packet;
    std::vector<unsigned char> frame(12, 0);
    frame.insert(frame.end(), {0x88, 0xA4, static_cast<BYTE>(packet.size() & 0xFF),
                               static_cast<BYTE>(0x20 | ((packet.size() >> 8) & 0x07))});
    frame.insert(frame.end(), packet.begin(), packet.end());
    ASSERT_EQ(frame.size(), vxtest::PcapngU32(b.body, 12));
    ASSERT_EQ(frame,
              std::vector<unsigned char>(b.body.begin() + 20,
                                         b.body.begin() + 20 + static_cast<long>(frame.size())));
  }
}

// Stopped as Wireshark stops it, the extcap ends the stream with the interface's statistics:
// the frames the logger captured meanwhile, and no drop count, which the logger does not
// report.
TEST_F(ListenExtcap, TheStreamEndsWithTheLoggersCountOfFramesWhenStopped) {
  constexpr int kOps = 100;
  constexpr size_t kFrames = 2 * kOps;
  const int reader = open(Fifo().c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto extcap = StartExtcap();
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n")) << extcap->Errors();
  ASSERT_TRUE(m_router.RunTraffic(
      {"--count", std::to_string(kOps), "--mix", "read,write", "--size", "100"}));

  // Reads until the stream holds its two header blocks and every frame, then until its end.
  std::vector<unsigned char> stream;
  // Takes what the FIFO holds; true once the writer has closed it after writing.
  auto readSome = [&] {
    unsigned char buf[65536];
    for (;;) {
      const ssize_t n = read(reader, buf, sizeof buf);
      if (n <= 0) return n == 0 && !stream.empty();
      stream.insert(stream.end(), buf, buf + n);
    }
  };
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    readSome();
    size_t blocks = 0;
    for (size_t at = 0; at + 8 <= stream.size(); ++blocks) {
      const uint32_t len = vxtest::PcapngU32(stream, at + 4);
      if (len < 12 || at + len > stream.size()) break;
      at += len;
    }
    return blocks >= 2 + kFrames;
  })) << stream.size();
  extcap->Signal(SIGTERM);
  EXPECT_EQ(0, extcap->Wait()) << extcap->Errors();
  ASSERT_TRUE(vxtest::WaitUntil(readSome));
  close(reader);

  const std::vector<vxtest::PcapngBlock> blocks = vxtest::ReadPcapngBlocks(stream);
  ASSERT_EQ(3 + kFrames, blocks.size());
  const vxtest::PcapngBlock& isb = blocks.back();
  ASSERT_EQ(5u, isb.type);
  EXPECT_EQ(0u, vxtest::PcapngU32(isb.body, 0));  // interface 0
  auto opts = vxtest::PcapngOptions(isb.body, 12);
  auto u64 = [](const std::vector<unsigned char>& v) {
    return uint64_t{vxtest::PcapngU32(v, 4)} << 32 | vxtest::PcapngU32(v, 0);
  };
  auto time = [](const std::vector<unsigned char>& v) {
    return uint64_t{vxtest::PcapngU32(v, 0)} << 32 | vxtest::PcapngU32(v, 4);
  };
  ASSERT_EQ(8u, opts[4].size());
  EXPECT_EQ(kFrames, u64(opts[4]));  // isb_ifrecv
  EXPECT_EQ(0u, opts.count(5));      // isb_ifdrop
  ASSERT_EQ(8u, opts[2].size());
  ASSERT_EQ(8u, opts[3].size());
  const uint64_t firstFrame =
      uint64_t{vxtest::PcapngU32(blocks[2].body, 4)} << 32 | vxtest::PcapngU32(blocks[2].body, 8);
  EXPECT_LE(time(opts[2]), firstFrame);  // isb_starttime
  EXPECT_GE(time(opts[3]), firstFrame);  // isb_endtime

  // tshark's tools take the stream as a file.
  const std::string capinfos = FindProgram("capinfos");
  if (capinfos.empty()) GTEST_SKIP() << "capinfos is not installed (Debian package tshark)";
  const std::string saved = m_dir / "stream.pcapng";
  vxtest::WriteFileBytes(saved, stream);
  std::string out;
  EXPECT_EQ(0, ChildProcess::Run(m_dir.path(), {capinfos, "-c", saved}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find(std::to_string(kFrames))) << out;
}

// The trigger option: the capture, the logger's and the reader's, ends on its own a number of
// frames after the first failure, and nmx-extcap says where that frame lies in the saved file.
TEST_F(ListenExtcap, ATriggerStopsTheCaptureAfterTheFirstFailure) {
  const std::string copy = m_dir / "copy.pcapng";
  ChildProcess reader(m_dir.path(), {"/bin/sh", "-c", "exec cat \"$0\" > \"$1\"", Fifo(), copy},
                      ChildProcess::Input::kDevNull);
  auto extcap = StartExtcap({"--trigger", "error", "--after", "10"});
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n")) << extcap->Errors();
  auto traffic = m_router.StartTraffic(
      {"--count", "400", "--mix", "read,write", "--size", "64", "--errors", "10"});
  ASSERT_EQ(0, extcap->Wait(std::chrono::minutes(2))) << extcap->Errors();
  traffic->Wait(std::chrono::minutes(2));
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has stopped.\n")) << m_logger->Output();
  EXPECT_EQ(0, reader.Wait());
  const std::string said = extcap->Errors();
  EXPECT_NE(std::string::npos, said.find("nmx-extcap: trigger: error (error): ")) << said;
  EXPECT_NE(std::string::npos, said.find("nmx-extcap: trigger: stopped the capture ")) << said;
  EXPECT_NE(std::string::npos, said.find(" in run.cap (")) << said;
  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(Boot() + "run.cap", &cap, &error)) << error;
  EXPECT_LT(cap.frames.size(), 800u) << "the capture ran to the end of the traffic";
  const std::vector<vxtest::PcapngBlock> blocks =
      vxtest::ReadPcapngBlocks(vxtest::ReadFileBytes(copy));
  size_t packets = 0;
  for (const vxtest::PcapngBlock& b : blocks) packets += b.type == 6;
  EXPECT_GE(packets, 11u);
  EXPECT_LE(packets, cap.frames.size());
}

// How a capture ends while the extcap cannot write, and what it leaves behind.
struct DetachCase {
  const char* name;
  bool bRunningBefore;  // a viewer started the capture before
  bool bStart;          // --start
  bool bReader;         // a reader that opens the FIFO and never reads
  int signal;
  const char* stateAfter;
};

void PrintTo(const DetachCase& c, std::ostream* os) {
  *os << c.name;
}

class ExtcapDetach : public ListenExtcap, public testing::WithParamInterface<DetachCase> {};

TEST_P(ExtcapDetach, AStopSignalEndsTheCaptureCleanlyWhereverItWaits) {
  const DetachCase& c = GetParam();
  if (c.bRunningBefore) {
    ASSERT_EQ(0, View({"start"}));
  }
  // Viewers before it have been seen leaving, so the next one the console shows is it.
  const std::string connected = "Viewer is connected to logger\n";
  int shown = 0;
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    const std::string o = m_logger->Output();
    shown = ChildProcess::Count(o, connected);
    return shown == ChildProcess::Count(o, "Connection to viewer lost\n");
  }));
  auto extcap = StartExtcap({"--start", c.bStart ? "true" : "false"});
  int reader = -1;
  if (c.bReader) {
    // The FIFO fills up: far more frames than it holds, and nobody reads them.
    ASSERT_TRUE(vxtest::WaitUntil([&] {
      reader = open(Fifo().c_str(), O_RDONLY | O_NONBLOCK);
      return reader >= 0;
    }));
    ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n"));
    ASSERT_TRUE(m_router.RunTraffic({"--count", "300", "--mix", "read,write", "--size", "1000"}));
  } else {
    ASSERT_TRUE(m_logger->WaitOutput(connected, shown + 1)) << m_logger->Output();
  }
  extcap->Signal(c.signal);
  EXPECT_EQ(0, extcap->Wait()) << extcap->Errors();
  EXPECT_EQ("", extcap->Errors());
  if (reader >= 0) close(reader);
  // The viewer place is free at once, and the capture is as the case says.
  EXPECT_EQ(c.stateAfter, State());
  EXPECT_EQ(c.bRunningBefore || c.bStart ? 1 : 0,
            ChildProcess::Count(m_logger->Output(), "Capturing has started.\n"))
      << m_logger->Output();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtcapDetach,
    testing::Values(DetachCase{"TermWithAFullFifoStopsTheCaptureItStarted", false, true, true,
                               SIGTERM, "stopped"},
                    DetachCase{"IntWhileWaitingForAReaderLeavesARunningCapture", true, true, false,
                               SIGINT, "capturing"},
                    DetachCase{"TermWithoutStartLeavesAStoppedCaptureStopped", false, false, false,
                               SIGTERM, "stopped"}),
    [](const testing::TestParamInfo<DetachCase>& i) { return std::string(i.param.name); });

}  // namespace
