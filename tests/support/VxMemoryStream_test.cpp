#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include "support/VxStream.h"

namespace {

// Holds one reference and releases it at the end of the test.
struct MemRef {
  IVxMemoryStream* p = nullptr;
  ~MemRef() {
    if (p) p->Release();
  }
  IVxMemoryStream* operator->() const { return p; }
};

BYTE* Buf(IVxMemoryStream* s) {
  BYTE* b = nullptr;
  EXPECT_EQ(S_OK, s->GetBuffer(&b));
  return b;
}

ULONGLONG Capacity(IVxMemoryStream* s) {
  STATSTG st{};
  EXPECT_EQ(S_OK, s->Stat(&st, 0));
  return st.cbSize;
}

std::vector<BYTE> Pattern(size_t n, BYTE seed = 1) {
  std::vector<BYTE> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(seed + i * 7 + (i >> 8));
  return v;
}

TEST(VxMemoryStream, ReadResultsAtTheEdges) {
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(16, &s.p));
  BYTE buf[32];
  ULONG n = 99;

  EXPECT_EQ(S_FALSE, s->Read(buf, 0, &n));  // nothing asked for
  EXPECT_EQ(0u, n);
  EXPECT_EQ(E_FAIL, s->Read(nullptr, 4, &n));

  ASSERT_EQ(S_OK, s->SetPosition(12));
  EXPECT_EQ(S_OK, s->Read(buf, 32, &n));  // only the bytes up to the capacity
  EXPECT_EQ(4u, n);
  DWORD pos = 0;
  ASSERT_EQ(S_OK, s->GetPosition(&pos));
  EXPECT_EQ(16u, pos);
  EXPECT_EQ(E_FAIL, s->Read(buf, 1, &n));  // at the end
  ASSERT_EQ(S_OK, s->SetPosition(1000));
  EXPECT_EQ(E_FAIL, s->Read(buf, 1, &n));  // beyond the end
  EXPECT_EQ(E_UNEXPECTED, s->GetPosition(nullptr));
}

TEST(VxMemoryStream, EmptyStreamReadsNothing) {
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(0, &s.p));
  BYTE b;
  EXPECT_EQ(S_FALSE, s->Read(&b, 1, nullptr));
  ASSERT_EQ(S_OK, s->SetPosition(5));  // a capacity of 0 must not turn into a huge remainder
  EXPECT_EQ(S_FALSE, s->Read(&b, 1, nullptr));
}

TEST(VxMemoryStream, FixedWriteThatDoesNotFitChangesNothing) {
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(16, &s.p));
  std::vector<BYTE> zeros(16, 0);
  ASSERT_EQ(S_OK, s->Write(zeros.data(), 16, nullptr));
  ASSERT_EQ(S_OK, s->SetPosition(10));
  auto data = Pattern(8);
  ULONG written = 77;
  EXPECT_EQ(E_OUTOFMEMORY, s->Write(data.data(), 8, &written));
  DWORD pos = 0;
  s->GetPosition(&pos);
  EXPECT_EQ(10u, pos);
  EXPECT_EQ(16u, Capacity(s.p));
  EXPECT_EQ(0, memcmp(Buf(s.p), zeros.data(), 16));

  EXPECT_EQ(S_FALSE, s->Write(data.data(), 0, nullptr));
  EXPECT_EQ(E_FAIL, s->Write(nullptr, 4, nullptr));
  EXPECT_EQ(S_OK, s->Write(data.data(), 6, &written));  // exactly up to the capacity
  EXPECT_EQ(6u, written);

  // A position beyond the capacity (Seek allows it) neither writes nor copies outside.
  ASSERT_EQ(S_OK, s->SetPosition(100));
  EXPECT_EQ(E_OUTOFMEMORY, s->Write(data.data(), 1, nullptr));
  MemRef dst;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateGrowableMemoryStream(16, &dst.p, 16));
  DWORD rd = 9, wr = 9;
  EXPECT_TRUE(SUCCEEDED(s->CopyTo(static_cast<IVxStream*>(dst.p), 8, &rd, &wr)));
  EXPECT_EQ(0u, rd);
  EXPECT_EQ(0u, wr);
}

TEST(VxMemoryStream, GrowableStreamGrowsByAtLeastTheGrowthStep) {
  struct Case {
    DWORD size, growth, pos, n;
    ULONGLONG capacity;
  };
  const Case cases[] = {
      {4096, 4096, 0, 5000, 8192},    // one growth step covers it
      {4096, 4096, 0, 10000, 10000},  // the write needs more than a step
      {4096, 4096, 0, 4096, 4096},    // fits exactly: no growth
      {100, 4096, 0, 4097, 8192},     // the first buffer already has the growth size
      {10, 0, 8, 5, 13},              // no growth step: exactly what is needed
      {16, 16, 40, 4, 44},            // a write beyond the end grows to cover the gap
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.size << "/" << c.growth << " write " << c.n << " at " << c.pos);
    MemRef s;
    ASSERT_EQ(S_OK, CVxMemoryStream::CreateGrowableMemoryStream(c.size, &s.p, c.growth));
    auto old = Pattern(std::max(c.size, c.growth), 3);
    ASSERT_EQ(S_OK, s->Write(old.data(), static_cast<ULONG>(old.size()), nullptr));
    auto data = Pattern(c.n, 9);
    ASSERT_EQ(S_OK, s->SetPosition(c.pos));
    ULONG written = 0;
    ASSERT_EQ(S_OK, s->Write(data.data(), c.n, &written));
    EXPECT_EQ(c.n, written);
    EXPECT_EQ(c.capacity, Capacity(s.p));
    BYTE* buf = nullptr;
    ASSERT_EQ(S_OK, s->GetBuffer(&buf));
    EXPECT_EQ(0, memcmp(buf + c.pos, data.data(), c.n));
    size_t kept = std::min<size_t>(c.pos, old.size());
    EXPECT_EQ(0, memcmp(buf, old.data(), kept));  // earlier content survives the growth
  }
}

TEST(VxMemoryStream, SeekMovesWithinThirtyTwoBitsAndRefusesEnd) {
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(16, &s.p));
  ULONGLONG pos = 0;
  EXPECT_EQ(S_OK, s->Seek(10, STREAM_SEEK_SET, &pos));
  EXPECT_EQ(10u, pos);
  EXPECT_EQ(S_OK, s->Seek(-4, STREAM_SEEK_CUR, &pos));
  EXPECT_EQ(6u, pos);
  EXPECT_EQ(S_OK, s->Seek(100, STREAM_SEEK_SET, &pos));  // not checked against the capacity
  EXPECT_EQ(100u, pos);
  EXPECT_EQ(E_UNEXPECTED, s->Seek(0, STREAM_SEEK_END, &pos));
  EXPECT_EQ(E_UNEXPECTED, s->Seek(0, 3, &pos));
}

TEST(VxMemoryStream, QueryInterfaceAnswersItsOwnInterfacesOnly) {
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(4, &s.p));
  struct Case {
    const IID* iid;
    bool found;
  };
  const Case cases[] = {{&IID_IUnknown, true},          {&IID_IStream, true},
                        {&IID_ISequentialStream, true}, {&IID_IVxMemoryStream, true},
                        {&IID_IVxStream, false},        {&IID_IVxFileStream, false}};
  for (const Case& c : cases) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(S_OK, s->QueryInterface(*c.iid, &p));
    EXPECT_EQ(c.found, p != nullptr);
    if (p) static_cast<IUnknown*>(p)->Release();
  }
  EXPECT_EQ(2u, s->AddRef());
  EXPECT_EQ(1u, s->Release());
}

TEST(VxMemoryStream, MoveRegionMatchesMemmoveInBothDirections) {
  struct Case {
    DWORD from, size, to;
  };
  const Case cases[] = {{10, 50, 30}, {30, 50, 10}, {0, 100, 0}, {0, 20, 80}, {60, 40, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes " << c.from << " -> " << c.to);
    auto model = Pattern(100);
    MemRef s;
    ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(100, &s.p));
    ASSERT_EQ(S_OK, s->Write(model.data(), 100, nullptr));
    ASSERT_EQ(S_OK, s->SetPosition(c.from));
    ASSERT_EQ(S_OK, s->MoveRegion(c.size, c.to));
    memmove(model.data() + c.to, model.data() + c.from, c.size);
    EXPECT_EQ(0, memcmp(model.data(), Buf(s.p), 100));
    DWORD pos = 0;
    s->GetPosition(&pos);
    EXPECT_EQ(c.to + c.size, pos);
  }
}

TEST(VxMemoryStream, MoveRegionRefusesRegionsOutsideTheBuffer) {
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(100, &s.p));
  s->SetPosition(60);
  EXPECT_EQ(E_FAIL, s->MoveRegion(41, 0));  // source runs past the end
  s->SetPosition(0);
  EXPECT_EQ(E_FAIL, s->MoveRegion(10, 95));  // destination runs past the end
  s->SetPosition(200);
  EXPECT_EQ(E_FAIL, s->MoveRegion(1, 0));  // position beyond the end
  DWORD pos = 0;
  s->GetPosition(&pos);
  EXPECT_EQ(200u, pos);

  MemRef g;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateGrowableMemoryStream(100, &g.p, 100));
  EXPECT_EQ(E_NOTIMPL, g->MoveRegion(1, 2));
}

TEST(VxMemoryStream, CopyToHandsBytesOnAndAdvancesEvenWhenTheTargetRefuses) {
  auto data = Pattern(64);
  MemRef src, dst, small;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(64, &src.p));
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateGrowableMemoryStream(16, &dst.p, 16));
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(8, &small.p));
  src->Write(data.data(), 64, nullptr);

  src->SetPosition(10);
  DWORD rd = 0, wr = 0;
  EXPECT_EQ(S_OK, src->CopyTo(static_cast<IVxStream*>(dst.p), 100, &rd, &wr));
  EXPECT_EQ(54u, rd);  // limited by what the source holds
  EXPECT_EQ(54u, wr);
  EXPECT_EQ(0, memcmp(Buf(dst.p), data.data() + 10, 54));

  src->SetPosition(0);
  rd = wr = 123;
  EXPECT_EQ(E_OUTOFMEMORY, src->CopyTo(static_cast<IVxStream*>(small.p), 20, &rd, &wr));
  DWORD pos = 0;
  src->GetPosition(&pos);
  EXPECT_EQ(20u, pos);

  // The IStream form with 64-bit counts behaves the same.
  src->SetPosition(60);
  ULONGLONG rd64 = 0, wr64 = 0;
  small->SetPosition(0);
  EXPECT_EQ(S_OK, src->CopyTo(static_cast<IStream*>(small.p), 4, &rd64, &wr64));
  EXPECT_EQ(4u, rd64);
  EXPECT_EQ(4u, wr64);
  EXPECT_EQ(0, memcmp(Buf(small.p), data.data() + 60, 4));
}

TEST(VxMemoryStream, CloneCopiesFixedStreamsOnly) {
  auto data = Pattern(32);
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(32, &s.p));
  s->Write(data.data(), 32, nullptr);
  IStream* c = nullptr;
  ASSERT_EQ(S_OK, s->Clone(&c));
  BYTE back[32];
  ULONG n = 0;
  EXPECT_EQ(S_OK, c->Read(back, 32, &n));  // the clone starts at position 0
  EXPECT_EQ(32u, n);
  EXPECT_EQ(0, memcmp(back, data.data(), 32));
  c->Release();

  MemRef empty;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(0, &empty.p));
  ASSERT_EQ(S_FALSE, empty->Clone(&c));
  c->Release();

  MemRef g;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateGrowableMemoryStream(8, &g.p, 8));
  EXPECT_EQ(E_NOTIMPL, g->Clone(&c));
}

TEST(VxMemoryStream, CallersBufferIsUsedInPlaceAndNotFreed) {
  std::vector<BYTE> mine(8, 0);
  {
    MemRef s;
    ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(mine.data(), 8, &s.p, FALSE));
    BYTE b[3] = {1, 2, 3};
    ASSERT_EQ(S_OK, s->Write(b, 3, nullptr));
    EXPECT_EQ(mine.data(), Buf(s.p));
  }  // releasing the stream must leave the vector's memory alone (ASan checks)
  EXPECT_EQ(3, mine[2]);
}

TEST(VxMemoryStream, NonVirtualHelpers) {
  CVxMemoryStream* s = new CVxMemoryStream();  // no buffer yet
  EXPECT_EQ(E_FAIL, s->Seek(4u));
  EXPECT_EQ(E_FAIL, s->Flush());
  ASSERT_EQ(S_OK, s->Init(16, nullptr, FALSE));
  EXPECT_TRUE(s->IsEmpty());
  EXPECT_EQ(S_OK, s->Seek(4u));
  EXPECT_FALSE(s->IsEmpty());
  EXPECT_EQ(S_OK, s->Flush());
  EXPECT_TRUE(s->IsEmpty());
  EXPECT_EQ(E_NOTIMPL, s->SetSize(4));
  s->Release();  // the buffer it allocated itself is freed (LeakSanitizer checks)
}

}  // namespace

namespace {

// Pages of [p, p + n) the system holds in memory.
size_t ResidentPages(const BYTE* p, size_t n) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = reinterpret_cast<uintptr_t>(p) / page * page;
  const size_t len = reinterpret_cast<uintptr_t>(p) + n - start;
  std::vector<unsigned char> vec((len + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(start), len, vec.data()) != 0) return SIZE_MAX;
  size_t resident = 0;
  for (unsigned char v : vec) resident += v & 1;
  return resident;
}

// A capture buffer may be 64 MiB; zeroing it up front would make all of it resident at once.
TEST(VxMemoryStream, ALargeBufferTakesMemoryOnlyAsItIsWritten) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer's allocator zeroes what it hands out";
#endif
  constexpr DWORD kSize = 64u << 20;
  MemRef s;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(kSize, &s.p));
  const BYTE* b = Buf(s.p);
  const size_t pages = kSize / static_cast<size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_LT(ResidentPages(b, kSize), pages / 16);

  const std::vector<BYTE> written(1u << 20, 0xA5);
  ASSERT_EQ(S_OK, s->Write(written.data(), static_cast<ULONG>(written.size()), nullptr));
  EXPECT_LT(ResidentPages(b, kSize), pages / 8);
  // The rest still reads as zero.
  std::vector<BYTE> tail(4096, 0xFF);
  ASSERT_EQ(S_OK, s->Seek(kSize - 4096, STREAM_SEEK_SET, nullptr));
  ULONG n = 0;
  ASSERT_EQ(S_OK, s->Read(tail.data(), 4096, &n));
  EXPECT_EQ(4096u, n);
  EXPECT_EQ(std::vector<BYTE>(4096, 0), tail);
}

}  // namespace
