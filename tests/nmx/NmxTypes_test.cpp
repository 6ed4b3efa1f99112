#include "nmx/NmxTypes.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

std::array<BYTE, 6> Bytes(const NmxNetId& id) {
  return {id.b[0], id.b[1], id.b[2], id.b[3], id.b[4], id.b[5]};
}

struct ParseCase {
  const char* text;
  std::array<BYTE, 6> bytes;
};

TEST(NmxNetId, ParsesTextForms) {
  const ParseCase cases[] = {
      {"5.1.204.160.1.1", {5, 1, 204, 160, 1, 1}},
      {"[1.2.3.4].7.9", {0, 0, 0, 0, 7, 9}},
      {"300.1.1.1.1.1", {0x2C, 1, 1, 1, 1, 1}},
      {"-1.0.0.0.256.1", {255, 0, 0, 0, 0, 1}},
      // Far beyond any integer width: only the low 8 bits count (10^20 - 1 = -1 mod 256).
      {"99999999999999999999.0.0.0.1.1", {255, 0, 0, 0, 1, 1}},
      {" 1.2.3.4.5.6", {1, 2, 3, 4, 5, 6}},
      {"1.2.3.4.5.6.7 and more", {1, 2, 3, 4, 5, 6}},
      {"5.1.2", {0, 0, 0, 0, 0, 0}},
      {"1.2.3.4.5.x", {0, 0, 0, 0, 0, 0}},
      {"[1.2.3].4.5", {0, 0, 0, 0, 0, 0}},
      {"1..2.3.4.5.6", {0, 0, 0, 0, 0, 0}},
      {"no numbers", {0, 0, 0, 0, 0, 0}},
      {"", {0, 0, 0, 0, 0, 0}},
  };
  for (const ParseCase& c : cases) {
    NmxNetId id = {{9, 9, 9, 9, 9, 9}};  // parsing starts from a cleared address
    id = c.text;
    EXPECT_EQ(Bytes(id), c.bytes) << '"' << c.text << '"';
  }
  NmxNetId id = {{9, 9, 9, 9, 9, 9}};
  id = static_cast<const char*>(nullptr);
  EXPECT_EQ(Bytes(id), (std::array<BYTE, 6>{}));
}

TEST(NmxNetId, ValidityLooksAtTheLastTwoBytesOnly) {
  const std::pair<const char*, bool> cases[] = {
      {"5.1.204.160.0.1", false},
      {"5.1.204.160.1.0", false},
      {"0.0.0.0.1.1", true},
      {"5.1.204.160.1.1", true},
  };
  for (const auto& [text, valid] : cases) {
    NmxNetId id;
    id = text;
    EXPECT_EQ(id.IsValid(), valid) << text;
  }
}

TEST(NmxNetId, TextFormRoundTrips) {
  char buf[NMXNETID_TEXT_SIZE];
  NmxNetId id = {{255, 255, 255, 255, 255, 255}};
  EXPECT_STREQ(id.ToText(buf, sizeof buf), "255.255.255.255.255.255");
  NmxNetId parsed;
  parsed = NMXNETID_LOOPBACK.ToText(buf, sizeof buf);
  EXPECT_EQ(parsed, NMXNETID_LOOPBACK);
  EXPECT_NE(parsed, IP2NMXNETID_LOOPBACK);
}

TEST(NmxAddr, ComparesNodeAndPort) {
  NmxAddr zero;
  EXPECT_EQ(zero, NmxAddr(NmxNetId{}, 0));
  NmxAddr a(NMXNETID_LOOPBACK, 10502);
  EXPECT_EQ(a, NmxAddr(NMXNETID_LOOPBACK, 10502));
  EXPECT_NE(a, NmxAddr(NMXNETID_LOOPBACK, 10503));
  EXPECT_NE(a, NmxAddr(IP2NMXNETID_LOOPBACK, 10502));
  a.Clear();
  EXPECT_EQ(a, zero);
}

}  // namespace
