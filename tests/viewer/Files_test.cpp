// Files of the boot project folder through the viewer (ReadWrite 0x1000/9 and /11, Write
// 0x1000/10), and the names a viewer may not use: nothing outside the boot folder is opened,
// written or renamed on a viewer's word.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "viewer/ViewerServiceTestUtil.h"

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

TEST_F(BootFiles, TenSlotsReadFilesByteForByteAndOutliveTheConnection) {
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

  // The slots belong to the handler, not to the connection.
  c.reset();
  Client next(Port());
  ASSERT_TRUE(next.Connected());
  const Answer more = next.ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, 16, LE32s({5}));
  EXPECT_EQ(more.result, 0u);
  EXPECT_EQ(more.data, Bytes(m_data.begin(), m_data.begin() + 16));
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
