#include "capture/CaptureFormat.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "nmx/NmxTypes.h"

static_assert(offsetof(NmxHead, cbData) == vxcap::kNmxCbDataOffset);
static_assert(sizeof(NmxHead) == vxcap::kNmxHeadSize);

namespace {

using vxcap::HeaderStatus;
using vxcap::RecordStatus;

SYSTEMTIME SomeTime() {
  return SYSTEMTIME{2024, 3, 5, 14, 13, 45, 30, 999};
}

TEST(CaptureFormat, HeaderBytesAreExactlyTheLayout) {
  BYTE h[128];
  memset(h, 0xEE, sizeof h);
  vxcap::EncodeHeader(h, SomeTime(), 0x01020304, 0x0A0B0C0C);
  const BYTE expectedStart[] = {
      0x47, 0x4D, 0x42, 0x55, 0x00, 0x02, 0x01, 0x00,  // GMBU, 2.0, Ethernet
      0xE8, 0x07, 0x03, 0x00, 0x05, 0x00, 0x0E, 0x00,  // 2024, 3, 5, 14
      0x0D, 0x00, 0x2D, 0x00, 0x1E, 0x00, 0xE7, 0x03,  // 13, 45, 30, 999
      0x04, 0x03, 0x02, 0x01, 0x0C, 0x0C, 0x0B, 0x0A,  // table offset, table length
  };
  EXPECT_EQ(0, memcmp(h, expectedStart, sizeof expectedStart));
  for (size_t i = sizeof expectedStart; i < 128; ++i) EXPECT_EQ(0, h[i]) << "byte " << i;

  vxcap::HeaderInfo info{};
  ASSERT_EQ(HeaderStatus::kOk, vxcap::DecodeHeader(h, sizeof h, &info));
  EXPECT_EQ(0x01020304u, info.frameTableOffset);
  EXPECT_EQ(0x0A0B0C0Cu, info.frameTableLength);
  EXPECT_EQ(999, info.timeStamp.wMilliseconds);
  EXPECT_EQ(2024, info.timeStamp.wYear);
  EXPECT_EQ(0x0A0B0C0Cu / 4, vxcap::FrameCount(info));
  EXPECT_EQ(0x01020304u - 128, vxcap::RecordBytes(info));
}

TEST(CaptureFormat, HeaderIsAcceptedOnlyWithTheExactFirstEightBytes) {
  struct Case {
    size_t at;
    BYTE value;
    HeaderStatus status;
  };
  const Case cases[] = {
      {0, 'g', HeaderStatus::kBadSignature}, {3, 'V', HeaderStatus::kBadSignature},
      {4, 0x01, HeaderStatus::kBadVersion},  // version 01 02 ...
      {5, 0x01, HeaderStatus::kBadVersion},  // ... or 00 01
      {6, 0x02, HeaderStatus::kBadMacType},  {7, 0x01, HeaderStatus::kBadMacType},
      {40, 0xFF, HeaderStatus::kOk},  // nothing behind the first eight bytes is examined
  };
  for (const Case& c : cases) {
    BYTE h[128];
    vxcap::EncodeHeader(h, SomeTime(), 128, 0);
    h[c.at] = c.value;
    vxcap::HeaderInfo info{};
    EXPECT_EQ(c.status, vxcap::DecodeHeader(h, sizeof h, &info)) << "byte " << c.at;
    EXPECT_NE(nullptr, vxcap::HeaderStatusText(c.status));
  }
  BYTE h[128];
  vxcap::EncodeHeader(h, SomeTime(), 128, 0);
  EXPECT_EQ(HeaderStatus::kTruncated, vxcap::DecodeHeader(h, 127, nullptr));
}

TEST(CaptureFormat, RecordForA2100BytePacket) {
  std::vector<BYTE> packet(2100, 0x5A);
  vx::EncodeLE32(packet.data() + 20, 2100 - 32);
  std::vector<BYTE> rec(2200, 0xEE);
  const LONGLONG t = 0x01D9A1B2C3D4E5F6;
  ASSERT_EQ(2132u, vxcap::EncodeRecord(rec.data(), rec.size(), t, packet.data(), 2100));
  const BYTE expected[] = {
      0xF6, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1, 0xD9, 0x01,  // time stamp
      0x44, 0x08, 0x00, 0x00, 0x44, 0x08, 0x00, 0x00,  // FrameLength = nBytesAvail = 2116
      0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0,  // addresses
      0x88, 0xA4,                                                  // EtherType, big-endian
      0x34, 0x20,                                                  // (2100 & 0x7FF) | 0x2000
  };
  EXPECT_EQ(0, memcmp(rec.data(), expected, sizeof expected));
  EXPECT_EQ(0, memcmp(rec.data() + 32, packet.data(), packet.size()));
  EXPECT_EQ(0xEE, rec[2132]);  // nothing written behind the record
  EXPECT_EQ(0x2034, vxcap::ParserWord(2100));
  EXPECT_EQ(RecordStatus::kOk, vxcap::ValidateRecord(rec.data(), 2132));

  EXPECT_EQ(0u, vxcap::EncodeRecord(rec.data(), 2131, t, packet.data(), 2100));  // no room
  EXPECT_EQ(0u, vxcap::EncodeRecord(rec.data(), rec.size(), t, packet.data(), 31));
  EXPECT_EQ(0u, vxcap::RecordSize(0xFFFFFFF0u));
}

TEST(CaptureFormat, DamagedRecordsAreNamed) {
  std::vector<BYTE> packet(40, 1);
  vx::EncodeLE32(packet.data() + 20, 8);
  std::vector<BYTE> good(72);
  ASSERT_EQ(72u, vxcap::EncodeRecord(good.data(), good.size(), 5, packet.data(), 40));

  struct Case {
    const char* what;
    size_t at;  // kIntact: bytes unchanged
    BYTE value;
    size_t size;
    RecordStatus status;
  };
  constexpr size_t kIntact = ~size_t{0};
  const Case cases[] = {
      {"cut short", kIntact, 0, 71, RecordStatus::kTruncated},
      {"head only", kIntact, 0, 15, RecordStatus::kTruncated},
      {"FrameLength below an NMX header", 8, 47, 72, RecordStatus::kTooShort},
      {"FrameLength past the bytes", 8, 57, 72, RecordStatus::kTruncated},
      {"nBytesAvail differs", 12, 55, 72, RecordStatus::kBytesAvailMismatch},
      {"EtherType", 29, 0xA5, 72, RecordStatus::kBadEtherType},
      {"parser word length", 30, 0x29, 72, RecordStatus::kBadParserWord},
      {"parser word protocol", 31, 0x30, 72, RecordStatus::kBadParserWord},
      {"NMX data length", 32 + 20, 9, 72, RecordStatus::kBadNmxLength},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> rec = good;
    if (c.at != kIntact) rec[c.at] = c.value;
    EXPECT_EQ(c.status, vxcap::ValidateRecord(rec.data(), c.size)) << c.what;
  }
  EXPECT_EQ(RecordStatus::kTruncated, vxcap::ValidateRecord(nullptr, 72));
}

TEST(CaptureFormat, TableMustDescribeRecordsBackToBack) {
  auto table = [](std::vector<DWORD> entries) {
    std::vector<BYTE> t(entries.size() * 4);
    for (size_t i = 0; i < entries.size(); ++i) vxcap::EncodeTableEntry(&t[4 * i], entries[i]);
    return t;
  };
  struct Case {
    std::vector<DWORD> entries;
    DWORD tableOffset;
    bool ok;
    DWORD bad;
  };
  const Case cases[] = {
      {{}, 128, true, 0},
      {{}, 200, false, 0},
      {{128, 228, 300}, 400, true, 0},
      {{100, 228, 300}, 400, false, 0},  // does not start at 128
      {{128, 300, 228}, 400, false, 2},  // goes backwards
      {{128, 150, 300}, 400, false, 1},  // a record of 22 bytes
      {{128, 228, 300}, 330, false, 3},  // the last record cut by the table
  };
  for (const Case& c : cases) {
    auto t = table(c.entries);
    DWORD bad = 0xFFFF;
    EXPECT_EQ(c.ok, vxcap::ValidateTable(t.data(), static_cast<DWORD>(c.entries.size()),
                                         c.tableOffset, &bad));
    if (!c.ok) {
      EXPECT_EQ(c.bad, bad);
    }
  }
}

}  // namespace
