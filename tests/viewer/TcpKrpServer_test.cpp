// The viewer TCP server over real loopback TCP, with a recording command handler.
#include "viewer/TcpKrpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "viewer/ViewerTestUtil.h"

using namespace viewertest;
using namespace std::chrono_literals;

namespace {

constexpr LONG kKrpPort = 10502;

Bytes LE32s(std::initializer_list<DWORD> values) {
  Bytes b;
  for (DWORD v : values) PutLE32(b, v);
  return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
  PutBytes(a, b);
  return a;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

class TcpKrpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_server = new CTcpKrpServer(&m_handler, 0, "127.0.0.1");
    m_server->SetViewerFrameTimeout(m_frameTimeoutMs);
    m_server->SetViewerFirstRequestTimeout(m_firstRequestTimeoutMs);
    ASSERT_EQ(S_OK, m_server->ConnectAs(kKrpPort, &m_handler, nullptr, &m_res, nullptr, nullptr));
    ASSERT_NE(nullptr, m_res);
    m_port = m_server->GetListenPort();
    ASSERT_NE(0, m_port);
  }
  void TearDown() override {
    if (m_res) m_res->Release();
    if (m_server) m_server->Release();
  }

  // Sends a request and reads the answer, checking the answer's NMX header.
  Bytes Ask(RawPeer& peer, WORD cmdId, DWORD invokeId, const Bytes& payload) {
    EXPECT_TRUE(peer.Send(KrpRequest(cmdId, invokeId, payload)));
    Frame f;
    if (!peer.ReadFrame(&f)) {
      ADD_FAILURE() << "no answer to command " << cmdId;
      return {};
    }
    EXPECT_EQ(cmdId, f.head.cmdId);
    EXPECT_EQ(invokeId, f.head.hUser);
    EXPECT_EQ(NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE, f.head.stateFlags);
    EXPECT_EQ(ViewerAddr(), f.head.target);
    EXPECT_EQ(NmxAddr(kLocalNetId, kKrpPort), f.head.sender);
    EXPECT_EQ(f.head.cbData, f.data.size());
    return f.data;
  }

  // A served viewer: its first request is answered.
  void ExpectServed(RawPeer& peer) {
    EXPECT_EQ(24u, Ask(peer, KRP_CMD_READDEVICEINFO, 1, {}).size());
  }

  DWORD m_frameTimeoutMs = CTcpKrpServer::kViewerFrameTimeoutMs;
  DWORD m_firstRequestTimeoutMs = CTcpKrpServer::kViewerFirstRequestTimeoutMs;
  RecordingHandler m_handler;
  CTcpKrpServer* m_server = nullptr;
  IVxKrpAsyncRes* m_res = nullptr;
  WORD m_port = 0;
};

TEST_F(TcpKrpServerTest, AnswersEveryRequestKind) {
  RawPeer viewer(m_port);
  m_handler.SetReadData(Text("abcdefgh"));
  const Bytes attrib = LE32s({16, 3, 0, 100000, 1, 2, 3, 4});
  const HRESULT notServed = KrpResultFromCode(KRP_E_NOT_SUPPORTED);

  const struct {
    const char* name;
    WORD cmdId;
    Bytes payload;
    HRESULT handlerResult;
    Bytes answer;  // empty: no answer expected
    const char* call;
    Bytes callData;
  } cases[] = {
      {"ReadDeviceInfo is not served",
       KRP_CMD_READDEVICEINFO,
       {},
       S_OK,
       Cat(LE32s({0x701, 0}), Bytes(16, 0)),
       nullptr,
       {}},
      {"Read",
       KRP_CMD_READ,
       LE32s({0x1500, 3, 8}),
       S_OK,
       Cat(LE32s({0, 8}), Text("abcdefgh")),
       "Read",
       {}},
      {"Read of 0 bytes", KRP_CMD_READ, LE32s({0x1500, 3, 0}), S_OK, LE32s({0, 0}), "Read", {}},
      {"Write", KRP_CMD_WRITE, Cat(LE32s({0x2000, 1, 3}), Text("xyz")), S_OK, LE32s({0}), "Write",
       Text("xyz")},
      {"ReadWrite", KRP_CMD_READWRITE, Cat(LE32s({0x1000, 2, 4, 2}), Text("hi")), S_OK,
       Cat(LE32s({0, 4}), Text("abcd")), "ReadWrite", Text("hi")},
      {"WriteControl", KRP_CMD_WRITECONTROL, Cat(LE32s({0x00000005, 1}), Text("z")), S_OK,
       LE32s({0}), "WriteControl", Text("z")},
      {"ReadState served",
       KRP_CMD_READSTATE,
       {},
       S_OK,
       Cat(LE32s({0}), Bytes{5, 0, 7, 0}),
       "ReadState",
       {}},
      {"ReadState not served",
       KRP_CMD_READSTATE,
       {},
       notServed,
       LE32s({0x701, 0}),
       "ReadState",
       {}},
      {"AddDeviceNotification",
       KRP_CMD_ADDDEVICENOTIFICATION,
       Cat(LE32s({0x1500, 9}), attrib),
       S_OK,
       LE32s({0, 42}),
       "AddDeviceNotification",
       {}},
      {"AddDeviceNotification failing",
       KRP_CMD_ADDDEVICENOTIFICATION,
       Cat(LE32s({0x1500, 9}), attrib),
       KrpResultFromCode(0x714),
       LE32s({0x714, 0}),
       "AddDeviceNotification",
       {}},
      {"DelDeviceNotification",
       KRP_CMD_DELDEVICENOTIFICATION,
       LE32s({42}),
       S_OK,
       LE32s({0}),
       "DelDeviceNotification",
       {}},
      {"DeviceNotification is never answered",
       KRP_CMD_DEVICENOTIFICATION,
       Cat(LE32s({3}), Text("abc")),
       S_OK,
       {},
       "DeviceNotification",
       Text("abc")},
      {"success without effect", KRP_CMD_WRITE, LE32s({1, 2, 0}), S_FALSE, LE32s({0}), "Write", {}},
      {"a KRP code in a result",
       KRP_CMD_WRITE,
       LE32s({1, 2, 0}),
       KrpResultFromCode(0x705),
       LE32s({0x705}),
       "Write",
       {}},
      {"a result without a KRP code",
       KRP_CMD_WRITE,
       LE32s({1, 2, 0}),
       E_FAIL,
       LE32s({0x700}),
       "Write",
       {}},
  };
  DWORD invokeId = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_handler.m_result = c.handlerResult;
    const size_t callsBefore = m_handler.CallCount();
    ++invokeId;
    if (c.answer.empty()) {
      ASSERT_TRUE(viewer.Send(KrpRequest(c.cmdId, invokeId, c.payload)));
      ASSERT_TRUE(vxtest::WaitUntil([&] { return m_handler.CallCount() > callsBefore; }));
    } else {
      EXPECT_EQ(c.answer, Ask(viewer, c.cmdId, invokeId, c.payload));
    }
    const auto calls = m_handler.Calls();
    ASSERT_EQ(callsBefore + (c.call ? 1 : 0), calls.size());
    if (c.call) {
      EXPECT_EQ(c.call, calls.back().name);
      EXPECT_EQ(c.callData, calls.back().data);
    }
  }
  const KrpNotificationAttrib a = m_handler.LastAttrib();
  EXPECT_EQ(16u, a.cbLength);
  EXPECT_EQ(100000u, a.nCycleTime);
}

TEST_F(TcpKrpServerTest, ReadLengthsAboveTheLimitAreRefusedWithoutCallingTheHandler) {
  RawPeer viewer(m_port);
  const DWORD tooLong = KRP_MAX_READ_LENGTH + 1;
  EXPECT_EQ(LE32s({0x70A, 0}), Ask(viewer, KRP_CMD_READ, 1, LE32s({0x1500, 0, tooLong})));
  EXPECT_EQ(LE32s({0x70A, 0}), Ask(viewer, KRP_CMD_READ, 2, LE32s({0x1500, 0, 0xFFFFFFFF})));
  EXPECT_EQ(LE32s({0x70A, 0}),
            Ask(viewer, KRP_CMD_READWRITE, 3, Cat(LE32s({0x1500, 0, tooLong, 1}), Text("w"))));
  EXPECT_EQ(0u, m_handler.CallCount());

  // The largest permitted read is served, and its answer is a frame the viewer can take.
  m_handler.SetReadData(Text("head"), KRP_MAX_READ_LENGTH);
  const Bytes answer = Ask(viewer, KRP_CMD_READ, 4, LE32s({0x1500, 0, KRP_MAX_READ_LENGTH}));
  ASSERT_EQ(8u + KRP_MAX_READ_LENGTH, answer.size());
  EXPECT_EQ(LE32s({0, KRP_MAX_READ_LENGTH}), Bytes(answer.begin(), answer.begin() + 8));
  EXPECT_EQ(Text("head"), Bytes(answer.begin() + 8, answer.begin() + 12));
  EXPECT_EQ(Bytes(16, 0), Bytes(answer.begin() + 12, answer.begin() + 28)) << "zeroed, not heap";
}

TEST_F(TcpKrpServerTest, AHandlerClaimingMoreThanTheBufferSendsOnlyTheBuffer) {
  RawPeer viewer(m_port);
  m_handler.SetReadData(Text("abcd"), 1000);
  EXPECT_EQ(Cat(LE32s({0, 4}), Text("abcd")), Ask(viewer, KRP_CMD_READ, 1, LE32s({1, 0, 4})));
}

TEST_F(TcpKrpServerTest, OneViewerAtATimeAndDisconnectsAreReported) {
  RawPeer first(m_port);
  ExpectServed(first);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return m_handler.m_connects == 1; }));

  // A second viewer's connect succeeds (backlog), but it is not served yet.
  RawPeer second(m_port);
  ASSERT_TRUE(second.Send(KrpRequest(KRP_CMD_READDEVICEINFO, 2, {})));
  EXPECT_TRUE(second.Silent(1500ms));
  EXPECT_EQ(0, m_handler.m_disconnects.load());

  first.Close();
  EXPECT_TRUE(vxtest::WaitUntil([&] { return m_handler.m_disconnects == 1; }));
  Frame f;
  ASSERT_TRUE(second.ReadFrame(&f));
  EXPECT_EQ(2u, f.head.hUser);
  EXPECT_EQ(2, m_handler.m_connects.load());

  // The last viewer leaves with nobody waiting: still reported.
  second.Close();
  EXPECT_TRUE(vxtest::WaitUntil([&] { return m_handler.m_disconnects == 2; }));
}

TEST_F(TcpKrpServerTest, NotificationsReachTheViewerAndStopWhenItHasGone) {
  NmxAddr own;
  ASSERT_EQ(S_OK, m_server->GetAddr(&own));
  EXPECT_EQ(NmxAddr(kLocalNetId, kKrpPort), own);

  RawPeer viewer(m_port);
  ExpectServed(viewer);
  const Bytes stream = Text("notification stream");
  ASSERT_EQ(S_OK,
            m_res->DeviceNotificationRes(own, 1, static_cast<DWORD>(stream.size()), stream.data()));
  Frame f;
  ASSERT_TRUE(viewer.ReadFrame(&f));
  EXPECT_EQ(KRP_CMD_DEVICENOTIFICATION, f.head.cmdId);
  EXPECT_EQ(NMX_FLAG_KRP_COMMAND, f.head.stateFlags);
  EXPECT_EQ(1u, f.head.hUser);
  EXPECT_EQ(own, f.head.target);
  EXPECT_EQ(own, f.head.sender);
  EXPECT_EQ(Cat(LE32s({static_cast<DWORD>(stream.size())}), stream), f.data);

  // Once the viewer has gone, a notification fails: the server does not dial out to the
  // address it names.
  viewer.Close();
  ASSERT_TRUE(vxtest::WaitUntil([&] { return m_handler.m_disconnects == 1; }));
  EXPECT_TRUE(FAILED(
      m_res->DeviceNotificationRes(own, 1, static_cast<DWORD>(stream.size()), stream.data())));
}

TEST_F(TcpKrpServerTest, MisbehavingViewersEndOnlyTheirOwnConnection) {
  FrameSpec reserved2;
  reserved2.reserved = 2;
  FrameSpec tooLong;
  tooLong.length = NMXTCP_MAX_FRAME_LENGTH + 1;
  const Bytes bigRead = KrpRequest(KRP_CMD_READ, 1, LE32s({0x1500, 0, KRP_MAX_READ_LENGTH}));
  m_handler.SetReadData(Bytes(64, 'r'), KRP_MAX_READ_LENGTH);

  const struct {
    const char* name;
    Bytes bytes;
    bool serverCloses;
  } cases[] = {
      {"garbage", Text("GET / HTTP/1.0\r\n\r\n"), true},
      {"a bad reserved field", EncodeFrame(reserved2), true},
      {"a frame longer than the limit", EncodeFrame(tooLong), true},
      {"stops in the middle of a frame", Bytes(bigRead.begin(), bigRead.begin() + 20), false},
      {"leaves while its answer is written", bigRead, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      RawPeer bad(m_port);
      ASSERT_TRUE(bad.Send(c.bytes));
      if (c.serverCloses) {
        EXPECT_TRUE(bad.WaitClosed());
      }
    }
    RawPeer good(m_port);
    ExpectServed(good);
  }
}

// Every connection costs the server little once it has ended; released only at the next
// poll step, 500 of them would keep the next viewer waiting far beyond the deadline.
TEST_F(TcpKrpServerTest, AFloodOfGarbageConnectionsIsReleasedAsEachEnds) {
  constexpr int kFlood = 500;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (int i = 0; i < kFlood; ++i) {
    RawPeer garbage(m_port);
    garbage.Send(Text("GET / HTTP/1.0\r\n\r\n"));
  }
  RawPeer next(m_port);
  ASSERT_TRUE(next.Send(KrpRequest(KRP_CMD_READDEVICEINFO, 9, {})));
  Frame f;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  ASSERT_TRUE(left.count() > 0 && next.ReadFrame(&f, left)) << "the next viewer was not served";
  EXPECT_EQ(9u, f.head.hUser);
  EXPECT_EQ(kFlood, m_handler.m_disconnects.load());
  EXPECT_EQ(0u, m_handler.CallCount());
}

// A server with a short deadline for the rest of a frame.
class FrameTimeoutTest : public TcpKrpServerTest {
 protected:
  static constexpr DWORD kDeadlineMs = 300;
  FrameTimeoutTest() { m_frameTimeoutMs = kDeadlineMs; }
};

TEST_F(FrameTimeoutTest, AViewerSilentInTheMiddleOfAFrameIsDroppedAndTheNextIsServed) {
  const Bytes write = KrpRequest(KRP_CMD_WRITE, 1, Cat(LE32s({0x2000, 1, 5}), Text("abcde")));
  const struct {
    const char* name;
    size_t sent;
  } cases[] = {
      {"part of the prefix", 3},
      {"the prefix", 6},
      {"part of the header", 20},
      {"part of the data", write.size() - 2},
  };
  int disconnects = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer stuck(m_port);
    ASSERT_TRUE(stuck.Send(Bytes(write.begin(), write.begin() + c.sent)));
    // Waits behind the stuck viewer, its request already sent.
    RawPeer next(m_port);
    ASSERT_TRUE(next.Send(KrpRequest(KRP_CMD_READDEVICEINFO, 2, {})));

    EXPECT_TRUE(stuck.WaitClosed());
    EXPECT_TRUE(vxtest::WaitUntil([&] { return m_handler.m_disconnects == disconnects + 1; }));
    Frame f;
    ASSERT_TRUE(next.ReadFrame(&f));
    EXPECT_EQ(2u, f.head.hUser);
    EXPECT_EQ(0u, m_handler.CallCount()) << "nothing of the cut frame is passed on";
    next.Close();
    ASSERT_TRUE(vxtest::WaitUntil([&] { return m_handler.m_disconnects == disconnects + 2; }));
    disconnects += 2;
  }
}

TEST_F(FrameTimeoutTest, AViewerIdleBetweenFramesStaysConnected) {
  RawPeer viewer(m_port);
  // Quiet before its first frame, and again after one.
  EXPECT_TRUE(viewer.Silent(std::chrono::milliseconds(4 * kDeadlineMs)));
  ExpectServed(viewer);
  EXPECT_TRUE(viewer.Silent(std::chrono::milliseconds(4 * kDeadlineMs)));
  ExpectServed(viewer);
  EXPECT_EQ(0, m_handler.m_disconnects.load());
  EXPECT_EQ(1, m_handler.m_connects.load());
}

TEST_F(FrameTimeoutTest, AFrameArrivingSlowlyInPiecesIsServed) {
  const Bytes request = KrpRequest(KRP_CMD_WRITE, 3, Cat(LE32s({0x2000, 1, 16}), Bytes(16, 'w')));
  RawPeer viewer(m_port);
  // Each gap well inside the deadline, the whole frame well beyond it.
  constexpr size_t kPieces = 8;
  const size_t piece = (request.size() + kPieces - 1) / kPieces;
  for (size_t off = 0; off < request.size(); off += piece) {
    if (off > 0) OsUserSleep(kDeadlineMs / 5);
    const size_t n = std::min(piece, request.size() - off);
    ASSERT_TRUE(viewer.Send(Bytes(request.begin() + off, request.begin() + off + n)));
  }
  Frame f;
  ASSERT_TRUE(viewer.ReadFrame(&f));
  EXPECT_EQ(3u, f.head.hUser);
  EXPECT_EQ(LE32s({0}), f.data);
  ASSERT_EQ(1u, m_handler.CallCount());
  EXPECT_EQ(Bytes(16, 'w'), m_handler.Calls()[0].data);
  EXPECT_EQ(0, m_handler.m_disconnects.load());
}

// A server with a short deadline for a viewer's first request.
class FirstRequestTest : public TcpKrpServerTest {
 protected:
  static constexpr DWORD kDeadlineMs = 400;
  FirstRequestTest() { m_firstRequestTimeoutMs = kDeadlineMs; }
};

TEST_F(FirstRequestTest, AConnectionWithoutAWholeRequestLosesThePlaceToTheNext) {
  const Bytes request = KrpRequest(KRP_CMD_READDEVICEINFO, 1, {});
  {
    SCOPED_TRACE("silent");
    RawPeer silent(m_port);
    RawPeer next(m_port);
    ASSERT_TRUE(next.Send(KrpRequest(KRP_CMD_READDEVICEINFO, 2, {})));
    EXPECT_TRUE(silent.WaitClosed());
    Frame f;
    ASSERT_TRUE(next.ReadFrame(&f));
    EXPECT_EQ(2u, f.head.hUser);
  }
  {
    // Each byte well inside any idle limit, the whole request well beyond the deadline.
    SCOPED_TRACE("trickling");
    RawPeer trickler(m_port);
    bool closed = false;
    for (BYTE b : request) {
      if (!trickler.Send({b}) || !trickler.Silent(std::chrono::milliseconds(kDeadlineMs / 4))) {
        closed = trickler.WaitClosed();
        break;
      }
    }
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(0u, m_handler.CallCount()) << "nothing of the cut request is passed on";
}

TEST_F(FirstRequestTest, AfterItsFirstRequestAViewerMayStayQuiet) {
  RawPeer viewer(m_port);
  ExpectServed(viewer);
  EXPECT_TRUE(viewer.Silent(std::chrono::milliseconds(4 * kDeadlineMs)));
  ExpectServed(viewer);
  EXPECT_EQ(0, m_handler.m_disconnects.load());
}

// The kernel's view of the accepted connection: its keepalive timer runs while it is idle, so
// a viewer whose machine vanished does not hold the place for good. Where the system does not
// show its sockets this way, there is nothing to look at.
TEST_F(TcpKrpServerTest, AnAcceptedConnectionIsProbedWhileIdle) {
  std::ifstream table("/proc/net/tcp");
  if (!table) GTEST_SKIP() << "no /proc/net/tcp here";
  RawPeer viewer(m_port);
  ExpectServed(viewer);
  char local[16];
  snprintf(local, sizeof local, ":%04X", m_port);
  std::string line;
  int timer = -1;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddr, remote, state, queues, timers;
    fields >> slot >> localAddr >> remote >> state >> queues >> timers;
    if (state == "01" && localAddr.size() > 5 && localAddr.substr(localAddr.size() - 5) == local)
      timer = std::stoi(timers.substr(0, 2), nullptr, 16);
  }
  EXPECT_EQ(timer, 2) << "the established connection on port " << m_port
                      << " has no keepalive timer";
}

TEST_F(TcpKrpServerTest, ReleasingTheServerClosesTheViewerAndTheListener) {
  RawPeer viewer(m_port);
  ExpectServed(viewer);
  m_res->Release();
  m_res = nullptr;
  m_server->Release();
  m_server = nullptr;
  EXPECT_TRUE(viewer.WaitClosed());
  RawPeer late;
  EXPECT_FALSE(late.Connect(m_port));
}

// A server with a short send time-out, and a viewer that got its first answer.
class SendTimeoutTest : public ::testing::Test {
 protected:
  void Start(DWORD sendTimeoutMs, RawPeer& viewer) {
    m_server = new CTcpKrpServer(&m_handler, 0, "127.0.0.1");
    m_server->SetViewerSendTimeout(sendTimeoutMs);
    ASSERT_EQ(S_OK, m_server->ConnectAs(kKrpPort, &m_handler, nullptr, &m_res, nullptr, nullptr));
    m_port = m_server->GetListenPort();
    ASSERT_EQ(S_OK, m_server->GetAddr(&m_own));
    ASSERT_TRUE(viewer.Connect(m_port));
    ASSERT_TRUE(viewer.Send(KrpRequest(KRP_CMD_READDEVICEINFO, 1, {})));
    Frame f;
    ASSERT_TRUE(viewer.ReadFrame(&f));
  }
  void TearDown() override {
    if (m_res) m_res->Release();
    if (m_server) m_server->Release();
  }
  HRESULT Notify(const Bytes& stream) {
    return m_res->DeviceNotificationRes(m_own, 1, static_cast<DWORD>(stream.size()), stream.data());
  }
  // The first viewer is reported gone and the next one is served.
  void ExpectTheNextServed() {
    EXPECT_TRUE(vxtest::WaitUntil([&] { return m_handler.m_disconnects == 1; }));
    RawPeer next(m_port);
    ASSERT_TRUE(next.Send(KrpRequest(KRP_CMD_READDEVICEINFO, 2, {})));
    Frame f;
    ASSERT_TRUE(next.ReadFrame(&f));
    EXPECT_EQ(2u, f.head.hUser);
  }

  RecordingHandler m_handler;
  CTcpKrpServer* m_server = nullptr;
  IVxKrpAsyncRes* m_res = nullptr;
  WORD m_port = 0;
  NmxAddr m_own;
};

TEST_F(SendTimeoutTest, AViewerThatStopsReadingIsDroppedAndTheNextIsServed) {
  RawPeer stuck;
  Start(300, stuck);
  // The viewer reads nothing more: notifications fill the connection until a write times out.
  const Bytes stream(60000, 's');
  HRESULT hr = S_OK;
  for (int i = 0; i < 5000 && SUCCEEDED(hr); ++i) hr = Notify(stream);
  EXPECT_TRUE(FAILED(hr));
  ExpectTheNextServed();
}

// A viewer that keeps reading, but too slowly: every write makes some progress, yet the
// frame as a whole cannot be written within the time-out, so the viewer loses its place.
TEST_F(SendTimeoutTest, TheSendTimeOutBoundsAWholeFrameNotEachWrite) {
  RawPeer slow;
  Start(500, slow);
  // About 800 KiB/s, until the server gives up: a 15 MiB frame would take many seconds.
  std::atomic<bool> sendReturned{false}, ended{false};
  std::thread reader([&] {
    std::vector<BYTE> buf(16 * 1024);
    while (recv(slow.Fd(), buf.data(), buf.size(), 0) > 0)
      if (!sendReturned) OsUserSleep(20);
    ended = true;
  });
  const HRESULT hr = Notify(Bytes(15u << 20, 's'));
  sendReturned = true;
  EXPECT_TRUE(FAILED(hr));
  if (SUCCEEDED(hr)) shutdown(slow.Fd(), SHUT_RDWR);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return ended.load(); }));
  reader.join();
  ExpectTheNextServed();
}

// The server ends the connection of a viewer that sent garbage, so it is the server's side
// that waits in TIME-WAIT. A server started on that port right after must listen at once,
// and still never beside another listener on the same port.
TEST(TcpKrpServerSetupTest, ARestartedServerListensAtOnceButNeverBesideAnotherListener) {
  RecordingHandler handler;
  CTcpKrpServer* first = new CTcpKrpServer(&handler, 0, "127.0.0.1");
  ASSERT_EQ(S_OK, first->ConnectAs(kKrpPort, &handler, nullptr, nullptr, nullptr, nullptr));
  const WORD port = first->GetListenPort();
  {
    RawPeer garbage(port);
    ASSERT_TRUE(garbage.Send(Text("GET / HTTP/1.0\r\n\r\n")));
    ASSERT_TRUE(garbage.WaitClosed());
  }
  first->Release();

  // Without address reuse the port is still taken.
  const int plain = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool timeWait = bind(plain, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0;
  close(plain);
  if (!timeWait) GTEST_SKIP() << "this system keeps no TIME-WAIT on the closing side";

  CTcpKrpServer* restarted = new CTcpKrpServer(&handler, port, "127.0.0.1");
  ASSERT_EQ(S_OK, restarted->ConnectAs(kKrpPort, &handler, nullptr, nullptr, nullptr, nullptr));
  {
    RawPeer viewer(port);
    ASSERT_TRUE(viewer.Send(KrpRequest(KRP_CMD_READDEVICEINFO, 7, {})));
    Frame f;
    ASSERT_TRUE(viewer.ReadFrame(&f));
    EXPECT_EQ(7u, f.head.hUser);
  }
  for (const char* address : {"127.0.0.1", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(address ? address : "every address");
    CTcpKrpServer* beside = new CTcpKrpServer(&handler, port, address);
    EXPECT_EQ(10048, beside->ConnectAs(kKrpPort, &handler, nullptr, nullptr, nullptr, nullptr));
    beside->Release();
  }
  restarted->Release();
}

TEST(TcpKrpServerSetupTest, ConnectAsFailures) {
  RecordingHandler handler;
  CTcpKrpServer* first = new CTcpKrpServer(&handler, 0, "127.0.0.1");
  ASSERT_EQ(S_OK, first->ConnectAs(kKrpPort, &handler, nullptr, nullptr, nullptr, nullptr));

  CTcpKrpServer* second = new CTcpKrpServer(&handler, first->GetListenPort(), "127.0.0.1");
  EXPECT_EQ(10048, second->ConnectAs(kKrpPort, &handler, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, second->GetListenPort());
  EXPECT_EQ(static_cast<HRESULT>(0x9811071B),
            second->ConnectAs(kKrpPort, nullptr, nullptr, nullptr, nullptr, nullptr));

  void* itf = nullptr;
  EXPECT_EQ(S_OK, first->QueryInterface(IID_IVxKrpAsyncRes, &itf));
  EXPECT_EQ(static_cast<IVxKrpAsyncRes*>(first), itf);
  static_cast<IVxKrpAsyncRes*>(itf)->Release();
  EXPECT_EQ(S_OK, first->QueryInterface(IID_IVxKrpServerInternal, &itf));
  EXPECT_EQ(static_cast<IVxKrpServerInternal*>(first), itf);
  static_cast<IVxKrpServerInternal*>(itf)->Release();
  EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IVxKrpSync, &itf));
  EXPECT_EQ(nullptr, itf);

  second->Release();
  first->Release();
}

}  // namespace
