// What the program does when its world fails under it: a disk that refuses writes, a router
// that vanishes. It keeps what it recorded, says what happened, and stops or waits as it
// would otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"
#include "e2e/ListenFixture.h"

namespace {

using vxtest::ChildProcess;

constexpr DWORD kDataSize = 64;
// The system command a router port makes of the router's removal.
constexpr WORD kRouterRemoved = 4;

// The counts of the last status line printed so far, or false if there is none yet.
bool LastStatus(const std::string& out, unsigned* frames) {
  size_t at = out.rfind("Packet Count:");
  unsigned bytes = 0;
  return at != std::string::npos &&
         sscanf(out.c_str() + at, "Packet Count: %u File Size:%u", frames, &bytes) == 2;
}

// The number after "Frames dropped: ", or 0 without that line.
unsigned long DroppedLine(const std::string& out) {
  const size_t at = out.find("Frames dropped: ");
  return at == std::string::npos ? 0 : std::stoul(out.substr(at + 16));
}

// The stand-in router and a logger capturing into x.cap, in a scratch folder, on a terminal
// where its status line is rewritten every 100 ms.
struct CapturingLogger {
  vxtest::TempDir dir;
  vxtest::RouterProcess router{dir};
  ChildProcess logger{dir.path(),
                      {VX_LOGGER_PATH, "-c", "-d", dir.path(), "-f", "x.cap"},
                      ChildProcess::Input::kTerminal,
                      router.Environment()};
  // True once the logger shows its first status line.
  bool Started() { return router.Started() && logger.WaitOutput("\rPacket Count:"); }
};

// The router's counts for the logger's port 2: commands handed to it and dropped for it.
struct LoggerPortCounts {
  unsigned long delivered = 0;
  unsigned long dropped = 0;
};

// Traffic of kOps requests and their answers while the logger (pid) is stopped and reads
// nothing: the router keeps what port 2's queue holds and drops the rest. Returns the
// router's counts once all of it has been routed.
constexpr unsigned long kStoppedOps = 2000;
bool TrafficPastAStoppedLogger(vxtest::RouterProcess& router, pid_t pid, LoggerPortCounts* c) {
  if (kill(pid, SIGSTOP) != 0) return false;
  const bool ran = router.RunTraffic({"--count", std::to_string(kStoppedOps), "--rate", "0",
                                      "--mix", "read,write", "--size", std::to_string(kDataSize)});
  kill(pid, SIGCONT);
  return ran && router.PrintCounters() && router.PortCounters(2, &c->delivered, &c->dropped);
}

// In time order, and requests and answers each in the order of their invoke ids, none twice;
// each run of nmx-traffic counts its invoke ids from 1 again.
void ExpectInOrder(const std::vector<vxtest::CapturedFrame>& frames) {
  DWORD lastRequest = 0, lastResponse = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i > 0) {
      ASSERT_GE(frames[i].timeStamp, frames[i - 1].timeStamp) << "frame " << i;
    }
    const NmxHead h = frames[i].Head();
    if (h.stateFlags & NMX_FLAG_SYSTEM_COMMAND) continue;
    const bool response = (h.stateFlags & NMX_FLAG_RESPONSE) != 0;
    if (!response && h.hUser == 1) lastRequest = lastResponse = 0;
    DWORD& last = response ? lastResponse : lastRequest;
    ASSERT_GT(h.hUser, last) << "frame " << i;
    last = h.hUser;
  }
}

#ifdef VX_HAVE_PRLIMIT
// The running program's file size limit: its writes beyond `bytes` fail with EFBIG, as on a
// full disk, also inside files it created larger before.
bool LimitFileSize(pid_t pid, rlim_t bytes) {
  rlimit lim{bytes, RLIM_INFINITY};
  return prlimit(pid, RLIMIT_FSIZE, &lim, nullptr) == 0;
}
#endif

// Writes that fail for a while: one line says so when it happens, the capture goes on once
// there is room, and at the end every frame the router mirrored is in the file or counted in
// "Frames dropped"; with the capture display as with the listen display (-c -l), where the
// loss is owned up to after q too.
TEST(Faults, WriteErrorsAreOwnedUpToAndTheCaptureGoesOn) {
#ifndef VX_HAVE_PRLIMIT
  GTEST_SKIP() << "no prlimit on this platform to limit the running program's file size";
#else
  for (bool listen : {false, true}) {
    SCOPED_TRACE(listen ? "-c -l" : "-c");
    vxtest::TempDir dir;
    vxtest::RouterProcess router(dir);
    ASSERT_TRUE(router.Started());
    std::vector<std::string> argv = {VX_LOGGER_PATH, "-c",    "-d", dir.path(),
                                     "-f",           "x.cap", "-s", "1"};
    if (listen) argv.insert(argv.end(), {"-l", "-p", std::to_string(vxtest::FreeTcpPort())});
    ChildProcess p(dir.path(), argv, ChildProcess::Input::kTerminal, router.Environment());
    ASSERT_TRUE(p.WaitOutput("Press q")) << p.Output();
    const std::vector<std::string> traffic = {
        "--count", "1500",       "--rate", "3000",
        "--mix",   "read,write", "--size", std::to_string(kDataSize)};
    ASSERT_TRUE(LimitFileSize(p.Pid(), 4096));
    ASSERT_TRUE(router.RunTraffic(traffic));
    ASSERT_TRUE(p.WaitOutput("Capture file write failed: File too large\n")) << p.Output();
    ASSERT_TRUE(LimitFileSize(p.Pid(), RLIM_INFINITY));
    ASSERT_TRUE(router.RunTraffic(traffic));
    if (!listen) {
      ASSERT_TRUE(vxtest::WaitUntil([&] {
        unsigned n = 0;
        return LastStatus(p.Output(), &n) && n > 1000;
      })) << p.Output();
    }
    ASSERT_TRUE(p.WriteInput("q"));
    EXPECT_EQ(p.Wait(), 0);

    const std::string out = p.Output();
    EXPECT_EQ(ChildProcess::Count(out, "Capture file write failed"), 1) << out;
    const std::string last =
        listen ? "\nFrames dropped: " : "Capture has stopped\nFrames dropped: ";
    EXPECT_NE(out.find(last), std::string::npos) << out;
    const unsigned long dropped = DroppedLine(out);
    EXPECT_GT(dropped, 0ul);

    unsigned long routed = 0, mirrored = 0;
    ASSERT_TRUE(router.Stop(&routed, &mirrored));
    // Should the router have dropped some for port 2, they are counted too.
    LoggerPortCounts port2;
    ASSERT_TRUE(router.PortCounters(2, &port2.delivered, &port2.dropped)) << router.Output();
    vxtest::CaptureContents cap;
    std::string error;
    ASSERT_TRUE(vxtest::ReadCapture(dir / "x.cap", &cap, &error)) << error;
    if (!listen) {
      unsigned counted = 0;
      ASSERT_TRUE(LastStatus(out, &counted));
      EXPECT_EQ(cap.frames.size(), counted);
    }
    EXPECT_EQ(cap.frames.size() + dropped, mirrored + port2.dropped);
    // The frames after the pause are there too.
    EXPECT_GT(cap.frames.size(), 1500u);
    ExpectInOrder(cap.frames);
  }
#endif
}

// What the router itself had to drop for a logger that did not read in time (here: one
// that is stopped) is counted in "Frames dropped" and named as the router's, and with it
// every command the router routed is in the file or counted.
TEST(Faults, FramesTheRouterDroppedAreCountedInTheLastLine) {
  CapturingLogger run;
  ChildProcess& p = run.logger;
  ASSERT_TRUE(run.Started()) << p.Output();
  LoggerPortCounts port2;
  ASSERT_TRUE(TrafficPastAStoppedLogger(run.router, p.Pid(), &port2)) << run.router.Output();
  ASSERT_GT(port2.dropped, 0ul) << run.router.Output();
  const unsigned long routed = 2 * kStoppedOps;
  // Everything the router kept reaches the file before q.
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    unsigned n = 0;
    return LastStatus(p.Output(), &n) && n == routed - port2.dropped;
  })) << p.Output();
  ASSERT_TRUE(p.WriteInput("q"));
  EXPECT_EQ(p.Wait(), 0);

  const std::string out = p.Output();
  const std::string line = "Capture has stopped\nFrames dropped: " + std::to_string(port2.dropped) +
                           " (router: " + std::to_string(port2.dropped) + ")\n";
  EXPECT_NE(out.find(line), std::string::npos) << out;
  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(run.dir / "x.cap", &cap, &error)) << error;
  EXPECT_EQ(cap.frames.size() + DroppedLine(out), routed);
  ExpectInOrder(cap.frames);
}

// The same for a viewer's capture in listen mode: the line follows the viewer's stop.
class FaultsListen : public e2etest::ListenLogger {};

TEST_F(FaultsListen, FramesTheRouterDroppedAreCountedWhenTheViewerStops) {
  auto frames = [&] {
    std::string out;
    if (View({"--json", "status"}, &out) != 0) return -1L;
    const size_t at = out.find("\"frames\":");
    return at == std::string::npos ? -1L : std::stol(out.substr(at + 9));
  };
  ASSERT_EQ(View({"start"}), 0);
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n")) << m_logger->Output();
  LoggerPortCounts port2;
  ASSERT_TRUE(TrafficPastAStoppedLogger(m_router, m_logger->Pid(), &port2)) << m_router.Output();
  ASSERT_GT(port2.dropped, 0ul) << m_router.Output();
  const long routed = 2 * kStoppedOps;
  ASSERT_TRUE(
      vxtest::WaitUntil([&] { return frames() == routed - static_cast<long>(port2.dropped); }));
  ASSERT_EQ(View({"stop"}), 0);
  const std::string line =
      "Capturing has stopped.\nFrames dropped: " + std::to_string(port2.dropped) +
      " (router: " + std::to_string(port2.dropped) + ")\n";
  ASSERT_TRUE(m_logger->WaitOutput(line)) << m_logger->Output();

  // A second capture counts only its own losses: none.
  ASSERT_EQ(View({"start"}), 0);
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has started.\n", 2)) << m_logger->Output();
  ASSERT_TRUE(m_router.RunTraffic({"--count", "100", "--mix", "read,write"}));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return frames() == 200; }));
  ASSERT_EQ(View({"stop"}), 0);
  ASSERT_TRUE(m_logger->WaitOutput("Capturing has stopped.\n", 2)) << m_logger->Output();
  ASSERT_TRUE(m_logger->WriteInput("q"));
  EXPECT_EQ(m_logger->Wait(), 0);
  m_logger->CloseInput();  // it has quit: nothing for the fixture to tell it
  EXPECT_EQ(ChildProcess::Count(m_logger->Output(), "Frames dropped"), 1) << m_logger->Output();
}

// A router that goes away while the program captures: killed, or ending cleanly (which
// tells every port it is removed). The console says so once, the capture keeps every frame
// and ends with the router's removal as its last frame, and the program waits for q.
TEST(Faults, RouterThatVanishesWhileCapturingLeavesTheCaptureWaiting) {
  constexpr DWORD kOps = 200;
  for (int sig : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(sig);
    CapturingLogger run;
    ChildProcess& p = run.logger;
    vxtest::RouterProcess& router = run.router;
    ASSERT_TRUE(run.Started()) << p.Output();
    ASSERT_TRUE(router.RunTraffic({"--count", std::to_string(kOps), "--mix", "read,write", "--size",
                                   std::to_string(kDataSize)}));
    ASSERT_TRUE(vxtest::WaitUntil([&] {
      unsigned n = 0;
      return LastStatus(p.Output(), &n) && n >= 2 * kOps;
    })) << p.Output();
    router.Stop(sig);
    ASSERT_TRUE(p.WaitOutput("\nConnection to nmx router lost\n")) << p.Output();
    // Still running and showing its count.
    ASSERT_TRUE(vxtest::WaitUntil([&] {
      const std::string out = p.Output();
      return ChildProcess::Count(out.substr(out.find("router lost")), "\rPacket Count:") >= 3;
    })) << p.Output();
    EXPECT_FALSE(p.Exited());
    ASSERT_TRUE(p.WriteInput("q"));
    EXPECT_EQ(p.Wait(), 0);

    const std::string out = p.Output();
    EXPECT_EQ(ChildProcess::Count(out, "Connection to nmx router lost"), 1) << out;
    const std::string tail =
        "\n\nCapture has stopped\nFrames stored: " + std::to_string(2 * kOps + 1) +
        ", given up by the ring: 0, dropped: 0 (router: 0)\n";
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail) << out;
    vxtest::CaptureContents cap;
    std::string error;
    ASSERT_TRUE(vxtest::ReadCapture(run.dir / "x.cap", &cap, &error)) << error;
    ASSERT_EQ(cap.frames.size(), 2 * kOps + 1);
    ExpectInOrder(cap.frames);
    const NmxHead last = cap.frames.back().Head();
    EXPECT_EQ(last.cmdId, kRouterRemoved);
    EXPECT_TRUE(last.stateFlags & NMX_FLAG_SYSTEM_COMMAND);
  }
}

// In listen mode the router connection follows the viewer's capture. A router that goes away
// under it is reported; the viewer stays connected and stops the capture as usual, and once a
// router is back the viewer's next start records again.
TEST(Faults, RouterThatVanishesInListenModeIsWaitedFor) {
  constexpr DWORD kOps = 100;
  for (int sig : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(sig);
    vxtest::TempDir dir;
    const std::string boot = dir.path() + "/Boot/";
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<VxRegistry><Key Name=\"HKLM\"><Key Name=\"Software\">"
        "<Key Name=\"Lormec\"><Key Name=\"Varnix3\">"
        "<Value Name=\"CurrentVersion\" Type=\"SZ\">3.1</Value>"
        "<Key Name=\"3.1\"><Value Name=\"BootDir\" Type=\"SZ\">" +
        boot + "</Value></Key></Key></Key></Key></Key></VxRegistry>\n";
    vxtest::WriteFileBytes(dir / "VxRegistry.xml",
                           std::vector<unsigned char>(xml.begin(), xml.end()));
    ASSERT_EQ(mkdir(boot.c_str(), 0755), 0);
    auto router = std::make_unique<vxtest::RouterProcess>(dir);
    ASSERT_TRUE(router->Started());
    const std::vector<std::string> env = router->Environment();
    const WORD port = vxtest::FreeTcpPort();
    ChildProcess logger(dir.path(), {VX_LOGGER_PATH, "-l", "-p", std::to_string(port)},
                        ChildProcess::Input::kPipe, env);
    ASSERT_TRUE(logger.WaitOutput("Listening for viewer connection")) << logger.Output();
    auto view = [&](std::vector<std::string> args, std::string* out = nullptr) {
      std::vector<std::string> argv = {NMX_VIEW_PATH, "--port", std::to_string(port)};
      argv.insert(argv.end(), args.begin(), args.end());
      return ChildProcess::Run(dir.path(), argv, out);
    };
    auto frames = [&] {
      std::string out;
      if (view({"--json", "status"}, &out) != 0) return -1L;
      const size_t at = out.find("\"frames\":");
      return at == std::string::npos ? -1L : std::stol(out.substr(at + 9));
    };
    const std::vector<std::string> traffic = {"--count", std::to_string(kOps),
                                              "--mix",   "read,write",
                                              "--size",  std::to_string(kDataSize)};

    ASSERT_EQ(view({"set", "savename", "run.cap"}), 0);
    ASSERT_EQ(view({"start"}), 0);
    ASSERT_TRUE(logger.WaitOutput("Capturing has started.\n")) << logger.Output();
    ASSERT_TRUE(router->RunTraffic(traffic));
    ASSERT_TRUE(vxtest::WaitUntil([&] { return frames() == 2 * kOps; }));
    router->Stop(sig);
    ASSERT_TRUE(logger.WaitOutput("Connection to nmx router lost\n")) << logger.Output();
    EXPECT_EQ(frames(), 2 * kOps + 1);
    ASSERT_EQ(view({"stop"}), 0);
    ASSERT_TRUE(logger.WaitOutput("Capturing has stopped.\n")) << logger.Output();

    router = std::make_unique<vxtest::RouterProcess>(dir);
    ASSERT_TRUE(router->Started());
    ASSERT_EQ(view({"start"}), 0);
    ASSERT_TRUE(logger.WaitOutput("Capturing has started.\n", 2)) << logger.Output();
    ASSERT_TRUE(router->RunTraffic(traffic));
    ASSERT_TRUE(vxtest::WaitUntil([&] { return frames() == 2 * kOps; }));
    ASSERT_EQ(view({"stop"}), 0);
    ASSERT_TRUE(logger.WaitOutput("Capturing has stopped.\n", 2)) << logger.Output();
    EXPECT_FALSE(logger.Exited());
    ASSERT_TRUE(logger.WriteInput("q"));
    EXPECT_EQ(logger.Wait(), 0);

    const std::string out = logger.Output();
    EXPECT_EQ(ChildProcess::Count(out, "Connection to nmx router lost"), 1) << out;
    EXPECT_EQ(out.find("Failed"), std::string::npos) << out;
    EXPECT_EQ(out.find("Frames dropped"), std::string::npos) << out;
    vxtest::CaptureContents cap;
    std::string error;
    ASSERT_TRUE(vxtest::ReadCapture(boot + "run.cap", &cap, &error)) << error;
    ASSERT_EQ(cap.frames.size(), 2 * kOps);
    ExpectInOrder(cap.frames);
  }
}

}  // namespace
