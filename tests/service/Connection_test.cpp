// Viewers coming and going, and the viewer service switched on, off and moved to a new port:
// what one viewer leaves behind never reaches the next, and a handler is never destroyed
// under the request it is serving.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "service/ViewerServiceTestUtil.h"
#include "service/VxNmxLoggerObj.h"

using namespace vstest;

namespace {

constexpr DWORD kNoView = 0x703;
constexpr DWORD kCycle1ms = 10000;

// Feeds commands on a thread of its own, as the router port would, until destroyed.
class Feeder {
 public:
  explicit Feeder(CNmxLogger& engine)
      : m_thread([this, &engine] {
          for (DWORD n = 1; !m_stop; ++n) {
            Bytes cmd = TrafficCommand(n, 200);
            engine.OnNmxReceive(reinterpret_cast<const NmxCmd*>(cmd.data()));
            if (n % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
          }
        }) {}
  ~Feeder() {
    m_stop = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

using Viewers = EngineFixture;

TEST_F(Viewers, ALeavingViewerTakesItsViewAndNotificationWithIt) {
  {
    Client c(Port());
    ASSERT_TRUE(c.Connected());
    // A ring, so that the traffic never fills the capture.
    ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({1})).result, 0u);
    ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  }
  Feeder feeder(*m_engine);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    {
      Client c(Port());
      ASSERT_TRUE(c.Connected());
      const Answer view = c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 4, {});
      ASSERT_EQ(view.result, 0u);
      // Small packets: the notification is in the middle of a burst when the viewer goes.
      ASSERT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, Word(view.data), 24 + 256, kCycle1ms).result,
                0u);
      Sample s;
      std::string error;
      ASSERT_TRUE(c.NextSample(&s, &error)) << error;
      EXPECT_TRUE(m_service->IsConnectedToViewer());
    }
    // The next viewer is served only once the last one was cleaned up.
    Client next(Port());
    ASSERT_TRUE(next.Connected());
    EXPECT_EQ(next.Read(KRPCOMM_IG_VIEW, 1, 4096).result, kNoView);
    EXPECT_EQ(next.AddNotification(KRPCOMM_IG_VIEW, 1, 4096, kCycle1ms).result, kNoView);
    EXPECT_TRUE(m_service->IsConnectedToViewer());
  }
  EXPECT_TRUE(vxtest::WaitUntil([&] { return !m_service->IsConnectedToViewer(); }));
}

// A host whose OnStart takes a while: the request that loaded the document is still being
// handled long after its handler was replaced.
class SlowStart : public EngineFixture {
 protected:
  class Callback_ : public IVxNmxLoggerCallback {
   public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT OnStart() override {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return S_OK;
    }
    HRESULT OnStop() override { return S_OK; }
  };
  IVxNmxLoggerCallback* Callback() override { return &m_callback; }
  Callback_ m_callback;
};

TEST_F(SlowStart, ASettingsFileWithANewPortMovesTheServiceAfterTheAnswer) {
  const WORD newPort = vxtest::FreeTcpPort();
  const std::string path = Environment::Boot() + "moved.xml";
  const std::string doc = "<VxNmxLogger><ConnectionPort>" + std::to_string(newPort) +
                          "</ConnectionPort><CaptureInfo/></VxNmxLogger>";
  vxtest::WriteFileBytes(path, Text(doc, false));
  const WORD oldPort = Port();

  Client c(oldPort);
  ASSERT_TRUE(c.Connected());
  ASSERT_EQ(c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 4, {}).result, 0u);
  ASSERT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, 1, 4096, kCycle1ms).result, 0u);
  Bytes start = LE32s({1});
  const Bytes name = Text(path);
  start.insert(start.end(), name.begin(), name.end());
  // The handler serving this request is the one the document replaces.
  const Answer a = c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, start);
  EXPECT_TRUE(a.answered);
  EXPECT_EQ(a.result, 0u);
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_TRUE(m_engine->IsStarted());
  EXPECT_EQ(m_service->GetViewerListenPort(), newPort);
  EXPECT_TRUE(m_service->IsConnected());

  Client moved(newPort);
  ASSERT_TRUE(moved.Connected());
  EXPECT_EQ(moved.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data, LE32s({1}));
  EXPECT_EQ(moved.Read(KRPCOMM_IG_VIEW, 1, 4096).result, kNoView);
  // The old port is closed once its handler is gone.
  EXPECT_TRUE(vxtest::WaitUntil([&] {
    Client old(oldPort);
    return !old.Connected();
  }));
  unlink(path.c_str());
}

TEST_F(Viewers, ASettingsDocumentFromTheHostMovesTheServiceAwayFromAConnectedViewer) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  ASSERT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).result, 0u);
  const WORD newPort = vxtest::FreeTcpPort();
  ASSERT_TRUE(m_engine->LoadXmlSettings(("<VxNmxLogger><ConnectionPort>" + std::to_string(newPort) +
                                         "</ConnectionPort><CaptureInfo/></VxNmxLogger>")
                                            .c_str(),
                                        false));
  EXPECT_TRUE(c.WaitClosed());
  Client moved(newPort);
  ASSERT_TRUE(moved.Connected());
  EXPECT_EQ(moved.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data, LE32s({2}));
}

// A document cannot send the service where no viewer finds it: port 0 (or text that reads as
// 0) is ignored, and a port that cannot be opened is reported, on the console and in the
// system log, instead of leaving the logger without a listener in silence.
TEST_F(Viewers, ASettingsDocumentThatCannotMoveTheServiceSaysWhy) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  const std::string port = std::to_string(Port());
  const struct {
    const char* text;
    std::string line;
  } ignored[] = {
      {"0", "Ignoring ConnectionPort '0': not a port; the viewer port stays " + port + "\n"},
      {"0x1F90",
       "Ignoring ConnectionPort '0x1F90': not a port; the viewer port stays " + port + "\n"}};
  for (const auto& k : ignored) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(m_engine->LoadXmlSettings((std::string("<VxNmxLogger><ConnectionPort>") + k.text +
                                           "</ConnectionPort><CaptureInfo/></VxNmxLogger>")
                                              .c_str(),
                                          false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), k.line);
    EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data, LE32s({2}))
        << "still served where it was";
  }

  const vxtest::TakenPort taken;
  ASSERT_NE(taken.Port(), 0);
  const std::string busy = std::to_string(taken.Port());
  testing::internal::CaptureStdout();
  EXPECT_TRUE(m_engine->LoadXmlSettings(
      ("<VxNmxLogger><ConnectionPort>" + busy + "</ConnectionPort><CaptureInfo/></VxNmxLogger>")
          .c_str(),
      false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to open listener port " + busy + " (err=98112740)\n");
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_FALSE(m_service->IsConnected());
}

std::string ConnectionDoc(const std::string& elements) {
  return "<VxNmxLogger>" + elements + "<CaptureInfo/></VxNmxLogger>";
}

// "ConnectionAddress" keeps the viewer port to one local address; empty, every address again.
// 127.0.0.2 stands for any other address of the machine.
TEST_F(Viewers, TheServiceCanBeRestrictedToOneLocalAddress) {
  if (!vxtest::Reachable("127.0.0.2", Port()))
    GTEST_SKIP() << "127.0.0.2 is no address of this machine";
  const WORD port = vxtest::FreeTcpPort();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(m_engine->LoadXmlSettings(
      ConnectionDoc("<ConnectionPort>" + std::to_string(port) +
                    "</ConnectionPort><ConnectionAddress>127.0.0.1</ConnectionAddress>")
          .c_str(),
      false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  {
    Client c(port);
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data, LE32s({2}));
  }
  EXPECT_FALSE(vxtest::Reachable("127.0.0.2", port));
  EXPECT_STREQ(m_service->GetConnectionAddress(), "127.0.0.1");

  testing::internal::CaptureStdout();
  EXPECT_TRUE(m_engine->LoadXmlSettings(
      ConnectionDoc("<ConnectionAddress>localhost</ConnectionAddress>").c_str(), false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Ignoring ConnectionAddress 'localhost': not an IPv4 address\n");
  EXPECT_STREQ(m_service->GetConnectionAddress(), "127.0.0.1");
  EXPECT_FALSE(vxtest::Reachable("127.0.0.2", port));

  EXPECT_TRUE(m_engine->LoadXmlSettings(
      ConnectionDoc("<ConnectionAddress></ConnectionAddress>").c_str(), false));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return vxtest::Reachable("127.0.0.2", port); }));
}

TEST_F(Viewers, DisablingTheServiceClosesTheConnectionAndTheView) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({1})).result, 0u);
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  ASSERT_EQ(c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 4, {}).result, 0u);
  ASSERT_EQ(c.AddNotification(KRPCOMM_IG_VIEW, 1, 4096, kCycle1ms).result, 0u);
  Feeder feeder(*m_engine);
  EXPECT_EQ(m_service->Connect(), S_OK);  // already enabled
  EXPECT_EQ(m_service->Disconnect(), S_OK);
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_FALSE(m_service->IsConnected());
  EXPECT_FALSE(m_service->IsConnectedToViewer());
  EXPECT_EQ(m_service->GetView(1), nullptr);
  EXPECT_EQ(m_service->GetViewerListenPort(), 0);
  EXPECT_EQ(m_service->Disconnect(), S_OK);
  EXPECT_TRUE(m_engine->IsStarted());
}

TEST(ViewerAttachment, TheComponentReportsAPortInUseAsAFailure) {
  vxtest::TakenPort taken;
  ASSERT_NE(taken.Port(), 0);

  IVxNmxLogger2* p = nullptr;
  ASSERT_EQ(DllGetVxNmxLogger(&p), S_OK);
  ASSERT_EQ(p->Init(FALSE, nullptr), S_OK);
  ASSERT_EQ(p->put_ConnectionPort(taken.Port()), S_OK);
  // The socket code 10048 in the 32-bit form of a KRP code.
  EXPECT_EQ(p->put_EnableViewerConnection(VARIANT_TRUE), static_cast<HRESULT>(0x98112740));
  VARIANT_BOOL enabled = 5;
  EXPECT_EQ(p->get_EnableViewerConnection(&enabled), S_OK);
  EXPECT_EQ(enabled, VARIANT_FALSE);
  taken.Free();
  // Once the port is free the same request succeeds.
  EXPECT_EQ(p->put_EnableViewerConnection(VARIANT_TRUE), S_OK);
  EXPECT_EQ(p->get_EnableViewerConnection(&enabled), S_OK);
  EXPECT_EQ(enabled, VARIANT_TRUE);
  p->Release();
}

}  // namespace
