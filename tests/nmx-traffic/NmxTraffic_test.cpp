// nmx-traffic against nmx-router, with a logger port on 2 that sees the mirrored traffic.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/RecordingPort.h"
#include "common/RouterProcess.h"

using vxtest::RecordingPort;
using vxtest::RouterProcess;

namespace {

// Runs nmx-traffic to its end; returns its exit status and puts its output into *out.
int RunTraffic(const vxtest::TempDir& dir, std::vector<std::string> args, std::string* out) {
  args.insert(args.begin(), NMX_TRAFFIC_PATH);
  return vxtest::ChildProcess::Run(dir.path(), std::move(args), out);
}

TEST(NmxTrafficTest, EveryRequestIsAnsweredAndBothAreMirrored) {
  struct Case {
    const char* mix;
    const char* errors;
    int failed;
  };
  const Case cases[] = {
      {"read,write,readwrite,readstate,devinfo", "0", 0},
      {"read,write", "50", 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mix);
    vxtest::TempDir dir;
    RouterProcess router(dir);
    ASSERT_TRUE(router.Started()) << router.Output();
    setenv("VX_ROUTER_DEVICE", router.Socket().c_str(), 1);
    RecordingPort logger(2);
    logger.SetDispatch(false);
    ASSERT_TRUE(logger.NmxConnect(NMX_PORT_PREVIOUS, 4096, 4096));

    const int n = 200;
    std::string out;
    ASSERT_EQ(RunTraffic(dir,
                         {"--socket", router.Socket(), "--count", std::to_string(n), "--rate", "0",
                          "--size", "100", "--mix", c.mix, "--errors", c.errors},
                         &out),
              0)
        << out;
    EXPECT_NE(out.find("sent 200  answered 200  failed " + std::to_string(c.failed)),
              std::string::npos)
        << out;

    // Each request and its answer reached port 2, time-stamped, with matching invoke ids.
    ASSERT_TRUE(logger.WaitCount(2 * n)) << logger.Count();
    std::map<DWORD, int> pairs;
    for (const auto& bytes : logger.Received()) {
      const NmxHead& h = *reinterpret_cast<const NmxHead*>(bytes.data());
      ASSERT_TRUE(h.stateFlags & NMX_FLAG_TIMESTAMP);
      ASSERT_TRUE(h.stateFlags & NMX_FLAG_KRP_COMMAND);
      pairs[h.hUser] += (h.stateFlags & NMX_FLAG_RESPONSE) ? 10 : 1;
    }
    EXPECT_EQ(pairs.size(), static_cast<size_t>(n));
    for (const auto& [id, v] : pairs) EXPECT_EQ(v, 11) << "invoke id " << id;
    unsetenv("VX_ROUTER_DEVICE");
  }
}

TEST(NmxTrafficTest, NotificationsFlowUntilTheClientDeletesThem) {
  vxtest::TempDir dir;
  RouterProcess router(dir);
  ASSERT_TRUE(router.Started()) << router.Output();
  std::string out;
  ASSERT_EQ(RunTraffic(dir,
                       {"--socket", router.Socket(), "--count", "5", "--rate", "0", "--mix",
                        "notification"},
                       &out),
            0)
      << out;
  // Five adds and five deletes, every one answered, and samples in between.
  EXPECT_NE(out.find("sent 10  answered 10  failed 0"), std::string::npos) << out;
  EXPECT_EQ(out.find("notifications 0 "), std::string::npos) << out;
}

TEST(NmxTrafficTest, WithoutAServerTheClientReportsTheMissingAnswers) {
  vxtest::TempDir dir;
  RouterProcess router(dir);
  ASSERT_TRUE(router.Started()) << router.Output();
  std::string out;
  // The router answers requests to a missing port with an error: answered, but failed.
  EXPECT_EQ(RunTraffic(dir, {"--socket", router.Socket(), "--client-only", "--count", "3"}, &out),
            0)
      << out;
  EXPECT_NE(out.find("sent 3  answered 3  failed 3"), std::string::npos) << out;
  EXPECT_EQ(RunTraffic(dir, {"--socket", router.Socket(), "--count", "x"}, &out), 2);
  // A minus behind a blank is no count, not one near 2^64; blanks and a plus still pass.
  EXPECT_EQ(RunTraffic(dir, {"--socket", router.Socket(), "--count", " -5"}, &out), 2);
  EXPECT_EQ(RunTraffic(dir, {"--socket", router.Socket(), "--client-only", "--count", " +2"}, &out),
            0)
      << out;
  EXPECT_NE(out.find("sent 2  answered 2  failed 2"), std::string::npos) << out;
}

}  // namespace
