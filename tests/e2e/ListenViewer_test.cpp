// Listen mode through the built programs: VxNmxLogger -l with nmx-router and nmx-traffic,
// driven by nmx-view as a user would, and what the console shows meanwhile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"
#include "e2e/ListenFixture.h"
#include "e2e/TrafficCheck.h"

namespace {

using e2etest::ListenViewer;
using vxtest::ChildProcess;
using vxtest::Reachable;

constexpr DWORD kOps = 300;
constexpr DWORD kDataSize = 64;

TEST_F(ListenViewer, AViewerStartsFollowsStopsSavesAndFetchesTheCapture) {
  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)});
  const std::string listening =
      "Listening for viewer connection at port " + std::to_string(m_port) + "\n";
  ASSERT_TRUE(logger->WaitOutput(listening)) << logger->Output();

  std::string out, err;
  ASSERT_EQ(View({"set", "single"}), 0);
  ASSERT_EQ(View({"set", "filesize", "16M"}), 0);
  ASSERT_EQ(View({"set", "savename", "run.cap"}), 0);
  ASSERT_EQ(View({"--json", "status"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("\"state\":\"stopped\",\"fileMode\":\"single\",\"fileSize\":16777216"),
            std::string::npos)
      << out;
  ASSERT_EQ(View({"start"}, nullptr, &err), 0) << err;
  ASSERT_TRUE(logger->WaitOutput("Capturing has started.\n")) << logger->Output();

  // Every frame the router mirrors from now on, through notifications, into a local file.
  const LONGLONG from = vxtest::FileTimeNow();
  auto follow = StartView({"follow", "--notify", "--cycle", "10", "--packet", "65536", "--count",
                           std::to_string(2 * kOps), "--write", m_dir / "followed.cap"});
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    return follow->Errors().find("following view 1") != std::string::npos || follow->Exited();
  })) << follow->Errors();
  ASSERT_TRUE(m_router.RunTraffic({"--count", std::to_string(kOps), "--mix", "read,write", "--size",
                                   std::to_string(kDataSize)}));
  ASSERT_EQ(follow->Wait(), 0) << follow->Errors();
  EXPECT_NE(follow->Errors().find(std::to_string(2 * kOps) + " frames into"), std::string::npos)
      << follow->Errors();

  ASSERT_EQ(View({"stop"}, nullptr, &err), 0) << err;
  ASSERT_TRUE(logger->WaitOutput("Capturing has stopped.\n")) << logger->Output();
  EXPECT_EQ(View({"stop"}, nullptr, &err), 1);
  EXPECT_NE(err.find("not capturing (0x712)"), std::string::npos) << err;

  // The followed frames are the captured frames: all of them, once each, in order.
  vxtest::CaptureContents captured, followed;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(Boot() + "run.cap", &captured, &error)) << error;
  ASSERT_TRUE(vxtest::ReadCapture(m_dir / "followed.cap", &followed, &error)) << error;
  ASSERT_EQ(captured.frames.size(), 2 * kOps);
  ASSERT_EQ(followed.frames.size(), captured.frames.size());
  for (size_t i = 0; i < captured.frames.size(); ++i) {
    ASSERT_EQ(followed.frames[i].timeStamp, captured.frames[i].timeStamp) << i;
    ASSERT_EQ(followed.frames[i].packet, captured.frames[i].packet) << i;
  }
  vxtest::TrafficSummary s;
  EXPECT_EQ(vxtest::CheckTraffic(followed.frames, kDataSize, from, vxtest::FileTimeNow(), &s), "");
  EXPECT_EQ(s.nRequests, kOps);

  // Saved into the boot folder and fetched back byte for byte; a name outside is refused.
  ASSERT_EQ(View({"save", "saved.cap"}, nullptr, &err), 0) << err;
  EXPECT_EQ(vxtest::ReadFileBytes(Boot() + "saved.cap"), vxtest::ReadFileBytes(Boot() + "run.cap"));
  ASSERT_EQ(View({"get", "saved.cap", "-o", m_dir / "got.cap"}, nullptr, &err), 0) << err;
  EXPECT_EQ(vxtest::ReadFileBytes(m_dir / "got.cap"), vxtest::ReadFileBytes(Boot() + "saved.cap"));
  EXPECT_EQ(View({"save", "../escaped.cap"}, nullptr, &err), 1);
  EXPECT_NE(err.find("(0x70B)"), std::string::npos) << err;
  struct stat st {};
  EXPECT_NE(stat((m_dir / "escaped.cap").c_str(), &st), 0);
  EXPECT_EQ(View({"get", "../VxRegistry.xml", "-o", m_dir / "leak.xml"}), 1);
  EXPECT_NE(stat((m_dir / "leak.xml").c_str(), &st), 0);

  // Each viewer the console noticed is reported gone once it has left.
  const std::string connected = "Viewer is connected to logger\n";
  const std::string lost = "Connection to viewer lost\n";
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    const std::string o = logger->Output();
    return ChildProcess::Count(o, connected) >= 1 &&
           ChildProcess::Count(o, connected) == ChildProcess::Count(o, lost);
  })) << logger->Output();
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
  const std::string console = logger->Output();
  const size_t started = console.find("Capturing has started.\n");
  ASSERT_NE(started, std::string::npos) << console;
  EXPECT_EQ(console.find(listening), console.find("Listening"));
  EXPECT_LT(console.find(listening), started) << console;
  EXPECT_NE(console.find("Capturing has stopped.\n", started), std::string::npos) << console;
  EXPECT_LT(console.rfind(connected), console.rfind(lost)) << console;
  EXPECT_EQ(ChildProcess::Count(console, "Capturing has"), 2) << console;
  EXPECT_EQ(console.find("Packet Count"), std::string::npos) << console;
  EXPECT_EQ(console.find("Failed"), std::string::npos) << console;
}

// A follow whose file cannot grow (a file size limit stands in for a full disk) ends with the
// message and a failure, and its file is a valid capture of the first frames it followed.
TEST_F(ListenViewer, AFollowWhoseFileCannotGrowKeepsTheFramesThatReachedIt) {
  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)});
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection")) << logger->Output();
  std::string err;
  ASSERT_EQ(View({"set", "single"}), 0);
  ASSERT_EQ(View({"set", "savename", "run.cap"}), 0);
  ASSERT_EQ(View({"start"}, nullptr, &err), 0) << err;

  // 32 blocks: 16 or 32 KiB as the shell counts them, a fraction of the 600 frames.
  const std::string file = m_dir / "followed.cap";
  ChildProcess follow(
      m_dir.path(),
      {"/bin/sh", "-c", "ulimit -f 32 && exec \"$0\" \"$@\"", NMX_VIEW_PATH, "--port",
       std::to_string(m_port), "follow", "--count", std::to_string(2 * kOps), "--write", file},
      ChildProcess::Input::kDevNull, m_router.Environment());
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    return follow.Errors().find("following view 1") != std::string::npos || follow.Exited();
  })) << follow.Errors();
  ASSERT_TRUE(m_router.RunTraffic({"--count", std::to_string(kOps), "--mix", "read,write", "--size",
                                   std::to_string(kDataSize)}));
  EXPECT_EQ(follow.Wait(), 1) << follow.Errors();
  const std::string said = "File too large; " + file + " keeps the ";
  const size_t at = follow.Errors().find(said);
  ASSERT_NE(at, std::string::npos) << follow.Errors();
  const size_t kept = std::stoul(follow.Errors().substr(at + said.size()));

  ASSERT_EQ(View({"stop"}, nullptr, &err), 0) << err;
  ASSERT_TRUE(logger->WaitOutput("Capturing has stopped.\n")) << logger->Output();
  vxtest::CaptureContents captured, followed;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(Boot() + "run.cap", &captured, &error)) << error;
  ASSERT_TRUE(vxtest::ReadCapture(file, &followed, &error)) << error;
  EXPECT_TRUE(followed.bCutBehindTable);
  ASSERT_EQ(followed.frames.size(), kept);
  EXPECT_GT(kept, 0u);
  ASSERT_LT(kept, captured.frames.size());
  for (size_t i = 0; i < kept; ++i) {
    ASSERT_EQ(followed.frames[i].timeStamp, captured.frames[i].timeStamp) << i;
    ASSERT_EQ(followed.frames[i].packet, captured.frames[i].packet) << i;
  }
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
}

TEST_F(ListenViewer, PollingFollowPrintsEachFrameAsJson) {
  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)});
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection")) << logger->Output();
  ASSERT_EQ(View({"start"}), 0);
  constexpr DWORD kFewOps = 20;
  auto follow = StartView({"--json", "follow", "--poll", "--cycle", "5", "--packet", "1000",
                           "--count", std::to_string(2 * kFewOps)});
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    return follow->Errors().find("following view 1") != std::string::npos || follow->Exited();
  }));
  // One request in flight at a time: each answer follows its request.
  ASSERT_TRUE(m_router.RunTraffic({"--count", std::to_string(kFewOps), "--mix", "read,write",
                                   "--size", std::to_string(kDataSize), "--window", "1"}));
  ASSERT_EQ(follow->Wait(), 0) << follow->Errors();
  std::istringstream lines(follow->Output());
  std::string line;
  DWORD n = 0;
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.rfind("{\"frame\":" + std::to_string(n) + ",", 0), 0u) << line;
    const bool request = n % 2 == 0;
    EXPECT_NE(line.find(std::string("\"response\":") + (request ? "false" : "true")),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"invoke\":" + std::to_string(n / 2 + 1) + ","), std::string::npos)
        << line;
    ++n;
  }
  EXPECT_EQ(n, 2 * kFewOps);
  ASSERT_EQ(View({"stop"}), 0);
  logger->WriteInput("q");
  EXPECT_EQ(logger->Wait(), 0);
}

// -p ADDRESS:PORT keeps the viewer port to one local address; 127.0.0.2 stands for any other
// address of the machine.
TEST_F(ListenViewer, AViewerPortKeptToLoopbackIsServedThereOnly) {
  {
    // Is 127.0.0.2 an address of this machine at all?
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    bind(probe, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    listen(probe, 1);
    socklen_t len = sizeof sin;
    getsockname(probe, reinterpret_cast<sockaddr*>(&sin), &len);
    const bool other = Reachable("127.0.0.2", ntohs(sin.sin_port));
    close(probe);
    if (!other) GTEST_SKIP() << "127.0.0.2 is no address of this machine";
  }
  auto logger = StartLogger({"-l", "-p", "127.0.0.1:" + std::to_string(m_port)});
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection at port " +
                                 std::to_string(m_port) + "\n"))
      << logger->Output();
  std::string out, err;
  ASSERT_EQ(View({"--json", "status"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("\"state\":\"stopped\""), std::string::npos) << out;
  EXPECT_FALSE(Reachable("127.0.0.2", m_port));
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
  EXPECT_EQ(logger->Output().find("Failed"), std::string::npos) << logger->Output();
}

TEST_F(ListenViewer, CaptureAndListenTogetherCaptureAtOnce) {
  auto logger =
      StartLogger({"-c", "-l", "-p", std::to_string(m_port), "-d", m_dir.path(), "-f", "x.cap"});
  ASSERT_TRUE(logger->WaitOutput("Press q to stop nmx logger")) << logger->Output();
  // The viewer service's start of the capture finds the port connected by the console's.
  const std::string head =
      "Nmx logger port connected.\nStarted capturing to file " + m_dir.path() + "/x.cap\n";
  EXPECT_EQ(logger->Output().substr(0, head.size()), head) << logger->Output();
  ASSERT_TRUE(m_router.RunTraffic(
      {"--count", "50", "--mix", "read,write", "--size", std::to_string(kDataSize)}));
  std::string out;
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    View({"--json", "status"}, &out);
    return out.find("\"frames\":100,") != std::string::npos;
  })) << out;
  EXPECT_NE(out.find("\"state\":\"capturing\""), std::string::npos) << out;
  ASSERT_TRUE(logger->WriteInput("q"));
  EXPECT_EQ(logger->Wait(), 0);
  // The capture started here is shown as with -c alone, and ends the same way.
  const std::string console = logger->Output();
  EXPECT_TRUE(std::regex_search(
      console,
      std::regex("Packet Count: +100 File Size: +[0-9]+\n\nCapture has stopped\n"
                 "Frames stored: 100, given up by the ring: 0, dropped: 0 \\(router: 0\\)\n$")))
      << console;
  EXPECT_EQ(console.find("Failed"), std::string::npos) << console;
  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(m_dir / "x.cap", &cap, &error)) << error;
  EXPECT_EQ(cap.frames.size(), 100u);
}

}  // namespace
