// KRP payloads and frame times as dump shows them, for payloads and times a damaged or
// hostile capture may hold.
#include <gtest/gtest.h>

#include <climits>

#include "NmxCapTestUtil.h"
#include "frames/CapTime.h"
#include "frames/KrpDecode.h"
#include "nmx/KrpTypes.h"

namespace {

using namespace captool;

std::string Render(const KrpPayload& p) {
  std::string s;
  for (const KrpField& f : p.fields) {
    char v[32];
    snprintf(v, sizeof v, f.kind == KrpField::kHex ? "0x%llX" : "%llu",
             static_cast<unsigned long long>(f.nValue));
    s += (s.empty() ? "" : " ") + std::string(f.szName) + "=" +
         (f.kind == KrpField::kText || f.kind == KrpField::kList ? f.strText : v);
  }
  if (!p.strNote.empty()) s += (s.empty() ? "(" : " (") + p.strNote + ")";
  return s;
}

Bytes Stream(std::initializer_list<DWORD> words) {
  Bytes w = U32s(words);
  return Cat(U32s({static_cast<DWORD>(w.size())}), w);
}

TEST(KrpDecode, PayloadsThatLieAboutTheirLengthsAreDecodedAsFarAsTheyGo) {
  struct Case {
    const char* name;
    WORD cmd;
    WORD flags;
    Bytes data;
    LONG errCode;
    const char* expected;
  };
  constexpr WORD kReq = NMX_FLAG_KRP_COMMAND, kRes = NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE;
  // A stamp block: time (8 bytes) and a sample count.
  const Case cases[] = {
      {"short read request", KRP_CMD_READ, kReq, U32s({1, 2}), 0,
       "(payload too short (8 of 12 bytes))"},
      {"write longer than its data", KRP_CMD_WRITE, kReq, Cat(U32s({1, 2, 100}), Bytes{7, 7}), 0,
       "indexGroup=0x1 indexOffset=0x2 length=100 (length 100 exceeds the 2 data bytes)"},
      {"read-write", KRP_CMD_READWRITE, kReq, Cat(U32s({0xF003, 0, 4, 1}), Bytes{1}), 0,
       "indexGroup=0xF003 indexOffset=0x0 readLength=4 writeLength=1"},
      {"write control", KRP_CMD_WRITECONTROL, kReq, U32s({0x00020005, 0}), 0,
       "krpState=5 deviceState=2 length=0"},
      {"older notification request", KRP_CMD_ADDDEVICENOTIFICATION, kReq,
       U32s({0x1500, 7, 1024, 4, 0, 100000}), 0,
       "indexGroup=0x1500 indexOffset=0x7 cbLength=1024 transMode=4 maxDelay=0 "
       "cycleTime=100000"},
      {"read response without its length", KRP_CMD_READ, kRes, U32s({0}), 0,
       "result=0x0 (payload too short (4 of 8 bytes))"},
      {"read state response", KRP_CMD_READSTATE, kRes, U32s({0, 0x00010005}), 0,
       "result=0x0 krpState=5 deviceState=1"},
      {"notification handle", KRP_CMD_ADDDEVICENOTIFICATION, kRes, U32s({0, 42}), 0,
       "result=0x0 handle=42"},
      {"answer with an NMX error", KRP_CMD_READ, kRes, U32s({0, 4, 1}), 11, ""},
      {"not KRP", KRP_CMD_READ, 0, U32s({1, 2, 3}), 0, ""},
      {"unknown KRP id", 77, kReq, U32s({1, 2, 3}), 0, ""},
      {"samples of two handles", KRP_CMD_DEVICENOTIFICATION, kReq,
       Stream({2, 1, 1, 1, 3, 0, 1, 1, 2, 4, 4, 0xAA, 3, 0}), 0,
       "length=56 stamps=2 samples=3 handles=3,4"},
      {"four billion stamps in 4 bytes", KRP_CMD_DEVICENOTIFICATION, kReq, Stream({0xFFFFFFFF}), 0,
       "length=4 stamps=4294967295 samples=0 (notification stream ends inside stamp 0)"},
      {"sample larger than the stream", KRP_CMD_DEVICENOTIFICATION, kReq,
       Stream({1, 1, 1, 1, 9, 0x7FFFFFFF}), 0,
       "length=24 stamps=1 samples=0 (notification stream ends inside stamp 0)"},
      {"stream longer than the data", KRP_CMD_DEVICENOTIFICATION, kReq, U32s({1000, 0}), 0,
       "length=1000 stamps=0 samples=0 (length 1000 exceeds the 4 data bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NmxHead h{};
    h.cmdId = c.cmd;
    h.stateFlags = c.flags;
    h.cbData = static_cast<DWORD>(c.data.size());
    h.errCode = c.errCode;
    EXPECT_EQ(c.expected,
              Render(DecodeKrpPayload(h, c.data.data(), static_cast<DWORD>(c.data.size()))));
  }
}

TEST(CapTime, EveryFileTimeHasItsCalendarText) {
  struct Case {
    LONGLONG ft;
    const char* text;  // 7 digits
  };
  const Case cases[] = {
      {0, "1601-01-01 00:00:00.0000000"},
      {-1, "1600-12-31 23:59:59.9999999"},
      {kFileTimeUnixEpoch, "1970-01-01 00:00:00.0000000"},
      {kT0 + 1234567, "2024-05-01 12:00:00.1234567"},
      {133537247999999999LL, "2024-02-29 23:59:59.9999999"},
      {LLONG_MAX, "30828-09-14 02:48:05.4775807"},
      {LLONG_MIN, "-27627-04-19 21:11:54.5224192"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, FormatFileTime(c.ft, 7, false)) << c.ft;
  EXPECT_EQ("2024-05-01T12:00:00.123Z", FormatFileTime(kT0 + 1239999, 3, true));
  EXPECT_EQ("2024-05-01 12:00:00", FormatFileTime(kT0 + 1239999, 0, false));
  EXPECT_EQ("-922337203685.4775808", FormatTicksAsSeconds(LLONG_MIN));
}

TEST(CapTime, UnixNanosecondsAreExactOrRefused) {
  uint64_t ns = 1;
  EXPECT_TRUE(FileTimeToUnixNanoseconds(kFileTimeUnixEpoch, &ns));
  EXPECT_EQ(0u, ns);
  EXPECT_FALSE(FileTimeToUnixNanoseconds(kFileTimeUnixEpoch - 1, &ns));
  const LONGLONG last = kFileTimeUnixEpoch + static_cast<LONGLONG>(UINT64_MAX / 100);
  EXPECT_TRUE(FileTimeToUnixNanoseconds(last, &ns));
  EXPECT_EQ(UINT64_MAX / 100 * 100, ns);
  EXPECT_FALSE(FileTimeToUnixNanoseconds(last + 1, &ns));
  EXPECT_FALSE(FileTimeToUnixNanoseconds(LLONG_MAX, &ns));
}

}  // namespace
