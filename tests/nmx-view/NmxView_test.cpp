// nmx-view in process: its commands against a running engine, its command line, and how it
// puts frame records together again from damaged or reordered packets.
#include "nmx-view/NmxView.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/FileSizeLimit.h"
#include "frames/CapFrameFormat.h"
#include "frames/CapFrameReader.h"
#include "service/ViewerServiceTestUtil.h"
#include "viewclient/PacketAssembler.h"
#include "viewclient/ViewCommands.h"

using namespace vstest;

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

Outcome View(const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"nmx-view"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int status = RunNmxView(static_cast<int>(argv.size()), argv.data(), out, err);
  return Outcome{status, out.str(), err.str()};
}

using ViewCommands = EngineFixture;

TEST_F(ViewCommands, SettingsAndFiltersReachTheEngine) {
  const std::string port = std::to_string(Port());
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* err;  // part of the error line
  };
  const Case cases[] = {
      {{"set", "ring"}, kViewExitOk, ""},
      {{"set", "filesize", "8M"}, kViewExitOk, ""},
      {{"set", "buffersize", "32K"}, kViewExitOk, ""},
      {{"set", "savename", "view.cap"}, kViewExitOk, ""},
      {{"set", "autosave", "off"}, kViewExitOk, ""},
      {{"set", "savename", "../up.cap"}, kViewExitFailed, "not a file name"},
      {{"set", "savename", std::string(254, 'n')}, kViewExitUsage, "at most 253"},
      {{"set", "filesize", "5X"}, kViewExitUsage, "not a byte count"},
      {{"filter", "include", "1.2.3.4.1.1:851", ":852", "5.6.7.8.1.1", "any"}, kViewExitOk, ""},
      {{"filter", "exclude"}, kViewExitOk, ""},
      {{"filter", "enable", "include"}, kViewExitOk, ""},
      {{"filter", "enable"}, kViewExitOk, ""},
      {{"filter", "flags", "krp,error"}, kViewExitOk, ""},
      {{"filter", "include", "1.2.3.4.1:5"}, kViewExitUsage, "not an address"},
      {{"filter", "flags", "all"}, kViewExitUsage, "unknown filter flag"},
      {{"stop"}, kViewExitFailed, "not capturing (0x712)"},
      {{"save", "x.cap"}, kViewExitFailed, "could not save it"},
      {{"get", "missing.bin", "-o", m_dir / "missing.bin"}, kViewExitFailed, "cannot open it"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--port", port};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = View(args);
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_TRUE(m_engine->GetCaptureSettings().bRingBuffer);
  EXPECT_EQ(m_engine->GetCaptureSettings().cbFile, 8u << 20);
  EXPECT_EQ(m_engine->GetCaptureSettings().cbBuffer, 32u << 10);
  EXPECT_EQ(m_engine->GetCaptureSettings().saveFileName, "view.cap");
  EXPECT_FALSE(m_engine->GetCaptureSettings().bAutoSave);
  EXPECT_TRUE(m_engine->IsFilterActive());
  EXPECT_TRUE(m_engine->IsIncludeTableActive());
  EXPECT_EQ(m_engine->GetFilterFlags(), 3u);

  const Outcome status = View({"--port", port, "status"});
  EXPECT_EQ(status.status, kViewExitOk) << status.err;
  EXPECT_NE(status.out.find("file mode:     ring of capture files\n"
                            "file size:     8388608 bytes\n"
                            "buffer size:   32768 bytes\n"),
            std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("include table: on, 4 entries: 1.2.3.4.1.1:851, :852, "
                            "5.6.7.8.1.1, any\nexclude table: off, 0 entries\n"
                            "filter flags:  krp,error\n"),
            std::string::npos)
      << status.out;
  const Outcome json = View({"--port", port, "--json", "status"});
  EXPECT_NE(json.out.find("\"saveName\":\"view.cap\",\"autoSave\":false,"), std::string::npos)
      << json.out;

  // Tables stay while capturing, and nmx-view says why.
  ASSERT_EQ(View({"--port", port, "start"}).status, kViewExitOk);
  const Outcome refused = View({"--port", port, "filter", "exclude", ":1"});
  EXPECT_EQ(refused.status, kViewExitFailed);
  EXPECT_NE(refused.err.find("refused while capturing (0x700)"), std::string::npos) << refused.err;
  EXPECT_EQ(View({"--port", port, "start"}).status, kViewExitFailed);
}

// The logger serves one viewer at a time; the next waits in its listen backlog, unanswered.
// nmx-view says so instead of waiting out its time-out, and is served once the other has gone.
TEST_F(ViewCommands, ALoggerHeldByAnotherViewerIsNamedBusy) {
  const std::string port = std::to_string(Port());
  {
    Client holder(Port());
    ASSERT_EQ(holder.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).result, 0u);
    const Outcome busy = View({"--port", port, "status"});
    EXPECT_EQ(busy.status, kViewExitConnection);
    EXPECT_EQ(busy.err,
              "nmx-view: status: another viewer holds the logger: it serves one viewer at a time, "
              "and did not answer within 3 s\n");
  }
  const Outcome served = View({"--port", port, "status"});
  EXPECT_EQ(served.status, kViewExitOk) << served.err;
}

// filter show against switches and tables the engine was given directly, then each switch
// turned by nmx-view, read back from the engine and shown again.
TEST_F(ViewCommands, FilterSwitchesAndShowFollowTheEngine) {
  const std::string port = std::to_string(Port());
  auto entry = [](WORD flags, std::initializer_list<BYTE> id, WORD addrPort) {
    Bytes e(10);
    vx::EncodeLE16(e.data(), flags);
    std::copy(id.begin(), id.end(), e.begin() + 2);
    vx::EncodeLE16(e.data() + 8, addrPort);
    return e;
  };
  Bytes include = LE32s({2});
  for (const Bytes& e : {entry(3, {1, 2, 3, 4, 1, 1}, 851), entry(1, {}, 852)})
    include.insert(include.end(), e.begin(), e.end());
  Bytes exclude = LE32s({1});
  const Bytes node = entry(2, {5, 6, 7, 8, 1, 1}, 0);
  exclude.insert(exclude.end(), node.begin(), node.end());
  ASSERT_EQ(m_engine->SetIncludeTable(include.data(), static_cast<DWORD>(include.size())), S_OK);
  ASSERT_EQ(m_engine->SetExcludeTable(exclude.data(), static_cast<DWORD>(exclude.size())), S_OK);
  ASSERT_EQ(m_engine->SetFilterFlags(1), S_OK);
  m_engine->EnableFilter(TRUE);
  m_engine->EnableIncludeTable(TRUE);
  m_engine->EnableExcludeTable(TRUE);

  struct Step {
    std::vector<std::string> args;  // none: only show
    bool filter, include, exclude;
  };
  const Step steps[] = {
      {{}, true, true, true},
      {{"disable", "include"}, true, false, true},
      {{"disable"}, false, false, true},
      {{"disable", "exclude"}, false, false, false},
      {{"enable", "exclude"}, false, false, true},
      {{"enable", "filter"}, true, false, true},
      {{"disable", "filter"}, false, false, true},
  };
  bool showWord = false;
  for (const Step& step : steps) {
    std::string name;
    for (const std::string& a : step.args) name += a + " ";
    SCOPED_TRACE(name);
    if (!step.args.empty()) {
      std::vector<std::string> args = {"--port", port, "filter"};
      args.insert(args.end(), step.args.begin(), step.args.end());
      const Outcome r = View(args);
      EXPECT_EQ(r.status, kViewExitOk) << r.err;
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(m_engine->IsFilterActive() != 0, step.filter);
    EXPECT_EQ(m_engine->IsIncludeTableActive() != 0, step.include);
    EXPECT_EQ(m_engine->IsExcludeTableActive() != 0, step.exclude);
    // "filter" and "filter show" alike.
    std::vector<std::string> show = {"--port", port, "filter"};
    if ((showWord = !showWord)) show.push_back("show");
    const Outcome shown = View(show);
    EXPECT_EQ(shown.status, kViewExitOk) << shown.err;
    auto on = [](bool b) { return b ? "on" : "off"; };
    EXPECT_EQ(shown.out, std::string("filter:        ") + on(step.filter) +
                             "\ninclude table: " + on(step.include) +
                             ", 2 entries: 1.2.3.4.1.1:851, :852\nexclude table: " +
                             on(step.exclude) + ", 1 entry: 5.6.7.8.1.1\nfilter flags:  krp\n");
  }
}

// get copies a file of the boot folder whole: under the name's last component in the current
// folder, or onto standard output.
TEST_F(ViewCommands, GetCopiesABootFileByteForByte) {
  const std::string folder = Environment::Boot() + "got";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  // Several answers' worth, every byte value, and no line structure to lean on.
  Bytes data(150000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + i / 256);
  vxtest::WriteFileBytes(folder + "/trace.bin", data);
  const std::string port = std::to_string(Port());

  const int here = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(here, 0);
  ASSERT_EQ(chdir(m_dir.path().c_str()), 0);
  const Outcome named = View({"--port", port, "get", "got/trace.bin"});
  EXPECT_EQ(fchdir(here), 0);
  close(here);
  EXPECT_EQ(named.status, kViewExitOk) << named.err;
  EXPECT_EQ(named.out, "got/trace.bin: 150000 bytes into trace.bin\n");
  EXPECT_EQ(vxtest::ReadFileBytes(m_dir / "trace.bin"), data);

  const Outcome piped = View({"--port", port, "get", "got/trace.bin", "-o", "-"});
  EXPECT_EQ(piped.status, kViewExitOk) << piped.err;
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(Bytes(piped.out.begin(), piped.out.end()), data);

  unlink((folder + "/trace.bin").c_str());
  rmdir(folder.c_str());
}

// get -o into what is there already: a FIFO gets the bytes, a device behind a link (a link,
// so that a removal would take the link, not the device) is written; both stay. A write that
// fails keeps what reached the file.
TEST_F(ViewCommands, GetWritesIntoWhatIsThereAndAFailedWriteKeepsWhatReachedTheFile) {
  Bytes data(150000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 13 + i / 256);
  vxtest::WriteFileBytes(Environment::Boot() + "trace.bin", data);
  const std::string port = std::to_string(Port());

  const std::string fifo = m_dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::future<Bytes> got = vxtest::ReadFifo(fifo);
  const Outcome toFifo = View({"--port", port, "get", "trace.bin", "-o", fifo});
  EXPECT_EQ(toFifo.status, kViewExitOk) << toFifo.err;
  EXPECT_EQ(got.get(), data);
  struct stat st {};
  EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));

  if (access("/dev/null", W_OK) == 0) {
    const std::string device = m_dir / "device";
    ASSERT_EQ(symlink("/dev/null", device.c_str()), 0);
    const Outcome toDevice = View({"--port", port, "get", "trace.bin", "-o", device});
    EXPECT_EQ(toDevice.status, kViewExitOk) << toDevice.err;
    EXPECT_TRUE(lstat(device.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
  }

  const std::string cut = m_dir / "cut.bin";
  Outcome full;
  {
    vxtest::FileSizeLimit limit(64 << 10);
    if (!limit.ok()) GTEST_SKIP() << "cannot lower the file size limit";
    full = View({"--port", port, "get", "trace.bin", "-o", cut});
  }
  EXPECT_EQ(full.status, kViewExitFailed);
  EXPECT_NE(full.err.find("File too large; " + cut + " keeps the first 65536 bytes"),
            std::string::npos)
      << full.err;
  EXPECT_EQ(vxtest::ReadFileBytes(cut), Bytes(data.begin(), data.begin() + (64 << 10)));
  unlink((Environment::Boot() + "trace.bin").c_str());
}

// Text written from one thread and read from another while it grows.
class SharedText : public std::streambuf {
 public:
  std::string Text() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_text;
  }

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_text.push_back(traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_text.append(s, static_cast<size_t>(n));
    return n;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_text;
};

// nmx-view follow on a thread of its own, ended by a stop request if it has not ended by
// itself when the test is done with it.
class Follower {
 public:
  explicit Follower(std::vector<std::string> args)
      : m_args(std::move(args)), m_thread([this] { Run(); }) {}
  ~Follower() { Finish(); }

  // True once the view is open (or the follow has already ended).
  bool WaitFollowing() {
    return vxtest::WaitUntil(
        [&] { return m_bDone || Errors().find("following view") != std::string::npos; });
  }
  bool WaitDone() {
    return vxtest::WaitUntil([&] { return m_bDone.load(); });
  }
  // The exit status, after stopping the follow if it is still running.
  int Finish() {
    if (m_thread.joinable()) {
      if (!m_bDone) RequestViewStop();
      m_thread.join();
      ResetViewStop();
    }
    return m_nStatus;
  }
  std::string Output() const { return m_out.Text(); }
  std::string Errors() const { return m_err.Text(); }

 private:
  void Run() {
    std::vector<const char*> argv = {"nmx-view"};
    for (const std::string& a : m_args) argv.push_back(a.c_str());
    std::ostream out(&m_out), err(&m_err);
    m_nStatus = RunNmxView(static_cast<int>(argv.size()), argv.data(), out, err);
    m_bDone = true;
  }

  std::vector<std::string> m_args;
  SharedText m_out, m_err;
  int m_nStatus = -1;
  std::atomic<bool> m_bDone{false};
  std::thread m_thread;  // last: starts once the rest is in place
};

// The first n fed commands as nmx-cap prints them, numbered from 0, with the time stamps the
// engine gave them in its capture file.
std::string DumpLines(const std::string& capFile, const std::vector<Bytes>& fed, size_t n) {
  CCapFile file;
  std::string error;
  if (!file.Open(capFile, &error)) return "cannot open " + capFile + ": " + error;
  CCapFrameReader reader(file);
  CapProblem problem;
  if (!reader.Open(&problem)) return problem.Text();
  std::string lines;
  for (size_t i = 0; i < n && i < fed.size(); ++i) {
    CapFrame stored;
    if (reader.Next(&stored, &problem) != CCapFrameReader::Step::kFrame)
      return "frame " + std::to_string(i) + " is not in the capture: " + problem.Text();
    if (Bytes(stored.pBytes + vxcap::kPacketOffset, stored.pBytes + stored.cbBytes) != fed[i])
      return "frame " + std::to_string(i) + " of the capture is not the command fed";
    Bytes rec(vxcap::RecordSize(static_cast<DWORD>(fed[i].size())));
    vxcap::EncodeRecord(rec.data(), rec.size(), stored.nTimeStamp, fed[i].data(),
                        static_cast<DWORD>(fed[i].size()));
    CapFrame frame;
    frame.nIndex = static_cast<DWORD>(i);
    frame.cbRecord = static_cast<DWORD>(rec.size());
    frame.nTimeStamp = stored.nTimeStamp;
    frame.head = DecodeNmxHead(rec.data() + vxcap::kPacketOffset);
    frame.pBytes = rec.data();
    frame.cbBytes = frame.cbRecord;
    lines += FormatFrameLine(frame, DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView()));
    lines += "\n";
  }
  return lines;
}

// follow as text, pushed by notifications in packets that split records, and polled.
class FollowText : public EngineFixture,
                   public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(FollowText, PrintsEachFrameOnceInOrderAsNmxCapDoesAndEndsAfterCount) {
  constexpr DWORD kCount = 12;
  ASSERT_TRUE(m_engine->Start());
  std::vector<std::string> args = {"--port", std::to_string(Port()), "follow", "--count",
                                   std::to_string(kCount)};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  Follower follow(args);
  ASSERT_TRUE(follow.WaitFollowing()) << follow.Errors();
  // More than --count: the rest is not printed.
  Feed(kCount + 3, 100);
  ASSERT_TRUE(WaitFrames(kCount + 3));
  EXPECT_TRUE(follow.WaitDone()) << follow.Errors();
  EXPECT_EQ(follow.Finish(), kViewExitOk) << follow.Errors();
  EXPECT_NE(follow.Errors().find("\n" + std::to_string(kCount) + " frames\n"), std::string::npos)
      << follow.Errors();
  ASSERT_TRUE(m_engine->Stop());
  EXPECT_EQ(follow.Output(), DumpLines(m_dir / "engine.cap", m_fed, kCount));
}

INSTANTIATE_TEST_SUITE_P(Modes, FollowText,
                         ::testing::Values(std::vector<std::string>{"--notify", "--packet", "200"},
                                           std::vector<std::string>{"--poll", "--cycle", "5"}));

TEST_F(ViewCommands, FollowEndsByItselfAfterItsDuration) {
  ASSERT_TRUE(m_engine->Start());
  // Less than a millisecond is still a limit, not "until stopped".
  for (const char* seconds : {"0.5", "0.0004"}) {
    SCOPED_TRACE(seconds);
    Follower follow({"--port", std::to_string(Port()), "follow", "--duration", seconds});
    ASSERT_TRUE(follow.WaitFollowing()) << follow.Errors();
    // Traffic keeps coming meanwhile: the end must not wait for a quiet moment.
    EXPECT_TRUE(vxtest::WaitUntil([&] {
      Feed(1);
      return follow.Errors().find(" frames\n") != std::string::npos;
    })) << follow.Errors();
    EXPECT_EQ(follow.Finish(), kViewExitOk) << follow.Errors();
  }
}

// A trigger stops the engine's capture once its frames have passed, and the follow goes on
// past its count until then; one that never fires changes nothing.
TEST_F(ViewCommands, FollowWithATriggerStopsTheCaptureAfterItsFrames) {
  ASSERT_TRUE(m_engine->Start());
  const std::string port = std::to_string(Port());
  {
    Follower never({"--port", port, "follow", "--count", "5", "--trigger", "port:9999"});
    ASSERT_TRUE(never.WaitFollowing()) << never.Errors();
    Feed(5);
    EXPECT_TRUE(never.WaitDone()) << never.Errors();
    EXPECT_EQ(kViewExitOk, never.Finish()) << never.Errors();
    EXPECT_EQ(std::string::npos, never.Errors().find("trigger")) << never.Errors();
    EXPECT_TRUE(m_engine->IsStarted());
  }
  Follower follow(
      {"--port", port, "follow", "--count", "1", "--trigger", "command:Write", "--after", "3"});
  ASSERT_TRUE(follow.WaitFollowing()) << follow.Errors();
  Feed(1);
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    return follow.Errors().find("trigger: command:Write (match): 0 ") != std::string::npos;
  })) << follow.Errors();
  EXPECT_TRUE(m_engine->IsStarted());
  Feed(10);
  EXPECT_TRUE(follow.WaitDone()) << follow.Errors();
  EXPECT_EQ(kViewExitOk, follow.Finish()) << follow.Errors();
  EXPECT_FALSE(m_engine->IsStarted());
  const std::string said = follow.Errors();
  const size_t at = said.find("nmx-view: trigger: stopped the capture ");
  ASSERT_NE(std::string::npos, at) << said;
  EXPECT_GE(std::stoul(said.substr(at + 39)), 3u) << said;
  // The engine's capture lies outside the boot folder, where the viewer cannot read it.
  EXPECT_NE(std::string::npos, said.find("frame 0 is not found: cannot open engine.cap")) << said;
  // Every frame up to the stop was printed, not only the first --count.
  const std::string out = follow.Output();
  EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 4) << out;
}

TEST(ViewCommandLine, WrongCommandLinesAreRefusedBeforeConnecting) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--port", "0", "status"},
      {"--port", "65536", "status"},
      {"--timeout", "x", "status"},
      {"--bogus", "status"},
      {"bogus"},
      {"status", "extra"},
      {"start", "a", "b"},
      {"save"},
      {"get"},
      {"get", "a", "-x", "b"},
      {"get", ".."},
      {"follow", "--notify", "--poll"},
      {"follow", "--cycle"},
      {"follow", "--count", "-1"},
      {"follow", "stray"},
      {"follow", "--write", "-"},
      {"follow", "--trigger", "errors"},
      {"follow", "--after", "5"},
      {"follow", "--trigger", "error", "--after", "x"},
      {"follow", "--trigger", "error", "--after", "1", "--after-time", "5"},
      {"follow", "--json"},
      {"status", "--json"},
  };
  for (const auto& args : wrong) {
    // Towards a port without a logger, unless the case names its own.
    std::vector<std::string> all = {"--port", "1"};
    if (!args.empty() && args[0] == "--port") all.clear();
    all.insert(all.end(), args.begin(), args.end());
    const Outcome r = View(all);
    EXPECT_EQ(r.status, kViewExitUsage) << (args.empty() ? "" : args[0]) << r.err;
    EXPECT_NE(r.err.find("usage: nmx-view"), std::string::npos);
  }
  // A global option after the command is named as such, not taken for the command's own.
  const Outcome late = View({"--port", "1", "follow", "--count", "5", "--json"});
  EXPECT_EQ(late.status, kViewExitUsage);
  EXPECT_EQ(late.err.rfind("nmx-view: follow: --json goes before the command (nmx-view --json "
                           "follow ...)\n",
                           0),
            0u)
      << late.err;
  // Port 1 has no logger.
  const Outcome none = View({"--port", "1", "status"});
  EXPECT_EQ(none.status, kViewExitConnection);
  EXPECT_EQ(none.err, "nmx-view: status: cannot connect to 127.0.0.1:1: connection refused\n");
}

TEST(ViewParsing, AddressesAndByteCounts) {
  struct Addr {
    const char* text;
    bool ok;
    const char* back;
  };
  for (const Addr& a :
       {Addr{"any", true, "any"}, Addr{"*", true, "any"}, Addr{":851", true, ":851"},
        Addr{"*:851", true, ":851"}, Addr{"1.2.3.4.1.1", true, "1.2.3.4.1.1"},
        Addr{"1.2.3.4.1.1:65535", true, "1.2.3.4.1.1:65535"}, Addr{"1.2.3.4.1.256", false, ""},
        Addr{"1.2.3.4.1", false, ""}, Addr{"1.2.3.4.1.1.1", false, ""}, Addr{":65536", false, ""},
        Addr{"any:5", false, ""}, Addr{"", false, ""}, Addr{":", false, ""}}) {
    BYTE entry[10];
    std::string error;
    EXPECT_EQ(ParseAddressEntry(a.text, entry, &error), a.ok) << a.text;
    if (a.ok) {
      EXPECT_EQ(FormatAddressEntry(entry), a.back);
    }
  }
  struct Count {
    const char* text;
    bool ok;
    DWORD value;
  };
  for (const Count& c :
       {Count{"0", true, 0}, Count{"4096", true, 4096}, Count{"4K", true, 4096},
        Count{"3M", true, 3u << 20}, Count{"3G", true, 3u << 30}, Count{"4G", false, 0},
        Count{"4294967295", true, 0xFFFFFFFF}, Count{"4294967296", false, 0}, Count{"-1", false, 0},
        Count{"1MB", false, 0}, Count{"", false, 0}}) {
    DWORD v = 7;
    EXPECT_EQ(ParseByteCount(c.text, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

// Packets as the logger builds them, from whole records.
class Packets {
 public:
  explicit Packets(WORD nId) : m_nId(nId) {}
  // Splits the records into packets with room for `room` bytes of data each.
  std::vector<Bytes> Split(const std::vector<Bytes>& records, size_t room) {
    Bytes all;
    for (const Bytes& r : records) all.insert(all.end(), r.begin(), r.end());
    std::vector<Bytes> packets;
    WORD n = 0;
    for (size_t at = 0; at < all.size(); at += room) {
      const size_t cb = std::min(room, all.size() - at);
      TCapturePacketHdr h{};
      h.nId = m_nId;
      h.nPacket = n++;
      h.cbLeft = static_cast<DWORD>(all.size() - at - cb);
      h.cbData = static_cast<DWORD>(cb);
      Bytes p(24);
      vxcap::EncodeCapturePacketHdr(p.data(), h);
      p.insert(p.end(), all.begin() + static_cast<std::ptrdiff_t>(at),
               all.begin() + static_cast<std::ptrdiff_t>(at + cb));
      packets.push_back(std::move(p));
    }
    return packets;
  }

 private:
  WORD m_nId;
};

Bytes Record(DWORD n, DWORD size) {
  const Bytes cmd = TrafficCommand(n, size);
  Bytes rec(vxcap::RecordSize(static_cast<DWORD>(cmd.size())));
  vxcap::EncodeRecord(rec.data(), rec.size(), 1000 + n, cmd.data(), static_cast<DWORD>(cmd.size()));
  return rec;
}

struct Collected {
  std::vector<Bytes> records;
  CPacketAssembler::RecordSink Sink() {
    return [this](const BYTE* p, DWORD n) { records.emplace_back(p, p + n); };
  }
};

TEST(PacketAssembler, RecordsSplitAcrossPacketsComeOutWhole) {
  const std::vector<Bytes> records = {Record(1, 10), Record(2, 3000), Record(3, 0)};
  Collected got;
  CPacketAssembler a;
  std::string problem;
  for (const Bytes& p : Packets(1).Split(records, 700))
    ASSERT_TRUE(a.Add(p.data(), p.size(), got.Sink(), &problem)) << problem;
  EXPECT_EQ(got.records, records);
  EXPECT_EQ(a.Pending(), 0u);
}

TEST(PacketAssembler, DamageLosesOnlyWhatItTouches) {
  const std::vector<Bytes> first = {Record(1, 100), Record(2, 100)};
  const std::vector<Bytes> second = {Record(3, 100)};
  const std::vector<Bytes> p1 = Packets(1).Split(first, 150);  // records of 176 bytes
  const std::vector<Bytes> p2 = Packets(2).Split(second, 1000);
  Bytes lying = p1[0];
  vx::EncodeLE32(lying.data() + 8, 5000);  // cbData beyond the packet
  Bytes huge = p2[0];
  vx::EncodeLE32(huge.data() + 24 + vxcap::kRecFrameLength, 0xFFFFFF00u);
  Bytes badEther = p2[0];
  badEther[24 + vxcap::kRecEtherType] ^= 0xFF;
  Bytes endsEarly = p1[0];
  vx::EncodeLE32(endsEarly.data() + 4, 0);  // cbLeft 0 inside a record

  struct Case {
    const char* name;
    std::vector<Bytes> packets;
    size_t records;  // whole records delivered in all
  };
  const Case cases[] = {
      {"length beyond the packet", {lying, p2[0]}, 1},
      {"a later packet without its start", {p1[1], p2[0]}, 1},
      {"packets out of order", {p1[0], p1[2], p2[0]}, 1},
      {"a new sequence inside a record", {p1[0], p2[0]}, 1},
      {"a record of 4 GiB", {huge, p1[0], p1[1], p1[2]}, 2},
      {"a damaged record", {badEther, p2[0]}, 1},
      {"a sequence ending inside a record", {endsEarly, p2[0]}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Collected got;
    CPacketAssembler a;
    int failures = 0;
    for (const Bytes& p : c.packets) {
      std::string problem;
      if (!a.Add(p.data(), p.size(), got.Sink(), &problem)) {
        ++failures;
        EXPECT_FALSE(problem.empty());
      }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(got.records.size(), c.records);
    for (const Bytes& r : got.records)
      EXPECT_EQ(vxcap::ValidateRecord(r.data(), r.size()), vxcap::RecordStatus::kOk);
  }
}

}  // namespace
