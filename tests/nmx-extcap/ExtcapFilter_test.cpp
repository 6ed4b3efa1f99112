// The capture filter: nmx-view's filter words, decided by the engine's traffic filter.
#include "nmx-extcap/ExtcapFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/CaptureFormat.h"
#include "os/ByteOrder.h"

namespace {

using Bytes = std::vector<BYTE>;

struct Addr {
  BYTE netId[6];
  WORD port;
};
const Addr kClient = {{5, 1, 204, 160, 1, 1}, 30000};
const Addr kServer = {{5, 1, 204, 160, 1, 1}, 851};
const Addr kOtherA = {{10, 0, 0, 7, 1, 1}, 10502};
const Addr kOtherB = {{10, 0, 0, 7, 1, 1}, 300};

// The record of an NMX command, as a view delivers it.
Bytes Record(const Addr& target, const Addr& sender, WORD flags, const Bytes& data) {
  Bytes p(32);
  auto addr = [&p](size_t at, const Addr& a) {
    std::copy(a.netId, a.netId + 6, p.begin() + static_cast<std::ptrdiff_t>(at));
    vx::EncodeLE16(p.data() + at + 6, a.port);
  };
  addr(0, target);
  addr(8, sender);
  vx::EncodeLE16(p.data() + 16, 2);  // Read
  vx::EncodeLE16(p.data() + 18, flags);
  vx::EncodeLE32(p.data() + 20, static_cast<DWORD>(data.size()));
  p.insert(p.end(), data.begin(), data.end());
  Bytes r(vxcap::RecordSize(static_cast<DWORD>(p.size())));
  vxcap::EncodeRecord(r.data(), r.size(), 133590384000000000LL, p.data(),
                      static_cast<DWORD>(p.size()));
  return r;
}

// A KRP request from the client to the server, its response with the KRP error 0x700, and a
// command without the KRP flag between two other ports.
const Bytes kRequest = Record(kServer, kClient, 0x0004, Bytes(12, 0));
const Bytes kFailedResponse = Record(kClient, kServer, 0x0005, {0x00, 0x07, 0, 0, 0, 0, 0, 0});
const Bytes kOtherCommand = Record(kOtherB, kOtherA, 0x0000, {});

struct Case {
  const char* filter;
  bool request, response, other;  // kept?
};

TEST(CaptureFilter, KeepsWhatTheEngineFilterWouldKeep) {
  const Case cases[] = {
      {"", true, true, true},
      {"any", true, true, true},
      {"flags none", true, true, true},
      {":851", true, true, false},
      {"include :851", true, true, false},
      {"10.0.0.7.1.1", false, false, true},
      {"exclude :30000", false, false, true},
      {"exclude 5.1.204.160.1.1:30000 10.0.0.7.1.1:300", false, false, false},
      {":851 :300", true, true, true},
      {"  include :851   exclude 5.1.204.160.1.1:30000 ", false, false, false},
      {"flags krp", true, true, false},
      {"flags error", false, true, false},
      {"flags krp,error include :10502 :851", false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter);
    CExtcapFilter f;
    std::string error;
    ASSERT_TRUE(f.Parse(c.filter, &error)) << error;
    EXPECT_EQ(c.request, f.Keeps(kRequest.data(), static_cast<DWORD>(kRequest.size())));
    EXPECT_EQ(c.response,
              f.Keeps(kFailedResponse.data(), static_cast<DWORD>(kFailedResponse.size())));
    EXPECT_EQ(c.other, f.Keeps(kOtherCommand.data(), static_cast<DWORD>(kOtherCommand.size())));
  }
}

TEST(CaptureFilter, AnythingElseIsRefusedWithItsReasonAndChangesNothing) {
  const struct {
    const char* filter;
    const char* error;
  } cases[] = {
      {"include", "capture filter: include needs at least one address"},
      {"exclude :1 include", "capture filter: include needs at least one address"},
      {":1 exclude", "capture filter: exclude needs at least one address"},
      {"flags", "capture filter: flags takes none, krp, error or krp,error"},
      {"flags krp,tcp", "capture filter: unknown filter flag 'tcp' (none, krp, error)"},
      {"tcp port 80",
       "capture filter: 'tcp': not an address (any, NETID, :PORT or NETID:PORT, NETID as "
       "1.2.3.4.1.1)"},
      {":65536", "capture filter: ':65536': the port must be a number from 0 to 65535"},
      {"any:851", "capture filter: 'any:851': write :PORT for a port on every node"},
  };
  CExtcapFilter f;
  std::string error;
  ASSERT_TRUE(f.Parse(":851", &error));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    EXPECT_FALSE(f.Parse(c.filter, &error));
    EXPECT_EQ(c.error, error);
    EXPECT_FALSE(f.Keeps(kOtherCommand.data(), static_cast<DWORD>(kOtherCommand.size())));
    EXPECT_TRUE(f.Keeps(kRequest.data(), static_cast<DWORD>(kRequest.size())));
  }
}

}  // namespace
