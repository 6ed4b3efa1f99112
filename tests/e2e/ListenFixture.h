// Listen mode through the built programs: VxNmxLogger -l on a free port with its own runtime
// folder (a registry naming the boot folder and the local NetId 5.1.204.160.1.1) and the
// stand-in router, and nmx-view to drive it as a user would.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/RouterProcess.h"
#include "common/TestUtil.h"
#include "os/OsTypes.h"

namespace e2etest {

using vxtest::ChildProcess;

class ListenViewer : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_router.Started());
    // The runtime's registry names the boot folder and the local NetId.
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<VxRegistry><Key Name=\"HKLM\"><Key Name=\"Software\">"
        "<Key Name=\"Lormec\"><Key Name=\"Varnix3\">"
        "<Value Name=\"CurrentVersion\" Type=\"SZ\">3.1</Value>"
        "<Key Name=\"3.1\"><Value Name=\"BootDir\" Type=\"SZ\">" +
        Boot() +
        "</Value></Key><Key Name=\"System\">"
        "<Value Name=\"NmxNetId\" Type=\"BIN\">0501cca00101</Value></Key>"
        "</Key></Key></Key></Key></VxRegistry>\n";
    vxtest::WriteFileBytes(m_dir / "VxRegistry.xml",
                           std::vector<unsigned char>(xml.begin(), xml.end()));
    ASSERT_EQ(mkdir(Boot().c_str(), 0755), 0);
  }

  std::string Boot() const { return m_dir.path() + "/Boot/"; }

  std::unique_ptr<ChildProcess> StartLogger(
      std::vector<std::string> args, ChildProcess::Input input = ChildProcess::Input::kPipe) {
    std::vector<std::string> argv = {VX_LOGGER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(m_dir.path(), argv, input, m_router.Environment());
  }

  std::unique_ptr<ChildProcess> StartView(std::vector<std::string> args) {
    std::vector<std::string> argv = {NMX_VIEW_PATH, "--port", std::to_string(m_port)};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(m_dir.path(), argv, ChildProcess::Input::kDevNull,
                                          m_router.Environment());
  }

  // Runs nmx-view to its end; its exit status, with its output in *out and *err.
  int View(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
    auto p = StartView(std::move(args));
    const int status = p->Wait();
    if (out) *out = p->Output();
    if (err) *err = p->Errors();
    return status;
  }

  vxtest::TempDir m_dir;
  vxtest::RouterProcess m_router{m_dir};
  const WORD m_port = vxtest::FreeTcpPort();
};

// A logger listening on the fixture's port and capturing into the single file run.cap of the
// boot folder; told to quit at the end.
class ListenLogger : public ListenViewer {
 protected:
  void SetUp() override {
    ListenViewer::SetUp();
    if (HasFatalFailure()) return;
    m_logger = StartLogger({"-l", "-p", std::to_string(m_port)});
    ASSERT_TRUE(m_logger->WaitOutput("Listening for viewer connection")) << m_logger->Output();
    ASSERT_EQ(0, View({"set", "single"}));
    ASSERT_EQ(0, View({"set", "savename", "run.cap"}));
  }
  void TearDown() override {
    if (m_logger && m_logger->WriteInput("q")) {
      EXPECT_EQ(0, m_logger->Wait());
    }
  }

  std::unique_ptr<ChildProcess> m_logger;
};

}  // namespace e2etest
