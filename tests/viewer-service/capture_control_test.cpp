// Index groups 0x1000 (capture control) and 0x2000 (filters) as a viewer sees them: every
// row with its size and state checks, before, during and after a capture.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "viewer-service/ViewerServiceTestUtil.h"

using namespace vstest;

namespace {

constexpr DWORD kInvalidSize = 0x705;
constexpr DWORD kGeneral = 0x700;
constexpr DWORD kNotSupported = 0x701;
constexpr DWORD kInvalidParam = 0x70B;
constexpr DWORD kInvalidState = 0x712;

struct ReadCase {
  DWORD group, offset, length;
  DWORD result;
  Bytes data;  // expected answer when the result is 0; empty: not compared
};

struct WriteCase {
  DWORD group, offset;
  Bytes data;
  DWORD result;
};

std::string Name(DWORD group, DWORD offset) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%X/%u", group, offset);
  return buf;
}

void ExpectReads(Client& c, const std::vector<ReadCase>& cases) {
  for (const ReadCase& k : cases) {
    const Answer a = c.Read(k.group, k.offset, k.length);
    SCOPED_TRACE(Name(k.group, k.offset) + " L=" + std::to_string(k.length));
    ASSERT_TRUE(a.answered);
    EXPECT_EQ(a.result, k.result);
    if (k.result != 0) {
      EXPECT_TRUE(a.data.empty());
    } else if (!k.data.empty()) {
      EXPECT_EQ(a.data, k.data);
    }
  }
}

void ExpectWrites(Client& c, const std::vector<WriteCase>& cases) {
  for (const WriteCase& k : cases) {
    const Answer a = c.Write(k.group, k.offset, k.data);
    SCOPED_TRACE(Name(k.group, k.offset) + " W=" + std::to_string(k.data.size()));
    ASSERT_TRUE(a.answered);
    EXPECT_EQ(a.result, k.result);
  }
}

using CaptureControl = EngineFixture;

TEST_F(CaptureControl, ReadsAndCommandsBeforeDuringAndAfterACapture) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  const DWORD buffer = m_engine->GetBufferSize();
  ExpectReads(c, {
                     {kIgCapture, 1, 4, 0, LE32s({2})},
                     {kIgCapture, 1, 8, kInvalidSize, {}},
                     {kIgCapture, 2, 4, 0, LE32s({2})},
                     {kIgCapture, 2, 0, kInvalidSize, {}},
                     {kIgCapture, 3, 4, 0, LE32s({4u << 20})},
                     {kIgCapture, 4, 4, 0, LE32s({buffer})},
                     {kIgCapture, 4, 5, kInvalidSize, {}},
                     {kIgCapture, 6, 12, 0, LE32s({0, 0, 0})},
                     {kIgCapture, 6, 8, kInvalidSize, {}},
                     // No capture file before the first start.
                     {kIgCapture, 12, 256, kInvalidSize, {}},
                     {kIgCapture, 13, 11, 0, Text("engine.cap")},
                     {kIgCapture, 13, 10, kInvalidSize, {}},
                     {kIgCapture, 14, 4, 0, LE32s({1})},
                     {kIgCapture, 14, 1, kInvalidSize, {}},
                     {kIgCapture, 7, 4, kNotSupported, {}},
                     {kIgCapture, 15, 4, kNotSupported, {}},
                     {0x1234, 1, 4, kNotSupported, {}},
                 });

  ExpectWrites(c, {{kIgCapture, 1, Bytes{1, 0}, kInvalidSize},
                   {kIgCapture, 1, LE32s({2}), kInvalidState},
                   {kIgCapture, 1, LE32s({3}), kInvalidState},
                   {kIgCapture, 1, LE32s({1}), 0},
                   {kIgCapture, 1, LE32s({1}), kInvalidState},
                   {kIgCapture, 2, LE32s({1}), kGeneral},
                   {kIgCapture, 3, LE32s({8u << 20}), kGeneral},
                   {kIgCapture, 4, LE32s({0x8000}), kGeneral},
                   {kIgCapture, 5, Text("during.cap"), kGeneral}});
  EXPECT_EQ(Word(c.Read(kIgCapture, 1, 4).data), 1u);
  // The capture goes to a file whose name the viewer can read, terminated.
  const Answer name = c.Read(kIgCapture, 12, 1024);
  EXPECT_EQ(name.result, 0u);
  ASSERT_GE(name.data.size(), 2u);
  EXPECT_EQ(strlen(reinterpret_cast<const char*>(name.data.data())) + 1, name.data.size());
  EXPECT_EQ(c.Read(kIgCapture, 12, static_cast<DWORD>(name.data.size() - 1)).result, kInvalidSize);

  Feed(5);
  ASSERT_TRUE(WaitFrames(5));
  const DWORD record = vxcap::RecordSize(static_cast<DWORD>(m_fed[0].size()));
  EXPECT_EQ(c.Read(kIgCapture, 6, 12).data, LE32s({5, 5 * record, 0}));

  ExpectWrites(c, {{kIgCapture, 1, LE32s({2}), 0}, {kIgCapture, 1, LE32s({2}), kInvalidState}});
  EXPECT_EQ(Word(c.Read(kIgCapture, 1, 4).data), 2u);
  // Auto-save gave the capture its name.
  EXPECT_EQ(c.Read(kIgCapture, 12, 64).data, Text("engine.cap"));
  EXPECT_TRUE(m_engine->IsConnectedToViewer());
}

TEST_F(CaptureControl, SettingsChangeWhileStoppedAndReadBack) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  ExpectWrites(c, {
                      {kIgCapture, 2, LE32s({3}), kInvalidParam},
                      {kIgCapture, 2, Bytes{1, 0}, kInvalidSize},
                      {kIgCapture, 2, LE32s({1}), 0},
                      {kIgCapture, 3, LE32s({8u << 20}), 0},
                      {kIgCapture, 3, Bytes{}, kInvalidSize},
                      {kIgCapture, 4, LE32s({0x8000}), 0},
                      {kIgCapture, 13, Text("named.cap"), 0},
                      {kIgCapture, 13, Bytes(1026, 'a'), kInvalidSize},
                      {kIgCapture, 14, LE32s({0}), 0},
                      {kIgCapture, 14, Bytes{1, 0, 0}, kInvalidSize},
                      {kIgCapture, 5, Bytes(1026, 'a'), kInvalidSize},
                      // Nothing was captured yet, so there is nothing to save.
                      {kIgCapture, 5, Text("y.cap"), kGeneral},
                      {kIgCapture, 8, Bytes{1, 0, 0}, kInvalidSize},
                      {kIgCapture, 8, LE32s({1}), kInvalidParam},
                      {kIgCapture, 10, Bytes{0}, kInvalidSize},
                      {kIgCapture, 10, LE32s({0}), kGeneral},
                      {kIgCapture, 10, LE32s({10}), kGeneral},
                      {kIgCapture, 99, LE32s({0}), kNotSupported},
                      {kIgView, 1, LE32s({0}), kNotSupported},
                      {0x3000, 1, LE32s({0}), kNotSupported},
                  });
  // Sizes are bounded by what a logger can use: 4095 MiB of file, 64 MiB of memory buffer.
  // Beyond, nothing changes.
  ExpectWrites(c, {
                      {kIgCapture, 3, LE32s({4095u << 20}), 0},
                      {kIgCapture, 4, LE32s({64u << 20}), 0},
                      {kIgCapture, 3, LE32s({(4095u << 20) + 1}), kInvalidSize},
                      {kIgCapture, 3, LE32s({0xFFFFFFFF}), kInvalidSize},
                      {kIgCapture, 4, LE32s({(64u << 20) + 1}), kInvalidSize},
                      {kIgCapture, 4, LE32s({0x80000000}), kInvalidSize},
                  });
  ExpectReads(
      c, {{kIgCapture, 3, 4, 0, LE32s({4095u << 20})}, {kIgCapture, 4, 4, 0, LE32s({64u << 20})}});
  ExpectWrites(c, {{kIgCapture, 3, LE32s({8u << 20}), 0}, {kIgCapture, 4, LE32s({0x8000}), 0}});
  ExpectReads(c, {{kIgCapture, 2, 4, 0, LE32s({1})},
                  {kIgCapture, 3, 4, 0, LE32s({8u << 20})},
                  {kIgCapture, 4, 4, 0, LE32s({0x8000})},
                  {kIgCapture, 13, 64, 0, Text("named.cap")},
                  {kIgCapture, 14, 4, 0, LE32s({0})}});
  // A name without its terminator ends with the data; no data clears the name.
  EXPECT_EQ(c.Write(kIgCapture, 13, Text("raw.cap", false)).result, 0u);
  EXPECT_EQ(c.Read(kIgCapture, 13, 64).data, Text("raw.cap"));
  EXPECT_EQ(c.Write(kIgCapture, 13, {}).result, 0u);
  EXPECT_EQ(c.Read(kIgCapture, 13, 1).data, Bytes{0});
  EXPECT_EQ(c.Read(kIgCapture, 13, 0).result, kInvalidSize);

  // Services the command set does not serve.
  EXPECT_EQ(c.Request(KRP_CMD_WRITECONTROL, Bytes{5, 0, 0, 0, 0, 0, 0, 0}).result, kNotSupported);
  const Answer state = c.Request(KRP_CMD_READSTATE, {});
  EXPECT_EQ(state.result, kNotSupported);
  EXPECT_EQ(state.data, Bytes(4, 0));
  EXPECT_EQ(c.Request(KRP_CMD_READDEVICEINFO, {}).result, kNotSupported);
  EXPECT_EQ(c.ReadWrite(kIgFilter, 1, 4, LE32s({0})).result, kNotSupported);
  EXPECT_EQ(c.ReadWrite(kIgCapture, 99, 4, {}).result, kNotSupported);
}

TEST_F(CaptureControl, SaveAsCopiesAStoppedCaptureIntoTheBootFolder) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  ASSERT_EQ(c.Write(kIgCapture, 1, LE32s({1})).result, 0u);
  Feed(20);
  ASSERT_TRUE(WaitFrames(20));
  ASSERT_EQ(c.Write(kIgCapture, 1, LE32s({2})).result, 0u);
  ASSERT_EQ(c.Write(kIgCapture, 5, Text("saved.cap")).result, 0u);
  EXPECT_EQ(vxtest::ReadFileBytes(Environment::Boot() + "saved.cap"),
            vxtest::ReadFileBytes(m_dir / "engine.cap"));
  std::remove((Environment::Boot() + "saved.cap").c_str());
}

// The boot folder holds the machine's project: what a viewer names for a save may replace an
// earlier capture, and nothing else. Refused names leave every file and the setting as they
// were; a file that takes a name after it was set stops the start.
TEST_F(CaptureControl, ASaveNeverReplacesAFileThatIsNotACapture) {
  const std::string boot = Environment::Boot();
  const Bytes project = Text("the machine's boot project", false);
  vxtest::WriteFileBytes(boot + "Project.bin", project);
  mkdir((boot + "Folder.cap").c_str(), 0755);
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  ASSERT_EQ(c.Write(kIgCapture, 1, LE32s({1})).result, 0u);
  Feed(5);
  ASSERT_TRUE(WaitFrames(5));
  ASSERT_EQ(c.Write(kIgCapture, 1, LE32s({2})).result, 0u);

  EXPECT_EQ(c.Write(kIgCapture, 5, Text("Project.bin")).result, kInvalidParam);
  EXPECT_EQ(c.Write(kIgCapture, 5, Text("Folder.cap")).result, kInvalidParam);
  EXPECT_EQ(vxtest::ReadFileBytes(boot + "Project.bin"), project);
  // An earlier capture of the name is replaced, as before.
  ASSERT_EQ(c.Write(kIgCapture, 5, Text("earlier.cap")).result, 0u);
  ASSERT_EQ(c.Write(kIgCapture, 5, Text("earlier.cap")).result, 0u);
  EXPECT_EQ(vxtest::ReadFileBytes(boot + "earlier.cap"),
            vxtest::ReadFileBytes(m_dir / "engine.cap"));

  // The save name: the capture goes into the engine's folder under it.
  vxtest::WriteFileBytes(m_dir / "notes.txt", project);
  EXPECT_EQ(c.Write(kIgCapture, 13, Text("notes.txt")).result, kInvalidParam);
  EXPECT_EQ(c.Read(kIgCapture, 13, 64).data, Text("engine.cap"));

  const struct {
    const char* mode;
    DWORD fileMode;
    const char* appears;  // a foreign file that turns up under a name the capture will use
  } starts[] = {{"single file", 2, "later.bin"},
                {"ring, main file", 1, "later.bin"},
                {"ring, second file", 1, "later~1.cap"}};
  for (const auto& k : starts) {
    SCOPED_TRACE(k.mode);
    ASSERT_EQ(c.Write(kIgCapture, 2, LE32s({k.fileMode})).result, 0u);
    ASSERT_EQ(c.Write(kIgCapture, 13, Text("later.bin")).result, 0u);
    vxtest::WriteFileBytes(m_dir / k.appears, project);
    EXPECT_EQ(c.Write(kIgCapture, 1, LE32s({1})).result, 0u);
    EXPECT_EQ(c.Read(kIgCapture, 1, 4).data, LE32s({2})) << "the capture must not start";
    EXPECT_EQ(vxtest::ReadFileBytes(m_dir / k.appears), project);
    const char* ringFiles[] = {"later.bin", "later~1.cap"};
    for (const char* other : ringFiles)
      if (strcmp(other, k.appears) != 0) {
        struct stat st {};
        EXPECT_NE(stat((m_dir / other).c_str(), &st), 0) << other << " was created";
      }
    std::remove((m_dir / k.appears).c_str());
  }
  std::remove((boot + "Project.bin").c_str());
  std::remove((boot + "earlier.cap").c_str());
  rmdir((boot + "Folder.cap").c_str());
}

using FilterSettings = EngineFixture;

TEST_F(FilterSettings, SwitchesTablesAndFlags) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  // The initial state: one match-all include entry, an empty exclude table, all off.
  const Bytes matchAll = Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ExpectReads(c, {{kIgFilter, 1, 4, 0, LE32s({0})},
                  {kIgFilter, 2, 4, 0, LE32s({0})},
                  {kIgFilter, 3, 4, 0, LE32s({0})},
                  {kIgFilter, 7, 4, 0, LE32s({0})},
                  {kIgFilter, 7, 2, kInvalidSize, {}},
                  {kIgFilter, 4, 8, 0, LE32s({14, 4})},
                  {kIgFilter, 4, 4, kInvalidSize, {}},
                  {kIgFilter, 5, 14, 0, matchAll},
                  {kIgFilter, 5, 13, kInvalidSize, {}},
                  {kIgFilter, 6, 4, 0, LE32s({0})},
                  {kIgFilter, 6, 14, kInvalidSize, {}},
                  {kIgFilter, 8, 4, kNotSupported, {}}});

  // Two entries: port 851 on any node, and node 1.2.3.4.1.1 with every port.
  Bytes table = LE32s({2});
  const Bytes entries = {1, 0, 0, 0, 0, 0, 0, 0, 0x53, 0x03, 2, 0, 1, 2, 3, 4, 1, 1, 0, 0};
  table.insert(table.end(), entries.begin(), entries.end());
  const Bytes shortTable(table.begin(), table.end() - 1);
  Bytes lying = table;
  lying[0] = 3;
  ExpectWrites(c, {{kIgFilter, 1, LE32s({1}), 0},
                   {kIgFilter, 2, LE32s({1}), 0},
                   {kIgFilter, 3, LE32s({1}), 0},
                   {kIgFilter, 3, Bytes{1}, kInvalidSize},
                   {kIgFilter, 7, LE32s({3}), 0},
                   {kIgFilter, 5, table, 0},
                   {kIgFilter, 6, table, 0},
                   {kIgFilter, 5, shortTable, kInvalidSize},
                   {kIgFilter, 5, lying, kInvalidSize},
                   {kIgFilter, 6, Bytes{0, 0, 0}, kInvalidSize},
                   {kIgFilter, 4, LE32s({0, 0}), kNotSupported},
                   {kIgFilter, 9, LE32s({0}), kNotSupported}});
  ExpectReads(c, {{kIgFilter, 1, 4, 0, LE32s({1})},
                  {kIgFilter, 2, 4, 0, LE32s({1})},
                  {kIgFilter, 3, 4, 0, LE32s({1})},
                  {kIgFilter, 7, 4, 0, LE32s({3})},
                  {kIgFilter, 4, 8, 0, LE32s({24, 24})},
                  {kIgFilter, 5, 24, 0, table},
                  {kIgFilter, 6, 24, 0, table}});

  // Tables and flags stay as they are while capturing; the switches do not.
  ASSERT_EQ(c.Write(kIgCapture, 1, LE32s({1})).result, 0u);
  ExpectWrites(c, {{kIgFilter, 5, LE32s({0}), kGeneral},
                   {kIgFilter, 6, LE32s({0}), kGeneral},
                   {kIgFilter, 7, LE32s({0}), kGeneral},
                   {kIgFilter, 1, LE32s({0}), 0}});
  ExpectReads(c, {{kIgFilter, 5, 24, 0, table}, {kIgFilter, 7, 4, 0, LE32s({3})}});
  EXPECT_EQ(m_engine->IsFilterActive(), FALSE);
}

}  // namespace
