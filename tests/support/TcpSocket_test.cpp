// The TCP socket and the connection list over real loopback TCP.
#include "support/TcpSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/TestUtil.h"
#include "support/TcpConnList.h"

using namespace VxFunctions;

namespace {

// Records what arrives; can echo it back or close itself from inside the callback.
class RecordingSocket : public CTcpSocket {
 public:
  using CTcpSocket::CTcpSocket;
  ~RecordingSocket() override { CloseSocket(true); }

  DWORD OnReceive(DWORD error, const BYTE* buf, DWORD len, DWORD) override {
    if (error != 0) return 0;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_data.append(reinterpret_cast<const char*>(buf), len);
    }
    if (m_closeInside) {
      m_closeInsideResult = static_cast<int>(CloseSocket(true));
      m_fdAfterCloseInside = m_socket.load();
      m_closedInside = true;
    } else if (m_echo) {
      SendAll(buf, len);
    }
    return 0;
  }
  void OnClose(DWORD) override { ++m_closeCount; }
  DWORD OnReceiveIdle() override {
    ++m_idleCount;
    return m_idleResult;
  }

  std::string Data() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_data;
  }
  int Fd() const { return m_socket; }
  void SetPeer(DWORD addr, WORD port) { m_tcpAddr = TcpAddr{addr, port, 0}; }

  std::atomic<bool> m_echo{false};
  std::atomic<bool> m_closeInside{false};
  std::atomic<bool> m_closedInside{false};
  std::atomic<int> m_closeInsideResult{-1};
  std::atomic<int> m_fdAfterCloseInside{-2};
  std::atomic<int> m_closeCount{0};
  std::atomic<int> m_idleCount{0};
  std::atomic<DWORD> m_idleResult{0};

 private:
  std::mutex m_mutex;
  std::string m_data;
};

// A list that accepts into RecordingSockets and lets the test look at them.
class RecordingList : public CTcpConnList {
 public:
  ~RecordingList() override { DeleteAllConnections(); }

  CTcpSocket* CreateNewSocket() override {
    auto* s = new RecordingSocket();
    s->m_echo = m_echo.load();
    s->m_closeInside = m_closeInside.load();
    return s;
  }

  // The i-th accepted socket (the list also holds the listening socket).
  RecordingSocket* Accepted(size_t i) {
    COsCsLock guard(m_critSec);
    size_t n = 0;
    for (CTcpSocket* s : m_arrConnectedSockets) {
      auto* r = dynamic_cast<RecordingSocket*>(s);
      if (r && n++ == i) return r;
    }
    return nullptr;
  }

  std::atomic<bool> m_echo{false};
  std::atomic<bool> m_closeInside{false};
};

WORD LocalPort(CTcpSocket& s) {
  sockaddr_in sin{};
  socklen_t len = sizeof(sin);
  if (s.GetSockName(reinterpret_cast<sockaddr*>(&sin), &len) != 1) return 0;
  return ntohs(sin.sin_port);
}

// A listening socket on an ephemeral loopback port, owned by the list.
struct Server {
  RecordingList list;
  CTcpSocket* listener = nullptr;
  WORD port = 0;

  enum Mode { kRecord, kEcho, kCloseInside };
  explicit Server(Mode mode = kRecord) {
    // Set before listening: the listener makes the next socket before a client arrives.
    list.m_echo = mode == kEcho;
    list.m_closeInside = mode == kCloseInside;
    listener = new CTcpSocket(&list);
    EXPECT_EQ(0u, listener->Create(0, "127.0.0.1"));
    port = LocalPort(*listener);
    EXPECT_NE(0, port);
    list.AddConnection(listener);
    EXPECT_EQ(0u, listener->Listen());
  }
};

// Opens a client socket to the server; its receiver thread runs after this.
void ConnectClient(RecordingSocket& client, WORD port) {
  ASSERT_EQ(0u, client.Create(0, nullptr));
  ASSERT_EQ(0u, client.Connect("127.0.0.1", port));
}

class TcpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { m_fdsBefore = CTcpSocket::GetSockStat().createdSocketCnt.load(); }
  // Every test closes what it opened: a descriptor left open is a leak.
  void TearDown() override {
    EXPECT_TRUE(vxtest::WaitUntil([&] {
      return CTcpSocket::GetSockStat().createdSocketCnt.load() == m_fdsBefore;
    })) << "descriptors open: "
        << CTcpSocket::GetSockStat().createdSocketCnt.load() << " vs " << m_fdsBefore;
  }
  LONG m_fdsBefore = 0;
};

TEST(SocketErrorTest, ErrnoValuesMapToTheSameCodesOnEveryPlatform) {
  const struct {
    int err;
    DWORD code;
  } cases[] = {
      {EWOULDBLOCK, 10000},
      {EINPROGRESS, 10035},
      {EALREADY, 10037},
      {ENOTSOCK, 10038},
      {EMSGSIZE, 10040},
      {EOPNOTSUPP, 10045},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ECONNRESET, 10054},
      {ENOTCONN, 10057},
      {ECONNREFUSED, 10061},
      {ELOOP, 10000},
      {ENAMETOOLONG, 10000},
      {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065},
      {EPIPE, 10000},
      {0, 10000},
  };
  for (const auto& c : cases) EXPECT_EQ(c.code, SocketErrorFromErrno(c.err)) << "errno " << c.err;
}

TEST_F(TcpSocketTest, ConnectSendAndReceiveBothWays) {
  Server server(Server::kEcho);
  RecordingSocket client;
  ConnectClient(client, server.port);
  ASSERT_TRUE(client.IsConnected());
  EXPECT_EQ(0u, client.Receive()) << "its receiver already runs";

  const std::string msg = "hello over loopback";
  ASSERT_EQ(0u, client.SendAll(msg.data(), static_cast<DWORD>(msg.size())));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return client.Data() == msg; })) << client.Data();

  RecordingSocket* accepted = server.list.Accepted(0);
  ASSERT_NE(nullptr, accepted);
  EXPECT_EQ(msg, accepted->Data());
  EXPECT_EQ(htonl(INADDR_LOOPBACK), accepted->GetPeerAddr().dwAddr);
  EXPECT_EQ(htons(LocalPort(client)), accepted->GetPeerAddr().nPort);
}

TEST_F(TcpSocketTest, PeerCloseEndsTheReceiverAndReleasesTheDescriptor) {
  Server server;
  RecordingSocket client;
  ConnectClient(client, server.port);
  RecordingSocket* accepted = nullptr;
  ASSERT_TRUE(vxtest::WaitUntil([&] { return (accepted = server.list.Accepted(0)) != nullptr; }));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return accepted->IsConnected(); }));

  EXPECT_EQ(0u, client.CloseSocket(true));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(-1, client.Fd());
  EXPECT_TRUE(vxtest::WaitUntil([&] { return accepted->Fd() == -1; }));
  EXPECT_FALSE(accepted->IsConnected());
  EXPECT_FALSE(accepted->IsCreated());
  EXPECT_EQ(1, accepted->m_closeCount.load());
}

TEST_F(TcpSocketTest, CloseFromInsideOnReceiveClosesAtOnceWithoutWaiting) {
  Server server(Server::kCloseInside);
  RecordingSocket client;
  ConnectClient(client, server.port);
  ASSERT_EQ(0u, client.SendAll("x", 1));

  RecordingSocket* accepted = nullptr;
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    accepted = server.list.Accepted(0);
    return accepted && accepted->m_closedInside;
  }));
  EXPECT_EQ(0, accepted->m_closeInsideResult.load());
  EXPECT_EQ(-1, accepted->m_fdAfterCloseInside.load());
  // The client sees the connection end.
  EXPECT_TRUE(vxtest::WaitUntil([&] { return !client.IsConnected(); }));
}

TEST_F(TcpSocketTest, TheReceiverReportsEveryIdleTimeOutUntilOneEndsIt) {
  Server server;
  RecordingSocket client;
  client.SetReceiveIdleTimeout(50);
  ConnectClient(client, server.port);
  RecordingSocket* accepted = nullptr;
  ASSERT_TRUE(vxtest::WaitUntil([&] { return (accepted = server.list.Accepted(0)) != nullptr; }));

  // Reported again and again while the connection stays open, and reading goes on after it.
  ASSERT_TRUE(vxtest::WaitUntil([&] { return client.m_idleCount >= 3; }));
  EXPECT_TRUE(client.IsConnected());
  ASSERT_EQ(0u, accepted->SendAll("late", 4));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return client.Data() == "late"; }));
  EXPECT_EQ(0, accepted->m_idleCount.load()) << "no time-out set on that side";

  // A non-zero result ends the receiver, which releases the descriptor.
  client.m_idleResult = 10060;
  EXPECT_TRUE(vxtest::WaitUntil([&] { return client.Fd() == -1; }));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_TRUE(vxtest::WaitUntil([&] { return !accepted->IsConnected(); }));
}

TEST_F(TcpSocketTest, AcceptReturns13OnceListeningStops) {
  // A list whose listener thread records what Accept returns.
  struct AcceptRecordingList : CTcpConnList {
    ~AcceptRecordingList() override { DeleteAllConnections(); }
    DWORD ProcessPendingAccept(CTcpSocket* listening) override {
      RecordingSocket target;
      m_started = true;
      m_result = static_cast<int>(listening->Accept(&target, nullptr, nullptr));
      return 0;
    }
    std::atomic<bool> m_started{false};
    std::atomic<int> m_result{-1};
  } list;
  auto* listener = new CTcpSocket(&list);
  ASSERT_EQ(0u, listener->Create(0, "127.0.0.1"));
  list.AddConnection(listener);
  ASSERT_EQ(0u, listener->Listen());

  ASSERT_TRUE(vxtest::WaitUntil([&] { return list.m_started.load(); }));
  OsUserSleep(120);
  EXPECT_EQ(-1, list.m_result.load()) << "Accept must wait while listening";
  EXPECT_EQ(13u, listener->Accept(nullptr, nullptr, nullptr));
  listener->CloseSocket(true);  // returns once the listener thread has ended
  EXPECT_EQ(13, list.m_result.load());
  RecordingSocket target;
  EXPECT_EQ(13u, listener->Accept(&target, nullptr, nullptr));
}

TEST_F(TcpSocketTest, BindingAPortInUseGives10048) {
  Server server;
  CTcpSocket second;
  EXPECT_EQ(10048u, second.Create(server.port, "127.0.0.1"));
  EXPECT_FALSE(second.IsCreated());
}

TEST_F(TcpSocketTest, ConnectToAClosedPortGives10061) {
  CTcpSocket probe;
  ASSERT_EQ(0u, probe.Create(0, "127.0.0.1"));
  const WORD freePort = LocalPort(probe);
  probe.CloseSocket(true);

  RecordingSocket client;
  ASSERT_EQ(0u, client.Create(0, nullptr));
  EXPECT_EQ(10061u, client.Connect("127.0.0.1", freePort));
  EXPECT_FALSE(client.IsConnected());
}

TEST_F(TcpSocketTest, DisabledOrUncreatedSocketsRefuseWork) {
  CTcpSocket s;
  errno = 0;
  EXPECT_EQ(-1, s.Send("x", 1, 0));
  EXPECT_EQ(ENOTSOCK, errno);
  EXPECT_EQ(10038u, s.SendAll("x", 1));
  EXPECT_EQ(10057u, s.Receive());

  s.Disable();
  EXPECT_FALSE(s.IsEnabled());
  EXPECT_EQ(0xFFFFFFFFu, s.Create(0, nullptr));
  EXPECT_EQ(10038u, s.Connect("127.0.0.1", 1));
  EXPECT_EQ(10038u, s.Listen());
  EXPECT_EQ(10038u, s.CreateTcpThread(0));
  EXPECT_EQ(0xFFFFFFFFu, s.SetSockOpt(SO_KEEPALIVE, "", 0));
  sockaddr_in sin{};
  socklen_t len = sizeof(sin);
  EXPECT_EQ(10038u, s.GetSockName(reinterpret_cast<sockaddr*>(&sin), &len));
}

TEST_F(TcpSocketTest, SendingToAClosedPeerFailsWithoutSigpipe) {
  // The default action, whatever the environment inherited: a SIGPIPE would end the test.
  struct sigaction dfl {
  }, old{};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  Server server(Server::kCloseInside);
  RecordingSocket client;
  ConnectClient(client, server.port);
  ASSERT_EQ(0u, client.SendAll("x", 1));
  RecordingSocket* accepted = nullptr;
  ASSERT_TRUE(vxtest::WaitUntil([&] {
    accepted = server.list.Accepted(0);
    return accepted && accepted->m_closedInside;
  }));
  // The first sends may still be taken by the kernel; once the reset arrives every send
  // fails. A SIGPIPE would end the test process here.
  const std::vector<char> block(4096, 'y');
  DWORD code = 0;
  for (int i = 0; i < 1000 && code == 0; ++i) {
    code = client.SendAll(block.data(), static_cast<DWORD>(block.size()));
    if (code == 0) OsUserSleep(2);
  }
  EXPECT_NE(0u, code);
  // After the reset every further send is refused (EPIPE), still without a signal.
  EXPECT_NE(0u, client.SendAll(block.data(), static_cast<DWORD>(block.size())));
  EXPECT_NE(0u, client.SendAll(block.data(), static_cast<DWORD>(block.size())));

  // Sending after the own side stopped writing fails at once. Connected without a receiver
  // thread, so that nothing but this test closes the socket.
  RecordingSocket other;
  ASSERT_EQ(0u, other.Create(0, nullptr));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(server.port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(other.Fd(), reinterpret_cast<sockaddr*>(&sin), sizeof(sin)));
  ASSERT_EQ(0u, other.Shutdown(SHUT_WR));
  errno = 0;
  EXPECT_EQ(-1, other.Send("x", 1, 0));
  EXPECT_EQ(EPIPE, errno);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(TcpSocketTest, ASocketIsReusedAfterItsConnectionEnded) {
  Server server(Server::kEcho);
  RecordingSocket client;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ConnectClient(client, server.port);
    const std::string msg = "round " + std::to_string(round);
    ASSERT_EQ(0u, client.SendAll(msg.data(), static_cast<DWORD>(msg.size())));
    EXPECT_TRUE(vxtest::WaitUntil([&] { return client.Data().find(msg) != std::string::npos; }));
    // The server side ends the connection; the client's receiver ends on its own.
    RecordingSocket* accepted = server.list.Accepted(static_cast<size_t>(round));
    ASSERT_NE(nullptr, accepted);
    accepted->CloseSocket(true);
    EXPECT_TRUE(vxtest::WaitUntil([&] { return client.Fd() == -1; }));
  }
}

TEST_F(TcpSocketTest, ClosingFromAnotherThreadWhileSendsAndReceivesRun) {
  // Sends from several threads race with closes from outside and with the receiver's own
  // close; every path must end, and no send may hit a recycled descriptor.
  for (int round = 0; round < 10; ++round) {
    Server server(Server::kEcho);
    auto client = std::make_unique<RecordingSocket>();
    ConnectClient(*client, server.port);
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
      senders.emplace_back([&] {
        const std::string chunk(512, 'z');
        while (!stop) client->SendAll(chunk.data(), static_cast<DWORD>(chunk.size()));
      });
    }
    OsUserSleep(5);
    if (round % 2 == 0) {
      client->CloseSocket(true);
    } else if (RecordingSocket* accepted = server.list.Accepted(0)) {
      accepted->CloseSocket(true);
    }
    OsUserSleep(5);
    stop = true;
    for (auto& th : senders) th.join();
    client.reset();
  }
}

TEST(TcpConnListTest, AddConnectionMatchesByPeerAddressAndPort) {
  const DWORD a = htonl(0x0A000001), b = htonl(0x0A000002);
  const struct {
    DWORD storedAddr;
    WORD storedPort;
    DWORD newAddr;
    WORD newPort;
    bool merged;
  } cases[] = {
      {a, 100, a, 100, true}, {a, 100, a, 101, false}, {a, 0, a, 101, true},
      {a, 100, a, 0, true},   {a, 100, b, 100, false}, {0xFFFFFFFF, 0, 0xFFFFFFFF, 0, false},
  };
  for (const auto& c : cases) {
    CTcpConnList list;
    auto* stored = new RecordingSocket();
    stored->SetPeer(c.storedAddr, c.storedPort);
    ASSERT_EQ(stored, list.AddConnection(stored));
    auto* fresh = new RecordingSocket();
    fresh->SetPeer(c.newAddr, c.newPort);
    CTcpSocket* result = list.AddConnection(fresh);
    EXPECT_EQ(c.merged ? static_cast<CTcpSocket*>(stored) : fresh, result);
    EXPECT_EQ(c.merged ? 1u : 2u, list.GetCount());

    // RemoveConnection deletes the first match with the same rule.
    RecordingSocket probe;
    probe.SetPeer(c.newAddr, c.newPort);
    EXPECT_TRUE(list.RemoveConnection(&probe));
    EXPECT_EQ(c.merged ? 0u : 1u, list.GetCount());
    probe.SetPeer(htonl(0x0A0000FF), 100);
    EXPECT_FALSE(list.RemoveConnection(&probe));
  }
}

}  // namespace
