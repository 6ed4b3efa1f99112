// Damaged captures: each kind of damage is found by check, info and dump with the frame
// number and offset of the first wrong byte, and no damage makes a subcommand read outside
// the file or fail to end.
#include <gtest/gtest.h>

#include <random>

#include "NmxCapTestUtil.h"

namespace {

using namespace captool;

// Three frames: records of 76, 84 and 68 bytes at 128, 204 and 288; the table at 356; the
// file ends at 368.
std::vector<Frame> ThreeFrames() {
  return {{kT0, Packet(kServer, kClient, 2, 4, 1, U32s({1, 2, 3}))},
          {kT0 + kMs, Packet(kClient, kServer, 2, 5, 1, U32s({0, 8, 1, 2, 3}))},
          {kT0 + 2 * kMs, Packet(kServer, kClient, 7, 4, 2, U32s({9}))}};
}

void Set32(Bytes& b, size_t at, DWORD v) {
  vx::EncodeLE32(b.data() + at, v);
}

struct Damage {
  const char* name;
  void (*apply)(Bytes&);
  const char* message;
};

const Damage kDamages[] = {
    {"truncated tail", [](Bytes& b) { b.resize(366); },
     "frame 2 at offset 364: the file ends inside the frame table: it has 366 bytes, the table "
     "of 3 frames ends at 368"},
    {"cut inside the records", [](Bytes& b) { b.resize(300); },
     "offset 24: FrameTableOffset 356 lies beyond the end of the file (300 bytes); frame 2 at "
     "offset 288 is cut off by the end of the file"},
    {"table offset beyond the file", [](Bytes& b) { Set32(b, 24, 100000); },
     "offset 24: FrameTableOffset 100000 lies beyond the end of the file (368 bytes)"},
    {"table offset inside the header", [](Bytes& b) { Set32(b, 24, 100); },
     "offset 24: FrameTableOffset 100 lies inside the header"},
    {"table length not whole entries", [](Bytes& b) { Set32(b, 28, 13); },
     "offset 28: FrameTableLength 13 is not a multiple of 4"},
    {"gap before the table",
     [](Bytes& b) {
       b.insert(b.begin() + 356, 4, 0);
       Set32(b, 24, 360);
     },
     "offset 356: frame 2 ends at 356, but FrameTableOffset is 360"},
    {"bad table entry", [](Bytes& b) { Set32(b, 360, 200); },
     "frame 1 at offset 360: bad table entry: 200, frame 0 ends at 204"},
    {"bad first table entry", [](Bytes& b) { Set32(b, 356, 132); },
     "frame 0 at offset 356: bad table entry: 132, the first record starts at 128"},
    {"bad signature", [](Bytes& b) { b[0] = 'g'; },
     "offset 0: bad signature (not GMBU): the file starts 67 4D 42 55 00 02 01 00"},
    {"older version", [](Bytes& b) { b[4] = 1; },
     "offset 4: unsupported format version (not 2.0): the file starts 47 4D 42 55 01 02 01 00"},
    {"short header", [](Bytes& b) { b.resize(50); },
     "offset 50: truncated header (the file has 50 bytes, a header needs 128)"},
    {"wrong nBytesAvail", [](Bytes& b) { Set32(b, 204 + 12, 70); },
     "frame 1 at offset 204: nBytesAvail differs from FrameLength (nBytesAvail 70, FrameLength "
     "68)"},
    {"FrameLength below an NMX header",
     [](Bytes& b) {
       Set32(b, 288 + 8, 10);
       Set32(b, 288 + 12, 10);
     },
     "frame 2 at offset 288: FrameLength too small for an NMX header (FrameLength 10)"},
    {"last record runs into the table",
     [](Bytes& b) {
       Set32(b, 288 + 8, 100);
       Set32(b, 288 + 12, 100);
     },
     "frame 2 at offset 288: truncated record (runs into the frame table: FrameLength 100 needs "
     "116 bytes, 68 are there)"},
    {"EtherType", [](Bytes& b) { b[204 + 28] = 0x08; },
     "frame 1 at offset 204: EtherType is not 0x88A4 (0x08A4)"},
    {"parser word", [](Bytes& b) { b[204 + 31] = 0x10; },
     "frame 1 at offset 204: bad 0x88A4 parser word (0x1034, expected 0x2034)"},
    {"NMX data length", [](Bytes& b) { Set32(b, 204 + 32 + 20, 21); },
     "frame 1 at offset 204: NMX data length disagrees with the frame length (cbData 21 + 32, "
     "packet length 52)"},
};

class DamageTest : public testing::Test {
 protected:
  void SetUp() override {
    m_good = vxtest::ReadFileBytes(WriteCapture(m_dir, "good.cap", ThreeFrames()));
    ASSERT_EQ(368u, m_good.size());
  }
  std::string Damaged(void (*apply)(Bytes&)) {
    Bytes b = m_good;
    apply(b);
    const std::string path = m_dir / "damaged.cap";
    vxtest::WriteFileBytes(path, b);
    return path;
  }
  vxtest::TempDir m_dir;
  Bytes m_good;
};

TEST_F(DamageTest, EachKindOfDamageIsReportedWhereItIs) {
  for (const Damage& d : kDamages) {
    SCOPED_TRACE(d.name);
    const std::string path = Damaged(d.apply);
    const ToolRun check = RunTool({"check", path});
    EXPECT_EQ(1, check.status);
    EXPECT_EQ(path + ": invalid: " + d.message + "\n", check.out);
    for (const char* cmd : {"info", "dump"}) {
      const ToolRun r = RunTool({cmd, path});
      EXPECT_EQ(1, r.status) << cmd;
      EXPECT_EQ("nmx-cap: " + path + ": " + d.message + "\n", r.err) << cmd;
    }
  }
}

TEST_F(DamageTest, DumpPrintsTheFramesBeforeTheDamage) {
  const std::string path = Damaged([](Bytes& b) { Set32(b, 288 + 12, 1); });
  const ToolRun r = RunTool({"dump", path});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(2u, Lines(r.out).size());
  // Starting behind frame 0 checks the table from there on.
  EXPECT_EQ(1u, Lines(RunTool({"dump", path, "--from", "1"}).out).size());
}

TEST_F(DamageTest, AFileThatCannotBeReadIsNotCalledInvalid) {
  const ToolRun missing = RunTool({"check", m_dir / "none.cap"});
  EXPECT_EQ(2, missing.status);
  EXPECT_EQ(m_dir / "none.cap" + ": unreadable: cannot open: No such file or directory\n",
            missing.out);
  EXPECT_EQ(2, RunTool({"check", m_dir.path()}).status);
  EXPECT_EQ(2, RunTool({"info", m_dir / "none.cap"}).status);
}

// Random damage: whatever the bytes, every subcommand ends with a verdict, agrees with check,
// and repair always leaves a valid capture. The sanitizer builds catch any read outside
// a buffer.
TEST_F(DamageTest, RandomDamageNeverBreaksTheTool) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    Bytes b = m_good;
    const int kind = round % 3;
    if (kind == 0 || kind == 2) {
      for (int k = 0; k < 1 + round % 4; ++k) b[rng() % b.size()] = static_cast<BYTE>(rng());
    }
    if (kind == 1 || kind == 2) b.resize(rng() % (b.size() + 1));
    const std::string path = m_dir / "random.cap";
    vxtest::WriteFileBytes(path, b);
    SCOPED_TRACE("round " + std::to_string(round));

    const int valid = RunTool({"check", path}).status;
    ASSERT_TRUE(valid == 0 || valid == 1);
    EXPECT_EQ(valid, RunTool({"info", path}).status);
    EXPECT_EQ(valid, RunTool({"dump", path, "--hex"}).status);
    EXPECT_EQ(valid, RunTool({"dump", path, "--json", "--hex"}).status);
    // A time pcapng cannot hold is the one reason export refuses a valid capture.
    const ToolRun exported = RunTool({"export", path, m_dir / "random.pcapng"});
    if (exported.err.find("cannot be stored in pcapng") == std::string::npos) {
      EXPECT_EQ(valid, exported.status) << exported.err;
    }

    const std::string repaired = m_dir / "repaired.cap";
    std::remove(repaired.c_str());
    const bool startsAsCapture = b.size() >= 128 && memcmp(b.data(), m_good.data(), 8) == 0;
    const ToolRun repair = RunTool({"repair", path, "-o", repaired});
    EXPECT_EQ(startsAsCapture ? 0 : 1, repair.status) << repair.err;
    if (repair.status == 0) {
      EXPECT_EQ(0, RunTool({"check", repaired}).status);
    }
  }
}

}  // namespace
