// nmx-router's routing, mirror copies, queues and robustness, seen through router ports and
// raw connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "common/RecordingPort.h"
#include "common/RouterProcess.h"
#include "os/ByteOrder.h"
#include "os/OsUserTools.h"
#include "router/DrvControl.h"
#include "router/RouterProtocol.h"

using vxtest::AsCmd;
using vxtest::MakeCommand;
using vxtest::RecordingPort;
using vxtest::RouterProcess;

namespace {

uint64_t FileTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100 +
         FILETIME_UNIX_EPOCH;
}

class NmxRouterTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args = {}) {
    m_router = std::make_unique<RouterProcess>(m_dir, std::move(args));
    ASSERT_TRUE(m_router->Started()) << m_router->Output();
    setenv("VX_ROUTER_DEVICE", m_router->Socket().c_str(), 1);
  }
  void TearDown() override { unsetenv("VX_ROUTER_DEVICE"); }

  // One command from a fresh client port to a fresh server port arrives: the router works.
  void ExpectRouterServes() {
    ASSERT_EQ(kill(m_router->Pid(), 0), 0) << "router still running";
    RecordingPort server(0), client(0);
    ASSERT_TRUE(server.NmxConnect(NMX_PORT_ANY, 4096, 16));
    ASSERT_TRUE(client.NmxConnect(NMX_PORT_ANY, 4096, 16));
    std::vector<uint8_t> cmd = MakeCommand(client.NmxGetAddr(), server.NmxGetAddr(), 3);
    ASSERT_TRUE(client.NmxSend(AsCmd(cmd)));
    EXPECT_TRUE(server.WaitCount(1));
  }

  vxtest::TempDir m_dir;
  std::unique_ptr<RouterProcess> m_router;
};

TEST_F(NmxRouterTest, RoutesToTheTargetAndMirrorsToPort2WithATimeStamp) {
  struct Case {
    bool bTimestamps;
  };
  for (Case c : {Case{true}, Case{false}}) {
    SCOPED_TRACE(c.bTimestamps ? "time stamps" : "--no-timestamps");
    Start(c.bTimestamps ? std::vector<std::string>{} : std::vector<std::string>{"--no-timestamps"});
    RecordingPort logger(2), server(851), client(0);
    logger.SetDispatch(false);
    server.SetDispatch(false);
    ASSERT_TRUE(logger.NmxConnect(NMX_PORT_PREVIOUS, 4096, 64));
    ASSERT_TRUE(server.NmxConnect(NMX_PORT_PREVIOUS, 4096, 64));
    ASSERT_TRUE(client.NmxConnect(NMX_PORT_PREVIOUS, 4096, 64));

    std::vector<uint8_t> request = MakeCommand(client.NmxGetAddr(), server.NmxGetAddr(), 20);
    const uint64_t before = FileTimeNow();
    ASSERT_TRUE(client.NmxSend(AsCmd(request)));
    ASSERT_TRUE(server.WaitCount(1));
    ASSERT_TRUE(logger.WaitCount(1));
    const uint64_t after = FileTimeNow();
    EXPECT_EQ(server.Received()[0], request) << "delivered unchanged";

    std::vector<uint8_t> copy = logger.Received()[0];
    if (c.bTimestamps) {
      ASSERT_EQ(copy.size(), request.size() + 8);
      const NmxHead& h = *reinterpret_cast<const NmxHead*>(copy.data());
      EXPECT_EQ(h.cbData, 28u);
      EXPECT_EQ(h.stateFlags, NMX_FLAG_KRP_COMMAND | NMX_FLAG_TIMESTAMP);
      const uint64_t stamp = vx::DecodeLE64(copy.data() + request.size());
      EXPECT_GE(stamp, before);
      EXPECT_LE(stamp, after);
      // Apart from length, flag and stamp the copy is the command.
      AsCmd(copy)->head.cbData = 20;
      AsCmd(copy)->head.stateFlags = NMX_FLAG_KRP_COMMAND;
      copy.resize(request.size());
    }
    EXPECT_EQ(copy, request);

    // A command to port 2 itself arrives there once, not again as a mirror copy.
    std::vector<uint8_t> direct = MakeCommand(client.NmxGetAddr(), logger.NmxGetAddr(), 4, 2, 99);
    ASSERT_TRUE(client.NmxSend(AsCmd(direct)));
    ASSERT_TRUE(logger.WaitCount(2));
    EXPECT_EQ(logger.Received()[1], direct);
    EXPECT_EQ(m_router->Stop(), 0);
    EXPECT_NE(m_router->Output().find("routed 2  mirrored 1  dropped 0"), std::string::npos)
        << m_router->Output();
  }
}

TEST_F(NmxRouterTest, UndeliverableCommandsAreAnsweredWithTheirError) {
  Start({"--netid", "5.1.204.160.1.1"});
  RecordingPort logger(2), client(0);
  logger.SetDispatch(false);
  client.SetDispatch(false);
  ASSERT_TRUE(logger.NmxConnect(NMX_PORT_PREVIOUS, 4096, 64));
  ASSERT_TRUE(client.NmxConnect(NMX_PORT_PREVIOUS, 4096, 64));

  struct Case {
    const char* what;
    NmxNetId netId;
    LONG err;
  };
  const Case cases[] = {
      {"own NetId, no such port", {{5, 1, 204, 160, 1, 1}}, 7},
      {"loopback NetId, no such port", NMXNETID_LOOPBACK, 7},
      {"other NetId", {{5, 1, 204, 161, 1, 1}}, 6},
  };
  size_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NmxAddr target(c.netId, 900);
    std::vector<uint8_t> request = MakeCommand(client.NmxGetAddr(), target, 12, 2, 500 + n);
    ASSERT_TRUE(client.NmxSend(AsCmd(request)));
    ASSERT_TRUE(client.WaitCount(++n));
    const NmxHead h = client.Head(n - 1);
    EXPECT_EQ(h.errCode, c.err);
    EXPECT_EQ(h.cbData, 0u);
    EXPECT_EQ(h.hUser, 500 + n - 1);
    EXPECT_EQ(h.cmdId, 2);
    EXPECT_EQ(h.stateFlags, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE);
    EXPECT_TRUE(h.sender == target);
    EXPECT_TRUE(h.target == client.NmxGetAddr());
  }
  // The logger saw every request and every answer.
  EXPECT_TRUE(logger.WaitCount(2 * n));

  // An undeliverable answer is dropped, not answered (no ping-pong between missing ports).
  std::vector<uint8_t> answer = MakeCommand(client.NmxGetAddr(), NmxAddr(NMXNETID_LOOPBACK, 901), 0,
                                            2, 1, NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE);
  ASSERT_TRUE(client.NmxSend(AsCmd(answer)));
  EXPECT_TRUE(logger.WaitCount(2 * n + 1));
  EXPECT_EQ(client.Count(), n);
}

// Registers a port with the given queue length on a raw handle that reads only when told.
struct RawPort {
  CDrvControl drv;
  NmxRegisterR3PortOut out{};
  explicit RawPort(WORD port, WORD queueSize) {
    EXPECT_EQ(drv.OpenRouter(TRUE), 0u);
    NmxRegisterR3PortIn rec = MakeDefaultRegisterRecord();
    rec.m_bFixedPort = 1;
    rec.m_port = port;
    rec.m_queueSize = queueSize;
    std::strcpy(rec.m_szPortName, "raw");
    DWORD ret = 0;
    EXPECT_EQ(
        drv.IoControl(IOCTL_NMX_REGISTER_PORT, &rec, sizeof(rec), &out, sizeof(out), &ret, nullptr),
        0u);
    EXPECT_EQ(ret, sizeof(out));
  }
  DWORD Read(std::vector<uint8_t>& buf) {
    OVERLAPPED ov{};
    ov.Offset = out.m_port;
    DWORD n = 0;
    EXPECT_EQ(drv.Read(buf.data(), static_cast<DWORD>(buf.size()), &n, &ov), 0u);
    return n;
  }
};

TEST_F(NmxRouterTest, AFullQueueDropsAndCountsWhatDoesNotFit) {
  Start();
  RawPort slow(851, 4);
  ASSERT_EQ(slow.out.m_err, 0);
  RecordingPort client(0);
  ASSERT_TRUE(client.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  for (DWORD i = 0; i < 10; ++i) {
    std::vector<uint8_t> cmd =
        MakeCommand(client.NmxGetAddr(), NmxAddr(NMXNETID_LOOPBACK, 851), 8, 2, i);
    ASSERT_TRUE(client.NmxSend(AsCmd(cmd)));
  }
  // The writes have no reply: ask for the table until it shows all ten.
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    m_router->Signal(SIGUSR2);
    return vxtest::WaitUntil(
        [&] {
          return m_router->Output().find("routed 10  mirrored 0  dropped 6") != std::string::npos;
        },
        std::chrono::milliseconds(100));
  })) << m_router->Output();
  EXPECT_NE(m_router->Output().find("   851  raw"), std::string::npos) << m_router->Output();

  // The first four are kept, in order, and the reply that brings them tells the port of the
  // six that were not.
  std::vector<uint8_t> buf(4096);
  for (DWORD i = 0; i < 4; ++i) {
    ASSERT_EQ(slow.Read(buf), NMX_HEAD_SIZE + 8);
    EXPECT_EQ(reinterpret_cast<NmxHead*>(buf.data())->hUser, i);
  }
  ULONGLONG dropped = 0;
  EXPECT_TRUE(slow.drv.RouterDropped(&dropped));
  EXPECT_EQ(dropped, 6u);
}

TEST_F(NmxRouterTest, ReadStatusesOfARawHandle) {
  Start();
  RawPort raw(851, 4);
  std::vector<uint8_t> buf(64);
  // A read for a port this handle does not hold.
  OVERLAPPED ov{};
  ov.Offset = 852;
  DWORD n = 0;
  ASSERT_EQ(raw.drv.Read(buf.data(), 64, &n, &ov), 0u);
  EXPECT_EQ(n, NMX_READ_UNREGISTERED);

  // Too small a buffer: status 4 with the size, then the whole command.
  RecordingPort client(0);
  ASSERT_TRUE(client.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  std::vector<uint8_t> cmd = MakeCommand(client.NmxGetAddr(), NmxAddr(NMXNETID_LOOPBACK, 851), 100);
  ASSERT_TRUE(client.NmxSend(AsCmd(cmd)));
  ASSERT_EQ(raw.Read(buf), NMX_READ_BUFFER_TOO_SMALL);
  EXPECT_EQ(vx::DecodeLE32(buf.data()), cmd.size());
  buf.resize(cmd.size());
  ASSERT_EQ(raw.Read(buf), cmd.size());
  EXPECT_EQ(buf, cmd);

  // The NetId query answers exactly six bytes.
  NmxNetId id{};
  DWORD ret = 0;
  ASSERT_EQ(raw.drv.IoControl(IOCTL_NMX_GET_NETID, nullptr, 0, &id, 6, &ret, nullptr), 0u);
  EXPECT_EQ(ret, 6u);
  EXPECT_TRUE(id == NMXNETID_LOOPBACK);
  // An unknown control code fails without touching the output.
  uint32_t untouched = 0xABCDEF01;
  EXPECT_NE(raw.drv.IoControl(0x123456, nullptr, 0, &untouched, 4, &ret, nullptr), 0u);
  EXPECT_EQ(untouched, 0xABCDEF01u);
}

int ConnectRaw(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<uint8_t> Head(uint16_t type, uint32_t cbBody) {
  std::vector<uint8_t> h(vx::router::MSG_HEAD_SIZE);
  vx::router::EncodeHead(h.data(), type, cbBody);
  return h;
}

// Sends the IOCTL that registers port with queueSize on the raw connection fd; the reply
// is left unread.
void SendRegister(int fd, WORD port, WORD queueSize) {
  using namespace vx::router;
  NmxRegisterR3PortIn rec = MakeDefaultRegisterRecord();
  rec.m_bFixedPort = 1;
  rec.m_port = port;
  rec.m_queueSize = queueSize;
  std::vector<uint8_t> msg = Head(MSG_IOCTL, IOCTL_BODY_SIZE);
  msg.resize(MSG_HEAD_SIZE + IOCTL_BODY_SIZE);
  vx::EncodeLE32(msg.data() + MSG_HEAD_SIZE, static_cast<uint32_t>(PAL_IOCTL_INLINE));
  Envelope e;
  e.code = IOCTL_NMX_REGISTER_PORT;
  e.cbIn = sizeof(rec);
  e.cbOut = 4;
  std::memcpy(e.buffer, &rec, sizeof(rec));
  EncodeEnvelope(msg.data() + MSG_HEAD_SIZE + 4, e);
  ASSERT_EQ(send(fd, msg.data(), msg.size(), 0), static_cast<ssize_t>(msg.size()));
}

// A READ of port with a 4096-byte buffer and the batch field as given.
std::vector<uint8_t> ReadMessage(uint32_t port, uint32_t batch) {
  using namespace vx::router;
  std::vector<uint8_t> msg = Head(MSG_READ, READ_BODY_SIZE);
  msg.resize(MSG_HEAD_SIZE + READ_BODY_SIZE);
  vx::EncodeLE32(msg.data() + MSG_HEAD_SIZE, port);
  vx::EncodeLE32(msg.data() + MSG_HEAD_SIZE + 4, 4096);
  vx::EncodeLE32(msg.data() + MSG_HEAD_SIZE + 8, batch);
  return msg;
}

// The next message from the router on fd: its head and body; an empty body and type 0 when
// the connection ends or stays silent for a minute.
struct Message {
  uint16_t type = 0;
  std::vector<uint8_t> body;
};
Message Receive(int fd) {
  timeval tv{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  auto recvAll = [fd](uint8_t* p, size_t n) {
    for (size_t got = 0; got < n;) {
      const ssize_t r = recv(fd, p + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  };
  Message m;
  uint8_t head[vx::router::MSG_HEAD_SIZE];
  if (!recvAll(head, sizeof(head))) return m;
  const vx::router::MsgHead h = vx::router::DecodeHead(head);
  if (h.cbBody > (2u << 20)) return m;
  m.body.resize(h.cbBody);
  if (!recvAll(m.body.data(), m.body.size())) return m;
  m.type = h.type;
  return m;
}

// A port whose queue overflowed: a READ that asks (batch bit 31) is answered with the total
// the router dropped for it since it registered, in front of the records; a READ that does
// not ask gets the reply it always got. A new registration counts from 0 again.
TEST_F(NmxRouterTest, ReadRepliesTellAPortThatAsksHowManyCommandsWereDroppedForIt) {
  using namespace vx::router;
  Start();
  RecordingPort client(0);
  ASSERT_TRUE(client.NmxConnect(NMX_PORT_PREVIOUS, 4096, 16));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first registration" : "registered again");
    const int fd = ConnectRaw(m_router->Socket());
    ASSERT_GE(fd, 0);
    ASSERT_NO_FATAL_FAILURE(SendRegister(fd, 851, 4));
    ASSERT_EQ(Receive(fd).type, MSG_IOCTL_REPLY);
    // Ten commands overflow the queue of four; three more, after the new registration, fit.
    const DWORD nSent = round == 0 ? 10 : 3;
    const uint64_t droppedNow = round == 0 ? 6 : 0;
    for (DWORD i = 0; i < nSent; ++i) {
      std::vector<uint8_t> cmd =
          MakeCommand(client.NmxGetAddr(), NmxAddr(NMXNETID_LOOPBACK, 851), 8, 2, i);
      ASSERT_TRUE(client.NmxSend(AsCmd(cmd)));
    }
    // The writes have no reply: ask for the counters until they show every command.
    const std::string routed = "routed " + std::to_string(round == 0 ? 10 : 13) + " ";
    ASSERT_TRUE(vxtest::WaitUntil([&] {
      return m_router->PrintCounters() && m_router->Output().find(routed) != std::string::npos;
    })) << m_router->Output();
    unsigned long delivered = 0, dropped = 0;
    ASSERT_TRUE(m_router->PortCounters(851, &delivered, &dropped)) << m_router->Output();
    EXPECT_EQ(dropped, 6u) << "the table counts over both registrations";

    const std::vector<uint8_t> plain = ReadMessage(851, 1);
    ASSERT_EQ(send(fd, plain.data(), plain.size(), 0), static_cast<ssize_t>(plain.size()));
    Message m = Receive(fd);
    ASSERT_EQ(m.type, MSG_READ_REPLY);
    ASSERT_EQ(m.body.size(), READ_REPLY_FIXED + READ_RECORD_HEAD + NMX_HEAD_SIZE + 8);
    EXPECT_EQ(vx::DecodeLE32(m.body.data() + 4), 1u) << "records";

    const std::vector<uint8_t> asking = ReadMessage(851, READ_BATCH | READ_WANT_DROPPED);
    ASSERT_EQ(send(fd, asking.data(), asking.size(), 0), static_cast<ssize_t>(asking.size()));
    m = Receive(fd);
    ASSERT_EQ(m.type, MSG_READ_REPLY_DROPPED);
    const uint32_t nLeft = std::min<uint32_t>(nSent, 4) - 1;
    ASSERT_EQ(m.body.size(),
              READ_REPLY_DROPPED_FIXED + nLeft * (READ_RECORD_HEAD + NMX_HEAD_SIZE + 8));
    EXPECT_EQ(vx::DecodeLE32(m.body.data()), 0u) << "errno";
    EXPECT_EQ(vx::DecodeLE32(m.body.data() + 4), nLeft) << "records";
    EXPECT_EQ(vx::DecodeLE64(m.body.data() + 8), droppedNow) << "dropped since registered";
    const uint8_t* rec = m.body.data() + READ_REPLY_DROPPED_FIXED;
    EXPECT_EQ(vx::DecodeLE32(rec), NMX_HEAD_SIZE + 8) << "the first record behind the total";
    EXPECT_EQ(reinterpret_cast<const NmxHead*>(rec + READ_RECORD_HEAD)->hUser, 1u);
    close(fd);
    ASSERT_TRUE(m_router->WaitOutput("unregistered port 851", round + 1));
  }
}

TEST_F(NmxRouterTest, MisbehavingClientsAreDroppedAndTheRouterGoesOn) {
  Start();
  using namespace vx::router;
  // Two well-formed READs: the second arrives while the first is still pending.
  std::vector<uint8_t> read2 = ReadMessage(851, 1);
  read2.insert(read2.end(), read2.begin(), read2.end());
  std::vector<uint8_t> reserved = Head(MSG_READ, 8);
  reserved[2] = 1;
  reserved.resize(16);

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool bRegister;  // hold port 851 first, so a read would block
  };
  const Case cases[] = {
      {"garbage", std::vector<uint8_t>(64, 0xA5), false},
      {"huge write length", Head(MSG_WRITE, 0xFFFFFFF0u), false},
      {"write shorter than a header", Head(MSG_WRITE, 8), false},
      {"unknown type", Head(0x55, 8), false},
      {"reserved field set", reserved, false},
      {"second pending read", read2, true},
      {"gone in the middle of a write",
       [] {
         auto h = Head(MSG_WRITE, 1000);
         h.resize(h.size() + 100, 0);
         return h;
       }(),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<RawPort> holder;
    int fd = -1;
    if (c.bRegister) {
      // The raw handle registers through the library, then misbehaves on its own socket.
      fd = ConnectRaw(m_router->Socket());
      ASSERT_GE(fd, 0);
      ASSERT_NO_FATAL_FAILURE(SendRegister(fd, 851, 80));
      ASSERT_TRUE(m_router->WaitOutput("registered port 851"));
    } else {
      fd = ConnectRaw(m_router->Socket());
      ASSERT_GE(fd, 0);
    }
    const int before = RouterProcess::Count(m_router->Output(), "dropped client");
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), 0), static_cast<ssize_t>(c.bytes.size()));
    if (std::string(c.what) == "gone in the middle of a write") {
      close(fd);
      fd = -1;
      // A peer that leaves is not a protocol breach, so nothing is logged; the router
      // must simply go on.
    } else {
      EXPECT_TRUE(m_router->WaitOutput("dropped client", before + 1));
    }
    if (fd >= 0) close(fd);
    if (c.bRegister) {
      ASSERT_TRUE(m_router->WaitOutput("unregistered port 851"));
    }
    ExpectRouterServes();
  }
}

}  // namespace
