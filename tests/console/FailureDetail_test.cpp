#include "console/FailureDetail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "capture/CapturePath.h"
#include "common/TestUtil.h"

namespace {

// Socket codes count in BSD error numbers on every platform; the line gives the local text.
TEST(FailureDetail, EachFailureSaysWhereAndWhy) {
  const struct {
    std::string line, expected;
  } cases[] = {
      {RouterFailureDetail("/dev/vxpaldrv", ENOENT, 12),
       std::string("router device /dev/vxpaldrv: ") + strerror(ENOENT)},
      {RouterFailureDetail("/tmp/r.sock", ECONNREFUSED, 12),
       std::string("router device /tmp/r.sock: ") + strerror(ECONNREFUSED)},
      {RouterFailureDetail("/tmp/r.sock", 0, 9),
       "router device /tmp/r.sock: port 2 is taken (router error 9): is another logger running?"},
      {RouterFailureDetail("/tmp/r.sock", 0, 12),
       "router device /tmp/r.sock: no answer to the registration of port 2"},
      {RouterFailureDetail("/tmp/r.sock", 0, 77),
       "router device /tmp/r.sock: the registration of port 2 was refused (router error 77)"},
      {CaptureFailureDetail("/no/x.cap", static_cast<HRESULT>(0x80070000u | ENOSPC)),
       std::string("capture file /no/x.cap: ") + strerror(ENOSPC)},
      {CaptureFailureDetail("/x.cap", vxcap::CAPTURE_E_FOREIGN_FILE),
       "capture file /x.cap: it is not a capture file, so it is not replaced"},
      {CaptureFailureDetail("/x.cap", E_OUTOFMEMORY), "capture file /x.cap: out of memory"},
      {CaptureFailureDetail("/x.cap", E_FAIL), "capture file /x.cap: error 0x80004005"},
      {ListenerFailureDetail(48914, nullptr, static_cast<HRESULT>(0x98112740u)),
       std::string("viewer port 48914: ") + strerror(EADDRINUSE)},
      {ListenerFailureDetail(47000, "192.0.2.1", static_cast<HRESULT>(0x98112741u)),
       std::string("viewer port 192.0.2.1:47000: ") + strerror(EADDRNOTAVAIL)},
      {ListenerFailureDetail(80, "", static_cast<HRESULT>(0x98112710u)),
       "viewer port 80: refused by the system (socket error 10000)"},
      {ListenerFailureDetail(1, nullptr, E_OUTOFMEMORY), "viewer port 1: out of memory"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.line, c.expected);
}

TEST(FailureDetail, CapturePathsAreMadeAbsolute) {
  vxtest::TempDir dir;
  char* cwd = getcwd(nullptr, 0);
  ASSERT_NE(cwd, nullptr);
  const std::string here = cwd;
  free(cwd);
  EXPECT_EQ(AbsoluteCapturePath(dir.path().c_str(), "x.cap"), dir / "x.cap");
  EXPECT_EQ(AbsoluteCapturePath((dir.path() + "/").c_str(), "x.cap"), dir / "x.cap");
  EXPECT_EQ(AbsoluteCapturePath("/no/such", "x.cap"), "/no/such/x.cap");
  EXPECT_EQ(AbsoluteCapturePath("no-such-sub", "x.cap"), here + "/no-such-sub/x.cap");
  EXPECT_EQ(AbsoluteCapturePath("./", "x.cap"), here + "/x.cap");
}

}  // namespace
