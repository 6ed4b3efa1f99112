#include "capture/CaptureFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "CaptureTestUtil.h"
#include "capture/CaptureMem.h"
#include "capture/OsUserTempFile.h"
#include "os/OsUserFile.h"

namespace {

using captest::AppendBatch;
using captest::Bytes;
using captest::kMiB;
using captest::Parse;
using captest::Parsed;
using captest::PutLE32;
using captest::ReadAllOf;
using captest::Record;
using captest::Records;

bool Exists(const std::string& p) {
  return std::filesystem::exists(p);
}
uintmax_t FileSize(const std::string& p) {
  return std::filesystem::file_size(p);
}

Bytes Pattern(size_t n, BYTE seed) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(seed + 3 * i);
  return v;
}

// The file a reader expects for these records, composed byte by byte from the layout; the
// header time stamp is taken from the file under test (it is the time of its creation).
Bytes Compose(const Records& recs, const Bytes& actual) {
  Bytes f = {0x47, 0x4D, 0x42, 0x55, 0x00, 0x02, 0x01, 0x00};
  f.insert(f.end(), actual.begin() + 8, actual.begin() + 24);
  DWORD records = 0;
  for (const Bytes& r : recs) records += static_cast<DWORD>(r.size());
  PutLE32(f, 128 + records);
  PutLE32(f, 4 * static_cast<DWORD>(recs.size()));
  f.resize(128, 0);
  for (const Bytes& r : recs) f.insert(f.end(), r.begin(), r.end());
  DWORD offset = 128;
  for (const Bytes& r : recs) {
    PutLE32(f, offset);
    offset += static_cast<DWORD>(r.size());
  }
  return f;
}

class CaptureFileTest : public testing::Test {
 protected:
  std::string Path(const std::string& name) const { return m_dir / name; }
  const char* Dir() const { return m_dir.path().c_str(); }

  vxtest::TempDir m_dir;
};

TEST_F(CaptureFileTest, OneByOneAppendsGiveTheExactFile) {
  const Records recs = {Pattern(100, 1), Pattern(60, 2), Pattern(80, 3)};
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(kMiB, Dir(), "t.cap", false));
  EXPECT_EQ(kMiB, FileSize(Path("t.cap")));  // preallocated at full size
  for (const Bytes& r : recs) ASSERT_EQ(S_OK, f.WriteFrame(r.data(), r.size()));

  EXPECT_EQ(128u, f.GetFrameOffset(0));
  EXPECT_EQ(228u, f.GetFrameOffset(1));
  EXPECT_EQ(288u, f.GetFrameOffset(2));
  EXPECT_EQ(368u, f.GetFramePosition());
  EXPECT_EQ(380u, f.GetSize());
  DWORD cb = 0;
  EXPECT_EQ(S_OK, f.GetSizeOfFrames(cb));
  EXPECT_EQ(240u, cb);
  EXPECT_EQ(kMiB, FileSize(Path("t.cap")));
  ASSERT_EQ(S_OK, f.Truncate());

  const Bytes actual = vxtest::ReadFileBytes(Path("t.cap"));
  ASSERT_EQ(380u, actual.size());
  EXPECT_EQ(Compose(recs, actual), actual);
  SYSTEMTIME ts = vxcap::DecodeSystemTime(actual.data() + 8);
  EXPECT_GE(ts.wYear, 2020);
  EXPECT_TRUE(ts.wMonth >= 1 && ts.wMonth <= 12);
}

// A packet of 2048 bytes or more: its length no longer fits the parser word, which keeps the
// low 11 bits; the record lengths carry the true one.
TEST_F(CaptureFileTest, RecordOfA2100BytePacketGivesTheExactFile) {
  Bytes packet = Pattern(2100, 9);
  vx::EncodeLE32(packet.data() + vxcap::kNmxCbDataOffset, 2100 - 32);
  Bytes rec(2132);
  ASSERT_EQ(2132u, vxcap::EncodeRecord(rec.data(), rec.size(), 0x01D9A1B2C3D4E5F6, packet.data(),
                                       static_cast<DWORD>(packet.size())));
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(8192, Dir(), "big.cap", false));
  ASSERT_EQ(S_OK, f.WriteFrame(rec.data(), static_cast<DWORD>(rec.size())));
  ASSERT_EQ(S_OK, f.Truncate());
  const Bytes actual = vxtest::ReadFileBytes(Path("big.cap"));
  ASSERT_EQ(128u + 2132 + 4, actual.size());

  Bytes expected = {0x47, 0x4D, 0x42, 0x55, 0x00, 0x02, 0x01, 0x00};
  expected.insert(expected.end(), actual.begin() + 8, actual.begin() + 24);  // creation time
  const BYTE tablePosition[] = {
      0xD4, 0x08, 0x00, 0x00,  // FrameTableOffset = 128 + 2132
      0x04, 0x00, 0x00, 0x00,  // FrameTableLength: one entry
  };
  expected.insert(expected.end(), std::begin(tablePosition), std::end(tablePosition));
  expected.resize(128, 0);
  const BYTE head[] = {
      0xF6, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1, 0xD9, 0x01,  // time stamp
      0x44, 0x08, 0x00, 0x00, 0x44, 0x08, 0x00, 0x00,  // FrameLength = nBytesAvail = 2116
      0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0,  // addresses
      0x88, 0xA4,                                                  // EtherType, big-endian
      0x34, 0x20,                                                  // (2100 & 0x7FF) | 0x2000
  };
  expected.insert(expected.end(), std::begin(head), std::end(head));
  expected.insert(expected.end(), packet.begin(), packet.end());
  const BYTE table[] = {0x80, 0x00, 0x00, 0x00};
  expected.insert(expected.end(), std::begin(table), std::end(table));
  const auto diff = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  EXPECT_EQ(expected, actual) << "first difference at offset " << diff.first - expected.begin();
}

TEST_F(CaptureFileTest, NewEmptyCaptureIsAHeaderOnly) {
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(kMiB, Dir(), "e.cap", false));
  ASSERT_EQ(S_OK, f.Truncate());
  const Bytes actual = vxtest::ReadFileBytes(Path("e.cap"));
  EXPECT_EQ(Compose({}, actual), actual);
}

TEST_F(CaptureFileTest, BatchesAndCopiesFromOtherFilesGiveTheSameBytes) {
  Records recs;
  for (DWORD i = 0; i < 10; ++i) recs.push_back(Record(64 + 13 * i, i));

  CCaptureFile a;
  ASSERT_EQ(S_OK, a.Create(4096, Dir(), "a.cap", false));
  ASSERT_EQ(S_OK, AppendBatch(a, Records(recs.begin(), recs.begin() + 4)));
  ASSERT_EQ(S_OK, a.WriteFrame(recs[4].data(), recs[4].size()));
  ASSERT_EQ(S_OK, AppendBatch(a, Records(recs.begin() + 5, recs.end())));
  ASSERT_EQ(10, a.GetFrameCount());

  // Another file takes all of a, then frames 2-4 of a, then all of a again: the entries
  // are rebased onto its own records each time.
  CCaptureFile b;
  ASSERT_EQ(S_OK, b.Create(64, Dir(), "b.cap", false));
  ASSERT_EQ(S_OK, b.WriteFrames(&a, 0, -1));
  ASSERT_EQ(S_OK, b.WriteFrames(&a, 2, 3));
  ASSERT_EQ(S_OK, b.WriteFrames(&a, 0, 10));
  ASSERT_EQ(S_OK, a.Truncate());
  ASSERT_EQ(S_OK, b.Truncate());

  const Bytes fileA = vxtest::ReadFileBytes(Path("a.cap"));
  EXPECT_EQ(Compose(recs, fileA), fileA);
  Records expectB = recs;
  expectB.insert(expectB.end(), recs.begin() + 2, recs.begin() + 5);
  expectB.insert(expectB.end(), recs.begin(), recs.end());
  const Bytes fileB = vxtest::ReadFileBytes(Path("b.cap"));
  EXPECT_EQ(Compose(expectB, fileB), fileB);
}

TEST_F(CaptureFileTest, AppendsFromAnotherFileCheckTheirRange) {
  CCaptureFile a, empty, b;
  ASSERT_EQ(S_OK, a.Create(4096, Dir(), "a.cap", false));
  ASSERT_EQ(S_OK, empty.Create(4096, Dir(), "empty.cap", false));
  ASSERT_EQ(S_OK, b.Create(4096, Dir(), "b.cap", false));
  for (DWORD i = 0; i < 5; ++i) {
    auto r = Record(70, i);
    ASSERT_EQ(S_OK, a.WriteFrame(r.data(), 70));
  }
  EXPECT_EQ(S_OK, b.WriteFrames(&empty, 0, -1));  // an empty source adds nothing
  EXPECT_EQ(E_FAIL, b.WriteFrames(&a, 5, 1));
  EXPECT_EQ(E_FAIL, b.WriteFrames(&a, -1, 1));
  EXPECT_EQ(E_FAIL, b.WriteFrames(&a, 1, -1));
  EXPECT_EQ(E_FAIL, b.WriteFrames(&a, 0, 6));
  EXPECT_EQ(E_FAIL, b.WriteFrames(&b, 0, -1));
  EXPECT_EQ(0, b.GetFrameCount());
  EXPECT_EQ(S_OK, b.WriteFrames(&a, 3, 5));  // runs past the source's end: cut there
  EXPECT_EQ(2, b.GetFrameCount());
}

TEST_F(CaptureFileTest, AdoptedFilesAreReadFromTheirHeader) {
  {
    CCaptureFile f;
    ASSERT_EQ(S_OK, f.Create(8192, Dir(), "src.cap", false));
    for (DWORD i = 0; i < 3; ++i) {
      auto r = Record(90, i);
      ASSERT_EQ(S_OK, f.WriteFrame(r.data(), 90));
    }
  }
  const Bytes good = vxtest::ReadFileBytes(Path("src.cap"));
  struct Case {
    const char* what;
    size_t at;
    std::vector<BYTE> bytes;
    HRESULT hr;
  };
  const Case cases[] = {
      {"valid", 0, {}, S_OK},
      {"version 01 02", 4, {0x01, 0x02}, E_FAIL},
      {"not GMBU", 0, {'G', 'M', 'B', 'V'}, E_FAIL},
      {"table before the records", 24, {0x10, 0x00, 0x00, 0x00}, E_FAIL},
      {"table past the end of the file", 24, {0x00, 0x00, 0x01, 0x00}, E_FAIL},
      {"table past 4 GiB", 28, {0xF0, 0xFF, 0xFF, 0xFF}, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = good;
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + c.at);
    vxtest::WriteFileBytes(Path("in.cap"), bytes);
    IVxFileStream* s = nullptr;
    ASSERT_EQ(S_OK, CVxFileStream::CreateFileStream(&s, Path("in.cap").c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ, OPEN_EXISTING,
                                                    FILE_ATTRIBUTE_NORMAL));
    CCaptureFile f;
    HRESULT hr = f.Create(s, false);
    EXPECT_EQ(c.hr, hr);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(3, f.GetFrameCount());
      BYTE* frame = nullptr;
      DWORD cb = 0;
      ASSERT_EQ(S_OK, f.ReadFrame(2, &frame, &cb));
      EXPECT_EQ(Record(90, 2), Bytes(frame, frame + cb));
      delete[] frame;
      char name[16];
      ASSERT_EQ(S_OK, f.GetFileName(sizeof name, name));
      EXPECT_STREQ("in.cap", name);
      EXPECT_EQ(E_FAIL, f.GetFileName(6, name));
    } else {
      EXPECT_EQ(0u, s->Release());  // a failed adoption leaves the reference to the caller
    }
  }
}

// The table of a file read from disk may be damaged where its header is not.
TEST_F(CaptureFileTest, AFrameTheTableSetsBeyondTheRecordsHasNoSizeAndIsNotRead) {
  {
    CCaptureFile f;
    ASSERT_EQ(S_OK, f.Create(8192, Dir(), "in.cap", false));
    for (DWORD i = 0; i < 3; ++i) {
      auto r = Record(90, i);
      ASSERT_EQ(S_OK, f.WriteFrame(r.data(), 90));
    }
    ASSERT_EQ(S_OK, f.Truncate());
  }
  Bytes bytes = vxtest::ReadFileBytes(Path("in.cap"));
  ASSERT_EQ(128u + 3 * 90 + 3 * 4, bytes.size());
  const size_t entry2 = 128 + 3 * 90 + 8;
  bytes[entry2 + 3] = 0x80;  // frame 2 at 2 GiB + 308
  vxtest::WriteFileBytes(Path("in.cap"), bytes);

  IVxFileStream* s = nullptr;
  ASSERT_EQ(S_OK,
            CVxFileStream::CreateFileStream(&s, Path("in.cap").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(s, false));
  DWORD cb = 0;
  EXPECT_EQ(E_FAIL, f.GetSizeOfFrames(1, 1, cb));
  EXPECT_EQ(E_FAIL, f.GetSizeOfFrames(2, 1, cb));
  BYTE* frame = nullptr;
  EXPECT_EQ(E_FAIL, f.ReadFrame(1, &frame, &cb));
  EXPECT_EQ(nullptr, frame);  // nothing allocated for a size the file does not hold
  delete[] frame;
  ASSERT_EQ(S_OK, f.ReadFrame(0, &frame, &cb));
  EXPECT_EQ(Record(90, 0), Bytes(frame, frame + cb));
  delete[] frame;
}

TEST_F(CaptureFileTest, FolderAndNameMayTogetherHave1023Characters) {
  std::string folder = m_dir.path();
  while (folder.size() < 850) {
    folder += "/" + std::string(std::min<size_t>(200, 850 - folder.size()), 'd');
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  }
  const std::string fits(1023 - folder.size(), 'n');
  const std::string tooLong(1024 - folder.size(), 'n');
  CCaptureFile ok, bad;
  EXPECT_EQ(E_FAIL, bad.Create(4096, folder.c_str(), tooLong.c_str(), false));
  EXPECT_EQ(S_OK, ok.Create(4096, folder.c_str(), fits.c_str(), false));
  EXPECT_TRUE(Exists(folder + "/" + fits));
  EXPECT_EQ(E_FAIL, bad.Create(4096, std::string(1025, 'x').c_str(), "n", false));
}

TEST_F(CaptureFileTest, TruncateKeepsALeadingPartOfTheFrames) {
  Records recs;
  for (DWORD i = 0; i < 10; ++i) recs.push_back(Record(64 + 10 * i, i));
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(kMiB, Dir(), "t.cap", false));
  ASSERT_EQ(S_OK, AppendBatch(f, recs));
  for (LONG end : {9, 10, 100}) {
    ASSERT_EQ(S_OK, f.Truncate(end));
    EXPECT_EQ(10, f.GetFrameCount());
  }
  EXPECT_EQ(kMiB, FileSize(Path("t.cap")));  // nothing removed, nothing cut

  ASSERT_EQ(S_OK, f.Truncate(3));
  EXPECT_EQ(4, f.GetFrameCount());
  const Bytes actual = vxtest::ReadFileBytes(Path("t.cap"));
  EXPECT_EQ(Compose(Records(recs.begin(), recs.begin() + 4), actual), actual);

  auto more = Record(100, 77);  // appending continues behind the kept frames
  ASSERT_EQ(S_OK, f.WriteFrame(more.data(), 100));
  EXPECT_EQ(128u + 64 + 74 + 84 + 94, f.GetFrameOffset(4));
}

TEST_F(CaptureFileTest, ClearForgetsTheFramesButKeepsTheLength) {
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(8192, Dir(), "c.cap", false));
  auto r = Record(100, 1);
  ASSERT_EQ(S_OK, f.WriteFrame(r.data(), 100));
  ASSERT_EQ(S_OK, f.Clear(true));
  EXPECT_EQ(0, f.GetFrameCount());
  EXPECT_EQ(128u, f.GetSize());
  EXPECT_EQ(8192u, FileSize(Path("c.cap")));
  const Bytes actual = vxtest::ReadFileBytes(Path("c.cap"));
  Parsed p = Parse(actual);
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_TRUE(p.frames.empty());
}

TEST_F(CaptureFileTest, RenameNeedsAClosedFileAndIgnoresACaseOnlyChange) {
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(4096, Dir(), "trace.cap", false));
  EXPECT_EQ(E_FAIL, f.Rename("other.cap"));  // still open
  ASSERT_EQ(S_OK, f.CloseFile());

  EXPECT_EQ(S_OK, f.Rename("TRACE.CAP"));
  EXPECT_TRUE(Exists(Path("trace.cap")));
  EXPECT_FALSE(Exists(Path("TRACE.CAP")));

  ASSERT_EQ(S_OK, f.Rename("other.cap"));
  EXPECT_FALSE(Exists(Path("trace.cap")));
  EXPECT_TRUE(Exists(Path("other.cap")));
  char name[32];
  ASSERT_EQ(S_OK, f.GetFileName(sizeof name, name));
  EXPECT_STREQ("other.cap", name);

  vxtest::WriteFileBytes(Path("taken.cap"), {1, 2, 3});
  ASSERT_EQ(S_OK, f.Rename("taken.cap"));  // an existing file of that name is replaced
  EXPECT_EQ(4096u, FileSize(Path("taken.cap")));

  ASSERT_EQ(S_OK, f.OpenFile());
  EXPECT_EQ(E_FAIL, f.OpenFile());
  EXPECT_EQ(E_FAIL, f.Rename("again.cap"));
}

TEST_F(CaptureFileTest, SavingAPartCopiesItsFramesWithTheirDistances) {
  Records recs;
  for (DWORD i = 0; i < 10; ++i) recs.push_back(Record(64 + 8 * i, i));
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(kMiB, Dir(), "ten.cap", false));
  ASSERT_EQ(S_OK, AppendBatch(f, recs));
  ASSERT_EQ(S_OK, f.CloseFile());

  ASSERT_EQ(S_OK, f.SaveCaptureAs(Path("part.cap").c_str(), false, 2, 3));
  EXPECT_EQ(nullptr, f.GetFrameStream());  // closed before, closed after
  const Bytes part = vxtest::ReadFileBytes(Path("part.cap"));
  EXPECT_EQ(Compose(Records(recs.begin() + 2, recs.begin() + 5), part), part);

  ASSERT_EQ(S_OK, f.OpenFile());
  ASSERT_EQ(S_OK, f.SaveCaptureAs(Path("tail.cap").c_str(), false, 8, -1));
  EXPECT_NE(nullptr, f.GetFrameStream());  // open before, open after
  const Bytes tail = vxtest::ReadFileBytes(Path("tail.cap"));
  EXPECT_EQ(Compose(Records(recs.begin() + 8, recs.end()), tail), tail);

  // A part copied onto the file itself would destroy it.
  EXPECT_EQ(E_FAIL, f.SaveCaptureAs(Path("ten.cap").c_str(), false, 2, 3));
  EXPECT_EQ(E_FAIL, f.SaveCaptureAs("no-folder.cap", false, 2, 3));
  EXPECT_EQ(E_FAIL, f.SaveCaptureAs(Path("x.cap").c_str(), false, 10, 1));
  EXPECT_EQ(E_FAIL, f.SaveCaptureAs(Path("x.cap").c_str(), false, 0, 11));
  EXPECT_EQ(10, f.GetFrameCount());
}

TEST_F(CaptureFileTest, SavingAPermanentFileAsAWholeCopiesIt) {
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(4096, Dir(), "keep.cap", false));
  auto r = Record(64, 1);
  ASSERT_EQ(S_OK, f.WriteFrame(r.data(), 64));
  ASSERT_EQ(S_OK, f.Truncate());
  ASSERT_EQ(S_OK, f.SaveCaptureAs(Path("copy.cap").c_str(), false, 0, -1));
  EXPECT_EQ(vxtest::ReadFileBytes(Path("keep.cap")), vxtest::ReadFileBytes(Path("copy.cap")));
  EXPECT_NE(nullptr, f.GetFrameStream());
  EXPECT_EQ(S_OK, f.SaveCaptureAs(Path("KEEP.CAP").c_str(), false, 0, 1));  // itself
  EXPECT_FALSE(Exists(Path("KEEP.CAP")));
}

TEST_F(CaptureFileTest, EmptyCaptureCannotBeSaved) {
  CCaptureFile f, never;
  ASSERT_EQ(S_OK, f.Create(4096, Dir(), "e.cap", false));
  EXPECT_EQ(E_FAIL, f.SaveCaptureAs(Path("s.cap").c_str(), false, 0, -1));
  EXPECT_EQ(E_FAIL, never.SaveCaptureAs(Path("s.cap").c_str(), false, 0, -1));
  EXPECT_FALSE(Exists(Path("s.cap")));
}

TEST_F(CaptureFileTest, StateRulesOfTheAppendingOperations) {
  CCaptureFile f;
  auto r = Record(64, 1);
  EXPECT_EQ(E_FAIL, f.WriteFrame(r.data(), 64));  // not created
  EXPECT_EQ(E_FAIL, f.Clear(false));
  EXPECT_EQ(E_FAIL, f.Truncate());
  EXPECT_EQ(E_FAIL, f.CloseFile());
  ASSERT_EQ(S_OK, f.Create(4096, Dir(), "s.cap", false));
  EXPECT_EQ(E_FAIL, f.Create(4096, Dir(), "s2.cap", false));
  EXPECT_EQ(E_FAIL, f.WriteFrame(r.data(), 0));
  ASSERT_EQ(S_OK, f.CloseFile());
  EXPECT_EQ(E_FAIL, f.WriteFrame(r.data(), 64));  // closed
  LONG n = 0;
  DWORD cb = 0;
  EXPECT_EQ(E_NOTIMPL, f.OnOverflow(n, cb));
  EXPECT_EQ(E_NOTIMPL, f.SetFrameOffset(0, 128));
}

// Whatever the writer has done, a reader with its own handle finds a complete capture
// between two appends: header, table and records always agree.
TEST_F(CaptureFileTest, AnotherHandleAlwaysReadsAValidCapture) {
  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(16384, Dir(), "live.cap", false));
  IVxFileStream* reader = nullptr;
  ASSERT_EQ(S_OK,
            CVxFileStream::CreateFileStream(&reader, Path("live.cap").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  Records written;
  for (DWORD round = 0; round < 120; ++round) {
    Records batch;
    for (DWORD i = 0; i <= round % 5; ++i)
      batch.push_back(Record(64 + (round * 7 + i * 13) % 300, round * 10 + i));
    if (round % 2) {
      ASSERT_EQ(S_OK, AppendBatch(f, batch));
    } else {
      for (const Bytes& r : batch) ASSERT_EQ(S_OK, f.WriteFrame(r.data(), r.size()));
    }
    written.insert(written.end(), batch.begin(), batch.end());
    if (round == 60) {
      ASSERT_EQ(S_OK, f.Truncate(static_cast<LONG>(written.size()) / 2 - 1));
      written.resize(written.size() / 2);
    }

    Parsed p = Parse(ReadAllOf(reader));
    ASSERT_TRUE(p.ok) << "round " << round << ": " << p.why;
    ASSERT_EQ(written, p.frames) << "round " << round;
  }
  reader->Release();
}

TEST_F(CaptureFileTest, BootFolderPathAndItsLimits) {
  captest::BootFolder boot;
  const std::string path = boot.path();
  std::vector<char> buf(path.size() + 4, 'x');
  EXPECT_EQ(234u, CCaptureFile::GetBootPrjPath(buf.data(), static_cast<DWORD>(path.size())));
  ASSERT_EQ(0u, CCaptureFile::GetBootPrjPath(buf.data(), static_cast<DWORD>(buf.size())));
  EXPECT_EQ(path, std::string(buf.data()));
  EXPECT_EQ(0, buf.back());  // the rest is zero-filled

  CCaptureFile f;
  ASSERT_EQ(S_OK, f.Create(4096, Dir(), "f.cap", false));
  auto r = Record(64, 1);
  ASSERT_EQ(S_OK, f.WriteFrame(r.data(), 64));
  const std::string longest(1022 - path.size() - 1, 'n');  // folder, separator and name: 1022
  const std::string tooLong = longest + "n";
  EXPECT_EQ(static_cast<HRESULT>(0x800700EA), f.SaveCaptureAs(tooLong.c_str(), true, 0, -1));
  EXPECT_STREQ("Failed to read boot project path!", f.GetErrorString());
  EXPECT_NE(static_cast<HRESULT>(0x800700EA), f.SaveCaptureAs(longest.c_str(), true, 0, -1));

  ASSERT_EQ(S_OK, f.SaveCaptureAs("saved.cap", true, 0, -1));
  EXPECT_TRUE(Exists(path + "saved.cap"));
}

TEST_F(CaptureFileTest, TemporaryFilesLiveInTheBootFolderUntilDestroyed) {
  captest::BootFolder boot;
  {
    CCaptureFile f;
    ASSERT_EQ(S_OK, f.Create(4096));
    char name[64];
    ASSERT_EQ(S_OK, f.GetFileName(sizeof name, name));
    EXPECT_EQ(0, strncmp(name, "CAP", 3));
    EXPECT_GT(strlen(name), 3u + 32);
    EXPECT_EQ(std::vector<std::string>{name}, boot.Files());
    EXPECT_EQ(4096u, FileSize(boot.path() + name));
  }
  EXPECT_TRUE(boot.Files().empty());  // removed, although it was still open

  {
    CCaptureFile f;
    ASSERT_EQ(S_OK, f.Create(4096, boot.path().c_str(), nullptr, true));
    CCaptureFile named;
    ASSERT_EQ(S_OK, named.Create(4096, boot.path().c_str(), "named.cap", false));
  }
  EXPECT_EQ(std::vector<std::string>{"named.cap"}, boot.Files());
}

TEST_F(CaptureFileTest, SavingATemporaryCaptureMovesItAndMakesItPermanent) {
  captest::BootFolder boot;
  {
    CCaptureFile f;
    ASSERT_EQ(S_OK, f.Create(65536));
    auto r = Record(120, 5);
    ASSERT_EQ(S_OK, f.WriteFrame(r.data(), 120));
    ASSERT_EQ(S_OK, f.Truncate());
    ASSERT_EQ(S_OK, f.CloseFile());
    ASSERT_EQ(S_OK, f.SaveCaptureAs(Path("kept.cap").c_str(), false, 0, -1));
    char name[16];
    ASSERT_EQ(S_OK, f.GetFileName(sizeof name, name));
    EXPECT_STREQ("kept.cap", name);
    EXPECT_EQ(nullptr, f.GetFrameStream());
  }
  EXPECT_TRUE(boot.Files().empty());  // moved away, not copied
  Parsed p = Parse(vxtest::ReadFileBytes(Path("kept.cap")));
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_EQ(Records{Record(120, 5)}, p.frames);
}

TEST_F(CaptureFileTest, CreationFailuresExplainThemselves) {
  const std::string missing = Path("missing");
  CCaptureFile named, temp;
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), named.Create(4096, missing.c_str(), "n.cap", false));
  EXPECT_STREQ("Failed to Create file stream!", named.GetErrorString());
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), temp.Create(4096, missing.c_str(), nullptr, true));
  EXPECT_STREQ("Failed to GetTempFileName!", temp.GetErrorString());
  ASSERT_EQ(S_OK, named.Create(4096, Dir(), "n.cap", false));  // not created yet: may retry
  EXPECT_STREQ("", named.GetErrorString());
}

// A named capture, created or saved, replaces an earlier capture or an empty file; anything
// else under its name is refused with its reason and left as it was.
TEST_F(CaptureFileTest, ANamedCaptureReplacesOnlyAnEarlierCaptureOrAnEmptyFile) {
  CCaptureFile earlier;
  ASSERT_EQ(S_OK, earlier.Create(4096, Dir(), "earlier.cap", false));
  ASSERT_EQ(S_OK, earlier.CloseFile());
  const Bytes capture = vxtest::ReadFileBytes(Path("earlier.cap"));
  const Bytes text = {'p', 'r', 'o', 'j', 'e', 'c', 't'};
  Bytes cutHeader(capture.begin(), capture.begin() + 100);
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  ASSERT_EQ(0, mkdir(Path("folder").c_str(), 0700));

  CCaptureFile source;
  ASSERT_EQ(S_OK, source.Create(4096, Dir(), "source.cap", false));
  auto r = Record(64, 1);
  ASSERT_EQ(S_OK, source.WriteFrame(r.data(), 64));
  ASSERT_EQ(S_OK, source.Truncate());

  const struct {
    const char* name;
    Bytes content;  // what the file holds before; empty with mode 'e': an empty file
    char mode;      // 'f' file with content, 'e' empty file, 'n' nothing, 's' special
    bool replaced;
  } cases[] = {
      {"earlier.cap", capture, 'f', true}, {"empty.bin", {}, 'e', true},
      {"new.cap", {}, 'n', true},          {"project.bin", text, 'f', false},
      {"cut.cap", cutHeader, 'f', false},  {"fifo", {}, 's', false},
      {"folder", {}, 's', false},
  };
  for (const char* how : {"create", "save"}) {
    for (const auto& k : cases) {
      SCOPED_TRACE(std::string(how) + " " + k.name);
      if (k.mode == 'f' || k.mode == 'e') vxtest::WriteFileBytes(Path(k.name), k.content);
      const bool create = how[0] == 'c';
      CCaptureFile f;
      const HRESULT hr = create ? f.Create(4096, Dir(), k.name, false)
                                : source.SaveCaptureAs(Path(k.name).c_str(), false, 0, -1);
      if (k.replaced) {
        EXPECT_EQ(S_OK, hr);
      } else {
        EXPECT_EQ(vxcap::CAPTURE_E_FOREIGN_FILE, hr);
        const CString err = create ? f.GetErrorString() : source.GetErrorString();
        EXPECT_EQ("Not replacing " + Path(k.name) + ": it is not a capture file", std::string(err));
        if (k.mode == 'f') {
          EXPECT_EQ(k.content, vxtest::ReadFileBytes(Path(k.name)));
        }
      }
      f.CloseFile();
      if (k.mode != 's') std::remove(Path(k.name).c_str());
    }
  }
}

}  // namespace

namespace {

TEST(OsUserGetTempFileName, MakesNewUniqueFilesWithThePrefix) {
  vxtest::TempDir dir;
  char a[1025], b[1025];
  ASSERT_EQ(1u, OsUserGetTempFileName(dir.path().c_str(), "CAP", 0, a));
  ASSERT_EQ(1u, OsUserGetTempFileName(dir.path().c_str(), "CAP", 0, b));
  EXPECT_STRNE(a, b);
  for (const char* p : {a, b}) {
    const std::string name = std::filesystem::path(p).filename().string();
    EXPECT_EQ(0u, name.rfind("CAP", 0)) << name;
    EXPECT_EQ(std::string::npos, name.find_first_of("{}.")) << name;
    EXPECT_EQ(0u, std::filesystem::file_size(p));
  }
}

TEST(OsUserGetTempFileName, RefusesWhatItCannotDo) {
  vxtest::TempDir dir;
  char out[1025];
  testing::internal::CaptureStdout();
  EXPECT_EQ(0u, OsUserGetTempFileName(nullptr, "CAP", 0, out));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(0u, OsUserGetTempFileName(dir.path().c_str(), "CAP", 1, out));
  EXPECT_EQ(EINVAL, errno);
  fflush(stdout);
  EXPECT_EQ(
      "OsUserGetTempFileName file params not supported\n"
      "OsUserGetTempFileName file params not supported\n",
      testing::internal::GetCapturedStdout());

  const std::string deep = dir.path() + "/" + std::string(1000, 'd');
  EXPECT_EQ(0u, OsUserGetTempFileName(deep.c_str(), "CAP", 0, out));  // path over 1024
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(0u, OsUserGetTempFileName((dir / "missing").c_str(), "CAP", 0, out));
  EXPECT_EQ(ENOENT, errno);
}

}  // namespace
