// Listen mode as the service units run it: standard input /dev/null, no terminal, and the
// service manager's SIGTERM as the only way to stop. A capture a viewer left running is
// written out in full before the program exits.
#include <signal.h>

#include <string>

#include "e2e/CaptureReader.h"
#include "e2e/ListenFixture.h"

namespace {

using e2etest::ListenViewer;
using vxtest::ChildProcess;

TEST_F(ListenViewer, AsAServiceSigtermEndsTheRunWithTheViewersCaptureWrittenOut) {
  constexpr unsigned kOps = 100;
  auto logger = StartLogger({"-l", "-p", std::to_string(m_port)}, ChildProcess::Input::kDevNull);
  ASSERT_TRUE(logger->WaitOutput("Listening for viewer connection at port")) << logger->Output();
  std::string err;
  ASSERT_EQ(View({"set", "savename", "service.cap"}, nullptr, &err), 0) << err;
  ASSERT_EQ(View({"start"}, nullptr, &err), 0) << err;
  ASSERT_TRUE(logger->WaitOutput("Capturing has started.\n")) << logger->Output();
  ASSERT_TRUE(m_router.RunTraffic({"--count", std::to_string(kOps), "--mix", "read,write"}));
  // The end of /dev/null is no key: the run goes on until the signal.
  std::string status;
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    View({"--json", "status"}, &status);
    return status.find("\"frames\":" + std::to_string(2 * kOps) + ",") != std::string::npos;
  })) << status;
  EXPECT_FALSE(logger->Exited());

  logger->Signal(SIGTERM);
  EXPECT_EQ(logger->Wait(), 0);
  const std::string console = logger->Output();
  EXPECT_EQ(console.find("Frames dropped"), std::string::npos) << console;
  EXPECT_EQ(console.find("Failed"), std::string::npos) << console;
  EXPECT_EQ(logger->Errors(), "");

  vxtest::CaptureContents cap;
  std::string error;
  ASSERT_TRUE(vxtest::ReadCapture(Boot() + "service.cap", &cap, &error)) << error;
  EXPECT_TRUE(cap.bCutBehindTable);
  EXPECT_EQ(cap.frames.size(), 2 * kOps);
}

}  // namespace
