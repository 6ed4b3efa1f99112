// Where the written subcommands put their output: what the path named before is written as
// it is and stays (a FIFO, a device behind a link, a file of someone else's), and a write
// that fails leaves a valid file of the frames that reached it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "NmxCapTestUtil.h"
#include "common/FileSizeLimit.h"
#include "common/Pcapng.h"
#include "frames/CapTime.h"

namespace {

using namespace captool;

std::vector<Frame> Frames(size_t n, size_t cbData) {
  std::vector<Frame> frames;
  for (size_t i = 0; i < n; ++i)
    frames.push_back(
        {kT0 + static_cast<LONGLONG>(i) * kMs, Packet(kServer, kClient, 2, 4, static_cast<DWORD>(i),
                                                      Bytes(cbData, static_cast<BYTE>(i)))});
  return frames;
}

bool IsFifo(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// The frames the tool said it kept ("OUT keeps the N frames written before"), or -1.
long KeptFrames(const std::string& err, const std::string& out) {
  const std::string said = out + " keeps the ";
  const size_t at = err.find(said);
  return at == std::string::npos ? -1 : std::stol(err.substr(at + said.size()));
}

// The records of a valid capture: header and table stripped.
Bytes Records(const std::string& path) {
  const Bytes b = vxtest::ReadFileBytes(path);
  if (b.size() < 128) return {};
  const DWORD tableOffset = vx::DecodeLE32(b.data() + 24);
  return Bytes(b.begin() + 128, b.begin() + std::min<size_t>(tableOffset, b.size()));
}

TEST(Output, AFifoGetsThePcapngAndStaysAndACaptureIntoAFifoIsRefusedWithoutWaiting) {
  vxtest::TempDir dir;
  const std::string cap = WriteCapture(dir, "a.cap", Frames(40, 64));
  ASSERT_EQ(0, RunTool({"export", cap, dir / "a.pcapng"}).status);
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));

  std::future<Bytes> got = vxtest::ReadFifo(fifo);
  const ToolRun r = RunTool({"export", cap, fifo});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(vxtest::ReadFileBytes(dir / "a.pcapng"), got.get());
  EXPECT_TRUE(IsFifo(fifo));

  // No reader: a capture cannot go there at all, and nothing waits for one.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"merge", fifo, cap}, {"repair", cap, "-o", fifo}}) {
    SCOPED_TRACE(args[0]);
    const ToolRun refused = RunTool(args);
    EXPECT_EQ(2, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("cannot write " + fifo + ": not a file"))
        << refused.err;
    EXPECT_TRUE(IsFifo(fifo));
  }
}

// /dev/null through a link in the scratch folder: were a tool to remove its output again, it
// would remove the link, not the device.
TEST(Output, ADeviceIsWrittenAsItIsAndStays) {
  struct stat null {};
  if (stat("/dev/null", &null) != 0 || !S_ISCHR(null.st_mode) || access("/dev/null", W_OK) != 0)
    GTEST_SKIP() << "no writable /dev/null here";
  vxtest::TempDir dir;
  const std::string cap = WriteCapture(dir, "a.cap", Frames(5, 16));
  Bytes cut = vxtest::ReadFileBytes(cap);
  cut.resize(cut.size() - 3);
  vxtest::WriteFileBytes(dir / "cut.cap", cut);
  const std::string device = dir / "device";
  ASSERT_EQ(0, symlink("/dev/null", device.c_str()));

  const std::vector<std::string> runs[] = {
      {"export", cap, device},
      {"merge", device, cap},
      {"repair", cap, "-o", device},
      {"repair", dir / "cut.cap", "-o", device},
  };
  for (const std::vector<std::string>& args : runs) {
    SCOPED_TRACE(testing::PrintToString(args));
    const ToolRun r = RunTool(args);
    EXPECT_EQ(0, r.status) << r.err;
    struct stat link {
    }, target{};
    ASSERT_EQ(0, lstat(device.c_str(), &link));
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    ASSERT_EQ(0, stat("/dev/null", &target));
    EXPECT_TRUE(S_ISCHR(target.st_mode));
    EXPECT_EQ(null.st_rdev, target.st_rdev);
  }
}

// A file that was there before is not the tool's to remove: an export that stops at a frame
// pcapng cannot hold leaves it a valid pcapng of the frames before.
TEST(Output, AFileThatWasThereStaysWithTheWholeFramesBeforeAFailure) {
  vxtest::TempDir dir;
  const std::string cap =
      WriteCapture(dir, "old.cap",
                   {{kT0, Packet(kServer, kClient, 2, 4, 1, {})},
                    {kT0 + kMs, Packet(kServer, kClient, 2, 4, 2, {})},
                    {kFileTimeUnixEpoch - 1, Packet(kServer, kClient, 2, 4, 3, {})}});
  const std::string notes = dir / "notes.txt";
  vxtest::WriteFileBytes(notes, Bytes{'m', 'i', 'n', 'e', '\n'});
  const ToolRun r = RunTool({"export", cap, notes});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("frame 2 at offset")) << r.err;
  EXPECT_EQ(2, KeptFrames(r.err, notes)) << r.err;
  const std::vector<vxtest::PcapngBlock> blocks =
      vxtest::ReadPcapngBlocks(vxtest::ReadFileBytes(notes));
  ASSERT_EQ(4u, blocks.size());
  EXPECT_EQ(6u, blocks[3].type);
}

// A file size limit stands in for a full disk. Each output keeps the frames that reached it
// whole, as a file its readers take: the capture passes check and holds the input's first
// frames, the pcapng is whole blocks.
TEST(Output, AWriteThatFailsKeepsAValidFileOfTheFramesThatReachedIt) {
  vxtest::TempDir dir;
  const std::string cap = WriteCapture(dir, "big.cap", Frames(1500, 100));
  Bytes cut = vxtest::ReadFileBytes(cap);
  cut.resize(cut.size() - 1000);  // the table and some records: a capture to rebuild
  vxtest::WriteFileBytes(dir / "cut.cap", cut);
  const Bytes records = Records(cap);
  constexpr rlim_t kLimit = 64 << 10;

  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"export", cap, dir / "out.pcapng"}, dir / "out.pcapng"},
      {{"merge", dir / "merged.cap", cap}, dir / "merged.cap"},
      {{"repair", cap, "-o", dir / "copy.cap"}, dir / "copy.cap"},
      {{"repair", dir / "cut.cap", "-o", dir / "rebuilt.cap"}, dir / "rebuilt.cap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ToolRun r;
    {
      vxtest::FileSizeLimit limit(kLimit);
      if (!limit.ok()) GTEST_SKIP() << "cannot lower the file size limit";
      r = RunTool(c.args);
    }
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot write " + c.out + ": File too large")) << r.err;
    const long kept = KeptFrames(r.err, c.out);
    ASSERT_GT(kept, 100) << r.err;
    ASSERT_LT(kept, 1500) << r.err;
    const Bytes written = vxtest::ReadFileBytes(c.out);
    EXPECT_LE(written.size(), kLimit);
    if (c.args[0] == "export") {
      const std::vector<vxtest::PcapngBlock> blocks = vxtest::ReadPcapngBlocks(written);
      EXPECT_EQ(static_cast<size_t>(kept) + 2, blocks.size());
      continue;
    }
    const ToolRun check = RunTool({"check", c.out});
    EXPECT_EQ(0, check.status) << check.out << check.err;
    EXPECT_NE(std::string::npos, check.out.find("valid: " + std::to_string(kept) + " frames"))
        << check.out;
    const Bytes got = Records(c.out);
    ASSERT_LE(got.size(), records.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), records.begin()));
  }

  // In place, the backup cut short goes (the original was not changed) and the next repair
  // can make one.
  {
    vxtest::FileSizeLimit limit(kLimit);
    const ToolRun r = RunTool({"repair", dir / "cut.cap"});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("File too large (the file was not changed)")) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "cut.cap~"));
  EXPECT_EQ(cut, vxtest::ReadFileBytes(dir / "cut.cap"));
  EXPECT_EQ(0, RunTool({"repair", dir / "cut.cap"}).status);
}

}  // namespace
