// Appends that the disk cannot take: the file size limit of the process stands in for a full
// disk. A failed append must be reported, and the file and the object must still describe
// exactly the frames that were completely written before it.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "CaptureTestUtil.h"

namespace {

using captest::AppendBatch;
using captest::Bytes;
using captest::FileSizeLimit;
using captest::Parse;
using captest::Parsed;
using captest::Record;
using captest::Records;

constexpr rlim_t kLimit = 32768;

// Appends groups of records with `append` until the limit stops one, then checks what the
// file and the object hold, and that appending goes on once there is room again.
void FillUntilFull(const std::function<HRESULT(CCaptureFile&, const Records&)>& append,
                   DWORD groupSize) {
  vxtest::TempDir dir;
  const std::string path = dir / "full.cap";
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(4096, dir.path().c_str(), "full.cap", false));
  Records stored;
  HRESULT hr = S_OK;
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.ok());
    for (DWORD i = 0; i < 1000 && SUCCEEDED(hr); ++i) {
      Records group;
      for (DWORD j = 0; j < groupSize; ++j) group.push_back(Record(150 + (i * 7 + j) % 90, i));
      hr = append(f, group);
      if (SUCCEEDED(hr)) stored.insert(stored.end(), group.begin(), group.end());
    }
    EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), hr);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(static_cast<LONG>(stored.size()), f.GetFrameCount());

    Parsed p = Parse(vxtest::ReadFileBytes(path));
    ASSERT_TRUE(p.ok) << p.why;
    EXPECT_EQ(stored, p.frames);

    // Reads through the object still see every stored frame, and a further attempt (it may
    // fit into what is left) keeps the object and the file in step.
    BYTE* last = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(S_OK, f.ReadFrame(f.GetFrameCount() - 1, &last, &cb));
    EXPECT_EQ(stored.back(), Bytes(last, last + cb));
    delete[] last;
    Records one = {Record(200, 999)};
    if (SUCCEEDED(append(f, one))) stored.push_back(one[0]);
    EXPECT_EQ(static_cast<LONG>(stored.size()), f.GetFrameCount());
    p = Parse(vxtest::ReadFileBytes(path));
    ASSERT_TRUE(p.ok) << p.why;
    EXPECT_EQ(stored, p.frames);
  }

  Records more = {Record(100, 7), Record(120, 8)};
  ASSERT_EQ(S_OK, append(f, more));
  stored.insert(stored.end(), more.begin(), more.end());
  ASSERT_EQ(S_OK, f.Truncate());
  Parsed p = Parse(vxtest::ReadFileBytes(path));
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_EQ(stored, p.frames);
}

HRESULT OneByOne(CCaptureFile& f, const Records& recs) {
  for (const Bytes& r : recs) {
    HRESULT hr = f.WriteFrame(r.data(), static_cast<DWORD>(r.size()));
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

TEST(CaptureFileFull, SingleAppendsStopCleanly) {
  FillUntilFull(OneByOne, 1);
}

TEST(CaptureFileFull, BatchAppendsStopCleanly) {
  FillUntilFull(AppendBatch, 7);
}

TEST(CaptureFileFull, AppendsFromAnotherFileStopCleanly) {
  vxtest::TempDir dir;
  FillUntilFull(
      [&dir](CCaptureFile& f, const Records& recs) {
        CCaptureFile src;
        HRESULT hr = src.Create(4096, dir.path().c_str(), "src.cap", false);
        if (SUCCEEDED(hr)) hr = AppendBatch(src, recs);
        return SUCCEEDED(hr) ? f.WriteFrames(&src, 0, -1) : hr;
      },
      5);
}

TEST(CaptureFileFull, FileThatCannotBeSizedIsNotCreated) {
  vxtest::TempDir dir;
  CCaptureFile f;
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG),
              f.Create(kLimit * 2, dir.path().c_str(), "big.cap", false));
  }
  auto r = Record(64, 1);
  EXPECT_EQ(E_FAIL, f.WriteFrame(r.data(), 64));
  EXPECT_EQ(S_OK, f.Create(kLimit * 2, dir.path().c_str(), "big.cap", false));
}

}  // namespace
