// export to pcapng, read back by the tests' minimal pcapng reader.
#include <gtest/gtest.h>

#include <filesystem>

#include "NmxCapTestUtil.h"
#include "common/Pcapng.h"
#include "frames/CapTime.h"

namespace {

using namespace captool;

DWORD Get32(const Bytes& b, size_t at) {
  return vx::DecodeLE32(b.data() + at);
}

TEST(Export, PcapngHasEveryFrameWithItsExactTime) {
  vxtest::TempDir dir;
  // Odd and even packet lengths (padding), a time with 100 ns digits, and a frame larger than
  // the tool's read window.
  const std::vector<Frame> frames = {
      {kT0 + 3, Packet(kServer, kClient, 2, 4, 1, U32s({1, 2, 3}))},
      {kT0 + 1234567, Packet(kClient, kServer, 2, 5, 1, Bytes(13, 0xAB))},
      {kT0 + 86400LL * 10000000 * 365, Packet(kClient, kServer, 9, 5, 2, Bytes(1200000, 0x5A))},
  };
  const std::string cap = WriteCapture(dir, "x.cap", frames);
  const std::string out = dir / "x.pcapng";
  const ToolRun r = RunTool({"export", cap, out});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("exported 3 frames to " + out + "\n", r.out);

  const std::vector<vxtest::PcapngBlock> blocks =
      vxtest::ReadPcapngBlocks(vxtest::ReadFileBytes(out));
  ASSERT_EQ(6u, blocks.size());
  EXPECT_EQ(0x0A0D0D0Au, blocks[0].type);
  EXPECT_EQ(0x1A2B3C4Du, Get32(blocks[0].body, 0));
  EXPECT_EQ(1, vx::DecodeLE16(blocks[0].body.data() + 4));  // version 1.0
  EXPECT_EQ(0, vx::DecodeLE16(blocks[0].body.data() + 6));

  ASSERT_EQ(1u, blocks[1].type);
  EXPECT_EQ(1, vx::DecodeLE16(blocks[1].body.data()));  // LINKTYPE_ETHERNET
  const auto idb = vxtest::PcapngOptions(blocks[1].body, 8);
  ASSERT_EQ(1u, idb.count(9));
  EXPECT_EQ(Bytes{9}, idb.at(9));  // if_tsresol: 10^-9 s

  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const vxtest::PcapngBlock& b = blocks[2 + i];
    ASSERT_EQ(6u, b.type);
    EXPECT_EQ(0u, Get32(b.body, 0));
    const uint64_t ts = (uint64_t{Get32(b.body, 4)} << 32) | Get32(b.body, 8);
    EXPECT_EQ(static_cast<uint64_t>(frames[i].time - kFileTimeUnixEpoch) * 100, ts);
    const Bytes record = Record(frames[i]);
    const Bytes mac(record.begin() + 16, record.end());
    EXPECT_EQ(mac.size(), Get32(b.body, 12));
    EXPECT_EQ(mac.size(), Get32(b.body, 16));
    EXPECT_EQ(20 + (mac.size() + 3) / 4 * 4, b.body.size());
    EXPECT_TRUE(std::equal(mac.begin(), mac.end(), b.body.begin() + 20));
  }
  // 2024-05-01 12:00:00 UTC is 1714564800 s after 1970; the first frame 300 ns later.
  EXPECT_EQ(1714564800000000300ull,
            (uint64_t{Get32(blocks[2].body, 4)} << 32) | Get32(blocks[2].body, 8));

  // The interface's statistics end the file: from the first to the last frame, the frames of
  // the file received; no drop count, which a capture file does not hold.
  const vxtest::PcapngBlock& isb = blocks[5];
  ASSERT_EQ(5u, isb.type);
  EXPECT_EQ(0u, Get32(isb.body, 0));
  const uint64_t last = static_cast<uint64_t>(frames[2].time - kFileTimeUnixEpoch) * 100;
  EXPECT_EQ(last, (uint64_t{Get32(isb.body, 4)} << 32) | Get32(isb.body, 8));
  const auto opts = vxtest::PcapngOptions(isb.body, 12);
  auto time = [&](uint16_t code) {
    const Bytes& v = opts.at(code);
    return v.size() == 8 ? (uint64_t{Get32(v, 0)} << 32) | Get32(v, 4) : 0;
  };
  ASSERT_EQ(3u, opts.size()) << "starttime, endtime, ifrecv";
  EXPECT_EQ(1714564800000000300ull, time(2));
  EXPECT_EQ(last, time(3));
  ASSERT_EQ(8u, opts.at(4).size());
  EXPECT_EQ(3u, vx::DecodeLE64(opts.at(4).data()));
}

TEST(Export, ATimePcapngCannotHoldFailsTheExportAndLeavesNoFile) {
  vxtest::TempDir dir;
  const std::string cap =
      WriteCapture(dir, "old.cap",
                   {{kT0, Packet(kServer, kClient, 2, 4, 1, {})},
                    {kFileTimeUnixEpoch - 1, Packet(kServer, kClient, 2, 4, 2, {})}});
  const std::string out = dir / "old.pcapng";
  const ToolRun r = RunTool({"export", cap, out});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("nmx-cap: " + cap +
                ": frame 1 at offset 192: time stamp 1969-12-31 23:59:59.9999999 cannot be stored "
                "in pcapng (before 1970 or after 2554)\n",
            r.err);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(2, RunTool({"export", cap, cap}).status);
  EXPECT_TRUE(std::filesystem::exists(cap));
}

}  // namespace
