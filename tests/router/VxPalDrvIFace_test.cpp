// The bytes the router link puts on the stand-in router's socket, checked by a fake router
// against the fixed layout (so an encoder and a decoder that agree on a wrong offset fail),
// and the choice of the device link for a path that is no socket.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>

#include "common/TestUtil.h"
#include "os/ByteOrder.h"
#include "router/DrvControl.h"
#include "router/RouterTransport.h"

namespace {

using vx::DecodeLE16;
using vx::DecodeLE32;
using vx::EncodeLE32;

class FakeRouter {
 public:
  explicit FakeRouter(const std::string& path) {
    m_listen = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(m_listen, 4), 0);
  }
  ~FakeRouter() {
    if (m_conn >= 0) close(m_conn);
    close(m_listen);
  }
  void Accept() { m_conn = accept(m_listen, nullptr, nullptr); }
  std::vector<uint8_t> Recv(size_t n) {
    std::vector<uint8_t> b(n);
    size_t got = 0;
    while (got < n) {
      ssize_t r = recv(m_conn, b.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    b.resize(got);
    return b;
  }
  int Fd() const { return m_conn; }
  void Send(const std::vector<uint8_t>& b) {
    ASSERT_EQ(send(m_conn, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
  }

 private:
  int m_listen = -1;
  int m_conn = -1;
};

TEST(VxPalDrvIFaceTest, RegistrationAndReadTravelInTheDocumentedLayout) {
  vxtest::TempDir dir;
  const std::string path = dir / "fake.sock";
  FakeRouter fake(path);
  setenv("VX_ROUTER_DEVICE", path.c_str(), 1);

  CDrvControl drv;
  std::thread server([&] { fake.Accept(); });
  ASSERT_EQ(drv.OpenRouter(TRUE), 0u);
  server.join();

  NmxRegisterR3PortIn rec = MakeDefaultRegisterRecord();
  rec.m_bFixedPort = 1;
  rec.m_port = 851;
  rec.m_queueSize = 512;
  std::strcpy(rec.m_szPortName, "abc");
  NmxRegisterR3PortOut out{};
  DWORD ret = 0;
  std::vector<uint8_t> msg;
  server = std::thread([&] {
    msg = fake.Recv(8 + 132);
    std::vector<uint8_t> reply(8 + 4 + 128, 0);
    reply[0] = 0x83;
    EncodeLE32(reply.data() + 4, 132);
    std::memcpy(reply.data() + 12, msg.data() + 12, 128);  // the envelope back
    reply[12 + 64] = 0x53;                                 // port 851
    reply[12 + 65] = 0x03;
    reply[12 + 66] = 0x0A;  // error 1290
    reply[12 + 67] = 0x05;
    fake.Send(reply);
  });
  ASSERT_EQ(
      drv.IoControl(IOCTL_NMX_REGISTER_PORT, &rec, sizeof(rec), &out, sizeof(out), &ret, nullptr),
      0u);
  server.join();
  ASSERT_EQ(msg.size(), 8u + 132u);
  EXPECT_EQ(DecodeLE16(msg.data()), 3) << "IOCTL";
  EXPECT_EQ(DecodeLE32(msg.data() + 4), 132u);
  EXPECT_EQ(DecodeLE32(msg.data() + 8), 0xC0804806u) << "the inline ioctl request";
  const uint8_t* env = msg.data() + 12;
  EXPECT_EQ(DecodeLE32(env + 0), 0x222222u);
  EXPECT_EQ(DecodeLE32(env + 16), 52u);
  EXPECT_EQ(DecodeLE32(env + 32), 4u);
  const uint8_t* r = env + 64;
  EXPECT_EQ(DecodeLE32(r + 0), 1u);
  EXPECT_EQ(DecodeLE16(r + 4), 851);
  EXPECT_EQ(DecodeLE16(r + 6), 512);
  EXPECT_EQ(DecodeLE32(r + 8), 1u) << "PORTTYPE_R3PORT";
  EXPECT_EQ(DecodeLE32(r + 12), 4u);
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 16), "abc");
  EXPECT_EQ(DecodeLE32(r + 48), 0u);
  EXPECT_EQ(ret, 4u);
  EXPECT_EQ(out.m_port, 851);
  EXPECT_EQ(out.m_err, 1290);

  // A read for port 2 carries offset 2; a status answer comes back as the byte count.
  server = std::thread([&] {
    msg = fake.Recv(8 + 12);
    std::vector<uint8_t> reply(8 + 16, 0);
    reply[0] = 0x81;
    EncodeLE32(reply.data() + 4, 16);
    EncodeLE32(reply.data() + 12, 1);  // one record
    EncodeLE32(reply.data() + 16, 3);  // system started, no data
    fake.Send(reply);
  });
  std::vector<uint8_t> buf(4096);
  OVERLAPPED ov{};
  ov.Offset = 2;
  DWORD n = 0;
  ASSERT_EQ(drv.Read(buf.data(), 4096, &n, &ov), 0u);
  server.join();
  EXPECT_EQ(DecodeLE16(msg.data()), 1) << "READ";
  EXPECT_EQ(DecodeLE32(msg.data() + 8), 2u) << "offset = port";
  EXPECT_EQ(DecodeLE32(msg.data() + 12), 4096u);
  EXPECT_EQ(n, 3u);

  // More than 64 input bytes would need pointers, which no socket carries.
  std::vector<uint8_t> big(65);
  EXPECT_EQ(drv.IoControl(0x222222, big.data(), 65, &out, 4, &ret, nullptr),
            static_cast<DWORD>(EINVAL));
  unsetenv("VX_ROUTER_DEVICE");
}

// Opens drv on the fake router's socket.
void OpenOnFake(FakeRouter& fake, const std::string& path, CDrvControl& drv) {
  setenv("VX_ROUTER_DEVICE", path.c_str(), 1);
  std::thread server([&] { fake.Accept(); });
  const DWORD opened = drv.OpenRouter(TRUE);
  server.join();
  unsetenv("VX_ROUTER_DEVICE");
  ASSERT_EQ(opened, 0u);
}

// A READ_REPLY of errno 0 and the given records (count, data); with a dropped total, a
// READ_REPLY_DROPPED that carries it.
std::vector<uint8_t> ReadReply(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& recs,
                               uint32_t nClaimed, std::optional<uint64_t> dropped = {}) {
  std::vector<uint8_t> m(dropped ? 24 : 16, 0);
  m[0] = dropped ? 0x91 : 0x81;
  EncodeLE32(m.data() + 12, nClaimed);
  if (dropped) vx::EncodeLE64(m.data() + 16, *dropped);
  for (const auto& [count, data] : recs) {
    const size_t at = m.size();
    m.resize(at + 8 + data.size());
    EncodeLE32(m.data() + at, count);
    EncodeLE32(m.data() + at + 4, static_cast<uint32_t>(data.size()));
    if (!data.empty()) std::memcpy(m.data() + at + 8, data.data(), data.size());
  }
  EncodeLE32(m.data() + 4, static_cast<uint32_t>(m.size() - 8));
  return m;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

// One READ brings a batch; the following reads are answered from it without another READ,
// a record larger than a read's buffer asks for a larger one (status 4) and stays, and a
// reply whose records do not fill it reads as a removed router.
TEST(VxPalDrvIFaceTest, OneReplyAnswersSeveralReadsInOrder) {
  vxtest::TempDir dir;
  FakeRouter fake(dir / "fake.sock");
  CDrvControl drv;
  ASSERT_NO_FATAL_FAILURE(OpenOnFake(fake, dir / "fake.sock", drv));
  std::thread server;

  const std::vector<uint8_t> a = Pattern(40, 1), b = Pattern(2000, 9);
  std::vector<uint8_t> msg;
  server = std::thread([&] {
    msg = fake.Recv(8 + 12);
    fake.Send(ReadReply({{40, a}, {3, {}}, {2000, b}}, 3));
  });
  std::vector<uint8_t> buf(4096);
  OVERLAPPED ov{};
  ov.Offset = 2;
  DWORD n = 0;
  ASSERT_EQ(drv.Read(buf.data(), 4096, &n, &ov), 0u);
  server.join();
  EXPECT_EQ(DecodeLE32(msg.data() + 16), 0x80000000u | 0x40000000u | 1024u)
      << "records asked for, the dropped total, and fuller replies rather than sooner";
  ASSERT_EQ(n, 40u);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), buf.begin()));
  ASSERT_EQ(drv.Read(buf.data(), 4096, &n, &ov), 0u);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(drv.Read(buf.data(), 1000, &n, &ov), 0u);
  EXPECT_EQ(n, 4u) << "buffer too small";
  EXPECT_EQ(DecodeLE32(buf.data()), 2000u);
  ASSERT_EQ(drv.Read(buf.data(), 4096, &n, &ov), 0u);
  ASSERT_EQ(n, 2000u);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), buf.begin()));
  uint8_t probe;
  EXPECT_EQ(recv(fake.Fd(), &probe, 1, MSG_DONTWAIT), -1) << "no READ for the batch's records";

  server = std::thread([&] {
    msg = fake.Recv(8 + 12);
    fake.Send(ReadReply({{40, a}}, 2));
  });
  ASSERT_EQ(drv.Read(buf.data(), 4096, &n, &ov), 0u);
  server.join();
  EXPECT_EQ(n, 5u) << "router removed";
  EXPECT_NE(drv.Read(buf.data(), 4096, &n, &ov), 0u);
}

// The router's dropped total comes with the replies that carry it, in front of their records;
// a router that sends none leaves it unknown, a total lower than one seen before is not
// taken, and a reply too short for its total reads as a removed router.
TEST(VxPalDrvIFaceTest, TheDroppedTotalIsTakenFromTheRepliesThatCarryIt) {
  vxtest::TempDir dir;
  FakeRouter fake(dir / "fake.sock");
  CDrvControl drv;
  ASSERT_NO_FATAL_FAILURE(OpenOnFake(fake, dir / "fake.sock", drv));
  const std::vector<uint8_t> a = Pattern(40, 1), b = Pattern(33, 5);
  // Errno 5 and no record: whole as a READ_REPLY, short of the total as a READ_REPLY_DROPPED.
  std::vector<uint8_t> tooShort(8 + 8, 0);
  tooShort[0] = 0x91;
  EncodeLE32(tooShort.data() + 4, 8);
  EncodeLE32(tooShort.data() + 8, 5);
  struct Case {
    const char* what;
    std::vector<uint8_t> reply;
    DWORD read;  // what the read returns
    bool bKnown;
    ULONGLONG dropped;
  };
  const Case cases[] = {
      {"an old router's reply", ReadReply({{40, a}}, 1), 40, false, 0},
      {"a total, then the records", ReadReply({{40, a}, {33, b}}, 2, 6), 40, true, 6},
      {"a status with a larger total", ReadReply({{3, {}}}, 1, 0x1234567890ull), 3, true,
       0x1234567890ull},
      {"a lower total", ReadReply({{33, b}}, 1, 5), 33, true, 0x1234567890ull},
      {"too short for a total", tooShort, NMX_READ_ROUTER_REMOVED, true, 0x1234567890ull},
  };
  std::vector<uint8_t> buf(4096);
  OVERLAPPED ov{};
  ov.Offset = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::thread server([&] {
      fake.Recv(8 + 12);
      fake.Send(c.reply);
    });
    DWORD n = 0;
    ASSERT_EQ(drv.Read(buf.data(), 4096, &n, &ov), 0u);
    server.join();
    EXPECT_EQ(n, c.read);
    if (c.read == 40) {
      EXPECT_TRUE(std::equal(a.begin(), a.end(), buf.begin()));
    }
    ULONGLONG dropped = 0;
    EXPECT_EQ(drv.RouterDropped(&dropped), c.bKnown ? TRUE : FALSE);
    EXPECT_EQ(dropped, c.dropped);
    if (drv.ReadReady()) {
      // The batch's second record, handed over from the buffer.
      ASSERT_EQ(drv.Read(buf.data(), 4096, &n, &ov), 0u);
      EXPECT_EQ(n, 33u);
      EXPECT_TRUE(std::equal(b.begin(), b.end(), buf.begin()));
    }
  }
}

// Commands written together arrive as WRITE messages back to back, in order.
TEST(VxPalDrvIFaceTest, CommandsWrittenTogetherArriveInOrder) {
  vxtest::TempDir dir;
  FakeRouter fake(dir / "fake.sock");
  CDrvControl drv;
  ASSERT_NO_FATAL_FAILURE(OpenOnFake(fake, dir / "fake.sock", drv));
  std::thread server;

  std::vector<std::vector<uint8_t>> cmds;
  for (size_t i = 0; i < 300; ++i) cmds.push_back(Pattern(32 + i, static_cast<uint8_t>(i)));
  std::vector<const void*> bufs;
  std::vector<DWORD> cbs;
  size_t total = 0;
  for (const auto& c : cmds) {
    bufs.push_back(c.data());
    cbs.push_back(static_cast<DWORD>(c.size()));
    total += 8 + c.size();
  }
  std::vector<uint8_t> got;
  server = std::thread([&] { got = fake.Recv(total); });
  ASSERT_EQ(drv.WriteMany(bufs.data(), cbs.data(), static_cast<DWORD>(cmds.size())), 0u);
  server.join();
  ASSERT_EQ(got.size(), total);
  size_t at = 0;
  for (const auto& c : cmds) {
    EXPECT_EQ(DecodeLE16(got.data() + at), 2) << "WRITE";
    ASSERT_EQ(DecodeLE32(got.data() + at + 4), c.size());
    EXPECT_TRUE(std::equal(c.begin(), c.end(), got.begin() + static_cast<long>(at + 8)));
    at += 8 + c.size();
  }
  const std::vector<uint8_t> tooShort(31);
  const void* p = tooShort.data();
  const DWORD cb = 31;
  EXPECT_EQ(drv.WriteMany(&p, &cb, 1), static_cast<DWORD>(EINVAL));
}

TEST(VxPalDrvIFaceTest, OpeningAMissingDeviceReportsOpensErrno) {
  vxtest::TempDir dir;
  setenv("VX_ROUTER_DEVICE", (dir / "no-such-device").c_str(), 1);
  CDrvControl drv;
  EXPECT_EQ(drv.OpenRouter(TRUE), static_cast<DWORD>(ENOENT));
  unsetenv("VX_ROUTER_DEVICE");
  EXPECT_STREQ(VxRouterDevicePath(), "/dev/vxpaldrv");
}

// A character device that is no socket gets the device link: it opens, reads nothing and
// refuses device controls, whichever way their input travels, without touching the output.
TEST(VxPalDrvIFaceTest, ACharacterDeviceGetsTheDeviceLink) {
  setenv("VX_ROUTER_DEVICE", "/dev/null", 1);
  CDrvControl drv;
  const DWORD opened = drv.OpenRouter(TRUE);
  unsetenv("VX_ROUTER_DEVICE");
  ASSERT_EQ(opened, 0u);

  std::vector<uint8_t> buf(64, 0xAB);
  OVERLAPPED ov{};
  ov.Offset = 2;
  DWORD n = 1234;
  EXPECT_EQ(drv.Read(buf.data(), 64, &n, &ov), 0u);
  EXPECT_EQ(n, 0u);
  n = 0;
  EXPECT_EQ(drv.Write(buf.data(), 20, &n, nullptr), 0u);
  EXPECT_EQ(n, 20u);

  for (DWORD cbIn : {DWORD{0}, DWORD{4}, DWORD{65}}) {
    SCOPED_TRACE(cbIn);
    std::vector<uint8_t> in(cbIn + 1, 0x11);
    uint8_t out[8];
    std::memset(out, 0xAB, sizeof(out));
    DWORD ret = 77;
    EXPECT_EQ(drv.IoControl(IOCTL_NMX_GET_NETID, in.data(), cbIn, out, sizeof(out), &ret, nullptr),
              static_cast<DWORD>(ENOTTY));
    EXPECT_EQ(ret, 77u);
    for (uint8_t b : out) EXPECT_EQ(b, 0xAB);
  }
  // The device cannot say what the router dropped.
  ULONGLONG dropped = 0;
  EXPECT_FALSE(drv.RouterDropped(&dropped));
  EXPECT_EQ(drv.CloseDrv(), 0u);
  EXPECT_EQ(drv.Read(buf.data(), 64, &n, nullptr), static_cast<DWORD>(EBADF));
}

}  // namespace
