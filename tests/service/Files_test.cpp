// Files of the boot project folder through the viewer (ReadWrite 0x1000/9 and /11, Write
// 0x1000/10), and the names a viewer may not use: nothing outside the boot folder is opened,
// written or renamed on a viewer's word.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "service/ViewerServiceTestUtil.h"

using namespace vstest;

namespace {

constexpr DWORD kGeneral = 0x700;
constexpr DWORD kInvalidSize = 0x705;
constexpr DWORD kInvalidParam = 0x70B;

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

class BootFiles : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    std::mt19937 rng(7);
    m_data.resize(100000);
    for (BYTE& b : m_data) b = static_cast<BYTE>(rng());
    vxtest::WriteFileBytes(Environment::Boot() + "data.bin", m_data);
    mkdir((Environment::Boot() + "sub").c_str(), 0755);
    vxtest::WriteFileBytes(Environment::Boot() + "sub/ok.txt", Text("inside", false));
    vxtest::WriteFileBytes(Environment::Base() + "/secret.txt", Text("outside", false));
  }
  void TearDown() override {
    EngineFixture::TearDown();
    unlink((Environment::Boot() + "data.bin").c_str());
    unlink((Environment::Boot() + "sub/ok.txt").c_str());
    rmdir((Environment::Boot() + "sub").c_str());
    unlink((Environment::Base() + "/secret.txt").c_str());
  }

  static Answer Open(Client& c, const std::string& name) {
    return c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_OPEN_FILE, 4, Text(name));
  }

  // The whole file of a slot, read in chunks until an empty answer.
  static Bytes ReadAll(Client& c, DWORD slot, DWORD chunk) {
    Bytes all;
    for (;;) {
      const Answer a = c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, chunk, LE32s({slot}));
      EXPECT_EQ(a.result, 0u);
      if (a.result != 0 || a.data.empty()) return all;
      all.insert(all.end(), a.data.begin(), a.data.end());
    }
  }

  Bytes m_data;
};

TEST_F(BootFiles, TenSlotsReadFilesByteForByteAndCloseWithTheConnection) {
  auto c = std::make_unique<Client>(Port());
  ASSERT_TRUE(c->Connected());
  EXPECT_EQ(c->ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_OPEN_FILE, 8, Text("data.bin")).result,
            kInvalidSize);
  EXPECT_EQ(Open(*c, "missing.bin").result, kGeneral);
  const Answer first = Open(*c, "data.bin");
  ASSERT_EQ(first.result, 0u);
  EXPECT_EQ(first.data, LE32s({0}));
  EXPECT_EQ(ReadAll(*c, 0, 30000), m_data);

  // Backslashes separate folders as slashes do; a name may end with the data.
  const Answer sub =
      c->ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_OPEN_FILE, 4, Text("sub\\ok.txt", false));
  ASSERT_EQ(sub.result, 0u);
  EXPECT_EQ(ReadAll(*c, Word(sub.data), 4096), Text("inside", false));
  for (DWORD slot = 2; slot < 10; ++slot) EXPECT_EQ(Open(*c, "data.bin").data, LE32s({slot}));
  EXPECT_EQ(Open(*c, "data.bin").result, kGeneral);
  EXPECT_EQ(c->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, LE32s({3})).result, 0u);
  EXPECT_EQ(Open(*c, "sub/ok.txt").data, LE32s({3}));

  EXPECT_EQ(c->ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, 16, Bytes{0, 0}).result,
            kInvalidSize);
  EXPECT_EQ(c->ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, 16, LE32s({12})).result,
            kGeneral);
  EXPECT_EQ(c->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, LE32s({4})).result, 0u);
  EXPECT_EQ(c->Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, LE32s({4})).result, kGeneral);
  EXPECT_EQ(c->ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, 16, LE32s({4})).result,
            kGeneral);

  // A name longer than the room the boot folder leaves in a 1024-byte path.
  const std::string tooLong(1025 - Environment::Boot().size(), 'x');
  EXPECT_EQ(Open(*c, tooLong).result, kInvalidSize);

  // A connection's files close with it: a viewer killed in the middle of a transfer never
  // closes them, and would hold the slots until the logger ends.
  c.reset();
  Client next(Port());
  ASSERT_TRUE(next.Connected());
  EXPECT_EQ(next.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, 16, LE32s({5})).result,
            kGeneral);
  for (DWORD slot = 0; slot < 10; ++slot) EXPECT_EQ(Open(next, "data.bin").data, LE32s({slot}));
}

TEST_F(BootFiles, NamesThatLeaveTheBootFolderOrNameNoFileAreRefused) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  // A stopped capture, so that saving it under a good name would succeed.
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  Feed(3);
  ASSERT_TRUE(WaitFrames(3));
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2})).result, 0u);
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text("kept.cap")).result, 0u);

  const char* const everywhere[] = {"../secret.txt",
                                    "/etc/passwd",
                                    "a\\..\\..\\secret.txt",
                                    "sub/../../x",
                                    "..",
                                    "\\x",
                                    "sub/..",
                                    "../Boot/data.bin",
                                    ""};
  for (const char* name : everywhere) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Open(c, name).result, kInvalidParam);
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text(name)).result, kInvalidParam);
    if (*name) {
      EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text(name)).result,
                kInvalidParam);
    }
  }
  // Names that name no file, or hold control characters, are refused the same way; so is a
  // folder as a file to read.
  const char* const noFile[] = {".",          "sub/.",          "./.",         "sub/",
                                "bell\a.cap", "esc\x1b[2J.cap", "del\x7f.cap", "line\nbreak.cap"};
  for (const char* name : noFile) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Open(c, name).result, kInvalidParam);
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text(name)).result, kInvalidParam);
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text(name)).result, kInvalidParam);
  }
  EXPECT_EQ(Open(c, "sub").result, kInvalidParam);
  // The save name is a name in the capture folder: no separator at all.
  for (const char* name : {"sub/x.cap", "a\\b.cap", "/x.cap"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text(name)).result, kInvalidParam);
  }
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 64).data, Text("kept.cap"));
  for (DWORD slot = 0; slot < 10; ++slot)
    EXPECT_EQ(c.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, 4, LE32s({slot})).result,
              kGeneral)
        << slot;
  EXPECT_FALSE(Exists(Environment::Base() + "/x"));
  EXPECT_EQ(vxtest::ReadFileBytes(Environment::Base() + "/secret.txt"), Text("outside", false));

  // Names inside the folder keep working.
  EXPECT_EQ(Open(c, "sub/ok.txt").result, 0u);
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("sub/saved.cap")).result, 0u);
  EXPECT_TRUE(Exists(Environment::Boot() + "sub/saved.cap"));
  unlink((Environment::Boot() + "sub/saved.cap").c_str());
}

}  // namespace

// What lies in the boot folder but leads out of it, or cannot be read without waiting: links to
// files and folders outside, links to nothing yet, and a FIFO nobody writes to.
class PlantedFiles : public BootFiles {
 protected:
  void SetUp() override {
    BootFiles::SetUp();
    m_out = Environment::Base() + "/out";
    mkdir(m_out.c_str(), 0755);
    vxtest::WriteFileBytes(m_out + "/empty.cap", Bytes{});
    Plant(Environment::Base() + "/secret.txt", Environment::Boot() + "shadow.cap");
    Plant(m_out, Environment::Boot() + "linkdir");
    Plant(m_out + "/empty.cap", Environment::Boot() + "empty-link.cap");
    Plant(m_out + "/new.cap", Environment::Boot() + "dangling.cap");
    // The save name's folder is the engine's capture folder.
    Plant(m_out + "/empty.cap", m_dir / "empty-link.cap");
    Plant(m_out + "/new.cap", m_dir / "dangling.cap");
    ASSERT_EQ(mkfifo((Environment::Boot() + "p.cap").c_str(), 0600), 0);
  }
  void TearDown() override {
    for (const char* name : {"shadow.cap", "linkdir", "empty-link.cap", "dangling.cap", "p.cap"})
      unlink((Environment::Boot() + name).c_str());
    std::error_code ec;
    std::filesystem::remove_all(m_out, ec);
    BootFiles::TearDown();
  }
  static void Plant(const std::string& target, const std::string& link) {
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
  }
  // What the folder outside holds: nothing may have been added or changed there.
  bool OutsideUntouched() const {
    return !Exists(m_out + "/new.cap") && !Exists(m_out + "/saved.cap") &&
           vxtest::ReadFileBytes(m_out + "/empty.cap").empty() &&
           vxtest::ReadFileBytes(Environment::Base() + "/secret.txt") == Text("outside", false);
  }

  std::string m_out;
};

TEST_F(PlantedFiles, NothingOutsideIsReadThroughALinkAndAFifoIsAnsweredAtOnce) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  for (const char* name :
       {"shadow.cap", "linkdir/empty.cap", "empty-link.cap", "dangling.cap", "p.cap", "linkdir"}) {
    SCOPED_TRACE(name);
    const Answer a = Open(c, name);
    ASSERT_TRUE(a.answered) << "the request waited";
    EXPECT_EQ(a.result, kInvalidParam);
  }
  // No slot was taken, and the service goes on serving.
  const Answer slot = Open(c, "data.bin");
  ASSERT_EQ(slot.result, 0u);
  EXPECT_EQ(slot.data, LE32s({0}));
  EXPECT_EQ(ReadAll(c, 0, 65536), m_data);
}

TEST_F(PlantedFiles, NothingIsWrittenOutsideThroughALink) {
  Client c(Port());
  ASSERT_TRUE(c.Connected());
  // Saving while capturing fails, and leaves no empty file behind under the name.
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({1})).result, 0u);
  EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("fresh.cap")).result, kGeneral);
  EXPECT_FALSE(Exists(Environment::Boot() + "fresh.cap"));
  Feed(3);
  ASSERT_TRUE(WaitFrames(3));
  ASSERT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, LE32s({2})).result, 0u);

  for (const char* name : {"linkdir/saved.cap", "empty-link.cap", "dangling.cap", "p.cap"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text(name)).result, kInvalidParam);
  }
  for (const char* name : {"empty-link.cap", "dangling.cap"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, Text(name)).result, kInvalidParam);
  }
  EXPECT_EQ(c.Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, 64).data, Text("engine.cap"));
  EXPECT_TRUE(OutsideUntouched());
  // Links stay as they were.
  EXPECT_EQ(vxtest::ReadFileBytes(Environment::Boot() + "shadow.cap"), Text("outside", false));

  // A new name, and a file saved before, are still saved to.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(c.Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, Text("fresh.cap")).result, 0u);
    EXPECT_EQ(vxtest::ReadFileBytes(Environment::Boot() + "fresh.cap"),
              vxtest::ReadFileBytes(m_dir / "engine.cap"));
  }
  unlink((Environment::Boot() + "fresh.cap").c_str());
}
