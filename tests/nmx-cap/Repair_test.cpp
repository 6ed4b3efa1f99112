// repair after an append that was cut short: records were written behind the last frame the
// header knows, the table and header were not, and the last record is incomplete. And repair
// of ring files on a later lap, which still hold the records of the lap before behind what
// their header describes.
#include <gtest/gtest.h>

#include <filesystem>

#include "NmxCapTestUtil.h"
#include "capture/CaptureMem.h"
#include "frames/CapFrameReader.h"
#include "os/OsUserFile.h"
#include "support/VxFileStream.h"

namespace {

using namespace captool;

std::vector<Frame> Frames(int n) {
  std::vector<Frame> frames;
  for (int i = 0; i < n; ++i)
    frames.push_back({kT0 + i * kMs, Packet(kServer, kClient, 2, 4, static_cast<DWORD>(i),
                                            Bytes(static_cast<size_t>(12 + 5 * i), 0x30 + i))});
  return frames;
}

class RepairTest : public testing::Test {
 protected:
  // A capture still open for writing (preallocated to 1 MiB) with 3 frames, into which 2
  // more records and the first 20 bytes of a third were written over the table, as an
  // interrupted append leaves it.
  void SetUp() override {
    const std::vector<Frame> all = Frames(6);
    m_path = WriteCapture(m_dir, "crash.cap", {all.begin(), all.begin() + 3}, true);
    ASSERT_FALSE(m_path.empty());
    m_crashed = vxtest::ReadFileBytes(m_path);
    size_t at = 128;
    for (int i = 0; i < 3; ++i) at += Record(all[i]).size();
    for (int i = 3; i < 6; ++i) {
      const Bytes r = Record(all[i]);
      const size_t n = i < 5 ? r.size() : 20;
      std::copy(r.begin(), r.begin() + n, m_crashed.begin() + at);
      if (i < 5) m_recordsEnd = at + n;
      at += n;
    }
    vxtest::WriteFileBytes(m_path, m_crashed);

    // What the capture classes write for the five whole frames.
    m_expected = vxtest::ReadFileBytes(WriteCapture(m_dir, "expected.cap", Frames(5)));
    std::copy(m_crashed.begin() + 8, m_crashed.begin() + 24, m_expected.begin() + 8);
  }

  std::string Report(const std::string& file) const {
    return file + ": kept 5 frames (" + std::to_string(m_recordsEnd - 128) +
           " bytes of records), discarded " + std::to_string(m_crashed.size() - m_recordsEnd) +
           " bytes behind them\n  the header described 3 frames; the walk stopped: frame 5 at "
           "offset " +
           std::to_string(m_recordsEnd) + ": EtherType is not 0x88A4 (0x0000)\n";
  }

  vxtest::TempDir m_dir;
  std::string m_path;
  Bytes m_crashed;
  Bytes m_expected;
  size_t m_recordsEnd = 0;
};

TEST_F(RepairTest, KeepsEveryWholeFrameInANewFile) {
  ASSERT_EQ(1, RunTool({"check", m_path}).status);
  const std::string out = m_dir / "out.cap";
  const ToolRun r = RunTool({"repair", m_path, "-o", out});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(Report(out), r.out);
  EXPECT_EQ(m_expected, vxtest::ReadFileBytes(out));
  EXPECT_EQ(m_crashed, vxtest::ReadFileBytes(m_path));
  EXPECT_FALSE(std::filesystem::exists(m_path + "~"));

  // A valid capture comes out as it went in.
  const std::string again = m_dir / "again.cap";
  ASSERT_EQ(0, RunTool({"repair", out, "-o", again}).status);
  EXPECT_EQ(m_expected, vxtest::ReadFileBytes(again));
}

TEST_F(RepairTest, InPlaceKeepsTheOriginalAsBackupAndNeverReplacesABackup) {
  const ToolRun r = RunTool({"repair", m_path});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(Report(m_path) + "  the original is kept as " + m_path + "~\n", r.out);
  EXPECT_EQ(m_expected, vxtest::ReadFileBytes(m_path));
  EXPECT_EQ(m_crashed, vxtest::ReadFileBytes(m_path + "~"));

  // The repaired file is valid: nothing to do.
  const ToolRun again = RunTool({"repair", m_path});
  ASSERT_EQ(0, again.status) << again.err;
  EXPECT_EQ(m_path + ": valid: 5 frames, " + std::to_string(m_recordsEnd - 128) +
                " bytes of records\n  nothing to repair: the file is left as it is\n",
            again.out);
  EXPECT_EQ(m_expected, vxtest::ReadFileBytes(m_path));

  // Damaged again, it would need the backup of the crashed file replaced.
  const Bytes cut(m_expected.begin(), m_expected.end() - 3);
  vxtest::WriteFileBytes(m_path, cut);
  const ToolRun second = RunTool({"repair", m_path});
  EXPECT_EQ(2, second.status);
  EXPECT_NE(std::string::npos, second.err.find("File exists")) << second.err;
  EXPECT_NE(std::string::npos, second.err.find("(the file was not changed)")) << second.err;
  EXPECT_EQ(m_crashed, vxtest::ReadFileBytes(m_path + "~"));
  EXPECT_EQ(cut, vxtest::ReadFileBytes(m_path));
}

TEST_F(RepairTest, RefusesWhatItMustNotRewrite) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  Bytes notCapture = m_crashed;
  notCapture[1] = 'X';
  vxtest::WriteFileBytes(m_dir / "other.bin", notCapture);
  vxtest::WriteFileBytes(m_dir / "short.cap", Bytes(m_crashed.begin(), m_crashed.begin() + 100));
  const Case cases[] = {
      {"not a capture",
       {"repair", m_dir / "other.bin"},
       1,
       "other.bin: not a capture file: bad signature (not GMBU)"},
      {"shorter than a header",
       {"repair", m_dir / "short.cap"},
       1,
       "short.cap: not a capture file: 100 bytes, shorter than a header"},
      {"output is the input",
       {"repair", m_path, "-o", m_dir / "./crash.cap"},
       2,
       "is the file being repaired"},
      {"missing", {"repair", m_dir / "none.cap"}, 2, "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
  EXPECT_EQ(notCapture, vxtest::ReadFileBytes(m_dir / "other.bin"));
  EXPECT_EQ(m_crashed, vxtest::ReadFileBytes(m_path));
  for (const char* backup : {"other.bin~", "short.cap~", "crash.cap~"})
    EXPECT_FALSE(std::filesystem::exists(m_dir / backup)) << backup;
}

// ---- Ring files on a later lap ----------------------------------------------------------
//
// A ring reuses its oldest file by emptying it with Clear(), which rewrites only the header:
// the frames of the lap before stay behind it. They were given up (reported as overflow) and
// must not come back. All frames have the same size, so the old records start exactly where
// new ones end, the alignment under which leftovers can pass as records.

constexpr LONGLONG kSecondLap = kT0 + 3600 * 1000 * kMs;

std::vector<Frame> Lap(LONGLONG start, int n) {
  std::vector<Frame> frames;
  for (int i = 0; i < n; ++i)
    frames.push_back(
        {start + i * kMs, Packet(kServer, kClient, 2, 4, static_cast<DWORD>(i),
                                 Bytes(24, static_cast<BYTE>(start == kT0 ? 0xAA : 0x55)))});
  return frames;
}

// Times of the frames the file's header and table describe, or {} when it is not valid.
std::vector<LONGLONG> TimesOf(const std::string& path) {
  CCapFile f;
  std::string e;
  if (!f.Open(path, &e)) return {};
  CCapFrameReader reader(f);
  CapProblem problem;
  CapFrame frame;
  std::vector<LONGLONG> times;
  CCapFrameReader::Step step;
  while ((step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame)
    times.push_back(frame.nTimeStamp);
  return step == CCapFrameReader::Step::kEnd ? times : std::vector<LONGLONG>{};
}

std::vector<LONGLONG> TimesOf(const std::vector<Frame>& frames) {
  std::vector<LONGLONG> times;
  for (const Frame& f : frames) times.push_back(f.time);
  return times;
}

// Appends as the capture manager does: one batch through its memory buffer.
HRESULT AppendBatch(CCaptureFile& file, const std::vector<Frame>& frames) {
  CCaptureMem mem;
  HRESULT hr = mem.Create(4096);
  mem.SetStartOffset(file.GetFramePosition());
  for (const Frame& f : frames) {
    const Bytes r = Record(f);
    if (SUCCEEDED(hr)) hr = mem.WriteFrame(r.data(), static_cast<DWORD>(r.size()));
  }
  return SUCCEEDED(hr) ? mem.CopyTo(&file, 0, 0) : hr;
}

// A ring file 4 KiB long that held 8 frames of the first lap, was emptied and then received
// `fresh` frames of the second lap one by one; closed with its preallocated tail, as a ring
// file is left when the capture dies.
std::string SecondLap(const vxtest::TempDir& dir, const std::string& name, int fresh) {
  CCaptureFile file;
  if (FAILED(file.Create(4096, dir.path().c_str(), name.c_str(), false))) return "";
  for (const Frame& f : Lap(kT0, 8)) {
    const Bytes r = Record(f);
    if (FAILED(file.WriteFrame(r.data(), static_cast<DWORD>(r.size())))) return "";
  }
  if (FAILED(file.Clear(true))) return "";
  for (const Frame& f : Lap(kSecondLap, fresh)) {
    const Bytes r = Record(f);
    if (FAILED(file.WriteFrame(r.data(), static_cast<DWORD>(r.size())))) return "";
  }
  return FAILED(file.CloseFile()) ? "" : dir / name;
}

TEST(RepairLaterLap, AValidFileIsLeftAsItIs) {
  for (int fresh : {0, 3}) {
    SCOPED_TRACE(fresh);
    vxtest::TempDir dir;
    const std::string path = SecondLap(dir, "ring.cap", fresh);
    ASSERT_FALSE(path.empty());
    const Bytes before = vxtest::ReadFileBytes(path);
    const size_t cbRecords = static_cast<size_t>(fresh) * Record(Lap(kT0, 1)[0]).size();
    const std::string valid = "valid: " + std::to_string(fresh) + " frames, " +
                              std::to_string(cbRecords) + " bytes of records, " +
                              std::to_string(4096 - 128 - cbRecords - 4 * fresh) +
                              " unused bytes behind the table\n  nothing to repair: ";

    const std::string out = dir / "out.cap";
    ToolRun r = RunTool({"repair", path, "-o", out});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(path + ": " + valid + out + " is an exact copy of it\n", r.out);
    EXPECT_EQ(before, vxtest::ReadFileBytes(out));
    EXPECT_EQ(TimesOf(Lap(kSecondLap, fresh)), TimesOf(out));

    r = RunTool({"repair", path});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(path + ": " + valid + "the file is left as it is\n", r.out);
    EXPECT_EQ(before, vxtest::ReadFileBytes(path));
    EXPECT_FALSE(std::filesystem::exists(path + "~"));
  }
}

// A file stream that stops writing for good once a budget of bytes is spent, as if the
// process died there: the write that crosses the budget puts down only its first bytes.
class CCrashingStream : public CVxFileStream {
 public:
  explicit CCrashingStream(uint64_t cbBudget) : m_cbBudget(cbBudget) {}

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    const ULONG n = static_cast<ULONG>(std::min<uint64_t>(cb, m_cbBudget));
    m_cbBudget -= n;
    m_cbWritten += n;
    ULONG done = 0;
    const HRESULT hr = n > 0 ? CVxFileStream::Write(pv, n, &done) : S_OK;
    if (pcbWritten) *pcbWritten = done;
    return FAILED(hr) || n < cb ? E_FAIL : hr;
  }

  uint64_t Written() const { return m_cbWritten; }

 private:
  uint64_t m_cbBudget;
  uint64_t m_cbWritten = 0;
};

// Every point at which the next append to a file on its second lap can be cut off: repair
// keeps the frames of the second lap whose records were written, and never one of the first.
TEST(RepairLaterLap, AnAppendCutOffAnywhereBringsBackNoOldFrame) {
  struct Case {
    const char* name;
    int committed;  // frames of the second lap before the append
    int appended;
    bool batch;
  };
  const Case cases[] = {
      {"first append after the clear", 0, 2, true},
      {"one frame behind one", 1, 1, false},  // the new table: two entries
      {"a batch behind one", 1, 2, true},     // three entries
      {"one frame behind three", 3, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vxtest::TempDir dir;
    const std::string base = SecondLap(dir, "base.cap", c.committed);
    ASSERT_FALSE(base.empty());
    const std::vector<Frame> lap = Lap(kSecondLap, c.committed + c.appended);
    const std::string path = dir / "ring.cap";
    const std::string out = dir / "out.cap";

    // Appends to a fresh copy of base with the given budget; the bytes the append wrote.
    auto appendCut = [&](uint64_t budget, HRESULT* hr) -> uint64_t {
      std::filesystem::copy_file(base, path, std::filesystem::copy_options::overwrite_existing);
      CCrashingStream* stream = new CCrashingStream(budget);
      if (FAILED(stream->Init(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr, nullptr))) {
        stream->Release();
        return 0;
      }
      CCaptureFile file;
      if (FAILED(file.Create(stream, false))) {
        stream->Release();
        return 0;
      }
      if (c.batch) {
        *hr = AppendBatch(file, {lap.begin() + c.committed, lap.end()});
      } else {
        const Bytes r = Record(lap.back());
        *hr = file.WriteFrame(r.data(), static_cast<DWORD>(r.size()));
      }
      return stream->Written();
    };

    HRESULT hr = E_FAIL;
    const uint64_t total = appendCut(UINT64_MAX, &hr);
    ASSERT_EQ(S_OK, hr);
    ASSERT_GT(total, vxcap::kHeaderSize);
    for (uint64_t budget = 0; budget < total; ++budget) {
      SCOPED_TRACE(budget);
      ASSERT_EQ(budget, appendCut(budget, &hr));
      ASSERT_TRUE(FAILED(hr));
      const ToolRun r = RunTool({"repair", path, "-o", out});
      ASSERT_EQ(0, r.status) << r.err;
      const std::vector<LONGLONG> kept = TimesOf(out);
      ASSERT_GE(kept.size(), static_cast<size_t>(c.committed)) << r.out;
      ASSERT_LE(kept.size(), lap.size()) << r.out;
      EXPECT_EQ(TimesOf(std::vector<Frame>(lap.begin(),
                                           lap.begin() + static_cast<ptrdiff_t>(kept.size()))),
                kept)
          << r.out;
      // Cut off where the header was to be rewritten, with every new record in place.
      if (budget == total - vxcap::kHeaderSize && c.committed > 0) {
        EXPECT_EQ(lap.size(), kept.size()) << r.out;
      }
    }
  }
}

}  // namespace
