// Captures written through the capture classes, read back by info, dump and check.
#include <gtest/gtest.h>

#include "NmxCapTestUtil.h"
#include "nmx/KrpTypes.h"

namespace {

using namespace captool;

constexpr WORD kReq = NMX_FLAG_KRP_COMMAND;
constexpr WORD kRes = NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE;

// Ten frames of a small session: answered and unanswered requests, a KRP failure, an NMX
// error answer, a notification, a command that is not KRP and a response nobody asked for
// whose device name needs escaping. Frame i is stamped i x 0.1234567 s after kT0.
std::vector<Frame> Session() {
  const Bytes stream = Cat(U32s({1}), Cat(
                                          [] {
                                            Bytes s;
                                            Put64(s, kT0);
                                            return s;
                                          }(),
                                          Cat(U32s({2, 3, 4, 0xAABBCCDD, 3, 2}), Bytes{1, 2})));
  Bytes devInfo = U32s({0});
  devInfo.insert(devInfo.end(), {1, 2, 0x2C, 0x01});  // version 1.2.300
  const char name[16] = "Dev\"\\\x01";
  devInfo.insert(devInfo.end(), name, name + 16);
  const std::vector<Bytes> packets = {
      Packet(kServer, kClient, KRP_CMD_READ, kReq, 7, U32s({0x4020, 0x10, 4})),
      Packet(kClient, kServer, KRP_CMD_READ, kRes, 7, U32s({0, 4, 0xEFBEADDE})),
      Packet(kServer, kClient, KRP_CMD_WRITE, kReq, 8, Cat(U32s({0xF020, 0, 2}), Bytes{1, 2})),
      Packet(kClient, kServer, KRP_CMD_WRITE, kRes, 8, U32s({0x701})),
      Packet(kServer, kClient, KRP_CMD_READDEVICEINFO, kReq, 9, {}),
      Packet(kClient, kServer, KRP_CMD_READDEVICEINFO, kRes, 9, {}, 11),
      Packet(kServer, kClient, KRP_CMD_READSTATE, kReq, 10, {}),
      Packet(kOther, kServer, KRP_CMD_DEVICENOTIFICATION, kReq, 0,
             Cat(U32s({static_cast<DWORD>(stream.size())}), stream)),
      Packet(kServer, kOther, 0x12, 0, 0, Bytes{0x41, 0x42, 0x43}),
      Packet(kClient, kServer, KRP_CMD_READDEVICEINFO, kRes, 11, devInfo),
  };
  std::vector<Frame> frames;
  for (size_t i = 0; i < packets.size(); ++i)
    frames.push_back({kT0 + static_cast<LONGLONG>(i) * 1234567, packets[i]});
  return frames;
}

DWORD RecordBytes(const std::vector<Frame>& frames) {
  DWORD n = 0;
  for (const Frame& f : frames) n += static_cast<DWORD>(Record(f).size());
  return n;
}

class RoundTrip : public testing::Test {
 protected:
  void SetUp() override {
    m_path = WriteCapture(m_dir, "session.cap", Session());
    ASSERT_FALSE(m_path.empty());
  }
  vxtest::TempDir m_dir;
  std::string m_path;
};

TEST_F(RoundTrip, CheckInfoAndDumpAgreeWithTheFramesWritten) {
  const DWORD bytes = RecordBytes(Session());
  const ToolRun check = RunTool({"check", m_path});
  EXPECT_EQ(0, check.status);
  EXPECT_EQ(m_path + ": valid: 10 frames, " + std::to_string(bytes) + " bytes of records\n",
            check.out);

  const ToolRun dump = RunTool({"dump", m_path});
  ASSERT_EQ(0, dump.status) << dump.err;
  const std::vector<std::string> lines = Lines(dump.out);
  ASSERT_EQ(10u, lines.size());
  const std::string c = "5.1.204.160.1.1:30000", s = "5.1.204.160.1.1:851",
                    o = "10.0.0.7.1.1:10502";
  const std::string expected[] = {
      "0 2024-05-01 12:00:00.000000 " + c + " -> " + s +
          " Read(2) req flags=0x0004 invoke=7 err=0 len=12 indexGroup=0x4020 indexOffset=0x10 "
          "length=4",
      "1 2024-05-01 12:00:00.123456 " + s + " -> " + c +
          " Read(2) res flags=0x0005 invoke=7 err=0 len=12 result=0x0 length=4 rt=123456us",
      "2 2024-05-01 12:00:00.246913 " + c + " -> " + s +
          " Write(3) req flags=0x0004 invoke=8 err=0 len=14 indexGroup=0xF020 indexOffset=0x0 "
          "length=2",
      "3 2024-05-01 12:00:00.370370 " + s + " -> " + c +
          " Write(3) res flags=0x0005 invoke=8 err=0 len=4 result=0x701 rt=123456us",
      "4 2024-05-01 12:00:00.493826 " + c + " -> " + s +
          " ReadDeviceInfo(1) req flags=0x0004 invoke=9 err=0 len=0",
      "5 2024-05-01 12:00:00.617283 " + s + " -> " + c +
          " ReadDeviceInfo(1) res flags=0x0005 invoke=9 err=11 len=0 rt=123456us",
      "6 2024-05-01 12:00:00.740740 " + c + " -> " + s +
          " ReadState(4) req flags=0x0004 invoke=10 err=0 len=0",
      "7 2024-05-01 12:00:00.864196 " + s + " -> " + o +
          " DeviceNotification(8) req flags=0x0004 invoke=0 err=0 len=42 length=38 stamps=1 "
          "samples=2 handle=3",
      "8 2024-05-01 12:00:00.987653 " + o + " -> " + s +
          " NMX(18) req flags=0x0000 invoke=0 err=0 len=3",
      "9 2024-05-01 12:00:01.111110 " + s + " -> " + c +
          " ReadDeviceInfo(1) res flags=0x0005 invoke=11 err=0 len=24 result=0x0 "
          "version=\"1.2.300\" name=\"Dev\\x22\\x5C\\x01\"",
  };
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(expected[i], lines[i]);

  const ToolRun info = RunTool({"info", m_path});
  ASSERT_EQ(0, info.status) << info.err;
  for (const std::string& row : std::vector<std::string>{
           "Frames:              10",
           "Bytes:               " + std::to_string(bytes) + " in records, 40 in the table, " +
               std::to_string(128 + bytes + 40) + " in the file",
           std::string("First frame:         2024-05-01 12:00:00.000000 UTC"),
           std::string("Last frame:          2024-05-01 12:00:01.111110 UTC"),
           std::string("Duration:            1.1111103 s"),
           std::string("Frames per second:   9.0"),
           std::string("Requests:            5, 3 answered"),
           std::string("Responses:           4, 2 with an error (1 NMX, 1 KRP)"),
           std::string("Notifications:       1"),
           std::string("  ReadDeviceInfo(1)            3"),
           std::string("  NMX(18)                      1"),
           std::string("  5.1.204.160.1.1:851          5"),
       })
    EXPECT_NE(std::string::npos, info.out.find(row + "\n")) << row << "\nin:\n" << info.out;
}

TEST_F(RoundTrip, DumpSelectsFrames) {
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> frames;  // the frame numbers printed
  };
  const Case cases[] = {
      {{"--from", "8"}, {"8", "9"}},
      {{"--from=2", "--count=3"}, {"2", "3", "4"}},
      {{"--count", "0"}, {}},
      {{"--from", "10"}, {}},
      {{"--port", "10502"}, {"7", "8"}},
      {{"--cmd", "readdeviceinfo"}, {"4", "5", "9"}},
      {{"--cmd", "0x12"}, {"8"}},
      {{"--cmd", "3", "--errors"}, {"2", "3"}},
      {{"--errors"}, {"2", "3", "4", "5"}},
      {{"--unanswered"}, {"6", "8"}},
      {{"--port", "30000", "--from", "3", "--count", "2"}, {"3", "4"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"dump", m_path};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ToolRun r = RunTool(args);
    EXPECT_EQ(0, r.status) << r.err;
    std::vector<std::string> got;
    for (const std::string& l : Lines(r.out)) got.push_back(l.substr(0, l.find(' ')));
    EXPECT_EQ(c.frames, got) << testing::PrintToString(c.options);
  }
}

TEST_F(RoundTrip, DumpJsonIsOneObjectPerFrameWithFullTimePrecision) {
  const ToolRun r = RunTool({"dump", m_path, "--json", "--hex", "--from", "1", "--count", "1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "{\"frame\":1,\"offset\":204,\"time\":\"2024-05-01T12:00:00.1234567Z\","
      "\"fileTime\":133590384001234567,\"sender\":\"5.1.204.160.1.1:851\","
      "\"target\":\"5.1.204.160.1.1:30000\",\"cmd\":2,\"name\":\"Read\",\"response\":true,"
      "\"flags\":5,\"invoke\":7,\"error\":0,\"length\":12,\"krp\":{\"result\":0,\"length\":4},"
      "\"bytes\":\"0501cca0010130750501cca00101530302000500"
      "0c000000000000000700000000000000"
      "04000000deadbeef\"}\n",
      r.out);

  const ToolRun names = RunTool({"dump", m_path, "--json", "--from", "8"});
  const std::vector<std::string> lines = Lines(names.out);
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("\"cmd\":18,\"name\":null,\"response\":false"));
  EXPECT_NE(std::string::npos, lines[1].find("\"krp\":{\"result\":0,\"version\":\"1.2.300\","
                                             "\"name\":\"Dev\\\"\\\\\\u0001\"}"));
}

TEST_F(RoundTrip, HexShowsThePacketBytes) {
  const ToolRun r = RunTool({"dump", m_path, "--hex", "--from", "8", "--count", "1"});
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("  0000  05 01 cc a0 01 01 53 03 0a 00 00 07 01 01 06 29  |......S........)|",
            lines[1]);
  EXPECT_EQ("  0020  41 42 43                                         |ABC|", lines[3]);
}

TEST(CaptureStates, EmptyAndStillWrittenCapturesAreValid) {
  vxtest::TempDir dir;
  const std::string empty = WriteCapture(dir, "empty.cap", {});
  EXPECT_EQ(empty + ": valid: 0 frames, 0 bytes of records\n", RunTool({"check", empty}).out);
  const ToolRun info = RunTool({"info", empty});
  EXPECT_EQ(0, info.status);
  EXPECT_NE(std::string::npos, info.out.find("Requests:            0, 0 answered\n"));
  EXPECT_EQ("", RunTool({"dump", empty}).out);

  // Open for writing: the file has its preallocated size and the header describes the
  // frames written so far.
  const std::vector<Frame> frames = {{kT0, Packet(kServer, kClient, 2, 4, 1, U32s({1, 2, 3}))}};
  const std::string open = WriteCapture(dir, "open.cap", frames, true);
  const ToolRun check = RunTool({"check", open});
  EXPECT_EQ(0, check.status);
  EXPECT_EQ(open + ": valid: 1 frames, 76 bytes of records, " +
                std::to_string((1 << 20) - 128 - 76 - 4) + " unused bytes behind the table\n",
            check.out);
  EXPECT_EQ(1u, Lines(RunTool({"dump", open}).out).size());
}

}  // namespace

namespace {

// A record larger than the tool's 1 MiB read window is checked, shown in part and copied
// whole.
TEST(LargeFrame, IsReadInPiecesAndCopiedWhole) {
  vxtest::TempDir dir;
  Bytes data = U32s({0, 1200000 - 8});
  data.resize(1200000, 0x5A);
  const std::vector<Frame> frames = {
      {kT0, Packet(kServer, kClient, 2, 4, 1, U32s({1, 2, 3}))},
      {kT0 + kMs, Packet(kClient, kServer, 2, 5, 1, data)},
      {kT0 + 2 * kMs, Packet(kServer, kClient, 2, 4, 2, U32s({1, 2, 3}))}};
  const std::string path = WriteCapture(dir, "large.cap", frames);
  EXPECT_EQ(0, RunTool({"check", path}).status);

  const ToolRun json = RunTool({"dump", path, "--json", "--hex", "--from", "1", "--count", "1"});
  ASSERT_EQ(0, json.status);
  EXPECT_NE(std::string::npos, json.out.find("\"krp\":{\"result\":0,\"length\":1199992}"));
  EXPECT_NE(std::string::npos, json.out.find("\",\"bytesOmitted\":151488}"));
  const ToolRun hex = RunTool({"dump", path, "--hex", "--from", "1", "--count", "1"});
  EXPECT_NE(std::string::npos, hex.out.find("\n  (151488 more bytes not shown)\n"));

  const std::string merged = dir / "merged.cap";
  ASSERT_EQ(0, RunTool({"merge", merged, path}).status);
  const Bytes a = vxtest::ReadFileBytes(path), b = vxtest::ReadFileBytes(merged);
  EXPECT_EQ(Bytes(a.begin() + 24, a.end()), Bytes(b.begin() + 24, b.end()));
}

}  // namespace
