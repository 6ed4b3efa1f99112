#include "capture/CaptureMngt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/RingTestUtil.h"
#include "common/FileSizeLimit.h"
#include "common/TestUtil.h"

namespace {

using ringtest::Range;
using ringtest::ReadCapFile;
using ringtest::Record;

constexpr DWORD kMiB = 1048576;
// Copies happen only when the buffer is full, unless a test asks for the periodic cycle.
constexpr DWORD kNoCycle = 3600000;

HRESULT Write(CCaptureMngt& m, DWORD size, DWORD seq) {
  const std::vector<BYTE> rec = Record(size, seq);
  return m.WriteFrame(reinterpret_cast<const FRAME*>(rec.data()));
}

// Sequence numbers of frames first ... count - 1 read through the manager.
std::vector<LONGLONG> ReadSeqs(CCaptureMngt& m, LONG first, LONG count, DWORD cbBuffer) {
  std::vector<BYTE> buf(cbBuffer);
  DWORD cb = 0;
  LONG n = 0;
  TIncompleteFrame incomplete = {0, 0};
  if (FAILED(m.ReadFrames(cbBuffer, buf.data(), first, count, cb, n, incomplete))) return {-2};
  std::vector<LONGLONG> seqs = ringtest::RecordSeqs(buf.data(), cb);
  if (static_cast<LONG>(seqs.size()) != n) seqs.push_back(-3);
  return seqs;
}

class CaptureMngtTest : public ::testing::Test {
 protected:
  // A manager capturing into m_dir/trace.cap.
  void Configure(CCaptureMngt& m, bool ring) {
    m.ChangeSettings([&](CaptureSettings& cs) { cs.bRingBuffer = ring; });
    m.ChangeSettings([&](CaptureSettings& cs) { cs.folder = m_dir.path().c_str(); });
    m.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = "trace.cap"; });
  }
  std::string Path(const std::string& name) const { return m_dir / name; }

  vxtest::TempDir m_dir;
};

// Gives tests the counters at their limits.
class CTestMngt : public CCaptureMngt {
 public:
  using CCaptureMngt::CCaptureMngt;
  void SetOverflowCount(DWORD n) {
    COsCsLock file(m_csFile);
    COsCsLock mem(m_csMem);
    m_nOverflowCount = n;
  }
  // The lock a writer holds for the whole of WriteFrame.
  COsUserLock& WriterLock() { return m_csWrite; }
  bool FileThreadEnded() const { return m_bFileThreadEnded; }
};

TEST_F(CaptureMngtTest, SizeRules) {
  struct Case {
    DWORD file, buffer;
    DWORD expectFile, expectBuffer;
  };
  const Case cases[] = {
      {1000, 65536, kMiB, 65536},
      {1000, 2000000, kMiB, kMiB / 2},
      {4 * kMiB, 3 * kMiB, 4 * kMiB, 2 * kMiB},
  };
  for (const Case& c : cases) {
    CCaptureMngt m(c.file, c.buffer, 10000, 2, true);
    EXPECT_EQ(c.expectFile, m.GetSettings().cbFile) << c.file;
    EXPECT_EQ(c.expectBuffer, m.GetSettings().cbBuffer) << c.buffer;
  }
  CCaptureMngt m(4 * kMiB, 2 * kMiB, 10000, 2, true);
  m.ChangeSettings([&](CaptureSettings& cs) { cs.cbFile = kMiB; });
  EXPECT_EQ(kMiB / 2, m.GetSettings().cbBuffer);
  m.ChangeSettings([&](CaptureSettings& cs) { cs.cbBuffer = 3 * kMiB; });
  EXPECT_EQ(kMiB / 2, m.GetSettings().cbBuffer);
}

TEST_F(CaptureMngtTest, RingModeLimitsTheBufferToHalfARingFile) {
  const std::pair<LONG, DWORD> cases[] = {{2, 65536}, {10, 52428}, {0, 65536}, {1, 65536}};
  for (const auto& [files, expected] : cases) {
    CCaptureMngt m(kMiB, 65536, kNoCycle, files, true);
    Configure(m, true);
    ASSERT_EQ(S_OK, m.Start()) << files;
    EXPECT_EQ(expected, m.GetSettings().cbBuffer) << files;
    EXPECT_EQ(S_OK, m.Stop());
  }
}

TEST_F(CaptureMngtTest, SettingsThatNeedIdleAreIgnoredWhileStarted) {
  CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  m.ChangeSettings([&](CaptureSettings& cs) { cs.cbFile = 8 * kMiB; });
  m.ChangeSettings([&](CaptureSettings& cs) { cs.cbBuffer = 1000; });
  m.ChangeSettings([&](CaptureSettings& cs) { cs.bRingBuffer = true; });
  EXPECT_EQ(kMiB, m.GetSettings().cbFile);
  EXPECT_EQ(65536u, m.GetSettings().cbBuffer);
  EXPECT_FALSE(m.GetSettings().bRingBuffer);
  EXPECT_EQ(E_FAIL, m.Start());
  EXPECT_EQ(S_OK, m.Stop());
  EXPECT_EQ(E_FAIL, m.Stop());
  EXPECT_EQ(E_FAIL, Write(m, 100, 0));
  m.ChangeSettings([&](CaptureSettings& cs) { cs.cbFile = 8 * kMiB; });
  EXPECT_EQ(8 * kMiB, m.GetSettings().cbFile);
}

TEST_F(CaptureMngtTest, SaveFileNameIsCopiedAndEmptyMeansNone) {
  CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
  std::string name = m.GetSettings().saveFileName;
  EXPECT_EQ("Current.cap", name);
  std::string s = "mine.cap";
  m.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = s.c_str(); });
  s[0] = 'X';
  name = m.GetSettings().saveFileName;
  EXPECT_EQ("mine.cap", name);
  m.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = ""; });
  EXPECT_EQ("", m.GetSettings().saveFileName);
}

// Whoever reports a failed start can always say why: the capture object's explanation, or
// the failure itself in words.
TEST_F(CaptureMngtTest, AFailedStartAlwaysSaysWhy) {
  vxtest::WriteFileBytes(Path("notes.txt"), {'n', 'o', 't', 'e', 's'});
  const struct {
    const char* folder;  // under m_dir
    std::string name;
    bool ring;
    std::string why;
  } cases[] = {
      {"missing", "trace.cap", false, "Failed to Create file stream!"},
      {"missing", "trace.cap", true, "Failed to Create file stream!"},
      {"", std::string(1100, 'n'), false, "Capture path too long!"},
      {"", std::string(1100, 'n'), true, "Capture path too long!"},
      {"", "notes.txt", false, "Not replacing " + Path("notes.txt") + ": it is not a capture file"},
      {"", "notes.txt", true, "Not replacing " + Path("notes.txt") + ": it is not a capture file"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.why + (k.ring ? " (ring)" : ""));
    CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
    Configure(m, k.ring);
    m.ChangeSettings([&](CaptureSettings& cs) { cs.folder = (m_dir / k.folder).c_str(); });
    m.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = k.name.c_str(); });
    EXPECT_TRUE(FAILED(m.Start()));
    EXPECT_EQ(k.why, std::string(m.GetErrorString()));
    EXPECT_FALSE(m.IsStarted());
  }
}

// A buffer the system cannot give (here under an address-space limit) fails the start before
// anything is created on disk.
TEST_F(CaptureMngtTest, AStartWithoutItsBufferLeavesNothingBehind) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = Path("trace.cap");
  EXPECT_EXIT(
      {
        CCaptureMngt m(0xFFFFFFFFu, 0x80000000u, kNoCycle, 2, true);
        Configure(m, false);
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = 1ull << 30;
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        const bool failed = FAILED(m.Start());
        const bool said = std::string(m.GetErrorString()) ==
                          "Out of memory for a capture buffer of 2147483647 bytes";
        _exit(failed && said && access(path.c_str(), F_OK) != 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(CaptureMngtTest, RecordLargerThanTheBufferBypassesIt) {
  CCaptureMngt m(kMiB, 4096, kNoCycle, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  for (DWORD seq = 0; seq < 3; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  ASSERT_EQ(S_OK, Write(m, 6000, 3));
  for (DWORD seq = 4; seq < 6; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));

  LONG frames = 0;
  DWORD bytes = 0, overflows = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(6, frames);
  EXPECT_EQ(6500u, bytes);
  // Frames 0-3 come from the file, 4-5 from the buffer behind it.
  EXPECT_EQ(Range(0, 6), ReadSeqs(m, 0, 6, 8000));
  EXPECT_EQ(Range(4, 6), ReadSeqs(m, 4, 6, 8000));
  ASSERT_EQ(S_OK, m.Stop());
  EXPECT_EQ(Range(0, 6), ReadCapFile(Path("trace.cap")).seqs);
}

TEST_F(CaptureMngtTest, FullSingleFileEndsWithTheLastBatchThatFitted) {
  CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  DWORD accepted = 0;
  HRESULT hr = S_OK;
  while (accepted < 20000 && (hr = Write(m, 100, accepted)) == S_OK) ++accepted;
  EXPECT_EQ(S_FALSE, hr);
  EXPECT_TRUE(m.IsFileFull());
  EXPECT_EQ(S_FALSE, Write(m, 100, accepted));
  EXPECT_EQ(S_FALSE, Write(m, 100000, accepted));
  ASSERT_EQ(S_OK, m.Stop());

  const auto file = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(file.ok) << file.error;
  const DWORD onDisk = static_cast<DWORD>(file.seqs.size());
  EXPECT_EQ(Range(0, onDisk), file.seqs);
  EXPECT_LE(128 + 104 * onDisk, kMiB);
  // The batch that did not fit as a whole was not written.
  EXPECT_LT(onDisk, accepted);
  EXPECT_GT(128 + 104 * accepted, kMiB);
  EXPECT_EQ(128 + 104 * onDisk, std::filesystem::file_size(Path("trace.cap")));
  // Every frame offered and not on disk is owned up to, and once stopped the capture counts
  // what the file holds.
  EXPECT_EQ(accepted + 3 - onDisk, m.GetFramesNotStored());
  LONG frames = 0;
  DWORD bytes = 0, overflows = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(static_cast<LONG>(onDisk), frames);
  EXPECT_EQ(100 * onDisk, bytes);
  EXPECT_EQ(S_OK, m.GetWriteError());
  ASSERT_EQ(S_OK, m.Start());
  EXPECT_EQ(0u, m.GetFramesNotStored());
  ASSERT_EQ(S_OK, m.Stop());
}

// Frames handed over in runs are stored, refused and counted exactly as one by one: across
// buffer copies, past a record larger than the buffer, and up to a full single file.
TEST_F(CaptureMngtTest, RunsOfFramesAreStoredAsFrameByFrame) {
  struct Outcome {
    std::vector<LONGLONG> seqs;
    DWORD accepted = 0;
    HRESULT last = S_OK;
    ULONGLONG notStored = 0;
  };
  // Sizes cycle through small records and, every 500th, one larger than the 64 KiB buffer.
  const auto size = [](DWORD i) -> DWORD { return i % 500 == 499 ? 70000 : 100 + i % 7 * 40; };
  const auto run = [&](bool ring, size_t runLength, const std::string& name) {
    CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
    m.ChangeSettings([&](CaptureSettings& cs) { cs.bRingBuffer = ring; });
    m.ChangeSettings([&](CaptureSettings& cs) { cs.folder = m_dir.path().c_str(); });
    m.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = name.c_str(); });
    Outcome o;
    if (m.Start() != S_OK) return o;
    std::vector<std::vector<BYTE>> recs;
    for (DWORD i = 0; i < 12000; ++i) recs.push_back(Record(size(i), i));
    for (size_t first = 0; first < recs.size() && o.last == S_OK;) {
      std::vector<const FRAME*> frames;
      for (size_t i = first; i < recs.size() && frames.size() < runLength; ++i)
        frames.push_back(reinterpret_cast<const FRAME*>(recs[i].data()));
      size_t stored = 0;
      o.last = m.WriteFrames(frames.data(), frames.size(), &stored);
      o.accepted += static_cast<DWORD>(stored);
      first += frames.size();
    }
    m.Stop();
    o.notStored = m.GetFramesNotStored();
    o.seqs = ReadCapFile(Path(name)).seqs;
    return o;
  };
  for (bool ring : {false, true}) {
    SCOPED_TRACE(ring ? "ring" : "single file");
    const Outcome one = run(ring, 1, ring ? "one-r.cap" : "one.cap");
    ASSERT_FALSE(one.seqs.empty());
    EXPECT_EQ(ring ? S_OK : S_FALSE, one.last);
    for (size_t runLength : {7, 256}) {
      SCOPED_TRACE(runLength);
      const Outcome many =
          run(ring, runLength, "run" + std::to_string(runLength) + (ring ? "-r" : "") + ".cap");
      EXPECT_EQ(one.last, many.last);
      EXPECT_EQ(one.accepted, many.accepted);
      EXPECT_EQ(one.notStored, many.notStored);
      EXPECT_EQ(one.seqs, many.seqs);
    }
  }
}

// A writer may store a frame between the file thread's last copy and the end of Stop.
TEST_F(CaptureMngtTest, StopKeepsAFrameStoredAfterTheFileThreadsLastCopy) {
  CTestMngt m(kMiB, 65536, kNoCycle, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  ASSERT_EQ(S_OK, Write(m, 100, 0));
  std::future<HRESULT> stopped;
  {
    // Holding the writer's lock keeps Stop waiting behind the file thread's end.
    COsCsLock writer(m.WriterLock());
    stopped = std::async(std::launch::async, [&m] { return m.Stop(); });
    ASSERT_TRUE(vxtest::WaitUntil([&m] { return m.FileThreadEnded(); }));
    ASSERT_EQ(S_OK, Write(m, 100, 1));
  }
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(60)));
  EXPECT_EQ(S_OK, stopped.get());
  const auto file = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(file.ok) << file.error;
  EXPECT_EQ(Range(0, 2), file.seqs);
}

// Cycles the OS layer cannot wait for are cut to the longest it can: frames then reach the
// disk when the buffer is full or the capture stops, and the file thread does not poll.
TEST_F(CaptureMngtTest, UpdateCycleBeyondTheTimeOutRangeCopiesOnlyWhenNeeded) {
  for (DWORD cycle : {0x80000000u, 0xFFFFFFFEu}) {
    SCOPED_TRACE(cycle);
    CCaptureMngt m(kMiB, 65536, cycle, 2, true);
    Configure(m, false);
    ASSERT_EQ(S_OK, m.Start());
    for (DWORD seq = 0; seq < 10; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
    // A thread that took the cycle for an immediate time-out copies within a few milliseconds;
    // a correct one never does here, so the pause cannot fail it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto file = ReadCapFile(Path("trace.cap"));
    ASSERT_TRUE(file.ok) << file.error;
    EXPECT_TRUE(file.seqs.empty());

    auto stopped = std::async(std::launch::async, [&m] { return m.Stop(); });
    ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(60)));
    EXPECT_EQ(S_OK, stopped.get());
    file = ReadCapFile(Path("trace.cap"));
    ASSERT_TRUE(file.ok) << file.error;
    EXPECT_EQ(Range(0, 10), file.seqs);
  }
}

// A disk that has no room for a while: the frames it refused wait in the buffer, the frame
// that finds the buffer blocked is refused and owned up to, the first error is kept, and once
// there is room again the capture goes on where it was, in a single file as in a ring.
TEST_F(CaptureMngtTest, FramesTheDiskRefusedAreKeptAndCopiedLater) {
  for (bool ring : {false, true}) {
    SCOPED_TRACE(ring ? "ring" : "single file");
    vxtest::TempDir dir;
    CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
    Configure(m, ring);
    m.ChangeSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
    ASSERT_EQ(S_OK, m.Start());
    DWORD refused = 0;
    {
      vxtest::FileSizeLimit limit(4096);
      HRESULT hr = S_OK;
      while (refused < 5000 && (hr = Write(m, 100, refused)) == S_OK) ++refused;
      EXPECT_EQ(E_FAIL, hr);
      EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), m.GetWriteError());
      EXPECT_FALSE(m.HasFailed());
      EXPECT_EQ(1u, m.GetFramesNotStored());
      // Everything accepted is still readable from the buffer.
      EXPECT_EQ(Range(0, refused), ReadSeqs(m, 0, static_cast<LONG>(refused), 100 * refused));
    }
    for (DWORD seq = refused + 1; seq <= refused + 10; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
    ASSERT_EQ(S_OK, m.Stop());
    std::vector<LONGLONG> expected = Range(0, refused);
    for (LONGLONG seq : Range(refused + 1, refused + 11)) expected.push_back(seq);
    const auto file = ReadCapFile(dir / "trace.cap");
    ASSERT_TRUE(file.ok) << file.error;
    EXPECT_EQ(expected, file.seqs);
    LONG frames = 0;
    DWORD bytes = 0, overflows = 0;
    m.GetCaptureInfo(frames, bytes, overflows);
    EXPECT_EQ(static_cast<LONG>(expected.size()), frames);
    EXPECT_EQ(1u, m.GetFramesNotStored());
    EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), m.GetWriteError());
  }
}

// The disk stays without room until the end: what waited in the buffer is lost and owned up
// to, and the frame count falls to what the file holds.
TEST_F(CaptureMngtTest, FramesTheDiskNeverTookAreCountedAtStop) {
  CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  DWORD offered = 0;
  {
    vxtest::FileSizeLimit limit(200000);
    while (offered < 20000 && Write(m, 100, offered++) == S_OK) {
    }
    for (int i = 0; i < 5; ++i) EXPECT_EQ(E_FAIL, Write(m, 100, offered++));
    ASSERT_EQ(S_OK, m.Stop());
  }
  const auto file = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(file.ok) << file.error;
  const DWORD onDisk = static_cast<DWORD>(file.seqs.size());
  EXPECT_EQ(Range(0, onDisk), file.seqs);
  EXPECT_GT(onDisk, 0u);
  EXPECT_EQ(offered - onDisk, m.GetFramesNotStored());
  LONG frames = 0;
  DWORD bytes = 0, overflows = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(static_cast<LONG>(onDisk), frames);
  EXPECT_EQ(100 * onDisk, bytes);
  EXPECT_EQ(HRESULT_FROM_OS_ERROR(EFBIG), m.GetWriteError());
}

// A capture file whose writes fail with EIO from a given moment: a broken disk.
class CBrokenDiskFile : public CCaptureFile {
 public:
  explicit CBrokenDiskFile(std::atomic<bool>& broken) : m_broken(broken) {}
  using CCaptureFile::WriteFrames;
  HRESULT WriteFrames(IVxStream* pTable, DWORD cbTable, IVxStream* pFrames,
                      DWORD cbFrames) override {
    if (m_broken) return HRESULT_FROM_OS_ERROR(EIO);
    return CCaptureFile::WriteFrames(pTable, cbTable, pFrames, cbFrames);
  }

 private:
  std::atomic<bool>& m_broken;
};

class CBrokenDiskMngt : public CCaptureMngt {
 public:
  using CCaptureMngt::CCaptureMngt;
  std::atomic<bool> m_broken{false};

 protected:
  CCaptureFileBase* NewCaptureObject() override { return new CBrokenDiskFile(m_broken); }
};

// An error that more writes cannot cure ends the capture as a full file does: every later
// frame is refused with S_FALSE and counted, and the file keeps what was written before.
TEST_F(CaptureMngtTest, WriteErrorThatPersistsEndsTheCapture) {
  CBrokenDiskMngt m(kMiB, 4096, kNoCycle, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  DWORD seq = 0;
  for (; seq < 300; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  // The file thread writes each complete batch while the writer goes on: the disk breaks
  // once some are on it.
  ASSERT_TRUE(vxtest::WaitUntil([&] { return ReadCapFile(Path("trace.cap")).seqs.size() >= 40; }));
  m.m_broken = true;
  HRESULT hr = S_OK;
  while (seq < 1000 && (hr = Write(m, 100, seq)) == S_OK) ++seq;
  EXPECT_EQ(S_FALSE, hr);
  EXPECT_TRUE(m.HasFailed());
  EXPECT_EQ(HRESULT_FROM_OS_ERROR(EIO), m.GetWriteError());
  EXPECT_EQ(S_FALSE, Write(m, 100, seq + 1));
  ASSERT_EQ(S_OK, m.Stop());

  const auto file = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(file.ok) << file.error;
  const DWORD onDisk = static_cast<DWORD>(file.seqs.size());
  EXPECT_EQ(Range(0, onDisk), file.seqs);
  EXPECT_GE(onDisk, 40u);
  EXPECT_EQ(seq + 2 - onDisk, m.GetFramesNotStored());
  LONG frames = 0;
  DWORD bytes = 0, overflows = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(static_cast<LONG>(onDisk), frames);
}

TEST_F(CaptureMngtTest, WriterIsNeverLeftWaitingWhenThePeriodicCopyFillsTheFile) {
  CCaptureMngt m(kMiB, kMiB / 2, 1, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  auto writer = std::async(std::launch::async, [&m] {
    HRESULT hr = S_OK;
    for (DWORD seq = 0; seq < 5000 && hr == S_OK; ++seq) hr = Write(m, 1000, seq);
    return hr;
  });
  ASSERT_EQ(std::future_status::ready, writer.wait_for(std::chrono::seconds(120)));
  EXPECT_EQ(S_FALSE, writer.get());
  EXPECT_TRUE(m.IsFileFull());
  ASSERT_EQ(S_OK, m.Stop());
  const auto file = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(file.ok) << file.error;
  EXPECT_EQ(Range(0, static_cast<LONGLONG>(file.seqs.size())), file.seqs);
}

TEST_F(CaptureMngtTest, OverflowCounterSkipsZeroWhenItWraps) {
  CTestMngt m(kMiB, 65536, kNoCycle, 2, true);
  Configure(m, true);
  ASSERT_EQ(S_OK, m.Start());
  m.SetOverflowCount(0xFFFFFFFF);
  m.OnOverflow(3, 300);
  LONG frames = 0, nLast = 0;
  DWORD bytes = 0, overflows = 0, cbLast = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(1u, overflows);
  m.GetOverflowInfo(nLast, cbLast);
  EXPECT_EQ(3, nLast);
  EXPECT_EQ(300u, cbLast);
  m.OnOverflow(4, 400);
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(2u, overflows);
  EXPECT_EQ(S_OK, m.Stop());
}

TEST_F(CaptureMngtTest, ReadsOutsideTheCaptureFail) {
  CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
  Configure(m, true);
  ASSERT_EQ(S_OK, m.Start());
  for (DWORD seq = 0; seq < 3; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  BYTE buf[400];
  DWORD cb = 0;
  LONG n = 0;
  TIncompleteFrame incomplete = {0, 0};
  EXPECT_EQ(E_FAIL, m.ReadFrames(sizeof buf, buf, 3, 1, cb, n, incomplete));
  EXPECT_EQ(E_FAIL, m.ReadFrames(sizeof buf, buf, -1, 1, cb, n, incomplete));
  EXPECT_EQ(E_FAIL, m.ReadIncompleteFrame(sizeof buf, buf, 3, cb, incomplete));
  EXPECT_EQ(std::vector<LONGLONG>{2}, ReadSeqs(m, 2, 1, 400));
  EXPECT_EQ(S_OK, m.Stop());
}

TEST_F(CaptureMngtTest, SaveAndNameWorkOnlyOnTheStoppedCapture) {
  ringtest::BootFolder boot;
  CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
  char name[64];
  EXPECT_EQ(E_FAIL, m.GetFileName(sizeof name, name));
  EXPECT_EQ(E_FAIL, m.SaveCaptureAs("saved.cap"));
  m.ChangeSettings([&](CaptureSettings& cs) {
    cs.bAutoSave = false;
  });  // a temporary capture in the boot folder
  ASSERT_EQ(S_OK, m.Start());
  for (DWORD seq = 0; seq < 5; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  EXPECT_EQ(E_FAIL, m.SaveCaptureAs("saved.cap"));
  ASSERT_EQ(S_OK, m.GetFileName(sizeof name, name));
  EXPECT_EQ(0, strncmp(name, "CAP", 3));
  ASSERT_EQ(S_OK, m.Stop());
  ASSERT_EQ(S_OK, m.SaveCaptureAs("saved.cap"));
  ASSERT_EQ(S_OK, m.GetFileName(sizeof name, name));
  EXPECT_STREQ("saved.cap", name);
  EXPECT_EQ(Range(0, 5), ReadCapFile(boot / "saved.cap").seqs);
  // The counters survive the stop.
  LONG frames = 0;
  DWORD bytes = 0, overflows = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(5, frames);
}

TEST_F(CaptureMngtTest, RingOverflowRenumbersFramesAndReadsFollow) {
  CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
  Configure(m, true);
  ASSERT_EQ(S_OK, m.Start());
  constexpr DWORD kFrames = 12000;  // 1.2 MB of records into a 1 MiB ring
  for (DWORD seq = 0; seq < kFrames; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));

  LONG frames = 0, nLast = 0;
  DWORD bytes = 0, overflows = 0, cbLast = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  m.GetOverflowInfo(nLast, cbLast);
  ASSERT_GE(overflows, 1u);
  EXPECT_EQ(100u * static_cast<DWORD>(frames), bytes);
  EXPECT_EQ(100u * static_cast<DWORD>(nLast), cbLast);
  const LONGLONG oldest = kFrames - frames;
  // One read spans the ring files and continues into the memory buffer.
  EXPECT_EQ(Range(oldest, kFrames), ReadSeqs(m, 0, frames, 100 * frames));
  ASSERT_EQ(S_OK, m.Stop());
  const auto merged = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(merged.ok) << merged.error;
  EXPECT_EQ(Range(oldest, kFrames), merged.seqs);
  EXPECT_EQ(std::vector<std::string>{"trace.cap"}, ringtest::Files(m_dir.path()));
}

TEST_F(CaptureMngtTest, RingContinuesTheEarlierCaptureWhenNotOverwriting) {
  {
    CCaptureMngt m(kMiB, 65536, kNoCycle, 3, true);
    Configure(m, true);
    ASSERT_EQ(S_OK, m.Start());
    for (DWORD seq = 0; seq < 100; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
    ASSERT_EQ(S_OK, m.Stop());
  }
  CCaptureMngt m(kMiB, 65536, kNoCycle, 3, false);
  Configure(m, true);
  ASSERT_EQ(S_OK, m.Start());
  LONG frames = 0;
  DWORD bytes = 0, overflows = 0;
  m.GetCaptureInfo(frames, bytes, overflows);
  EXPECT_EQ(100, frames);
  EXPECT_EQ(10000u, bytes);
  for (DWORD seq = 100; seq < 110; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  EXPECT_EQ(Range(0, 110), ReadSeqs(m, 0, 110, 20000));
  ASSERT_EQ(S_OK, m.Stop());
  EXPECT_EQ(Range(0, 110), ReadCapFile(Path("trace.cap")).seqs);
}

// The earlier capture needs more files than this ring has: the ring keeps its newest frames,
// and the manager owns up to the dropped ones before the first new frame arrives.
TEST_F(CaptureMngtTest, ContinuationThatDropsFramesReportsAnOverflowAtStart) {
  {
    // Two 200000-byte records fit into each file of a ring of two 1 MiB files ...
    CCaptureMngt m(kMiB, 65536, kNoCycle, 2, true);
    Configure(m, true);
    ASSERT_EQ(S_OK, m.Start());
    for (DWORD seq = 0; seq < 4; ++seq) ASSERT_EQ(S_OK, Write(m, 200000, seq));
    ASSERT_EQ(S_OK, m.Stop());
  }
  // ... but only one into each file of a ring of three.
  CCaptureMngt m(kMiB, 65536, kNoCycle, 3, false);
  Configure(m, true);
  ASSERT_EQ(S_OK, m.Start());
  LONG frames = 0, nLast = 0;
  DWORD bytes = 0, overflows = 0, cbLast = 0;
  LONGLONG dropped = 0;
  ULONGLONG cbDropped = 0;
  m.GetCaptureInfo(frames, bytes, overflows, dropped, cbDropped);
  EXPECT_EQ(3, frames);
  EXPECT_EQ(600000u, bytes);
  EXPECT_EQ(1u, overflows);
  EXPECT_EQ(1, dropped);
  EXPECT_EQ(200000u, cbDropped);
  m.GetOverflowInfo(nLast, cbLast);
  EXPECT_EQ(1, nLast);
  EXPECT_EQ(200000u, cbLast);

  ASSERT_EQ(S_OK, Write(m, 100, 4));
  EXPECT_EQ(Range(1, 5), ReadSeqs(m, 0, 4, 700000));
  ASSERT_EQ(S_OK, m.Stop());
  const auto merged = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(merged.ok) << merged.error;
  EXPECT_EQ(Range(1, 5), merged.seqs);
  EXPECT_EQ(std::vector<std::string>{"trace.cap"}, ringtest::Files(m_dir.path()));
}

}  // namespace

// Another program removes or replaces a file of the running capture. The capture goes on in
// the open file, the manager says so at its next copy, and the stop writes every frame under
// the intended name, or beside a file that took the name, which it leaves as it is.
TEST_F(CaptureMngtTest, AFileRemovedOrReplacedWhileCapturingIsWrittenAgainAtStop) {
  struct Case {
    const char* what;
    bool ring;
    const char* victim;
    bool replace;
    const char* result;      // where all frames end up
    const char* stopNotice;  // part of the line the stop adds; null: none
  };
  const Case cases[] = {
      {"single file removed", false, "trace.cap", false, "trace.cap", "written again at stop"},
      {"single file replaced", false, "trace.cap", true, "trace-recovered.cap",
       "the capture is in"},
      {"first ring file removed", true, "trace.cap", false, "trace.cap", "written again at stop"},
      {"second ring file removed", true, "trace~1.cap", false, "trace.cap", nullptr},
      {"second ring file replaced", true, "trace~1.cap", true, "trace.cap", nullptr},
  };
  constexpr DWORD kFrames = 6000;  // 600 kB: both files of a 2 MiB ring are in use
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::TempDir dir;
    CCaptureMngt m(2 * kMiB, 65536, kNoCycle, 2, true);
    m.ChangeSettings([&](CaptureSettings& cs) { cs.bRingBuffer = c.ring; });
    m.ChangeSettings([&](CaptureSettings& cs) { cs.folder = dir.path().c_str(); });
    m.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = "trace.cap"; });
    ASSERT_EQ(S_OK, m.Start());
    for (DWORD seq = 0; seq < kFrames / 2; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
    const std::string victim = dir / c.victim;
    if (c.ring) {
      ASSERT_TRUE(std::filesystem::exists(dir / "trace~1.cap"));
    }
    ASSERT_EQ(0, unlink(victim.c_str()));
    const std::vector<unsigned char> foreign = {'n', 'o', 't', ' ', 'c', 'a', 'p'};
    if (c.replace) vxtest::WriteFileBytes(victim, foreign);
    for (DWORD seq = kFrames / 2; seq < kFrames; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));

    CString notice;
    ASSERT_TRUE(m.TakeNotice(notice));
    EXPECT_NE(std::string(notice).find(std::string(c.victim) + " was removed or replaced"),
              std::string::npos)
        << notice;
    EXPECT_FALSE(m.TakeNotice(notice)) << "said once: " << notice;
    ASSERT_EQ(S_OK, m.Stop());
    if (c.stopNotice) {
      ASSERT_TRUE(m.TakeNotice(notice));
      EXPECT_NE(std::string(notice).find(c.stopNotice), std::string::npos) << notice;
    }
    EXPECT_FALSE(m.TakeNotice(notice)) << notice;

    const auto file = ReadCapFile(dir / c.result);
    ASSERT_TRUE(file.ok) << file.error;
    EXPECT_EQ(Range(0, kFrames), file.seqs);
    if (c.replace) {
      EXPECT_EQ(foreign, vxtest::ReadFileBytes(victim));
    }
  }
}

// The folder of a running capture is moved away and a regular file takes its name: the stop
// cannot write the capture again, and its notice says where and why.
TEST_F(CaptureMngtTest, ACaptureThatCannotBeWrittenAgainSaysWhy) {
  vxtest::TempDir dir;
  const std::string folder = dir / "run";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  CCaptureMngt m(2 * kMiB, 65536, kNoCycle, 2, true);
  m.ChangeSettings([&](CaptureSettings& cs) { cs.folder = folder.c_str(); });
  m.ChangeSettings([&](CaptureSettings& cs) { cs.saveFileName = "trace.cap"; });
  ASSERT_EQ(S_OK, m.Start());
  for (DWORD seq = 0; seq < 1000; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  ASSERT_EQ(0, rename(folder.c_str(), (dir / "moved").c_str()));
  vxtest::WriteFileBytes(folder, {'x'});
  for (DWORD seq = 1000; seq < 2000; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  m.Stop();

  std::string notices;
  for (CString notice; m.TakeNotice(notice);) notices += std::string(notice) + "\n";
  EXPECT_NE(notices.find(folder +
                         "/trace.cap was removed or replaced while capturing and could "
                         "not be written again: " +
                         strerror(ENOTDIR)),
            std::string::npos)
      << notices;
}

// A capture file whose batch writes wait at a gate until the test opens it: a slow disk.
class CGatedFile : public CCaptureFile {
 public:
  CGatedFile(std::atomic<bool>& open, std::atomic<int>& waiting)
      : m_open(open), m_waiting(waiting) {}
  using CCaptureFile::WriteFrames;
  HRESULT WriteFrames(IVxStream* pTable, DWORD cbTable, IVxStream* pFrames,
                      DWORD cbFrames) override {
    ++m_waiting;
    while (!m_open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --m_waiting;
    return CCaptureFile::WriteFrames(pTable, cbTable, pFrames, cbFrames);
  }

 private:
  std::atomic<bool>& m_open;
  std::atomic<int>& m_waiting;
};

class CGatedMngt : public CCaptureMngt {
 public:
  using CCaptureMngt::CCaptureMngt;
  std::atomic<bool> m_open{false};
  std::atomic<int> m_waiting{0};

 protected:
  CCaptureFileBase* NewCaptureObject() override { return new CGatedFile(m_open, m_waiting); }
};

// While the file thread is held inside a write, the writer goes on into the other buffer:
// every frame up to that buffer's size is stored, none refused, and all reach the file in
// order once the disk moves again. Frames written meanwhile are readable at once.
TEST_F(CaptureMngtTest, TheWriterIsNotHeldUpByADiskWrite) {
  CGatedMngt m(kMiB, 8192, kNoCycle, 2, true);
  Configure(m, false);
  ASSERT_EQ(S_OK, m.Start());
  DWORD seq = 0;
  // More than a batch: the file thread takes it and waits at the gate.
  for (; seq < 200; ++seq) ASSERT_EQ(S_OK, Write(m, 100, seq));
  ASSERT_TRUE(vxtest::WaitUntil([&] { return m.m_waiting == 1; }));
  // The other buffer takes a whole batch more without a wait; a writer that waited for the
  // disk would hang here until the deadline.
  auto more = std::async(std::launch::async, [&m, &seq] {
    for (DWORD i = 0; i < 80; ++i, ++seq)
      if (Write(m, 100, seq) != S_OK) return false;
    return true;
  });
  const bool done = more.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!done) m.m_open = true;  // lets a writer that waited for the disk finish
  ASSERT_TRUE(done) << "the writer waited for the disk";
  EXPECT_TRUE(more.get());
  EXPECT_EQ(1, m.m_waiting.load());
  EXPECT_EQ(0u, m.GetFramesNotStored());
  EXPECT_EQ(Range(200, seq), ReadSeqs(m, 200, static_cast<LONG>(seq) - 200, 100 * seq));
  m.m_open = true;
  ASSERT_EQ(S_OK, m.Stop());
  const auto file = ReadCapFile(Path("trace.cap"));
  ASSERT_TRUE(file.ok) << file.error;
  EXPECT_EQ(Range(0, seq), file.seqs);
}
