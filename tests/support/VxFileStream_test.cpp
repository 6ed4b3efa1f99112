#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/FileSizeLimit.h"
#include "common/TestUtil.h"
#include "support/VxStream.h"

namespace {

constexpr DWORD kReadWrite = 0xC0000000;
constexpr DWORD kRead = 0x80000000;
constexpr DWORD kShareRead = 1;
constexpr DWORD kCreateAlways = 2;
constexpr DWORD kOpenExisting = 3;
constexpr DWORD kNormal = 0x80;

struct FileRef {
  IVxFileStream* p = nullptr;
  ~FileRef() {
    if (p) p->Release();
  }
  IVxFileStream* operator->() const { return p; }
};

std::vector<BYTE> Pattern(size_t n, BYTE seed = 1) {
  std::vector<BYTE> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(seed + i * 13 + (i >> 8));
  return v;
}

HRESULT Create(const std::string& path, FileRef& f) {
  return CVxFileStream::CreateFileStream(&f.p, path.c_str(), kReadWrite, kShareRead, kCreateAlways,
                                         kNormal);
}

DWORD Position(IVxStream* s) {
  DWORD pos = 0xDEADBEEF;
  EXPECT_EQ(S_OK, s->GetPosition(&pos));
  return pos;
}

TEST(VxFileStream, OpeningAMissingFileFailsWithItsErrorAndLeavesThePointer) {
  vxtest::TempDir dir;
  IVxFileStream* keep = reinterpret_cast<IVxFileStream*>(0x1234);
  HRESULT hr = CVxFileStream::CreateFileStream(&keep, (dir / "missing").c_str(), kRead, kShareRead,
                                               kOpenExisting, kNormal);
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), hr);
  EXPECT_EQ(reinterpret_cast<IVxFileStream*>(0x1234), keep);
}

TEST(VxFileStream, ReadWriteSeekAndPositions) {
  vxtest::TempDir dir;
  FileRef f;
  ASSERT_EQ(S_OK, Create(dir / "a.bin", f));
  auto data = Pattern(300);
  ULONG n = 0;
  ASSERT_EQ(S_OK, f->Write(data.data(), 300, &n));
  EXPECT_EQ(300u, n);
  EXPECT_EQ(300u, Position(f.p));

  ULONGLONG pos = 0;
  EXPECT_EQ(S_OK, f->Seek(-100, STREAM_SEEK_END, &pos));
  EXPECT_EQ(200u, pos);
  EXPECT_EQ(S_OK, f->Seek(-50, STREAM_SEEK_CUR, &pos));
  EXPECT_EQ(150u, pos);
  EXPECT_EQ(E_UNEXPECTED, f->Seek(0, 3, &pos));
  EXPECT_EQ(150u, Position(f.p));

  BYTE back[400];
  ASSERT_EQ(S_OK, f->SetPosition(250));
  EXPECT_EQ(S_OK, f->Read(back, 400, &n));  // short at the end of the file
  EXPECT_EQ(50u, n);
  EXPECT_EQ(0, memcmp(back, data.data() + 250, 50));
  EXPECT_EQ(S_OK, f->Read(back, 10, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(E_UNEXPECTED, f->GetPosition(nullptr));
}

TEST(VxFileStream, QueryInterfaceAndUnimplementedSlots) {
  vxtest::TempDir dir;
  FileRef f;
  ASSERT_EQ(S_OK, Create(dir / "q.bin", f));
  for (const IID* iid :
       {&IID_IUnknown, &IID_IStream, &IID_ISequentialStream, &IID_IVxStream, &IID_IVxFileStream}) {
    void* p = nullptr;
    EXPECT_EQ(S_OK, f->QueryInterface(*iid, &p));
    ASSERT_NE(nullptr, p);
    static_cast<IUnknown*>(p)->Release();
  }
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(S_OK, f->QueryInterface(IID_IVxMemoryStream, &p));
  EXPECT_EQ(nullptr, p);

  STATSTG st{};
  IStream* clone = nullptr;
  EXPECT_EQ(E_NOTIMPL, f->CopyTo(static_cast<IStream*>(f.p), 1, nullptr, nullptr));
  // Commit puts the data on the storage device.
  EXPECT_EQ(S_OK, f->Commit(0));
  EXPECT_EQ(E_NOTIMPL, f->Revert());
  EXPECT_EQ(E_NOTIMPL, f->LockRegion(0, 1, 0));
  EXPECT_EQ(E_NOTIMPL, f->UnlockRegion(0, 1, 0));
  EXPECT_EQ(E_NOTIMPL, f->Stat(&st, 0));
  EXPECT_EQ(E_NOTIMPL, f->Clone(&clone));

  OS_USER_FILE_HANDLE h = nullptr;
  EXPECT_EQ(S_OK, f->GetHandle(&h));
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
}

// The region mover is what keeps a capture file's table behind its frames; every byte of the
// file must end up where a plain memmove on a copy of the file puts it.
TEST(VxFileStream, MoveRegionMatchesAModelInBothDirections) {
  struct Case {
    DWORD from, size, to;
  };
  const Case cases[] = {
      {128, 3000, 228},  // destination overlaps the source from above: backwards copy
      {228, 3000, 128},  // overlap from below: forwards copy
      {0, 1024, 1},      // small regions shifted by a byte
      {1, 2049, 0},         {100, 40000, 200},    // many buffers' worth, overlapping from above
      {200, 40000, 100},                          // and from below
      {0, 50000, 20000},                          // overlapping by more than a buffer
      {20000, 50000, 0},    {1000, 65536, 1001},  // a power of two in size
      {100, 500, 3000},                           // disjoint, forwards
      {3000, 500, 100},                           // disjoint, backwards
      {69000, 1000, 69500},                       // moved past the end: the file grows
      {0, 3000, 72000},                           // moved beyond the end with a gap
      {500, 0, 900},                              // nothing to move
      {700, 700, 700},                            // onto itself
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes " << c.from << " -> " << c.to);
    vxtest::TempDir dir;
    std::string path = dir / "m.bin";
    auto model = Pattern(70000);
    FileRef f;
    ASSERT_EQ(S_OK, Create(path, f));
    ASSERT_EQ(S_OK, f->Write(model.data(), 70000, nullptr));
    ASSERT_EQ(S_OK, f->SetPosition(c.from));
    ASSERT_EQ(S_OK, f->MoveRegion(c.size, c.to));
    EXPECT_EQ(c.to + c.size, Position(f.p));

    std::vector<BYTE> src(model.begin() + c.from, model.begin() + c.from + c.size);
    if (model.size() < c.to + c.size) model.resize(c.to + c.size, 0);
    std::copy(src.begin(), src.end(), model.begin() + c.to);
    EXPECT_EQ(model, vxtest::ReadFileBytes(path));
  }
}

TEST(VxFileStream, MoveRegionOfBytesBeyondTheEndFails) {
  vxtest::TempDir dir;
  FileRef f;
  ASSERT_EQ(S_OK, Create(dir / "m.bin", f));
  auto data = Pattern(1000);
  ASSERT_EQ(S_OK, f->Write(data.data(), 1000, nullptr));
  ASSERT_EQ(S_OK, f->SetPosition(900));
  EXPECT_EQ(E_FAIL, f->MoveRegion(200, 0));  // only 100 of the 200 bytes exist
}

TEST(VxFileStream, SetSizeCutsOrExtendsAndPositionsAtTheNewEnd) {
  vxtest::TempDir dir;
  std::string path = dir / "s.bin";
  FileRef f;
  ASSERT_EQ(S_OK, Create(path, f));
  auto data = Pattern(1000);
  ASSERT_EQ(S_OK, f->Write(data.data(), 1000, nullptr));

  ASSERT_EQ(S_OK, f->SetSize(400));
  EXPECT_EQ(400u, Position(f.p));
  auto bytes = vxtest::ReadFileBytes(path);
  EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + 400), bytes);

  ASSERT_EQ(S_OK, f->SetSize(1048576));
  EXPECT_EQ(1048576u, Position(f.p));
  bytes = vxtest::ReadFileBytes(path);
  ASSERT_EQ(1048576u, bytes.size());
  EXPECT_TRUE(std::all_of(bytes.begin() + 400, bytes.end(), [](BYTE b) { return b == 0; }));
}

TEST(VxFileStream, CopyToStopsAtTheEndOfTheFileAndReportsARefusingTarget) {
  vxtest::TempDir dir;
  FileRef f, g;
  ASSERT_EQ(S_OK, Create(dir / "c.bin", f));
  ASSERT_EQ(S_OK, Create(dir / "d.bin", g));
  auto data = Pattern(3000);
  ASSERT_EQ(S_OK, f->Write(data.data(), 3000, nullptr));

  IVxMemoryStream* mem = nullptr;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateGrowableMemoryStream(16, &mem, 16));
  f->SetPosition(1000);
  DWORD rd = 0, wr = 0;
  EXPECT_EQ(S_OK, f->CopyTo(mem, 5000, &rd, &wr));
  EXPECT_EQ(2000u, rd);
  EXPECT_EQ(2000u, wr);
  BYTE* buf = nullptr;
  mem->GetBuffer(&buf);
  EXPECT_EQ(0, memcmp(buf, data.data() + 1000, 2000));
  mem->Release();

  f->SetPosition(0);
  EXPECT_EQ(S_OK, f->CopyTo(g.p, 2500, &rd, &wr));  // file to file
  EXPECT_EQ(2500u, rd);
  auto copied = vxtest::ReadFileBytes(dir / "d.bin");
  EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + 2500), copied);

  IVxMemoryStream* small = nullptr;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(100, &small));
  f->SetPosition(0);
  EXPECT_EQ(E_OUTOFMEMORY, f->CopyTo(small, 200, &rd, &wr));
  small->Release();

  // A source that cannot be read reports the failure, not a copy of nothing.
  FileRef writeOnly;
  ASSERT_EQ(S_OK, CVxFileStream::CreateFileStream(&writeOnly.p, (dir / "c.bin").c_str(), 0x40000000,
                                                  kShareRead, kOpenExisting, kNormal));
  rd = wr = 7;
  EXPECT_EQ(0x80070009, static_cast<DWORD>(writeOnly->CopyTo(g.p, 100, &rd, &wr)));
  EXPECT_EQ(0u, rd);
}

TEST(VxFileStream, GetFilePathNeedsRoomForTheTerminatingZero) {
  vxtest::TempDir dir;
  std::string path = dir / "name.cap";
  FileRef f;
  ASSERT_EQ(S_OK, Create(path, f));
  std::vector<char> buf(path.size() + 1, 'x');
  EXPECT_EQ(E_FAIL, f->GetFilePath(static_cast<DWORD>(path.size()), buf.data()));
  EXPECT_EQ(S_OK, f->GetFilePath(static_cast<DWORD>(path.size() + 1), buf.data()));
  EXPECT_EQ(path, std::string(buf.data()));
}

// A write the disk cannot take completely must not look like a success.
TEST(VxFileStream, WriteStoppedByAFullDiskReportsTheErrorAndTheBytesWritten) {
  vxtest::TempDir dir;
  FileRef f;
  ASSERT_EQ(S_OK, Create(dir / "full.bin", f));
  auto data = Pattern(3000);
  ULONG n = 0;
  {
    vxtest::FileSizeLimit limit(2048);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), f->Write(data.data(), 3000, &n));
    EXPECT_EQ(2048u, n);
    EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), f->SetSize(4096));  // reserving space fails too
  }
  EXPECT_EQ(S_OK, f->SetSize(4096));
}

}  // namespace
