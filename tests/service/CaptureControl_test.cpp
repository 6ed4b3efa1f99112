// Index groups 0x1000 (capture control) and 0x2000 (filters) as a viewer sees them: every
// row with its size and state checks, before, during and after a capture.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "service/ViewerServiceTestUtil.h"

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
  const DWORD buffer = m_engine->GetCaptureSettings().cbBuffer;
  ExpectReads(c, {
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4, 0, LE32s({2})},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 8, kInvalidSize, {}},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, 4, 0, LE32s({2})},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, 0, kInvalidSize, {}},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, 4, 0, LE32s({4u << 20})},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, 4, 0, LE32s({buffer})},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, 5, kInvalidSize, {}},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_INFO, 12, 0, LE32s({0, 0, 0})},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_INFO, 8, kInvalidSize, {}},
                     // No capture file before the first start.
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_NAME, 256, kInvalidSize, {}},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 11, 0, Text("engine.cap")},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 10, kInvalidSize, {}},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, 4, 0, LE32s({1})},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, 1, kInvalidSize, {}},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CREATE_VIEW, 4, kNotSupported, {}},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_DROPPED, 8, 0, LE32s({0, 0})},
                     {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_DROPPED, 4, kInvalidSize, {}},
                     {KRPCOMM_IG_CAPTURE, 16, 4, kNotSupported, {}},
                     {0x1234, 1, 4, kNotSupported, {}},
                 });

  ExpectWrites(c, {{KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, Bytes{1, 0}, kInvalidSize},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2}), kInvalidState},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({3}), kInvalidState},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1}), 0},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1}), kInvalidState},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({1}), kGeneral},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, LE32s({8u << 20}), kGeneral},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, LE32s({0x8000}), kGeneral},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("during.cap"), kGeneral}});
  EXPECT_EQ(Word(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data), 1u);
  // The capture goes to a file whose name the viewer can read, terminated.
  const Answer name = c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_NAME, 1024);
  EXPECT_EQ(name.result, 0u);
  ASSERT_GE(name.data.size(), 2u);
  EXPECT_EQ(strlen(reinterpret_cast<const char*>(name.data.data())) + 1, name.data.size());
  EXPECT_EQ(
      c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_NAME, static_cast<DWORD>(name.data.size() - 1))
          .result,
      kInvalidSize);

  Feed(5);
  ASSERT_TRUE(WaitFrames(5));
  const DWORD record = vxcap::RecordSize(static_cast<DWORD>(m_fed[0].size()));
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_INFO, 12).data, LE32s({5, 5 * record, 0}));

  ExpectWrites(c, {{KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2}), 0},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2}), kInvalidState}});
  EXPECT_EQ(Word(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data), 2u);
  // Auto-save gave the capture its name.
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_NAME, 64).data, Text("engine.cap"));
  EXPECT_TRUE(m_service->IsConnectedToViewer());
}

TEST_F(CaptureControl, SettingsChangeWhileStoppedAndReadBack) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  ExpectWrites(
      c, {
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({3}), kInvalidParam},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, Bytes{1, 0}, kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({1}), 0},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, LE32s({8u << 20}), 0},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, Bytes{}, kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, LE32s({0x8000}), 0},
             // A name no ring could start under is refused when it is set.
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text(std::string(254, 'n')), kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text(std::string(253, 'n')), 0},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text("named.cap"), 0},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Bytes(1026, 'a'), kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, LE32s({0}), 0},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, Bytes{1, 0, 0}, kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Bytes(1026, 'a'), kInvalidSize},
             // Nothing was captured yet, so there is nothing to save.
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("y.cap"), kGeneral},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_VIEW, Bytes{1, 0, 0}, kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_VIEW, LE32s({1}), kInvalidParam},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, Bytes{0}, kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, LE32s({0}), kGeneral},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, LE32s({10}), kGeneral},
             {KRPCOMM_IG_CAPTURE, 99, LE32s({0}), kNotSupported},
             {KRPCOMM_IG_VIEW, 1, LE32s({0}), kNotSupported},
             {0x3000, 1, LE32s({0}), kNotSupported},
         });
  // Sizes are bounded by what a logger can use: 4095 MiB of file, 64 MiB of memory buffer.
  // Beyond, nothing changes.
  ExpectWrites(
      c, {
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, LE32s({4095u << 20}), 0},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, LE32s({64u << 20}), 0},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, LE32s({(4095u << 20) + 1}), kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, LE32s({0xFFFFFFFF}), kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, LE32s({(64u << 20) + 1}), kInvalidSize},
             {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, LE32s({0x80000000}), kInvalidSize},
         });
  ExpectReads(c, {{KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, 4, 0, LE32s({4095u << 20})},
                  {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, 4, 0, LE32s({64u << 20})}});
  ExpectWrites(c, {{KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, LE32s({8u << 20}), 0},
                   {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, LE32s({0x8000}), 0}});
  ExpectReads(c, {{KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, 4, 0, LE32s({1})},
                  {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, 4, 0, LE32s({8u << 20})},
                  {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, 4, 0, LE32s({0x8000})},
                  {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 64, 0, Text("named.cap")},
                  {KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, 4, 0, LE32s({0})}});
  // A name without its terminator ends with the data; no data clears the name.
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text("raw.cap", false)).result, 0u);
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 64).data, Text("raw.cap"));
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, {}).result, 0u);
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 1).data, Bytes{0});
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 0).result, kInvalidSize);

  // Services the command set does not serve.
  EXPECT_EQ(c.Request(KRP_CMD_WRITECONTROL, Bytes{5, 0, 0, 0, 0, 0, 0, 0}).result, kNotSupported);
  const Answer state = c.Request(KRP_CMD_READSTATE, {});
  EXPECT_EQ(state.result, kNotSupported);
  EXPECT_EQ(state.data, Bytes(4, 0));
  EXPECT_EQ(c.Request(KRP_CMD_READDEVICEINFO, {}).result, kNotSupported);
  EXPECT_EQ(c.ReadWrite(KRPCOMM_IG_FILTER, KRPCOMM_FLT_ACTIVE, 4, LE32s({0})).result,
            kNotSupported);
  EXPECT_EQ(c.ReadWrite(KRPCOMM_IG_CAPTURE, 99, 4, {}).result, kNotSupported);
}

TEST_F(CaptureControl, SaveAsCopiesAStoppedCaptureIntoTheBootFolder) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  Feed(20);
  ASSERT_TRUE(WaitFrames(20));
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2})).result, 0u);
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("saved.cap")).result, 0u);
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
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  Feed(5);
  ASSERT_TRUE(WaitFrames(5));
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2})).result, 0u);

  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("Project.bin")).result,
            kInvalidParam);
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("Folder.cap")).result,
            kInvalidParam);
  EXPECT_EQ(vxtest::ReadFileBytes(boot + "Project.bin"), project);
  // An earlier capture of the name is replaced, as before.
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("earlier.cap")).result, 0u);
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("earlier.cap")).result, 0u);
  EXPECT_EQ(vxtest::ReadFileBytes(boot + "earlier.cap"),
            vxtest::ReadFileBytes(m_dir / "engine.cap"));

  // The save name: the capture goes into the engine's folder under it.
  vxtest::WriteFileBytes(m_dir / "notes.txt", project);
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text("notes.txt")).result,
            kInvalidParam);
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 64).data, Text("engine.cap"));

  const struct {
    const char* mode;
    DWORD fileMode;
    const char* appears;  // a foreign file that turns up under a name the capture will use
  } starts[] = {{"single file", 2, "later.bin"},
                {"ring, main file", 1, "later.bin"},
                {"ring, second file", 1, "later~1.cap"}};
  for (const auto& k : starts) {
    SCOPED_TRACE(k.mode);
    ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, LE32s({k.fileMode})).result, 0u);
    ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text("later.bin")).result, 0u);
    vxtest::WriteFileBytes(m_dir / k.appears, project);
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
    EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data, LE32s({2}))
        << "the capture must not start";
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

// A settings document the viewer names is taken only when it is a regular file of at most
// 1 MiB that holds settings; otherwise the start is refused with 0x70B and nothing starts.
TEST_F(CaptureControl, ASettingsDocumentThatIsNotTakenRefusesTheStart) {
  constexpr size_t kLimit = 1 << 20;
  const auto padded = [](size_t size) {
    const std::string head = "<VxNmxLogger><CaptureInfo/><!--", tail = "--></VxNmxLogger>";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
  };
  const auto write = [&](const std::string& name, const std::string& text) {
    vxtest::WriteFileBytes(m_dir / name, Text(text, false));
    return m_dir / name;
  };
  ASSERT_EQ(mkfifo((m_dir / "fifo.xml").c_str(), 0600), 0);
  const std::string refused[] = {
      write("big.xml", padded(kLimit + 1)),
      write("cut.xml", "<VxNmxLogger><CaptureInfo>"),
      write("other.xml", "<Other><CaptureInfo/></Other>"),
      write("nocapture.xml", "<VxNmxLogger><FilterInfo/></VxNmxLogger>"),
      m_dir / "missing.xml",
      m_dir / "fifo.xml",
      m_dir.path(),
  };
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  const auto start = [&](const std::string& path) {
    Bytes data = LE32s({KRPCOMM_CMD_START});
    const Bytes name = Text(path);
    data.insert(data.end(), name.begin(), name.end());
    return c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, data);
  };
  for (const std::string& path : refused) {
    SCOPED_TRACE(path);
    const Answer a = start(path);
    ASSERT_TRUE(a.answered) << "the request waited";
    EXPECT_EQ(a.result, kInvalidParam);
    EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data,
              LE32s({KRPCOMM_STATE_STOPPED}));
  }
  EXPECT_EQ(start(write("max.xml", padded(kLimit))).result, 0u);
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4).data,
            LE32s({KRPCOMM_STATE_CAPTURING}));
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({KRPCOMM_CMD_STOP})).result, 0u);
}

using FilterSettings = EngineFixture;

TEST_F(FilterSettings, SwitchesTablesAndFlags) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  // The initial state: one match-all include entry, an empty exclude table, all off.
  const Bytes matchAll = Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ExpectReads(c, {{KRPCOMM_IG_FILTER, KRPCOMM_FLT_ACTIVE, 4, 0, LE32s({0})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_ACTIVE, 4, 0, LE32s({0})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_ACTIVE, 4, 0, LE32s({0})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, 4, 0, LE32s({0})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, 2, kInvalidSize, {}},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_TABLE_SIZES, 8, 0, LE32s({14, 4})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_TABLE_SIZES, 4, kInvalidSize, {}},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, 14, 0, matchAll},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, 13, kInvalidSize, {}},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_TABLE, 4, 0, LE32s({0})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_TABLE, 14, kInvalidSize, {}},
                  {KRPCOMM_IG_FILTER, 8, 4, kNotSupported, {}}});

  // Two entries: port 851 on any node, and node 1.2.3.4.1.1 with every port.
  Bytes table = LE32s({2});
  const Bytes entries = {1, 0, 0, 0, 0, 0, 0, 0, 0x53, 0x03, 2, 0, 1, 2, 3, 4, 1, 1, 0, 0};
  table.insert(table.end(), entries.begin(), entries.end());
  const Bytes shortTable(table.begin(), table.end() - 1);
  Bytes lying = table;
  lying[0] = 3;
  ExpectWrites(c, {{KRPCOMM_IG_FILTER, KRPCOMM_FLT_ACTIVE, LE32s({1}), 0},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_ACTIVE, LE32s({1}), 0},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_ACTIVE, LE32s({1}), 0},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_ACTIVE, Bytes{1}, kInvalidSize},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, LE32s({3}), 0},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, table, 0},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_TABLE, table, 0},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, shortTable, kInvalidSize},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, lying, kInvalidSize},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_TABLE, Bytes{0, 0, 0}, kInvalidSize},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_TABLE_SIZES, LE32s({0, 0}), kNotSupported},
                   {KRPCOMM_IG_FILTER, 9, LE32s({0}), kNotSupported}});
  ExpectReads(c, {{KRPCOMM_IG_FILTER, KRPCOMM_FLT_ACTIVE, 4, 0, LE32s({1})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_ACTIVE, 4, 0, LE32s({1})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_ACTIVE, 4, 0, LE32s({1})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, 4, 0, LE32s({3})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_TABLE_SIZES, 8, 0, LE32s({24, 24})},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, 24, 0, table},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_TABLE, 24, 0, table}});

  // Tables and flags stay as they are while capturing; the switches do not.
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  ExpectWrites(c, {{KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, LE32s({0}), kGeneral},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_TABLE, LE32s({0}), kGeneral},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, LE32s({0}), kGeneral},
                   {KRPCOMM_IG_FILTER, KRPCOMM_FLT_ACTIVE, LE32s({0}), 0}});
  ExpectReads(c, {{KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_TABLE, 24, 0, table},
                  {KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, 4, 0, LE32s({3})}});
  EXPECT_EQ(m_engine->IsFilterActive(), FALSE);
}

}  // namespace
