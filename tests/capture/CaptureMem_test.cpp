#include "capture/CaptureMem.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "CaptureTestUtil.h"

namespace {

using captest::Record;

// A memory capture holding records of the given sizes, and the bytes they were made of.
struct Filled {
  CCaptureMem mem;
  std::vector<std::vector<BYTE>> records;
  std::vector<BYTE> all;

  explicit Filled(std::vector<DWORD> sizes, DWORD capacity = 65536) {
    EXPECT_EQ(S_OK, mem.Create(capacity));
    for (DWORD s : sizes) Add(s);
  }
  void Add(DWORD size) {
    records.push_back(Record(size, static_cast<DWORD>(records.size())));
    EXPECT_EQ(S_OK, mem.WriteFrame(records.back().data(), size));
    all.insert(all.end(), records.back().begin(), records.back().end());
  }
  std::vector<BYTE> Bytes(size_t from, size_t n) const {
    return std::vector<BYTE>(all.begin() + from, all.begin() + from + n);
  }
};

TEST(CaptureTable, FrameRangeFollowsStartAndCount) {
  Filled f({64, 64, 64, 64, 64});
  f.mem.SetStartFrame(10);
  struct Case {
    LONG frame;
    bool in;
  };
  for (const Case& c : {Case{9, false}, Case{10, true}, Case{14, true}, Case{15, false}})
    EXPECT_EQ(c.in, f.mem.IsFrameInTable(c.frame)) << c.frame;

  f.mem.SetStartFrame(INT_MAX - 2);  // the end of the range lies beyond 32 bits
  EXPECT_TRUE(f.mem.IsFrameInTable(INT_MAX));
  EXPECT_FALSE(f.mem.IsFrameInTable(INT_MAX - 3));
  EXPECT_EQ(20u, f.mem.GetSizeOfTable());
}

TEST(CaptureMem, ReadFramesFillsTheBufferWithWholeRecordsAndOneBeginning) {
  struct Case {
    const char* what;
    DWORD cbSize;
    LONG start, asked;
    LONG framesRead;
    TIncompleteFrame pending;
    DWORD from, cbRead;
  };
  // Records of 100, 64, 80 and 120 bytes: frame offsets 0, 100, 164, 244 in the buffer.
  const Case cases[] = {
      {"exactly two records", 164, 0, 4, 2, {0, 0}, 0, 164},
      {"ends 10 bytes into the third", 174, 0, 4, 2, {80, 70}, 0, 174},
      {"smaller than the first record", 50, 0, 4, 0, {100, 50}, 0, 50},
      {"everything fits", 1000, 0, 10, 4, {0, 0}, 0, 364},
      {"one frame asked for", 1000, 1, 1, 1, {0, 0}, 100, 64},
      {"last frame", 1000, 3, 1, 1, {0, 0}, 244, 120},
      {"from the second, cut in the fourth", 200, 1, 3, 2, {120, 64}, 100, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Filled f({100, 64, 80, 120});
    f.mem.GetFrameStream()->SetPosition(7);  // a reader must not move the writer
    std::vector<BYTE> buf(c.cbSize);
    DWORD cbRead = 0;
    LONG nRead = -1;
    TIncompleteFrame pending = {9, 9};
    ASSERT_EQ(S_OK,
              f.mem.ReadFrames(c.cbSize, buf.data(), c.start, c.asked, cbRead, nRead, pending));
    EXPECT_EQ(c.framesRead, nRead);
    EXPECT_EQ(c.pending.cbSize, pending.cbSize);
    EXPECT_EQ(c.pending.cbLeft, pending.cbLeft);
    EXPECT_EQ(c.cbRead, cbRead);
    EXPECT_EQ(f.Bytes(c.from, c.cbRead), std::vector<BYTE>(buf.begin(), buf.begin() + cbRead));
    DWORD pos = 0;
    f.mem.GetFrameStream()->GetPosition(&pos);
    EXPECT_EQ(7u, pos);
  }
}

TEST(CaptureMem, IncompleteFrameIsCompletedAcrossBuffers) {
  Filled f({100, 64, 80, 120});
  std::vector<BYTE> buf(174);
  DWORD cbRead = 0;
  LONG nRead = 0;
  TIncompleteFrame pending = {0, 0};
  ASSERT_EQ(S_OK, f.mem.ReadFrames(174, buf.data(), 0, 4, cbRead, nRead, pending));
  ASSERT_EQ(70u, pending.cbLeft);

  BYTE part[30];
  ASSERT_EQ(S_OK, f.mem.ReadIncompleteFrame(30, part, 2, cbRead, pending));  // small buffer
  EXPECT_EQ(30u, cbRead);
  EXPECT_EQ(40u, pending.cbLeft);
  EXPECT_EQ(f.Bytes(174, 30), std::vector<BYTE>(part, part + 30));

  std::vector<BYTE> rest(1000);
  ASSERT_EQ(S_OK, f.mem.ReadIncompleteFrame(1000, rest.data(), 2, cbRead, pending));
  EXPECT_EQ(40u, cbRead);
  EXPECT_EQ(0u, pending.cbLeft);
  EXPECT_EQ(f.Bytes(204, 40), std::vector<BYTE>(rest.begin(), rest.begin() + 40));

  EXPECT_EQ(E_FAIL, f.mem.ReadIncompleteFrame(1000, rest.data(), 4, cbRead, pending));
  // A pending state that does not fit the frame delivers nothing.
  TIncompleteFrame bogus = {500, 400};
  EXPECT_EQ(S_OK, f.mem.ReadIncompleteFrame(1000, rest.data(), 2, cbRead, bogus));
  EXPECT_EQ(0u, cbRead);
  EXPECT_EQ(400u, bogus.cbLeft);
}

TEST(CaptureMem, ReadsRefuseFramesOutsideTheTable) {
  Filled f({100, 64});
  BYTE buf[16];
  DWORD cbRead = 1, cb = 0;
  LONG nRead = 1;
  TIncompleteFrame pending = {0, 0};
  EXPECT_EQ(E_FAIL, f.mem.ReadFrames(16, buf, 2, 1, cbRead, nRead, pending));
  EXPECT_EQ(0u, cbRead);
  EXPECT_EQ(E_FAIL, f.mem.ReadFrames(16, buf, -1, 1, cbRead, nRead, pending));
  EXPECT_EQ(E_FAIL, f.mem.ReadFrames(0, buf, 0, 1, cbRead, nRead, pending));
  EXPECT_EQ(E_FAIL, f.mem.GetSizeOfFrames(2, 1, cb));

  CCaptureMem never;
  EXPECT_EQ(E_FAIL, never.ReadFrames(16, buf, 0, 1, cbRead, nRead, pending));
  EXPECT_EQ(E_FAIL, never.WriteFrame(buf, 16));
  EXPECT_EQ(E_FAIL, never.Clear(false));
}

// The bisection must agree with a plain scan: the last frame at or after the start position
// whose record begins at or before the target byte.
TEST(CaptureMem, GetTablePosAgreesWithALinearScan) {
  std::vector<DWORD> sizes;
  for (DWORD i = 0; i < 300; ++i) sizes.push_back(64 + (i * 37) % 200);
  Filled f(sizes, 1 << 20);
  std::vector<DWORD> starts(sizes.size());
  for (size_t i = 1; i < sizes.size(); ++i) starts[i] = starts[i - 1] + sizes[i - 1];
  const DWORD total = starts.back() + sizes.back();

  for (LONG from : {0, 1, 2, 150, 298, 299}) {
    for (DWORD off = 0; starts[from] + off < total; off += 7) {
      const DWORD target = starts[from] + off;
      LONG expected = from;
      while (expected + 1 < static_cast<LONG>(starts.size()) && starts[expected + 1] <= target)
        ++expected;
      ASSERT_EQ(expected, f.mem.GetTablePos(off, from)) << "from " << from << " offset " << off;
    }
  }
  EXPECT_EQ(0, f.mem.GetTablePos(0, 0));
  EXPECT_EQ(299, f.mem.GetTablePos(total - 1, 0));  // inside the last frame
}

TEST(CaptureMem, SizeOfFramesStopsAtTheLastFrame) {
  Filled f({100, 64, 80, 120});
  struct Case {
    LONG start, n;
    DWORD bytes;
  };
  for (const Case& c :
       {Case{0, 1, 100}, Case{1, 2, 144}, Case{0, 4, 364}, Case{2, 100, 200}, Case{3, 0, 0}}) {
    DWORD cb = 1;
    ASSERT_EQ(S_OK, f.mem.GetSizeOfFrames(c.start, c.n, cb));
    EXPECT_EQ(c.bytes, cb) << c.start << "+" << c.n;
  }
}

TEST(CaptureMem, ReadFrameInBothForms) {
  Filled f({100, 64, 80});
  BYTE* frame = nullptr;
  DWORD cb = 0;
  ASSERT_EQ(S_OK, f.mem.ReadFrame(1, &frame, &cb));
  EXPECT_EQ(64u, cb);
  EXPECT_EQ(f.records[1], std::vector<BYTE>(frame, frame + cb));
  delete[] frame;

  BYTE small[50];
  ASSERT_EQ(S_OK, f.mem.ReadFrame(2, sizeof small, small, &cb));
  EXPECT_EQ(80u, cb);  // the whole record's size: it did not fit
  EXPECT_EQ(0, memcmp(small, f.records[2].data(), sizeof small));
  BYTE big[200];
  ASSERT_EQ(S_OK, f.mem.ReadFrame(0, sizeof big, big, &cb));
  EXPECT_EQ(100u, cb);

  frame = reinterpret_cast<BYTE*>(1);
  EXPECT_EQ(E_FAIL, f.mem.ReadFrame(3, &frame, &cb));
  EXPECT_EQ(nullptr, frame);
}

// A record that claims more MacFrame bytes than it holds must not lead a reader of the copy
// past its end.
TEST(CaptureMem, ReadFrameLowersAnOversizedBytesAvail) {
  CCaptureMem mem;
  ASSERT_EQ(S_OK, mem.Create(4096));
  auto rec = Record(80, 1);
  vx::EncodeLE32(rec.data() + vxcap::kRecBytesAvail, 5000);
  ASSERT_EQ(S_OK, mem.WriteFrame(rec.data(), 80));
  BYTE* frame = nullptr;
  DWORD cb = 0;
  ASSERT_EQ(S_OK, mem.ReadFrame(0, &frame, &cb));
  EXPECT_EQ(64u, vx::DecodeLE32(frame + vxcap::kRecBytesAvail));
  delete[] frame;
}

TEST(CaptureMem, OverfullWriteIsRefusedAndChangesNothing) {
  Filled f({300, 300, 300}, 1000);
  auto big = Record(200, 9);
  EXPECT_EQ(E_FAIL, f.mem.WriteFrame(big.data(), 200));
  EXPECT_EQ(900u, f.mem.GetSize());
  EXPECT_EQ(3, f.mem.GetFrameCount());
  f.Add(100);  // exactly fills the buffer
  EXPECT_EQ(1000u, f.mem.GetSize());
  EXPECT_EQ(128u + 900, f.mem.GetFrameOffset(3));
  EXPECT_EQ(E_FAIL, f.mem.Create(1000));  // sized once
}

// Growing the table fails only when memory runs out; a table that refuses the entry stands in
// for that.
class CRefusingTable : public CCaptureMem {
 public:
  HRESULT AddFrameToTable(DWORD nOffset) override {
    return refuse ? E_OUTOFMEMORY : CCaptureMem::AddFrameToTable(nOffset);
  }
  bool refuse = false;
};

TEST(CaptureMem, RecordWhoseEntryCannotBeAddedIsTakenBack) {
  CRefusingTable mem;
  ASSERT_EQ(S_OK, mem.Create(4096));
  const auto a = Record(100, 1), b = Record(80, 2), c = Record(64, 3);
  ASSERT_EQ(S_OK, mem.WriteFrame(a.data(), 100));
  mem.refuse = true;
  EXPECT_EQ(E_OUTOFMEMORY, mem.WriteFrame(b.data(), 80));
  EXPECT_EQ(1, mem.GetFrameCount());
  EXPECT_EQ(100u, mem.GetSize());
  mem.refuse = false;

  // The next record takes the refused one's place, so a copy hands on exactly the two frames.
  ASSERT_EQ(S_OK, mem.WriteFrame(c.data(), 64));
  EXPECT_EQ(228u, mem.GetFrameOffset(1));
  CCaptureMem dst;
  ASSERT_EQ(S_OK, dst.Create(4096));
  ASSERT_EQ(S_OK, mem.CopyTo(&dst, 0, 0));
  ASSERT_EQ(164u, dst.GetSize());
  BYTE* copied = nullptr;
  dst.GetMemoryStream()->GetBuffer(&copied);
  std::vector<BYTE> expected = a;
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_EQ(expected, std::vector<BYTE>(copied, copied + 164));
}

TEST(CaptureMem, ClearContinuesOrResetsNumberingAndOffsets) {
  CCaptureMem mem;
  ASSERT_EQ(S_OK, mem.Create(4096));
  ASSERT_EQ(S_OK, mem.Clear(true));
  mem.SetStartFrame(7);
  mem.SetStartOffset(5000);
  for (DWORD s : {100u, 120u, 80u}) {
    auto r = Record(s, s);
    ASSERT_EQ(S_OK, mem.WriteFrame(r.data(), s));
  }
  EXPECT_EQ(5100u, mem.GetFrameOffset(1));
  ASSERT_EQ(S_OK, mem.Clear(false));
  EXPECT_EQ(10, mem.GetStartFrame());
  EXPECT_EQ(5300u, mem.GetStartOffset());
  EXPECT_EQ(0, mem.GetFrameCount());
  EXPECT_EQ(0u, mem.GetSize());

  auto r = Record(64, 1);
  ASSERT_EQ(S_OK, mem.WriteFrame(r.data(), 64));
  EXPECT_EQ(5300u, mem.GetFrameOffset(0));  // numbering and offsets continue
  EXPECT_TRUE(mem.IsFrameInTable(10));

  ASSERT_EQ(S_OK, mem.Clear(true));
  EXPECT_EQ(0, mem.GetStartFrame());
  EXPECT_EQ(0u, mem.GetStartOffset());
}

TEST(CaptureMem, CopyToHandsOnFramesFromAGivenNumberWithShiftedEntries) {
  Filled src({100, 64, 80, 120});
  for (DWORD shift : {0u, 1000u}) {
    SCOPED_TRACE(shift);
    CCaptureMem dst;
    ASSERT_EQ(S_OK, dst.Create(4096));
    ASSERT_EQ(S_OK, src.mem.CopyTo(&dst, 1, shift));
    ASSERT_EQ(3, dst.GetFrameCount());
    EXPECT_EQ(264u, dst.GetSize());
    for (LONG i = 0; i < 3; ++i)
      EXPECT_EQ(src.mem.GetFrameOffset(i + 1) + shift, dst.GetFrameOffset(i));
    BYTE* mine = nullptr;
    src.mem.GetMemoryStream()->GetBuffer(&mine);
    BYTE* theirs = nullptr;
    dst.GetMemoryStream()->GetBuffer(&theirs);
    EXPECT_EQ(0, memcmp(mine + 100, theirs, 264));
  }
  CCaptureMem dst;
  ASSERT_EQ(S_OK, dst.Create(4096));
  EXPECT_EQ(E_FAIL, src.mem.CopyTo(&dst, 4, 0));
  EXPECT_EQ(4, src.mem.GetFrameCount());  // the source keeps its frames and its ends
  src.Add(64);
  EXPECT_EQ(128u + 364, src.mem.GetFrameOffset(4));
}

TEST(CaptureMem, WriteFramesThatCannotBeDeliveredChangeNothing) {
  Filled dst({100});
  IVxMemoryStream* table = nullptr;
  IVxMemoryStream* frames = nullptr;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(8, &table));
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(100, &frames));
  BYTE entries[8];
  vxcap::EncodeTableEntry(entries, 228);
  vxcap::EncodeTableEntry(entries + 4, 292);
  table->Write(entries, 8, nullptr);
  table->SetPosition(0);
  frames->SetPosition(0);
  EXPECT_EQ(E_FAIL, dst.mem.WriteFrames(table, 8, frames, 144));  // only 100 bytes there
  EXPECT_EQ(1, dst.mem.GetFrameCount());
  EXPECT_EQ(100u, dst.mem.GetSize());
  dst.Add(64);
  EXPECT_EQ(228u, dst.mem.GetFrameOffset(1));
  EXPECT_EQ(164u, dst.mem.GetSize());
  table->Release();
  frames->Release();
}

}  // namespace
