// The NMX/TCP stub: reassembly, the framing rules, whole frames on the wire.
#include "viewer/NmxTcpStub.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>

#include "viewer/ViewerTestUtil.h"

using namespace viewertest;

// Every test of this binary reads the local NetId from a private registry.
static ::testing::Environment* const kRegistryEnv =
    ::testing::AddGlobalTestEnvironment(new RegistryEnvironment);

namespace {

// Records every command handed to the hook (header and data as they arrived).
class RecordingStub : public CNmxTcpStub {
 public:
  ~RecordingStub() override { CloseSocket(true); }

  void OnNmxReceive(NmxCmd* cmd) override {
    const BYTE* p = reinterpret_cast<const BYTE*>(cmd);
    std::lock_guard<std::mutex> guard(m_mutex);
    m_cmds.emplace_back(p, p + NMX_HEAD_SIZE + cmd->head.cbData);
  }

  // One chunk as the receiver thread would hand it over.
  void Feed(const Bytes& chunk) { OnReceive(0, chunk.data(), static_cast<DWORD>(chunk.size()), 0); }

  std::vector<Bytes> Commands() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_cmds;
  }
  DWORD ArchiveCapacity() const { return m_pArchiveIn->GetBufferSize(); }

 private:
  std::mutex m_mutex;
  std::vector<Bytes> m_cmds;
};

FrameSpec Spec(WORD cmdId, size_t cbData, WORD reserved = 0) {
  FrameSpec f;
  f.cmdId = cmdId;
  f.stateFlags = NMX_FLAG_KRP_COMMAND;
  f.hUser = 1000 + cmdId;
  f.target = NmxAddr(kLocalNetId, 10502);
  f.sender = ViewerAddr();
  f.data.resize(cbData);
  for (size_t i = 0; i < cbData; ++i) f.data[i] = static_cast<BYTE>(i * 7 + cmdId);
  f.reserved = reserved;
  return f;
}

// Hands an accepted descriptor to the stub, as the server's accept does.
void Adopt(CNmxTcpStub& stub, int fd) {
  static_cast<VxFunctions::CTcpSocket&>(stub) = fd;
}

// The command as the hook must see it: the frame without its prefix.
Bytes CommandOf(const Bytes& frame) {
  return Bytes(frame.begin() + 6, frame.end());
}

void FeedInChunks(RecordingStub& stub, const Bytes& stream, size_t chunk) {
  for (size_t off = 0; off < stream.size(); off += chunk) {
    const size_t n = std::min(chunk, stream.size() - off);
    stub.Feed(Bytes(stream.begin() + off, stream.begin() + off + n));
  }
}

TEST(NmxTcpStubTest, ReassemblesFramesWhateverTheChunking) {
  const Bytes a = EncodeFrame(Spec(1, 0));
  const Bytes b = EncodeFrame(Spec(2, 10, 1));
  const Bytes c = EncodeFrame(Spec(3, 100000 - 32));
  Bytes stream = a;
  PutBytes(stream, b);
  PutBytes(stream, c);

  const struct {
    const char* name;
    size_t chunk;
  } cases[] = {
      {"all frames in one chunk", stream.size()},
      {"receive-buffer-sized chunks", 65535},
      {"prefixes split across chunks", 7},
      {"single bytes", 1},
  };
  for (const auto& c2 : cases) {
    SCOPED_TRACE(c2.name);
    RecordingStub stub;
    FeedInChunks(stub, stream, c2.chunk);
    const std::vector<Bytes> cmds = stub.Commands();
    ASSERT_EQ(3u, cmds.size());
    EXPECT_EQ(CommandOf(a), cmds[0]);
    EXPECT_EQ(CommandOf(b), cmds[1]);
    EXPECT_EQ(CommandOf(c), cmds[2]);
    EXPECT_TRUE(stub.IsCreated()) << "no framing rule was broken";
  }
}

TEST(NmxTcpStubTest, BrokenFramingClosesAndPassesNothingOfTheBrokenFrame) {
  const Bytes good = EncodeFrame(Spec(4, 3));
  auto frame = [](FrameSpec f) { return EncodeFrame(f); };
  FrameSpec bigLength = Spec(5, 0);
  bigLength.length = NMXTCP_MAX_FRAME_LENGTH + 1;
  FrameSpec hugeLength = Spec(5, 0);
  hugeLength.length = 0xFFFFFFFF;
  FrameSpec shortLength = Spec(5, 0);
  shortLength.length = 31;
  FrameSpec lengthAboveCbData = Spec(5, 8);
  lengthAboveCbData.length = 40;
  lengthAboveCbData.cbData = 10;
  FrameSpec lengthBelowCbData = Spec(5, 10);
  lengthBelowCbData.cbData = 4;
  FrameSpec maxLength = Spec(5, NMXTCP_MAX_FRAME_LENGTH - 32);

  const struct {
    const char* name;
    Bytes stream;
    size_t chunk;
    size_t passed;
    bool closed;
  } cases[] = {
      {"reserved 1 is accepted", frame(Spec(5, 2, 1)), 64, 1, false},
      {"reserved 2 closes", frame(Spec(5, 2, 2)), 64, 0, true},
      {"length below 32 closes", frame(shortLength), 64, 0, true},
      {"length 40 with cbData 10 closes", frame(lengthAboveCbData), 64, 0, true},
      {"length 42 with cbData 4 closes", frame(lengthBelowCbData), 64, 0, true},
      {"mismatch seen when the header completes", frame(lengthAboveCbData), 5, 0, true},
      {"length above the limit closes", frame(bigLength), 64, 0, true},
      {"length 0xFFFFFFFF closes", frame(hugeLength), 64, 0, true},
      {"the longest frame is accepted", frame(maxLength), 65535, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingStub stub;
    Bytes stream = good;  // a good frame before the tested one, mostly in the same chunk
    PutBytes(stream, c.stream);
    FeedInChunks(stub, stream, c.chunk);
    const std::vector<Bytes> cmds = stub.Commands();
    ASSERT_EQ(1 + c.passed, cmds.size());
    EXPECT_EQ(CommandOf(good), cmds[0]);
    EXPECT_EQ(!c.closed, stub.IsCreated());
    if (c.closed) {
      EXPECT_EQ(0xFFFFu, stub.ArchiveCapacity()) << "nothing grown for a bad frame";
    }
  }
}

TEST(NmxTcpStubTest, AnIdleTimeOutClosesOnlyInTheMiddleOfAFrame) {
  const Bytes good = EncodeFrame(Spec(6, 8));
  const struct {
    const char* name;
    size_t fed;  // bytes of two back-to-back frames fed before the time-out
    bool closed;
  } cases[] = {
      {"nothing received", 0, false},
      {"between frames", good.size(), false},
      {"part of a prefix", good.size() + 1, true},
      {"a whole prefix", good.size() + 6, true},
      {"part of the header", good.size() + 20, true},
      {"part of the data", 2 * good.size() - 1, true},
      {"two whole frames", 2 * good.size(), false},
  };
  Bytes stream = good;
  PutBytes(stream, good);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingStub stub;
    if (c.fed > 0) stub.Feed(Bytes(stream.begin(), stream.begin() + c.fed));
    EXPECT_EQ(0u, stub.OnReceiveIdle());
    EXPECT_EQ(!c.closed, stub.IsCreated());
    EXPECT_EQ(c.fed / good.size(), stub.Commands().size()) << "whole frames were passed on";
  }
}

TEST(NmxTcpStubTest, AConnectionWithBrokenFramingEndsAndAPeerCloseIsNoticed) {
  RawListener listener;
  for (bool broken : {true, false}) {
    SCOPED_TRACE(broken ? "broken frame" : "peer closes");
    RawPeer peer(listener.Port());
    RecordingStub stub;
    Adopt(stub, listener.Accept());
    ASSERT_EQ(0u, stub.Receive());
    ASSERT_TRUE(peer.Send(EncodeFrame(Spec(1, 4))));
    ASSERT_TRUE(vxtest::WaitUntil([&] { return stub.Commands().size() == 1; }));
    if (broken) {
      ASSERT_TRUE(peer.Send(EncodeFrame(Spec(1, 4, 2))));
      EXPECT_TRUE(peer.WaitClosed());
    } else {
      peer.Close();
    }
    EXPECT_TRUE(vxtest::WaitUntil([&] { return !stub.IsConnected() && !stub.IsCreated(); }));
    EXPECT_EQ(1u, stub.Commands().size());
  }
}

TEST(NmxTcpStubTest, SendWritesTheCommandBehindASixBytePrefix) {
  RawListener listener;
  RecordingStub stub;
  RawPeer peer;
  ASSERT_TRUE(peer.Connect(listener.Port()));
  Adopt(stub, listener.Accept());

  NmxHead head;
  stub.NmxMakeHead(head, 7, 0, NmxNetId{{10, 0, 0, 7, 1, 1}}, 33000, 0x01020304, 0, 0x0004);
  ASSERT_EQ(0u, stub.Send(reinterpret_cast<const NmxCmd*>(&head)));

  Bytes wire(38);
  ASSERT_TRUE(peer.ReadExact(wire.data(), wire.size()));
  const Bytes prefix = {0x00, 0x00, 0x20, 0x00, 0x00, 0x00};
  EXPECT_EQ(prefix, Bytes(wire.begin(), wire.begin() + 6));
  EXPECT_EQ(0, memcmp(&head, wire.data() + 6, 32));

  // A command with data follows directly, with nothing in between.
  const Bytes frame = EncodeFrame(Spec(2, 300));
  const Bytes cmd = CommandOf(frame);
  ASSERT_EQ(0u, stub.Send(reinterpret_cast<const NmxCmd*>(cmd.data())));
  Bytes second(frame.size());
  ASSERT_TRUE(peer.ReadExact(second.data(), second.size()));
  EXPECT_EQ(frame, second);
}

TEST(NmxTcpStubTest, FramesFromConcurrentSendersNeverInterleave) {
  RawListener listener;
  RecordingStub stub;
  RawPeer peer;
  ASSERT_TRUE(peer.Connect(listener.Port()));
  Adopt(stub, listener.Accept());

  constexpr int kThreads = 4, kFrames = 60;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&stub, t] {
      for (int i = 0; i < kFrames; ++i) {
        // Sizes up to past the socket buffers, so sends are taken in parts.
        FrameSpec f = Spec(static_cast<WORD>(t), static_cast<size_t>((i * 7919) % 150000));
        f.hUser = static_cast<DWORD>(i);
        const Bytes cmd = CommandOf(EncodeFrame(f));
        EXPECT_EQ(0u, stub.Send(reinterpret_cast<const NmxCmd*>(cmd.data())));
      }
    });
  }
  int next[kThreads] = {};
  for (int n = 0; n < kThreads * kFrames; ++n) {
    Frame f;
    ASSERT_TRUE(peer.ReadFrame(&f)) << "frame " << n;
    ASSERT_LT(f.head.cmdId, kThreads);
    const FrameSpec want =
        Spec(f.head.cmdId, static_cast<size_t>((next[f.head.cmdId] * 7919) % 150000));
    EXPECT_EQ(static_cast<DWORD>(next[f.head.cmdId]), f.head.hUser);
    EXPECT_EQ(want.data, f.data);
    ++next[f.head.cmdId];
  }
  for (auto& th : senders) th.join();
}

TEST(NmxTcpStubTest, ClientModeConnectsToThePeersNmxTcpPortOnFirstSend) {
  const int lfd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(NMXTCP_SERVER_PORT);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 || listen(lfd, 4) != 0) {
    close(lfd);
    GTEST_SKIP() << "the NMX/TCP port is in use on this machine";
  }
  RecordingStub stub;
  EXPECT_EQ(0u, stub.SetPeerIpAddr(htonl(INADDR_LOOPBACK)));
  EXPECT_FALSE(stub.IsConnected());
  const Bytes frame = EncodeFrame(Spec(3, 5));
  const Bytes cmd = CommandOf(frame);
  EXPECT_EQ(0u, stub.Send(reinterpret_cast<const NmxCmd*>(cmd.data())));
  EXPECT_TRUE(stub.IsConnected());

  RawPeer peer(accept(lfd, nullptr, nullptr));
  close(lfd);
  Frame got;
  ASSERT_TRUE(peer.ReadFrame(&got));
  EXPECT_EQ(Bytes(frame.begin() + 38, frame.end()), got.data);
  // The connection made by the send also receives.
  ASSERT_TRUE(peer.Send(frame));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return stub.Commands().size() == 1; }));
}

TEST(NmxTcpStubTest, OwnAddressComesFromTheRegistryAndLoopbackTargetsChangeTheSender) {
  RecordingStub stub;
  EXPECT_EQ(kLocalNetId, stub.NmxGetNetId());
  EXPECT_EQ(0xFFFE, stub.NmxGetPort());

  NmxHead head;
  stub.NmxMakeHead(head, 2, 12, NMXNETID_LOOPBACK, 10502, 77, 5, 0x0004);
  EXPECT_EQ(IP2NMXNETID_LOOPBACK, head.sender.netId);
  EXPECT_EQ(0xFFFE, head.sender.port);
  EXPECT_EQ(NmxAddr(NMXNETID_LOOPBACK, 10502), head.target);
  EXPECT_EQ(2, head.cmdId);
  EXPECT_EQ(12u, head.cbData);
  EXPECT_EQ(77u, head.hUser);
  EXPECT_EQ(5, head.errCode);
  EXPECT_EQ(0x0004, head.stateFlags);

  stub.NmxMakeHead(head, 2, 12, NmxNetId{{1, 2, 3, 4, 5, 6}}, 10502, 77, 0, 0x0004);
  EXPECT_EQ(kLocalNetId, head.sender.netId);
}

}  // namespace
