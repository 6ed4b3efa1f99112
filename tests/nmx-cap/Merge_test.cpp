// merge: frames of several captures in time order into one capture.
#include <gtest/gtest.h>

#include <filesystem>

#include "NmxCapTestUtil.h"

namespace {

using namespace captool;

Frame At(LONGLONG ms, DWORD invokeId, size_t cbData) {
  return {kT0 + ms * kMs, Packet(kServer, kClient, 2, 4, invokeId, Bytes(cbData, 0x11))};
}

// Invoke ids of the frames of a capture, in file order.
std::vector<std::string> InvokeIds(const std::string& path) {
  std::vector<std::string> ids;
  for (const std::string& l : Lines(RunTool({"dump", path}).out)) {
    const size_t at = l.find("invoke=") + 7;
    ids.push_back(l.substr(at, l.find(' ', at) - at));
  }
  return ids;
}

TEST(Merge, FramesComeInTimeOrderAndEachInputKeepsItsOwnOrder) {
  vxtest::TempDir dir;
  // a's clock goes back at its last frame; a and b each have a frame at 20 ms.
  const std::vector<Frame> a = {At(0, 100, 4), At(10, 101, 9), At(20, 102, 0), At(15, 103, 30)};
  const std::vector<Frame> b = {At(5, 200, 1), At(20, 201, 7), At(25, 202, 2)};
  const std::string pa = WriteCapture(dir, "a.cap", a), pb = WriteCapture(dir, "b.cap", b);
  const std::string out = dir / "ab.cap";
  const ToolRun r = RunTool({"merge", out, pa, pb});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("merged 7 frames from 2 captures into " + out + "\n", r.out);
  EXPECT_EQ(0, RunTool({"check", out}).status);
  const std::vector<std::string> order = {"100", "200", "101", "102", "103", "201", "202"};
  EXPECT_EQ(order, InvokeIds(out));

  // The records are copied unchanged.
  Bytes expected;
  for (const Frame& f : {a[0], b[0], a[1], a[2], a[3], b[1], b[2]}) {
    const Bytes rec = Record(f);
    expected.insert(expected.end(), rec.begin(), rec.end());
  }
  const Bytes merged = vxtest::ReadFileBytes(out);
  EXPECT_EQ(expected, Bytes(merged.begin() + 128, merged.begin() + 128 + expected.size()));

  // One input is a copy; an empty input adds nothing.
  const std::string empty = WriteCapture(dir, "empty.cap", {});
  ASSERT_EQ(0, RunTool({"merge", dir / "copy.cap", empty, pb, empty}).status);
  const Bytes copy = vxtest::ReadFileBytes(dir / "copy.cap");
  const Bytes original = vxtest::ReadFileBytes(pb);
  EXPECT_EQ(Bytes(original.begin() + 24, original.end()), Bytes(copy.begin() + 24, copy.end()));
}

TEST(Merge, ADamagedInputOrAnInputAsOutputLeavesNothingBehind) {
  vxtest::TempDir dir;
  const std::string pa = WriteCapture(dir, "a.cap", {At(0, 1, 4), At(1, 2, 4)});
  Bytes damaged = vxtest::ReadFileBytes(pa);
  damaged[128 + 68 + 12] ^= 1;  // nBytesAvail of frame 1
  vxtest::WriteFileBytes(dir / "bad.cap", damaged);

  const ToolRun bad = RunTool({"merge", dir / "out.cap", pa, dir / "bad.cap"});
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos, bad.err.find("bad.cap: frame 1 at offset 196: nBytesAvail"))
      << bad.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "out.cap"));

  const Bytes before = vxtest::ReadFileBytes(pa);
  const ToolRun self = RunTool({"merge", pa, dir / "bad.cap", pa});
  EXPECT_EQ(2, self.status);
  EXPECT_NE(std::string::npos, self.err.find("is one of the captures being merged")) << self.err;
  EXPECT_EQ(before, vxtest::ReadFileBytes(pa));
}

}  // namespace
