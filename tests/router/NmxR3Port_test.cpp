// The router port against a real nmx-router process.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/RecordingPort.h"
#include "common/RouterProcess.h"
#include "os/ByteOrder.h"
#include "router/DrvControl.h"

using vxtest::AsCmd;
using vxtest::MakeCommand;
using vxtest::RecordingPort;
using vxtest::RouterProcess;

namespace {

class NmxR3PortTest : public ::testing::Test {
 protected:
  void StartRouter(std::vector<std::string> args = {}) {
    m_router = std::make_unique<RouterProcess>(m_dir, std::move(args));
    ASSERT_TRUE(m_router->Started()) << m_router->Output();
    setenv("VX_ROUTER_DEVICE", m_router->Socket().c_str(), 1);
  }
  void SetUp() override { StartRouter({"--netid", "5.1.204.160.1.1"}); }
  void TearDown() override { unsetenv("VX_ROUTER_DEVICE"); }

  vxtest::TempDir m_dir;
  std::unique_ptr<RouterProcess> m_router;
};

const NmxNetId kNetId = {{5, 1, 204, 160, 1, 1}};

TEST_F(NmxR3PortTest, ConnectsFixedAndRouterChosenPortsAndDisconnects) {
  RecordingPort fixed(851, "fixed");
  RecordingPort chosen1(0), chosen2(0);
  ASSERT_TRUE(fixed.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  ASSERT_TRUE(chosen1.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  ASSERT_TRUE(chosen2.NmxConnect(NMX_PORT_ANY, 4096, 16));

  EXPECT_EQ(fixed.NmxGetPort(), 851);
  EXPECT_TRUE(fixed.NmxGetNetId() == kNetId) << "the port takes the router's NetId";
  EXPECT_GE(chosen1.NmxGetPort(), 32768);
  EXPECT_GE(chosen2.NmxGetPort(), 32768);
  EXPECT_NE(chosen1.NmxGetPort(), chosen2.NmxGetPort());
  EXPECT_TRUE(fixed.Enabled());
  EXPECT_TRUE(m_router->WaitOutput("registered port 851 \"fixed\" queue 16"));

  EXPECT_TRUE(fixed.NmxDisconnect());
  EXPECT_FALSE(fixed.NmxPortConnected());
  EXPECT_FALSE(fixed.NmxDisconnect()) << "nothing left to end";
  EXPECT_TRUE(m_router->WaitOutput("unregistered port 851"));

  // The number is free again and the same object connects once more.
  ASSERT_TRUE(fixed.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_EQ(fixed.NmxGetPort(), 851);
}

TEST_F(NmxR3PortTest, ConnectFailuresLeaveThePortUnconnected) {
  RecordingPort port(851);
  ASSERT_TRUE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_FALSE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_EQ(port.NmxGetLastError(), NMX_R3_ERR_CONNECTED);
  EXPECT_TRUE(port.NmxPortConnected()) << "a second connect changes nothing";

  RecordingPort taken(851);
  EXPECT_FALSE(taken.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_EQ(taken.NmxGetLastError(), 9u) << "the router's answer for a port in use";
  EXPECT_FALSE(taken.NmxPortConnected());

  setenv("VX_ROUTER_DEVICE", (m_dir / "missing.sock").c_str(), 1);
  RecordingPort nodevice(852);
  EXPECT_FALSE(nodevice.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_EQ(nodevice.NmxGetLastError(), NMX_R3_ERR_DEVICE);
  EXPECT_FALSE(nodevice.NmxPortConnected());

  RecordingPort never(853);
  std::vector<uint8_t> cmd = MakeCommand(never.NmxGetAddr(), port.NmxGetAddr(), 4);
  EXPECT_FALSE(never.NmxSend(AsCmd(cmd)));
  EXPECT_EQ(never.NmxGetLastError(), NMX_R3_ERR_NOT_CONNECTED);
}

TEST_F(NmxR3PortTest, DeliversCommandsWholeIncludingOversizedOnes) {
  RecordingPort receiver(851), sender(0);
  ASSERT_TRUE(receiver.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  ASSERT_TRUE(sender.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));

  // 10 000 bytes do not fit the 4096-byte buffer: the router names the size first.
  std::vector<uint8_t> big = MakeCommand(sender.NmxGetAddr(), receiver.NmxGetAddr(), 10000 - 32);
  std::vector<uint8_t> small = MakeCommand(sender.NmxGetAddr(), receiver.NmxGetAddr(), 5, 2, 8);
  ASSERT_TRUE(sender.NmxSend(AsCmd(big)));
  ASSERT_TRUE(sender.NmxSend(AsCmd(small)));
  ASSERT_TRUE(receiver.WaitCount(2));
  auto got = receiver.Received();
  EXPECT_EQ(got[0], big);
  EXPECT_EQ(got[1], small) << "the buffer is back to normal for the next read";

  // A port asking for no buffer at all still gets room for the size the router names.
  RecordingPort tiny(852);
  ASSERT_TRUE(tiny.NmxConnect(NMX_PORT_PREVIOUS, 0, 16));
  std::vector<uint8_t> cmd = MakeCommand(sender.NmxGetAddr(), tiny.NmxGetAddr(), 100);
  ASSERT_TRUE(sender.NmxSend(AsCmd(cmd)));
  ASSERT_TRUE(tiny.WaitCount(1));
  EXPECT_EQ(tiny.Received()[0], cmd);
}

// A port whose receive thread waits in NmxReceive while its gate is shut, so that the
// router's queue for it fills up.
class GatedPort : public RecordingPort {
 public:
  explicit GatedPort(WORD port) : RecordingPort(port, "gated") { SetDispatch(false); }
  ~GatedPort() override {
    SetOpen(true);
    NmxDisconnect();
  }
  void NmxReceive(NmxCmd* cmd) override {
    {
      std::unique_lock<std::mutex> lk(m_gateLock);
      m_gate.wait(lk, [&] { return m_bOpen; });
    }
    RecordingPort::NmxReceive(cmd);
  }
  void SetOpen(bool bOpen) {
    std::lock_guard<std::mutex> g(m_gateLock);
    m_bOpen = bOpen;
    m_gate.notify_all();
  }

 private:
  std::mutex m_gateLock;
  std::condition_variable m_gate;
  bool m_bOpen = true;
};

// What the router dropped for a port that did not read is counted by the port as the router
// counts it, summed over the port's connections (the router counts each registration from
// 0), and stays counted once the port is disconnected.
TEST_F(NmxR3PortTest, ThePortCountsTheCommandsTheRouterDroppedForIt) {
  GatedPort port(851);
  ULONGLONG counted = 99;
  EXPECT_FALSE(port.GetRouterDroppedCount(&counted)) << "no router has told it anything yet";
  EXPECT_EQ(counted, 0u);
  RecordingPort sender(0);
  ASSERT_TRUE(sender.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  size_t received = 0;
  unsigned long routerDropped = 0;
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    port.SetOpen(false);
    ASSERT_TRUE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 4));
    for (DWORD i = 0; i < 20; ++i) {
      std::vector<uint8_t> cmd = MakeCommand(sender.NmxGetAddr(), port.NmxGetAddr(), 8, 2, i);
      ASSERT_TRUE(sender.NmxSend(AsCmd(cmd)));
    }
    // The writes have no reply: ask for the counters until they show every command.
    const std::string routed = "routed " + std::to_string(20 * round) + " ";
    ASSERT_TRUE(vxtest::WaitUntil([&] {
      return m_router->PrintCounters() && m_router->Output().find(routed) != std::string::npos;
    })) << m_router->Output();
    unsigned long delivered = 0, dropped = 0;
    ASSERT_TRUE(m_router->PortCounters(851, &delivered, &dropped)) << m_router->Output();
    // At most a reply's batch and the queue of four got through before the gate.
    ASSERT_GE(dropped, routerDropped + 12);
    received += 20 - (dropped - routerDropped);
    routerDropped = dropped;

    port.SetOpen(true);
    ASSERT_TRUE(port.WaitCount(received));
    EXPECT_TRUE(port.GetRouterDroppedCount(&counted));
    EXPECT_EQ(counted, routerDropped);
    EXPECT_TRUE(port.NmxDisconnect());
    EXPECT_TRUE(port.GetRouterDroppedCount(&counted));
    EXPECT_EQ(counted, routerDropped);
  }
}

TEST_F(NmxR3PortTest, SendingWhileTheRouterGoesAwayIsSafe) {
  // The removal closes the send handle on the receive thread while this thread sends; the
  // sanitizer builds see a send through a closed handle.
  RecordingPort port(851);
  ASSERT_TRUE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  port.SetDispatch(false);
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread sender([&] {
    std::vector<uint8_t> cmd = MakeCommand(port.NmxGetAddr(), NmxAddr(kNetId, 900), 16);
    while (!stop)
      if (port.NmxSend(AsCmd(cmd))) ++sent;
  });
  ASSERT_TRUE(vxtest::WaitUntil([&] { return sent > 100; }));
  m_router->Stop(SIGTERM);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return !port.NmxPortConnected(); }));
  stop = true;
  sender.join();
  std::vector<uint8_t> cmd = MakeCommand(port.NmxGetAddr(), NmxAddr(kNetId, 900), 0);
  EXPECT_FALSE(port.NmxSend(AsCmd(cmd)));
  EXPECT_EQ(port.NmxGetLastError(), NMX_R3_ERR_NOT_CONNECTED);
}

TEST_F(NmxR3PortTest, CommandWhoseLengthDisagreesWithItsHeaderArrivesAsError14) {
  RecordingPort receiver(851);
  ASSERT_TRUE(receiver.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  receiver.SetDispatch(false);

  // A raw handle writes 32 + 10 bytes under a header that claims 100.
  CDrvControl raw;
  ASSERT_EQ(raw.OpenRouter(FALSE), 0u);
  NmxAddr from(kNetId, 900);
  std::vector<uint8_t> cmd = MakeCommand(from, receiver.NmxGetAddr(), 10);
  AsCmd(cmd)->head.cbData = 100;
  DWORD written = 0;
  ASSERT_EQ(raw.Write(cmd.data(), static_cast<DWORD>(cmd.size()), &written, nullptr), 0u);
  EXPECT_EQ(written, cmd.size());

  ASSERT_TRUE(receiver.WaitCount(1));
  EXPECT_EQ(receiver.Head(0).cbData, 0u);
  EXPECT_EQ(receiver.Head(0).errCode, NMX_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(receiver.Head(0).hUser, 7u);
}

TEST_F(NmxR3PortTest, DefaultDispatchAnswersError11ButNeverAnAnswerOfIt) {
  CNmxR3Port* plain = new CNmxR3Port(851, TRUE, "plain", 0);  // auto-connects
  ASSERT_TRUE(plain->NmxPortConnected());
  RecordingPort client(0);
  ASSERT_TRUE(client.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));

  std::vector<uint8_t> already = MakeCommand(client.NmxGetAddr(), plain->NmxGetAddr(), 0, 3, 41);
  AsCmd(already)->head.errCode = NMX_ERR_NOT_HANDLED;
  std::vector<uint8_t> request = MakeCommand(client.NmxGetAddr(), plain->NmxGetAddr(), 12, 2, 42);
  ASSERT_TRUE(client.NmxSend(AsCmd(already)));
  ASSERT_TRUE(client.NmxSend(AsCmd(request)));

  ASSERT_TRUE(client.WaitCount(1));
  const NmxHead h = client.Head(0);
  EXPECT_EQ(h.hUser, 42u) << "only the plain request is answered";
  EXPECT_EQ(h.cmdId, 2);
  EXPECT_EQ(h.errCode, NMX_ERR_NOT_HANDLED);
  EXPECT_EQ(h.cbData, 0u);
  EXPECT_EQ(h.stateFlags, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE);
  EXPECT_TRUE(h.sender == plain->NmxGetAddr());
  delete plain;
  EXPECT_TRUE(m_router->WaitOutput("unregistered port 851"));
  EXPECT_EQ(client.Count(), 1u);
}

TEST_F(NmxR3PortTest, SystemStopAndStartReachThePortAndGateSending) {
  RecordingPort running(851);
  ASSERT_TRUE(running.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));

  m_router->Signal(SIGUSR1);
  ASSERT_TRUE(m_router->WaitOutput("system stopped"));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return running.m_nStops == 1; }));
  EXPECT_FALSE(running.Enabled());
  const NmxHead stop = running.Head(0);
  EXPECT_EQ(stop.cmdId, NMX_SYSCMD_STOPPED);
  EXPECT_EQ(stop.stateFlags, NMX_FLAG_SYSTEM_COMMAND);
  EXPECT_EQ(stop.cbData, 0u);
  EXPECT_TRUE(stop.target == running.NmxGetAddr());

  // Registered while stopped: connected, but sending is refused until the system runs.
  RecordingPort late(0);
  ASSERT_TRUE(late.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  std::vector<uint8_t> cmd = MakeCommand(late.NmxGetAddr(), running.NmxGetAddr(), 4);
  EXPECT_FALSE(late.NmxSend(AsCmd(cmd)));
  EXPECT_EQ(late.NmxGetLastError(), NMX_R3_ERR_DISABLED);

  m_router->Signal(SIGUSR1);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return late.m_nStarts == 1 && running.m_nStarts == 1; }));
  const NmxHead start = late.Head(0);
  EXPECT_EQ(start.cmdId, NMX_SYSCMD_STARTED);
  EXPECT_EQ(start.cbData, 8u);
  const std::vector<uint8_t> startBytes = late.Received()[0];
  ASSERT_EQ(startBytes.size(), NMX_HEAD_SIZE + 8);
  EXPECT_EQ(std::vector<uint8_t>(startBytes.begin() + NMX_HEAD_SIZE, startBytes.end()),
            std::vector<uint8_t>(8, 0));
  EXPECT_TRUE(late.NmxSend(AsCmd(cmd)));
  EXPECT_TRUE(running.WaitCount(3));  // stop, start, the command
}

TEST_F(NmxR3PortTest, RouterRemovalReachesThePortAsStatus5) {
  RecordingPort port(851);
  ASSERT_TRUE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_EQ(m_router->Stop(SIGTERM), 0);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return port.m_nRemoved == 1; }));
  EXPECT_EQ(port.Head(0).cmdId, NMX_SYSCMD_REMOVED);
  EXPECT_EQ(port.Head(0).stateFlags, NMX_FLAG_SYSTEM_COMMAND);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return !port.NmxPortConnected(); }));
  EXPECT_FALSE(port.Enabled());
  EXPECT_FALSE(port.NmxDisconnect()) << "the removal already ended the connection";
}

TEST_F(NmxR3PortTest, RouterThatDiesLooksRemovedAndDisconnectDoesNotHang) {
  RecordingPort port(851);
  ASSERT_TRUE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  m_router->Stop(SIGKILL);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return port.m_nRemoved == 1; }));
  EXPECT_FALSE(port.NmxDisconnect());

  StartRouter();
  EXPECT_TRUE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16)) << "a new router takes it back";
}

}  // namespace

namespace {

// A router that registers everything but never answers a read, not even after the
// unregistration: the port must give its thread up and end anyway.
class SilentRouter {
 public:
  explicit SilentRouter(const std::string& path) {
    m_listen = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(m_listen, 4), 0);
    m_thread = std::thread([this] { Serve(); });
  }
  ~SilentRouter() {
    m_bStop = true;
    m_thread.join();
    for (int fd : m_conns) close(fd >= 0 ? fd : -fd - 2);
    close(m_listen);
  }

 private:
  void Serve() {
    std::vector<std::vector<uint8_t>> in;
    while (!m_bStop) {
      std::vector<pollfd> pfds = {{m_listen, POLLIN, 0}};
      for (int fd : m_conns) pfds.push_back({fd >= 0 ? fd : -1, POLLIN, 0});
      if (poll(pfds.data(), pfds.size(), 20) <= 0) continue;
      if (pfds[0].revents & POLLIN) {
        m_conns.push_back(accept(m_listen, nullptr, nullptr));
        in.emplace_back();
      }
      for (size_t i = 1; i < pfds.size(); ++i) {
        if (!(pfds[i].revents & POLLIN)) continue;
        uint8_t buf[4096];
        ssize_t n = recv(pfds[i].fd, buf, sizeof(buf), 0);
        if (n <= 0) {
          ++m_nClosed;
          shutdown(pfds[i].fd, SHUT_RDWR);
          m_conns[i - 1] = -m_conns[i - 1] - 2;  // closed at the end, not polled again
          continue;
        }
        auto& b = in[i - 1];
        b.insert(b.end(), buf, buf + n);
        while (b.size() >= 8 && b.size() >= 8 + vx::DecodeLE32(b.data() + 4)) {
          const size_t whole = 8 + vx::DecodeLE32(b.data() + 4);
          if (vx::DecodeLE16(b.data()) == 1) ++m_nReads;
          if (vx::DecodeLE16(b.data()) == 3) {  // answer every control with success
            std::vector<uint8_t> reply(8 + 4 + 128, 0);
            reply[0] = 0x83;
            vx::EncodeLE32(reply.data() + 4, 132);
            std::memcpy(reply.data() + 12, b.data() + 12, 128);
            uint8_t* out = reply.data() + 12 + 64;
            if (m_bRefuseRegister && vx::DecodeLE32(b.data() + 12) == IOCTL_NMX_REGISTER_PORT) {
              reply.resize(8 + 4);
              vx::EncodeLE32(reply.data() + 4, 4);
              vx::EncodeLE32(reply.data() + 8, EINVAL);
            } else if (vx::DecodeLE32(b.data() + 12) == IOCTL_NMX_GET_NETID) {
              std::memcpy(out, NMXNETID_LOOPBACK.b, 6);
            } else {  // the registered port is the one asked for, no error
              std::memmove(out, out + 4, 2);
              out[2] = out[3] = 0;
            }
            send(pfds[i].fd, reply.data(), reply.size(), 0);
          }
          b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(whole));
        }
      }
    }
  }

  int m_listen = -1;
  std::vector<int> m_conns;

 public:
  std::atomic<int> m_nReads{0};
  std::atomic<int> m_nClosed{0};
  std::atomic<bool> m_bRefuseRegister{false};

 private:
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};

TEST(NmxR3PortAbandonTest, DisconnectGivesUpAThreadWhoseReadNeverReturns) {
  vxtest::TempDir dir;
  SilentRouter router(dir / "silent.sock");
  setenv("VX_ROUTER_DEVICE", (dir / "silent.sock").c_str(), 1);
  auto* port = new RecordingPort(851);
  ASSERT_TRUE(port->NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_EQ(port->NmxGetPort(), 851);
  ASSERT_TRUE(vxtest::WaitUntil([&] { return router.m_nReads == 1; }));
  // Waits the 10 s bound, then returns; the thread ends on its own without the port, which
  // is deleted at once (the sanitizer builds catch a thread that still touches it).
  EXPECT_TRUE(port->NmxDisconnect());
  delete port;
  // Both handles end up closed: the send handle by the port, the read handle by its thread.
  EXPECT_TRUE(vxtest::WaitUntil([&] { return router.m_nClosed == 2; }));
  EXPECT_TRUE(vxtest::WaitUntil([] { return CNmxR3Port::NmxGivenUpThreads() == 0; }));
  unsetenv("VX_ROUTER_DEVICE");
}

TEST(NmxR3PortAbandonTest, ARegistrationTheDeviceRefusesIsNoConnection) {
  vxtest::TempDir dir;
  SilentRouter router(dir / "silent.sock");
  router.m_bRefuseRegister = true;
  setenv("VX_ROUTER_DEVICE", (dir / "silent.sock").c_str(), 1);
  RecordingPort port(851);
  EXPECT_FALSE(port.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  EXPECT_EQ(port.NmxGetLastError(), NMX_R3_ERR_DEVICE);
  EXPECT_FALSE(port.NmxPortConnected());
  unsetenv("VX_ROUTER_DEVICE");
}

}  // namespace
