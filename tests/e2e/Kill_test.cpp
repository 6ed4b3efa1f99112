// VxNmxLogger killed with SIGKILL at random moments while traffic flows: in a single file
// configured through a settings document and in a small ring that rotates several times a
// second, so kills land in the file thread's copies and in rotations too. Every file left must
// be a valid capture or be made one by nmx-cap repair, and together the files must hold an
// unbroken stretch of the traffic: nothing written before the last completed batch is lost or
// out of order.
//
// VX_KILL_RUNS sets the kills per mode (default 4); VX_KILL_SEED repeats a sequence of
// moments. scripts/kill-test.sh runs 100 per mode.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "e2e/CaptureReader.h"

namespace {

using vxtest::ChildProcess;

constexpr DWORD kDataSize = 512;

int EnvInt(const char* name, int fallback) {
  const char* v = getenv(name);
  return v && *v ? atoi(v) : fallback;
}

std::vector<std::string> CaptureFiles(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".cap") == 0) names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Commands the router could not hand to the logger's port so far (its queue was full): gaps
// they leave are not the logger's.
unsigned long LoggerPortDrops(vxtest::RouterProcess& router) {
  const int before = ChildProcess::Count(router.Output(), "routed ");
  router.Signal(SIGUSR2);
  if (!router.WaitOutput("routed ", before + 1)) return 0;
  const std::string out = router.Output();
  const size_t at = out.rfind("\n     2  ");
  if (at == std::string::npos) return 0;
  const std::string line = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
  return std::stoul(line.substr(line.find_last_of(' ') + 1));
}

struct Tally {
  int runs = 0;
  int runsWithRouterDrops = 0;
  int files = 0;
  int validAsLeft = 0;
  int repaired = 0;
  size_t frames = 0;
};

// Checks the files a killed run left in folder (see the top of this file). With routerDrops
// the traffic itself had gaps, so only the order is checked.
void CheckLeftovers(const std::string& folder, bool routerDrops, Tally& tally) {
  std::vector<std::vector<vxtest::CapturedFrame>> files;
  for (const std::string& name : CaptureFiles(folder)) {
    SCOPED_TRACE(name);
    std::string path = folder + "/" + name;
    std::string out;
    const int check = ChildProcess::Run(folder, {NMX_CAP_PATH, "check", path}, &out);
    ++tally.files;
    if (check == 0) {
      ++tally.validAsLeft;
    } else {
      ASSERT_EQ(check, 1) << out;
      const std::string fixed = path + ".repaired";
      ASSERT_EQ(ChildProcess::Run(folder, {NMX_CAP_PATH, "repair", path, "-o", fixed}, &out), 0)
          << out;
      ASSERT_EQ(ChildProcess::Run(folder, {NMX_CAP_PATH, "check", fixed}, &out), 0) << out;
      ++tally.repaired;
      path = fixed;
    }
    vxtest::CaptureContents cap;
    std::string error;
    ASSERT_TRUE(vxtest::ReadCapture(path, &cap, &error)) << error;
    if (!cap.frames.empty()) files.push_back(std::move(cap.frames));
  }
  // Ring files hold consecutive stretches; in the order of their first frames they are one.
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a[0].timeStamp < b[0].timeStamp; });
  std::vector<vxtest::CapturedFrame> all;
  for (auto& f : files) all.insert(all.end(), f.begin(), f.end());
  tally.frames += all.size();
  bool seenRequest = false, seenResponse = false;
  DWORD lastRequest = 0, lastResponse = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i > 0) {
      ASSERT_GE(all[i].timeStamp, all[i - 1].timeStamp) << "frame " << i;
    }
    const NmxHead h = all[i].Head();
    ASSERT_EQ(h.cbData + NMX_HEAD_SIZE, all[i].packet.size()) << "frame " << i;
    const bool response = (h.stateFlags & NMX_FLAG_RESPONSE) != 0;
    bool& seen = response ? seenResponse : seenRequest;
    DWORD& last = response ? lastResponse : lastRequest;
    if (seen && routerDrops) {
      ASSERT_GT(h.hUser, last) << "frame " << i;
    } else if (seen) {
      ASSERT_EQ(h.hUser, last + 1) << (response ? "answer" : "request") << " lost or out of "
                                   << "order at frame " << i << " of " << all.size();
    }
    seen = true;
    last = h.hUser;
  }
}

class KillTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_router.Started());
    m_seed = static_cast<unsigned>(
        EnvInt("VX_KILL_SEED", static_cast<int>(std::random_device{}() & 0x7FFFFFFF)));
    m_rng.seed(m_seed);
    m_runs = EnvInt("VX_KILL_RUNS", 4);
  }

  // Traffic at a steady rate for longer than any run.
  std::unique_ptr<ChildProcess> StartTraffic() {
    return std::make_unique<ChildProcess>(
        m_dir.path(),
        std::vector<std::string>{NMX_TRAFFIC_PATH, "--count", "0", "--duration", "60", "--rate",
                                 "2000", "--mix", "read,write", "--size",
                                 std::to_string(kDataSize)},
        ChildProcess::Input::kDevNull, m_router.Environment());
  }

  // Kills the logger a random moment after it began capturing, under traffic; true when the
  // router had to drop commands for it meanwhile.
  bool KillUnderLoad(ChildProcess& logger) {
    const unsigned long dropsBefore = LoggerPortDrops(m_router);
    auto traffic = StartTraffic();
    const int ms = std::uniform_int_distribution<int>(20, 1500)(m_rng);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    EXPECT_FALSE(logger.Exited()) << logger.Output();
    logger.Signal(SIGKILL);
    logger.Wait();
    traffic->Signal(SIGTERM);
    traffic->Wait();
    return LoggerPortDrops(m_router) != dropsBefore;
  }

  void Report(const char* mode, const Tally& t) {
    std::cout << mode << ": " << t.runs << " kills (seed " << m_seed << "), " << t.files
              << " files: " << t.validAsLeft << " valid as left, " << t.repaired << " repaired; "
              << t.frames << " frames checked; " << t.runsWithRouterDrops
              << " runs in which the router dropped commands (order checked only)\n";
  }

  vxtest::TempDir m_dir;
  vxtest::RouterProcess m_router{m_dir};
  unsigned m_seed = 0;
  std::mt19937 m_rng;
  int m_runs = 0;
};

// A ring of 3 files of about 350 KiB: at 4000 frames (1.3 MB) a second it rotates about
// four times a second, and the file thread copies a batch every 50 ms.
TEST_F(KillTest, RingKilledAtRandomMomentsLeavesValidFilesWithoutGaps) {
  Tally tally;
  for (int run = 0; run < m_runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run) + ", seed " + std::to_string(m_seed));
    vxtest::TempDir dir;
    ChildProcess logger(dir.path(),
                        {VX_LOGGER_PATH, "-c", "-d", dir.path(), "-f", "x.cap", "-s", "1"},
                        ChildProcess::Input::kPipe, m_router.Environment());
    ASSERT_TRUE(logger.WaitOutput("Packet Count:")) << logger.Output();
    const bool routerDrops = KillUnderLoad(logger);
    tally.runsWithRouterDrops += routerDrops;
    CheckLeftovers(dir.path(), routerDrops, tally);
    if (HasFatalFailure()) return;
    ++tally.runs;
  }
  Report("ring", tally);
}

// A single file, chosen through a settings document a viewer has the logger load.
TEST_F(KillTest, SingleFileKilledAtRandomMomentsLeavesAValidFileWithoutGaps) {
  Tally tally;
  for (int run = 0; run < m_runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run) + ", seed " + std::to_string(m_seed));
    vxtest::TempDir dir;
    const std::string doc =
        "<VxNmxLogger><CaptureInfo><FileSize>64</FileSize><RingBuffer>false</RingBuffer>"
        "<AutoSave>true</AutoSave><AutoSaveName>k.cap</AutoSaveName><AutoSaveDirectoryName>" +
        dir.path() + "</AutoSaveDirectoryName></CaptureInfo></VxNmxLogger>";
    vxtest::WriteFileBytes(m_dir / "single.xml",
                           std::vector<unsigned char>(doc.begin(), doc.end()));
    const WORD port = vxtest::FreeTcpPort();
    ChildProcess logger(m_dir.path(), {VX_LOGGER_PATH, "-l", "-p", std::to_string(port)},
                        ChildProcess::Input::kPipe, m_router.Environment());
    ASSERT_TRUE(logger.WaitOutput("Listening for viewer connection")) << logger.Output();
    std::string out;
    ASSERT_EQ(
        ChildProcess::Run(
            m_dir.path(),
            {NMX_VIEW_PATH, "--port", std::to_string(port), "start", m_dir / "single.xml"}, &out),
        0)
        << out;
    ASSERT_TRUE(logger.WaitOutput("Capturing has started.")) << logger.Output();
    const bool routerDrops = KillUnderLoad(logger);
    tally.runsWithRouterDrops += routerDrops;
    ASSERT_EQ(CaptureFiles(dir.path()), std::vector<std::string>{"k.cap"});
    CheckLeftovers(dir.path(), routerDrops, tally);
    if (HasFatalFailure()) return;
    ++tally.runs;
  }
  Report("single file", tally);
}

}  // namespace
