// A minimal pcapng reader of the tests' own, to check what the tools write: blocks with
// their framing checked, and the options of a block.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace vxtest {

struct PcapngBlock {
  uint32_t type;
  std::vector<unsigned char> body;  // between the leading length and the trailing length
};

inline uint16_t PcapngU16(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

inline uint32_t PcapngU32(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Splits a little-endian pcapng file into blocks, checking every block's framing.
inline std::vector<PcapngBlock> ReadPcapngBlocks(const std::vector<unsigned char>& f) {
  std::vector<PcapngBlock> blocks;
  size_t at = 0;
  while (at < f.size()) {
    EXPECT_LE(at + 12, f.size());
    if (at + 12 > f.size()) break;
    const uint32_t len = PcapngU32(f, at + 4);
    EXPECT_EQ(0u, len % 4) << "block at " << at;
    EXPECT_GE(len, 12u);
    EXPECT_LE(at + len, f.size());
    if (len < 12 || len % 4 || at + len > f.size()) break;
    EXPECT_EQ(len, PcapngU32(f, at + len - 4)) << "trailing length of the block at " << at;
    blocks.push_back({PcapngU32(f, at),
                      std::vector<unsigned char>(f.begin() + at + 8, f.begin() + at + len - 4)});
    at += len;
  }
  return blocks;
}

// Option code -> value of the options area of a block body from offset at.
inline std::map<uint16_t, std::vector<unsigned char>> PcapngOptions(
    const std::vector<unsigned char>& b, size_t at) {
  std::map<uint16_t, std::vector<unsigned char>> opts;
  while (at + 4 <= b.size()) {
    const uint16_t code = PcapngU16(b, at);
    const uint16_t len = PcapngU16(b, at + 2);
    if (code == 0 || at + 4 + len > b.size()) break;
    opts[code] = std::vector<unsigned char>(b.begin() + at + 4, b.begin() + at + 4 + len);
    at += 4 + (len + 3u) / 4 * 4;
  }
  return opts;
}

}  // namespace vxtest
