#include "nmx/KrpArchive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

typedef std::vector<BYTE> Bytes;

// Hands out its bytes in pieces of at most `piece` bytes.
class CByteSource : public IKrpArchiveSource {
 public:
  CByteSource(Bytes bytes, DWORD piece) : m_bytes(std::move(bytes)), m_piece(piece) {}
  DWORD ReadSource(void* dest, DWORD cb) override {
    size_t n = std::min<size_t>({cb, m_piece, m_bytes.size() - m_pos});
    memcpy(dest, m_bytes.data() + m_pos, n);
    m_pos += n;
    return static_cast<DWORD>(n);
  }

 private:
  Bytes m_bytes;
  DWORD m_piece;
  size_t m_pos = 0;
};

Bytes Contents(const CKrpArchive& ar) {
  const BYTE* p = static_cast<const BYTE*>(static_cast<const void*>(ar));
  return Bytes(p, p + ar.GetDataSize());
}

TEST(KrpArchive, GrowsByDoublingAndKeepsEverything) {
  CR3TpArchive ar(nullptr, CKrpArchive::store, 0xFFFF);
  EXPECT_TRUE(ar.IsStoring());
  EXPECT_TRUE(ar.BufferEmpty());
  Bytes data(70000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + i / 251);
  EXPECT_EQ(ar.Write(data.data(), 30000), 30000u);
  EXPECT_EQ(ar.Write(data.data() + 30000, 40000), 40000u);
  EXPECT_EQ(ar.GetResult(), 0);
  EXPECT_EQ(ar.GetBufferSize(), 0x1FFFEu);
  EXPECT_EQ(Contents(ar), data);

  // Flush rewinds without shrinking, so the next frame of this size needs no growth.
  const void* buffer = static_cast<const void*>(ar);
  ar.Flush();
  EXPECT_TRUE(ar.BufferEmpty());
  EXPECT_EQ(ar.GetDataSize(), 0);
  EXPECT_EQ(ar.Write(data.data(), 70000), 70000u);
  EXPECT_EQ(ar.GetBufferSize(), 0x1FFFEu);
  EXPECT_EQ(static_cast<const void*>(ar), buffer);
}

TEST(KrpArchive, ValuesAreStoredLittleEndianAndLoadBack) {
  CR3TpArchive out(nullptr, CKrpArchive::store, 4);  // small, so values straddle growth
  out << 0x01020304 << 0xF1F2F3F4u << static_cast<unsigned char>(0xAB) << 'z'
      << static_cast<short>(-2) << static_cast<unsigned short>(0xBEEF) << 1.5f << -0.25 << true
      << 0x1122334455667788ll << static_cast<KrpDataTypeId>(19);
  const Bytes expected = {0x04, 0x03, 0x02, 0x01, 0xF4, 0xF3, 0xF2, 0xF1, 0xAB, 'z',
                          0xFE, 0xFF, 0xEF, 0xBE, 0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0xD0, 0xBF, 0x01, 0x88, 0x77, 0x66,
                          0x55, 0x44, 0x33, 0x22, 0x11, 19,   0,    0,    0};
  ASSERT_EQ(Contents(out), expected);

  CByteSource source(expected, 3);
  CR3TpArchive in(&source, CKrpArchive::load, 8);
  EXPECT_TRUE(in.IsLoading());
  EXPECT_TRUE(in.BufferEmpty());
  int i;
  unsigned u;
  unsigned char uc;
  char c;
  short s;
  unsigned short us;
  float f;
  double d;
  bool b;
  long long ll;
  KrpDataTypeId t;
  in >> i >> u >> uc >> c >> s >> us >> f >> d >> b >> ll >> t;
  EXPECT_EQ(in.GetResult(), 0);
  EXPECT_EQ(i, 0x01020304);
  EXPECT_EQ(u, 0xF1F2F3F4u);
  EXPECT_EQ(uc, 0xAB);
  EXPECT_EQ(c, 'z');
  EXPECT_EQ(s, -2);
  EXPECT_EQ(us, 0xBEEF);
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(d, -0.25);
  EXPECT_TRUE(b);
  EXPECT_EQ(ll, 0x1122334455667788ll);
  EXPECT_EQ(t, 19);
  EXPECT_TRUE(in.BufferEmpty());

  // Past the end of the source: the error sticks and values read as 0.
  u = 7;
  in >> u;
  EXPECT_EQ(u, 0u);
  EXPECT_EQ(in.GetResult(), static_cast<LONG>(KRP_E_NO_MEMORY));
}

TEST(KrpArchive, FailuresStickUntilFlush) {
  const BYTE byte = 1;
  CR3TpArchive empty(nullptr, CKrpArchive::store, 0);
  EXPECT_EQ(empty.Write(&byte, 1), 0u);
  EXPECT_EQ(empty.GetResult(), static_cast<LONG>(KRP_E_NO_MEMORY));
  EXPECT_EQ(empty.GetDataSize(), 0);
  empty.Flush();
  EXPECT_EQ(empty.GetResult(), 0);

  CR3TpArchive noSource(nullptr, CKrpArchive::load, 16);
  BYTE out[4];
  EXPECT_EQ(noSource.Read(out, sizeof out), 0u);
  EXPECT_EQ(noSource.GetResult(), static_cast<LONG>(KRP_E_NO_MEMORY));

  // Skipping with a null destination consumes bytes like a read.
  CByteSource source({1, 2, 3, 4, 5}, 5);
  CR3TpArchive in(&source, CKrpArchive::load, 8);
  EXPECT_EQ(in.Read(nullptr, 2), 2u);
  EXPECT_EQ(in.Read(out, 3), 3u);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[2], 5);
}

}  // namespace
