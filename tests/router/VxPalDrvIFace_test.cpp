// The bytes the router link puts on the stand-in router's socket, checked by a fake router
// against the fixed layout (so an encoder and a decoder that agree on a wrong offset fail),
// and the choice of the device link for a path that is no socket.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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
    std::vector<uint8_t> reply(8 + 12, 0);
    reply[0] = 0x81;
    EncodeLE32(reply.data() + 4, 12);
    EncodeLE32(reply.data() + 12, 3);  // system started
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
  EXPECT_EQ(drv.CloseDrv(), 0u);
  EXPECT_EQ(drv.Read(buf.data(), 64, &n, nullptr), static_cast<DWORD>(EBADF));
}

}  // namespace
