#include "capture/RingBuffer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/CaptureFormat.h"
#include "capture/RingTestUtil.h"
#include "common/TestUtil.h"
#include "support/VxStream.h"

namespace {

using ringtest::Range;
using ringtest::ReadCapFile;
using ringtest::Record;

// Rings of 1000 bytes of frame space per file: nine 100-byte records (9 x 104 bytes with their
// table entries) fill a file.
constexpr DWORD kRoom = 1000;
constexpr DWORD kPerFile = kRoom + 128;
constexpr LONG kPerFileFrames = 9;
DWORD TotalSize(LONG files) {
  return 128 + static_cast<DWORD>(files) * kRoom;
}

struct RecordingOverflow : IOverflow {
  HRESULT OnOverflow(LONG nFrames, DWORD cbFrames) override {
    reports.emplace_back(nFrames, cbFrames);
    return S_OK;
  }
  std::vector<std::pair<LONG, DWORD>> reports;
};

class RingBufferTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return m_dir / name; }
  const char* Folder() const { return m_dir.path().c_str(); }

  void WriteFrames(CRingBuffer& ring, DWORD first, DWORD count, DWORD size = 100) {
    for (DWORD seq = first; seq < first + count; ++seq) {
      const std::vector<BYTE> rec = Record(size, seq);
      ASSERT_EQ(S_OK, ring.WriteFrame(rec.data(), size)) << "frame " << seq;
    }
  }

  // Sequence numbers of all frames the ring holds, read through its frame numbering.
  static std::vector<LONGLONG> RingSeqs(CCapture& ring) {
    const LONG n = ring.GetFrameCount();
    if (n == 0) return {};
    std::vector<BYTE> buf(ring.GetSize());
    DWORD cb = 0;
    LONG got = 0;
    TIncompleteFrame incomplete = {0, 0};
    if (FAILED(ring.ReadFrames(static_cast<DWORD>(buf.size()), buf.data(), 0, n, cb, got,
                               incomplete)) ||
        got != n)
      return {-2};
    return ringtest::RecordSeqs(buf.data(), cb);
  }

  // An earlier capture of `frames` 100-byte records merged into trace.cap.
  void MakeMergedCapture(LONG files, DWORD frames) { MakeMergedCapture(Folder(), files, frames); }
  void MakeMergedCapture(const std::string& folder, LONG files, DWORD frames) {
    CRingBuffer ring(files, nullptr, true);
    ASSERT_EQ(S_OK, ring.Create(TotalSize(files), folder.c_str(), "trace.cap", false));
    WriteFrames(ring, 0, frames);
    ASSERT_EQ(S_OK, ring.Truncate());
    ASSERT_EQ(S_OK, ring.CloseFile());
  }

  vxtest::TempDir m_dir;
  RecordingOverflow m_overflow;
};

TEST(RingBufferLimits, FileCountIsLimitedToTwoToTen) {
  const std::pair<LONG, LONG> cases[] = {{-3, 2}, {0, 2},   {1, 2},   {2, 2},
                                         {5, 5},  {10, 10}, {11, 10}, {25, 10}};
  for (const auto& [asked, expected] : cases)
    EXPECT_EQ(expected, CRingBuffer(asked, nullptr, true).GetFileCount()) << asked;
  EXPECT_EQ(524352u, CRingBuffer::FileSizeFor(1048576, 2));
  EXPECT_EQ((1048576u - 128) / 10 + 128, CRingBuffer::FileSizeFor(1048576, 25));
}

TEST_F(RingBufferTest, FilesAreCreatedAtTheirShareOfTheTotalSize) {
  CRingBuffer ring(2, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(1048576, Folder(), "trace.cap", false));
  EXPECT_EQ(E_FAIL, ring.Create(1048576, Folder(), "trace.cap", false));
  EXPECT_EQ(524352u, std::filesystem::file_size(Path("trace.cap")));
  EXPECT_EQ(524352u, std::filesystem::file_size(Path("trace~1.cap")));
  EXPECT_EQ(0, ring.GetFrameCount());
  EXPECT_EQ(128u, ring.GetSize());
}

TEST_F(RingBufferTest, MissingFolderFailsWithTheFileStreamText) {
  CRingBuffer ring(2, &m_overflow, true);
  EXPECT_TRUE(FAILED(ring.Create(1048576, Path("missing").c_str(), "trace.cap", false)));
  EXPECT_STREQ("Failed to Create file stream!", ring.GetErrorString());
}

// Ring file names are two characters longer than the main name ("~9.cap" for ".cap"), so the
// main path must leave room for them; a save into the boot folder may use one more.
TEST_F(RingBufferTest, PathLimitsLeaveRoomForTheRingFileNames) {
  std::string folder = m_dir.path();
  while (folder.size() < 850) {
    folder += "/" + std::string(std::min<size_t>(200, 850 - folder.size()), 'd');
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  }
  const std::string fits(1021 - folder.size() - 4, 'n');
  CRingBuffer bad(2, &m_overflow, true);
  EXPECT_EQ(E_FAIL, bad.Create(TotalSize(2), folder.c_str(), (fits + "n.cap").c_str(), false));
  EXPECT_STREQ("Capture path too long!", bad.GetErrorString());
  EXPECT_EQ(E_FAIL, bad.Create(TotalSize(2), std::string(1025, 'x').c_str(), "n.cap", false));
  CRingBuffer ok(2, &m_overflow, true);
  ASSERT_EQ(S_OK, ok.Create(TotalSize(2), folder.c_str(), (fits + ".cap").c_str(), false));
  EXPECT_TRUE(std::filesystem::exists(folder + "/" + fits + "~1.cap"));

  ringtest::BootFolder boot;
  ASSERT_EQ(S_OK, ok.Truncate());
  ASSERT_EQ(S_OK, ok.CloseFile());
  // The registry reports the folder with its trailing slash; then come a separator and the name.
  const std::string longest(1023 - (boot.path().size() + 1) - 1, 'n');
  const HRESULT kPathTooLong = static_cast<HRESULT>(0x800700EA);
  EXPECT_EQ(kPathTooLong, ok.SaveCaptureAs((longest + "n").c_str(), true, 0, -1));
  EXPECT_STREQ("Failed to read boot project path!", ok.GetErrorString());
  EXPECT_NE(kPathTooLong, ok.SaveCaptureAs(longest.c_str(), true, 0, -1));
  EXPECT_EQ(E_FAIL, ok.SaveCaptureAs(std::string(1025, 'x').c_str(), false, 0, -1));
}

// A temporary main name ("CAP" and a UUID) is held to the same limit: a ring whose "~1" file
// would not fit is refused at once and leaves nothing in the folder.
TEST_F(RingBufferTest, TemporaryNamesLeaveRoomForTheRingFileNames) {
  constexpr size_t kTempName = 3 + 36;
  for (const auto& [pathLength, fits] :
       std::vector<std::pair<size_t, bool>>{{1022, true}, {1023, false}, {1024, false}}) {
    vxtest::TempDir dir;
    std::string folder = dir.path();
    const size_t want = pathLength - 1 - kTempName;
    while (folder.size() < want) {
      folder += "/" + std::string(std::min<size_t>(200, want - folder.size() - 1), 'd');
      ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    }
    ASSERT_EQ(want, folder.size());
    CRingBuffer ring(2, &m_overflow, true);
    const HRESULT hr = ring.Create(TotalSize(2), folder.c_str(), nullptr, true);
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(folder))
      files.push_back(e.path().filename());
    if (fits) {
      EXPECT_EQ(S_OK, hr) << pathLength;
      EXPECT_EQ(2u, files.size()) << pathLength;
    } else {
      EXPECT_EQ(E_FAIL, hr) << pathLength;
      EXPECT_STREQ("Capture path too long!", ring.GetErrorString());
      EXPECT_TRUE(files.empty()) << pathLength << ": " << (files.empty() ? "" : files[0]);
    }
  }
}

TEST_F(RingBufferTest, MergeLeavesOnlyTheMainFileWithAllFramesInOrder) {
  {
    CRingBuffer ring(3, &m_overflow, true);
    ASSERT_EQ(S_OK, ring.Create(TotalSize(3), Folder(), "trace.cap", false));
    EXPECT_EQ((std::vector<std::string>{"trace.cap", "trace~1.cap", "trace~2.cap"}),
              ringtest::Files(m_dir.path()));
    WriteFrames(ring, 0, 20);
    ASSERT_EQ(S_OK, ring.Truncate());
    ASSERT_EQ(S_OK, ring.CloseFile());
    char name[32];
    ASSERT_EQ(S_OK, ring.GetFileName(sizeof name, name));
    EXPECT_STREQ("trace.cap", name);
    EXPECT_EQ(E_FAIL, ring.GetFileName(9, name));
  }
  EXPECT_EQ(std::vector<std::string>{"trace.cap"}, ringtest::Files(m_dir.path()));
  const auto file = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(file.ok) << file.error;
  EXPECT_EQ(Range(0, 20), file.seqs);
  EXPECT_EQ(128u + 20 * 104, std::filesystem::file_size(Path("trace.cap")));
  EXPECT_TRUE(m_overflow.reports.empty());
}

TEST_F(RingBufferTest, RotationEmptiesTheOldestFileAndReportsItOnce) {
  CRingBuffer ring(3, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(3), Folder(), "trace.cap", false));
  const char* names[] = {"trace.cap", "trace~1.cap", "trace~2.cap"};
  for (DWORD seq = 0; seq < 3 * kPerFileFrames + 1; ++seq) {
    WriteFrames(ring, seq, 1);
    // Every file is a valid capture between writes, also right after the rotation.
    for (const char* n : names) {
      const auto file = ReadCapFile(Path(n));
      ASSERT_TRUE(file.ok) << n << " after frame " << seq << ": " << file.error;
    }
  }
  ASSERT_EQ(1u, m_overflow.reports.size());
  EXPECT_EQ(std::make_pair(kPerFileFrames, 9 * 100u), m_overflow.reports[0]);
  EXPECT_EQ(2 * kPerFileFrames + 1, ring.GetFrameCount());
  EXPECT_EQ(Range(9, 28), RingSeqs(ring));
  // The emptied file keeps its name and becomes the newest.
  char name[32];
  ASSERT_EQ(S_OK, ring.GetBufferFile(2)->GetFileName(sizeof name, name));
  EXPECT_STREQ("trace.cap", name);
  EXPECT_EQ(std::vector<LONGLONG>{27}, ReadCapFile(Path("trace.cap")).seqs);
  EXPECT_EQ(18, ring.GetBufferFile(2)->GetBufferStartFrame());
  EXPECT_EQ(18u * 100, ring.GetBufferFile(2)->GetBufferOffset());
  EXPECT_EQ(Range(9, 18), ReadCapFile(Path("trace~1.cap")).seqs);

  ASSERT_EQ(S_OK, ring.Truncate());
  ASSERT_EQ(S_OK, ring.CloseFile());
  const auto merged = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(merged.ok) << merged.error;
  EXPECT_EQ(Range(9, 28), merged.seqs);
}

TEST_F(RingBufferTest, BatchIsSplitAtFileBoundariesWithOneReportForAllDrops) {
  CRingBuffer ring(2, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "trace.cap", false));
  WriteFrames(ring, 0, 5);

  // 30 records with the offsets of the single-file view, as the memory buffer holds them.
  std::vector<BYTE> table, frames;
  DWORD offset = ring.GetFramePosition();
  for (DWORD seq = 5; seq < 35; ++seq) {
    const std::vector<BYTE> rec = Record(100, seq);
    frames.insert(frames.end(), rec.begin(), rec.end());
    BYTE e[4];
    vx::EncodeLE32(e, offset);
    table.insert(table.end(), e, e + 4);
    offset += 100;
  }
  IVxMemoryStream* tableStream = nullptr;
  IVxMemoryStream* frameStream = nullptr;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(
                      table.data(), static_cast<DWORD>(table.size()), &tableStream, FALSE));
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(
                      frames.data(), static_cast<DWORD>(frames.size()), &frameStream, FALSE));
  EXPECT_EQ(S_OK, ring.WriteFrames(tableStream, static_cast<DWORD>(table.size()), frameStream,
                                   static_cast<DWORD>(frames.size())));
  tableStream->Release();
  frameStream->Release();

  // 4 frames complete file 0, 9 fill file 1, then both are dropped in turn for 9 + 8 more.
  ASSERT_EQ(1u, m_overflow.reports.size());
  EXPECT_EQ(std::make_pair(18, 1800u), m_overflow.reports[0]);
  EXPECT_EQ(Range(18, 35), RingSeqs(ring));
  EXPECT_EQ(17, ring.GetFrameCount());
  DWORD cb = 0;
  ring.GetSizeOfFrames(cb);
  EXPECT_EQ(1700u, cb);
  EXPECT_EQ(128u + 1700 + 4 * 17, ring.GetSize());
}

TEST_F(RingBufferTest, PartsOfAFailedBatchThatReachedAFileAreCounted) {
  CRingBuffer ring(2, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "trace.cap", false));
  // Three records that fit, then one that no ring file can take.
  std::vector<BYTE> table, frames;
  const DWORD sizes[] = {100, 100, 100, kRoom};
  DWORD offset = 128;
  for (DWORD seq = 0; seq < 4; ++seq) {
    const std::vector<BYTE> rec = Record(sizes[seq], seq);
    frames.insert(frames.end(), rec.begin(), rec.end());
    BYTE e[4];
    vx::EncodeLE32(e, offset);
    table.insert(table.end(), e, e + 4);
    offset += sizes[seq];
  }
  IVxMemoryStream* tableStream = nullptr;
  IVxMemoryStream* frameStream = nullptr;
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(table.data(), 16, &tableStream, FALSE));
  ASSERT_EQ(S_OK, CVxMemoryStream::CreateMemoryStream(
                      frames.data(), static_cast<DWORD>(frames.size()), &frameStream, FALSE));
  EXPECT_EQ(E_FAIL,
            ring.WriteFrames(tableStream, 16, frameStream, static_cast<DWORD>(frames.size())));
  tableStream->Release();
  frameStream->Release();
  // The ring's numbering agrees with what its files hold.
  EXPECT_EQ(3, ring.GetFrameCount());
  EXPECT_EQ(Range(0, 3), RingSeqs(ring));
  EXPECT_EQ(Range(0, 3), ReadCapFile(Path("trace.cap")).seqs);
  EXPECT_TRUE(m_overflow.reports.empty());
}

TEST_F(RingBufferTest, ShortMainNamesGiveRingNamesWithoutAStem) {
  CRingBuffer ring(2, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "ab", false));
  EXPECT_EQ((std::vector<std::string>{"ab", "~1.cap"}), ringtest::Files(m_dir.path()));
}

TEST_F(RingBufferTest, ReadsCrossFileBoundaries) {
  CRingBuffer ring(3, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(3), Folder(), "trace.cap", false));
  WriteFrames(ring, 0, 20);  // files hold 0-8, 9-17, 18-19

  std::vector<BYTE> buf(2000);
  DWORD cb = 0;
  LONG n = 0;
  TIncompleteFrame incomplete = {0, 0};
  ASSERT_EQ(S_OK, ring.ReadFrames(2000, buf.data(), 5, 10, cb, n, incomplete));
  EXPECT_EQ(10, n);
  EXPECT_EQ(Range(5, 15), ringtest::RecordSeqs(buf.data(), cb));

  // The buffer fills exactly at the end of file 0.
  ASSERT_EQ(S_OK, ring.ReadFrames(400, buf.data(), 5, 10, cb, n, incomplete));
  EXPECT_EQ(4, n);
  EXPECT_EQ(400u, cb);
  EXPECT_EQ(0u, incomplete.cbSize);

  // The buffer ends 30 bytes into frame 10, in file 1; the rest follows.
  ASSERT_EQ(S_OK, ring.ReadFrames(530, buf.data(), 5, 10, cb, n, incomplete));
  EXPECT_EQ(5, n);
  EXPECT_EQ(100u, incomplete.cbSize);
  EXPECT_EQ(70u, incomplete.cbLeft);
  DWORD cbRest = 0;
  ASSERT_EQ(S_OK, ring.ReadIncompleteFrame(1000, buf.data() + 530, 10, cbRest, incomplete));
  EXPECT_EQ(70u, cbRest);
  EXPECT_EQ(Range(5, 11), ringtest::RecordSeqs(buf.data(), 600));

  DWORD size = 0;
  EXPECT_EQ(S_OK, ring.GetSizeOfFrames(5, 10, size));
  EXPECT_EQ(1000u, size);
  EXPECT_EQ(S_OK, ring.GetSizeOfFrames(16, 50, size));
  EXPECT_EQ(400u, size);
  EXPECT_EQ(128u, ring.GetFrameOffset(9));
  EXPECT_EQ(228u, ring.GetFrameOffset(19));
  EXPECT_EQ(0u, ring.GetFrameOffset(20));
  EXPECT_EQ(E_FAIL, ring.ReadFrames(100, buf.data(), 20, 1, cb, n, incomplete));
  EXPECT_EQ(E_FAIL, ring.GetSizeOfFrames(20, 1, size));
  EXPECT_EQ(E_FAIL, ring.ReadIncompleteFrame(100, buf.data(), 20, cbRest, incomplete));
}

TEST_F(RingBufferTest, RecordTooLargeForAnEmptyFileIsRefusedWithoutDroppingFrames) {
  CRingBuffer ring(2, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "trace.cap", false));
  WriteFrames(ring, 0, 2 * kPerFileFrames);
  const std::vector<BYTE> big = Record(kRoom - 3, 99);
  EXPECT_EQ(E_FAIL, ring.WriteFrame(big.data(), kRoom - 3));
  EXPECT_TRUE(m_overflow.reports.empty());
  EXPECT_EQ(Range(0, 18), RingSeqs(ring));
  // The largest record that fits an empty file is stored after dropping file 0.
  const std::vector<BYTE> largest = Record(kRoom - 4, 99);
  EXPECT_EQ(S_OK, ring.WriteFrame(largest.data(), kRoom - 4));
  ASSERT_EQ(1u, m_overflow.reports.size());
  EXPECT_EQ(std::vector<LONGLONG>({9, 10, 11, 12, 13, 14, 15, 16, 17, 99}), RingSeqs(ring));
}

TEST_F(RingBufferTest, ContinuesAMergedCaptureWhenNoFileOneExists) {
  MakeMergedCapture(3, 20);
  CRingBuffer ring(3, &m_overflow, false);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(3), Folder(), "trace.cap", false));
  EXPECT_EQ(20, ring.GetFrameCount());
  EXPECT_EQ(2, ring.GetCurrentIndex());
  EXPECT_EQ(Range(0, 20), RingSeqs(ring));
  EXPECT_EQ(Range(0, 9), ReadCapFile(Path("trace.cap")).seqs);
  EXPECT_EQ(Range(9, 18), ReadCapFile(Path("trace~1.cap")).seqs);
  EXPECT_TRUE(m_overflow.reports.empty());

  WriteFrames(ring, 20, 10);  // fills file 2 and drops file 0 once
  ASSERT_EQ(1u, m_overflow.reports.size());
  EXPECT_EQ(Range(9, 30), RingSeqs(ring));
  ASSERT_EQ(S_OK, ring.Truncate());
  ASSERT_EQ(S_OK, ring.CloseFile());
  EXPECT_EQ(Range(9, 30), ReadCapFile(Path("trace.cap")).seqs);
}

TEST_F(RingBufferTest, AnUnmergedEarlierRingIsKeptAsBackupsAndTheRingStartsEmpty) {
  {
    CRingBuffer earlier(3, nullptr, true);
    ASSERT_EQ(S_OK, earlier.Create(TotalSize(3), Folder(), "trace.cap", false));
    WriteFrames(earlier, 0, 12);  // file 0: 0-8, file 1: 9-11, file 2 empty; never merged
  }
  CRingBuffer ring(3, &m_overflow, false);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(3), Folder(), "trace.cap", false));
  EXPECT_EQ(0, ring.GetFrameCount());
  EXPECT_EQ(Range(0, 9), ReadCapFile(Path("trace.ca~")).seqs);
  EXPECT_EQ(Range(9, 12), ReadCapFile(Path("trace~1.ca~")).seqs);
  EXPECT_FALSE(ringtest::Exists(Path("trace~2.ca~")));
  EXPECT_TRUE(ReadCapFile(Path("trace.cap")).seqs.empty());
}

TEST_F(RingBufferTest, OverwriteReplacesEarlierFilesWithoutBackups) {
  MakeMergedCapture(3, 20);
  {
    CRingBuffer ring(3, &m_overflow, true);
    ASSERT_EQ(S_OK, ring.Create(TotalSize(3), Folder(), "trace.cap", false));
    EXPECT_EQ(0, ring.GetFrameCount());
  }
  EXPECT_EQ((std::vector<std::string>{"trace.cap", "trace~1.cap", "trace~2.cap"}),
            ringtest::Files(m_dir.path()));
}

// Earlier captures a two-file ring cannot continue: a merged capture, then damaged.
struct UncontinuableCapture {
  const char* name;
  LONG files;
  DWORD frames;
  void (*damage)(std::vector<BYTE>& bytes);
};

TEST_F(RingBufferTest, AnEarlierCaptureThatCannotBeContinuedIsKeptUnlessOverwriting) {
  const UncontinuableCapture cases[] = {
      // An append interrupted after the header was written: the table runs past the end.
      {"header", 2, 5, [](std::vector<BYTE>& b) { vx::EncodeLE32(b.data() + 28, 0x10000); }},
      // 20 frames of a three-file ring are more than two files hold.
      {"size", 3, 20, nullptr},
      // The entry of frame 1 repeats that of frame 0 (the table starts at 128 + 5 x 100).
      {"table", 2, 5,
       [](std::vector<BYTE>& b) { std::copy_n(b.begin() + 628, 4, b.begin() + 632); }},
  };
  for (const auto& c : cases) {
    for (const bool overwrite : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (overwrite ? ", overwriting" : ", continuing"));
      const std::string folder = m_dir / (std::string(c.name) + (overwrite ? "-on" : "-off"));
      ASSERT_TRUE(std::filesystem::create_directory(folder));
      MakeMergedCapture(folder, c.files, c.frames);
      std::vector<BYTE> earlier = vxtest::ReadFileBytes(folder + "/trace.cap");
      if (c.damage) c.damage(earlier);
      vxtest::WriteFileBytes(folder + "/trace.cap", earlier);
      // An older backup gives way to the newer one.
      if (!overwrite) vxtest::WriteFileBytes(folder + "/trace.ca~", {1, 2, 3});

      RecordingOverflow overflow;
      CRingBuffer ring(2, &overflow, overwrite);
      ASSERT_EQ(S_OK, ring.Create(TotalSize(2), folder.c_str(), "trace.cap", false));
      EXPECT_EQ(0, ring.GetFrameCount());
      WriteFrames(ring, 0, 12);
      ASSERT_EQ(S_OK, ring.Truncate());
      ASSERT_EQ(S_OK, ring.CloseFile());
      EXPECT_EQ(Range(0, 12), ReadCapFile(folder + "/trace.cap").seqs);
      EXPECT_TRUE(overflow.reports.empty());
      if (overwrite) {
        EXPECT_EQ(std::vector<std::string>{"trace.cap"}, ringtest::Files(folder));
      } else {
        EXPECT_EQ((std::vector<std::string>{"trace.cap", "trace.ca~"}), ringtest::Files(folder));
        EXPECT_EQ(earlier, vxtest::ReadFileBytes(folder + "/trace.ca~"));
      }
    }
  }
}

TEST_F(RingBufferTest, AnEmptyMainFileIsOverwrittenWithoutABackup) {
  vxtest::WriteFileBytes(Path("trace.cap"), {});
  CRingBuffer ring(2, &m_overflow, false);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "trace.cap", false));
  EXPECT_EQ(0, ring.GetFrameCount());
  EXPECT_EQ((std::vector<std::string>{"trace.cap", "trace~1.cap"}), ringtest::Files(m_dir.path()));
  EXPECT_EQ(kPerFile, std::filesystem::file_size(Path("trace.cap")));
}

TEST_F(RingBufferTest, ContinuationKeepsTheNewestFramesThatFitAndReportsTheRestOnce) {
  // Three records of 550 bytes: the capture is smaller than two files in total, but each file
  // takes only one of them.
  {
    CCaptureFile earlier;
    ASSERT_EQ(S_OK, earlier.Create(TotalSize(2), Folder(), "trace.cap", false));
    for (DWORD seq = 0; seq < 3; ++seq) {
      const std::vector<BYTE> rec = Record(550, seq);
      ASSERT_EQ(S_OK, earlier.WriteFrame(rec.data(), 550));
    }
    ASSERT_EQ(S_OK, earlier.Truncate());
  }
  CRingBuffer ring(2, &m_overflow, false);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "trace.cap", false));
  ASSERT_EQ(1u, m_overflow.reports.size());
  EXPECT_EQ(std::make_pair(1, 550u), m_overflow.reports[0]);
  EXPECT_EQ(std::vector<LONGLONG>({1, 2}), RingSeqs(ring));
  EXPECT_EQ(1, ring.GetCurrentIndex());
  EXPECT_EQ((std::vector<std::string>{"trace.cap", "trace~1.cap"}), ringtest::Files(m_dir.path()));

  WriteFrames(ring, 3, 1);
  ASSERT_EQ(S_OK, ring.Truncate());
  ASSERT_EQ(S_OK, ring.CloseFile());
  const auto merged = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(merged.ok) << merged.error;
  EXPECT_EQ(std::vector<LONGLONG>({1, 2, 3}), merged.seqs);
}

TEST_F(RingBufferTest, AFileThatCouldNotBeMergedIsKept) {
  {
    CRingBuffer ring(2, &m_overflow, true);
    ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "trace.cap", false));
    WriteFrames(ring, 0, 12);
    ASSERT_EQ(S_OK, ring.Truncate());
    // Appending to file 0 fails like on a full disk.
    const rlim_t size = std::filesystem::file_size(Path("trace.cap"));
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = size;
    setrlimit(RLIMIT_FSIZE, &limit);
    const HRESULT hr = ring.CloseFile();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(FAILED(hr));
  }
  EXPECT_EQ(Range(0, 9), ReadCapFile(Path("trace.cap")).seqs);
  EXPECT_EQ(Range(9, 12), ReadCapFile(Path("trace~1.cap")).seqs);
}

TEST_F(RingBufferTest, TemporaryRingIsMovedWhenSavedAfterClose) {
  ringtest::BootFolder boot;
  {
    CRingBuffer ring(2, &m_overflow, true);
    ASSERT_EQ(S_OK, ring.Create(TotalSize(2)));
    WriteFrames(ring, 0, 12);
    EXPECT_EQ(E_FAIL, ring.SaveCaptureAs("saved.cap", true, 0, -1));
    ASSERT_EQ(S_OK, ring.Truncate());
    ASSERT_EQ(S_OK, ring.CloseFile());
    ASSERT_EQ(S_OK, ring.SaveCaptureAs("saved.cap", true, 0, -1));
    char name[32];
    ASSERT_EQ(S_OK, ring.GetFileName(sizeof name, name));
    EXPECT_STREQ("saved.cap", name);
  }
  EXPECT_EQ(std::vector<std::string>{"saved.cap"}, ringtest::Files(boot.path()));
  EXPECT_EQ(Range(0, 12), ReadCapFile(boot / "saved.cap").seqs);
}

TEST_F(RingBufferTest, UnsavedTemporaryRingLeavesNothingBehind) {
  ringtest::BootFolder boot;
  {
    CRingBuffer ring(3, &m_overflow, true);
    ASSERT_EQ(S_OK, ring.Create(TotalSize(3)));
    EXPECT_EQ(3u, ringtest::Files(boot.path()).size());
    WriteFrames(ring, 0, 12);
    ASSERT_EQ(S_OK, ring.Truncate());
    ASSERT_EQ(S_OK, ring.CloseFile());
  }
  EXPECT_TRUE(ringtest::Files(boot.path()).empty());
}

TEST_F(RingBufferTest, NamedRingIsCopiedWhenSaved) {
  ringtest::BootFolder boot;
  CRingBuffer ring(2, &m_overflow, true);
  ASSERT_EQ(S_OK, ring.Create(TotalSize(2), Folder(), "trace.cap", false));
  WriteFrames(ring, 0, 3);
  ASSERT_EQ(S_OK, ring.Truncate());
  ASSERT_EQ(S_OK, ring.CloseFile());
  ASSERT_EQ(S_OK, ring.SaveCaptureAs("copy.cap", true, 0, -1));
  EXPECT_EQ(Range(0, 3), ReadCapFile(boot / "copy.cap").seqs);
  EXPECT_EQ(Range(0, 3), ReadCapFile(Path("trace.cap")).seqs);
}

}  // namespace
