// pcapng into a FIFO, as nmx-extcap writes it: what the reader gets at each flush, and how
// the writer sees a reader that goes away or stops reading.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/Pcapng.h"
#include "common/TestUtil.h"
#include "frames/PcapngWriter.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Everything the reader can take now without waiting.
Bytes Drain(int fd) {
  Bytes got;
  unsigned char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
  return got;
}

class Fifo : public testing::Test {
 protected:
  void SetUp() override {
    // As in nmx-extcap: a reader that goes away fails the write instead of ending the test.
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(0, mkfifo(m_path.c_str(), 0600));
  }
  void TearDown() override {
    if (m_reader >= 0) close(m_reader);
  }
  void OpenReader() {
    m_reader = open(m_path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(m_reader, 0);
  }

  vxtest::TempDir m_dir;
  const std::string m_path = m_dir / "fifo";
  int m_reader = -1;
};

TEST_F(Fifo, TheReaderGetsEachFlushAndItsGoingIsSeenWithoutAWrite) {
  OpenReader();
  CPcapngWriter w;
  ASSERT_TRUE(w.CreateStream(m_path, "stream-test")) << w.Error();
  EXPECT_TRUE(Drain(m_reader).empty()) << "nothing before the first flush";
  ASSERT_TRUE(w.Flush());
  const Bytes packet = {1, 2, 3, 4, 5};
  ASSERT_TRUE(w.BeginPacket(1714564800000000300ull, 5) && w.Write(packet.data(), 5) &&
              w.EndPacket() && w.Flush());

  const std::vector<vxtest::PcapngBlock> blocks = vxtest::ReadPcapngBlocks(Drain(m_reader));
  ASSERT_EQ(3u, blocks.size());
  EXPECT_EQ(0x0A0D0D0Au, blocks[0].type);
  const auto shb = vxtest::PcapngOptions(blocks[0].body, 16);
  ASSERT_EQ(1u, shb.count(4));
  EXPECT_EQ(std::string("stream-test"), std::string(shb.at(4).begin(), shb.at(4).end()));
  ASSERT_EQ(1u, blocks[1].type);
  EXPECT_EQ(1, vxtest::PcapngU16(blocks[1].body, 0));  // Ethernet
  EXPECT_EQ(Bytes{9}, vxtest::PcapngOptions(blocks[1].body, 8).at(9));
  ASSERT_EQ(6u, blocks[2].type);
  EXPECT_EQ(1714564800000000300ull, uint64_t{vxtest::PcapngU32(blocks[2].body, 4)} << 32 |
                                        vxtest::PcapngU32(blocks[2].body, 8));
  EXPECT_EQ(packet, Bytes(blocks[2].body.begin() + 20, blocks[2].body.begin() + 25));

  EXPECT_FALSE(w.ReaderGone());
  close(m_reader);
  m_reader = -1;
  EXPECT_TRUE(w.ReaderGone()) << "an idle writer sees the reader go";
  EXPECT_FALSE(w.BeginPacket(0, 5) && w.Write(packet.data(), 5) && w.EndPacket() && w.Flush());
  EXPECT_TRUE(w.ReaderGone());
}

TEST_F(Fifo, AWriteIntoAFifoNobodyReadsFailsWithEpipe) {
  OpenReader();
  CPcapngWriter w;
  ASSERT_TRUE(w.CreateStream(m_path, "t") && w.Flush());
  close(m_reader);
  m_reader = -1;
  // Seen by the failed write alone, before anyone asked.
  const Bytes packet(100, 7);
  EXPECT_FALSE(w.BeginPacket(0, 100) && w.Write(packet.data(), 100) && w.EndPacket() && w.Flush());
  EXPECT_NE(std::string::npos, w.Error().find("Broken pipe")) << w.Error();
  EXPECT_TRUE(w.ReaderGone());
}

// Neither a FIFO without a reader nor one whose reader stopped reading holds the writer
// beyond the moment its caller gives up.
TEST_F(Fifo, WaitsForTheReaderEndWhenTheCallerGivesUp) {
  int asked = 0;
  auto fewTimes = [&asked] { return ++asked < 5; };
  {
    CPcapngWriter w;
    EXPECT_FALSE(w.CreateStream(m_path, "t", fewTimes));
    EXPECT_EQ(5, asked);
    EXPECT_NE(std::string::npos, w.Error().find("Interrupted")) << w.Error();
  }
  OpenReader();
  asked = 0;
  CPcapngWriter w;
  ASSERT_TRUE(w.CreateStream(m_path, "t", fewTimes));
  const Bytes big(1 << 20, 0x5A);  // more than any FIFO holds
  EXPECT_FALSE(w.BeginPacket(0, static_cast<DWORD>(big.size())) &&
               w.Write(big.data(), big.size()) && w.EndPacket() && w.Flush());
  EXPECT_EQ(5, asked);
  EXPECT_FALSE(w.ReaderGone());
  EXPECT_FALSE(Drain(m_reader).empty()) << "what fitted was written";
}

}  // namespace
