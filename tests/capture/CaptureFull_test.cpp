// Appends that the disk cannot take: the file size limit of the process stands in for a full
// disk. A failed append must be reported, and the file and the object must still describe
// exactly the frames that were completely written before it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "CaptureTestUtil.h"
#include "os/OsUserFile.h"

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

  // A temporary file exists under its generated name before it is sized; nobody else knows
  // that name, so a failed creation must not leave the file behind.
  captest::BootFolder boot;
  CCaptureFile temp;
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), temp.Create(kLimit * 2));
  }
  EXPECT_TRUE(boot.Files().empty());
}

// Where the file system can, a new file claims the disk space of its whole size at once, so
// that its appends need no space of their own; the file is valid from the start and after
// every append, and is cut to its table at the end.
TEST(CaptureFileFull, SpaceIsClaimedAtCreation) {
  vxtest::TempDir dir;
  const std::string path = dir / "claimed.cap";
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(captest::kMiB, dir.path().c_str(), "claimed.cap", false));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(captest::kMiB));
  Parsed p = Parse(vxtest::ReadFileBytes(path));
  ASSERT_TRUE(p.ok) << p.why;
  Records recs;
  for (DWORD i = 0; i < 50; ++i) recs.push_back(Record(1000 + i, i));
  ASSERT_EQ(S_OK, AppendBatch(f, recs));
  p = Parse(vxtest::ReadFileBytes(path));
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_EQ(recs, p.frames);
  if (static_cast<long long>(st.st_blocks) * 512 < static_cast<long long>(captest::kMiB)) {
    // A file system that cannot reserve (it may still have, partly): only validity counts.
    OS_USER_FILE_HANDLE probe = OsUserCreateFile((dir / "probe").c_str(), GENERIC_WRITE, 0, nullptr,
                                                 CREATE_NEW, 0, nullptr);
    const DWORD err = OsUserReserveFileSpace(probe, 0, 4096);
    OsUserCloseHandle(probe);
    EXPECT_EQ(err, static_cast<DWORD>(ENOTSUP)) << "space not claimed although it could be";
  }
  ASSERT_EQ(S_OK, f.Truncate());
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_LT(st.st_size, static_cast<off_t>(captest::kMiB));
  p = Parse(vxtest::ReadFileBytes(path));
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_EQ(recs, p.frames);
}

// A part saved as a new file is copied after that file was created at the size of its
// records; a copy that fails half-way holds no capture and must not stay behind.
TEST(CaptureFileFull, PartThatCannotBeSavedLeavesNoFile) {
  vxtest::TempDir dir;
  Records recs;
  for (DWORD i = 0; i < 20; ++i) recs.push_back(Record(1000, i));
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(captest::kMiB, dir.path().c_str(), "src.cap", false));
  ASSERT_EQ(S_OK, AppendBatch(f, recs));
  const std::string part = dir / "part.cap";
  {
    // Room for the 10000 record bytes of frames 2-11, but not for them with header and table.
    FileSizeLimit limit(10000 + 64);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), f.SaveCaptureAs(part.c_str(), false, 2, 10));
  }
  EXPECT_FALSE(std::filesystem::exists(part));
  EXPECT_EQ(20, f.GetFrameCount());

  ASSERT_EQ(S_OK, f.SaveCaptureAs(part.c_str(), false, 2, 10));
  Parsed p = Parse(vxtest::ReadFileBytes(part));
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_EQ(Records(recs.begin() + 2, recs.begin() + 12), p.frames);
}

}  // namespace
