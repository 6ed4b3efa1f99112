// Opening names a peer chose beneath a folder: never through a link, never anything but a
// regular file, never waiting on a FIFO. Every case runs both ways a folder is resolved: in
// one call where the kernel can, and one component at a time.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "os/OsUserFile.h"
#include "os/OsUserSafeOpen.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char* Name(OsOpenResult r) {
  switch (r) {
    case OsOpenResult::kOpened:
      return "opened";
    case OsOpenResult::kMissing:
      return "missing";
    case OsOpenResult::kRefused:
      return "refused";
    case OsOpenResult::kFailed:
      return "failed";
  }
  return "?";
}

std::string ReadAll(int fd) {
  std::string s;
  char buf[256];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  return s;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// A folder "in" with files, a subfolder, links of every kind and a FIFO, and a folder "out"
// beside it that nothing may reach. The parameter: resolve one component at a time.
class SafeOpen : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    OsUserSafeOpenTestWalkComponents(GetParam());
    const std::string in = m_dir / "in", out = m_dir / "out";
    ASSERT_EQ(mkdir(in.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((in + "/sub").c_str(), 0755), 0);
    vxtest::WriteFileBytes(in + "/f", Bytes{'f'});
    vxtest::WriteFileBytes(in + "/sub/g", Bytes{'g'});
    vxtest::WriteFileBytes(out + "/secret", Bytes{'s'});
    ASSERT_EQ(symlink((out + "/secret").c_str(), (in + "/file-link").c_str()), 0);
    ASSERT_EQ(symlink(out.c_str(), (in + "/folder-link").c_str()), 0);
    ASSERT_EQ(symlink("f", (in + "/inner-link").c_str()), 0);
    ASSERT_EQ(symlink((out + "/new").c_str(), (in + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((in + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(OsUserOpenFolder(in.c_str(), &m_in), OsOpenResult::kOpened);
  }
  void TearDown() override {
    if (m_in >= 0) close(m_in);
    OsUserSafeOpenTestWalkComponents(false);
  }

  vxtest::TempDir m_dir;
  int m_in = -1;
};

TEST_P(SafeOpen, FilesBeneathTheFolderOpenAndNothingElseDoes) {
  const struct {
    const char* name;
    OsOpenResult want;
    const char* content;
  } cases[] = {
      {"f", OsOpenResult::kOpened, "f"},
      {"sub/g", OsOpenResult::kOpened, "g"},
      {"sub\\g", OsOpenResult::kOpened, "g"},
      {"./sub//g", OsOpenResult::kOpened, "g"},
      {"file-link", OsOpenResult::kRefused, nullptr},
      {"folder-link/secret", OsOpenResult::kRefused, nullptr},
      {"inner-link", OsOpenResult::kRefused, nullptr},
      {"dangling", OsOpenResult::kRefused, nullptr},
      {"fifo", OsOpenResult::kRefused, nullptr},
      {"sub", OsOpenResult::kRefused, nullptr},
      {"f/x", OsOpenResult::kRefused, nullptr},
      {"../out/secret", OsOpenResult::kRefused, nullptr},
      {"sub/../f", OsOpenResult::kRefused, nullptr},
      {"/etc/passwd", OsOpenResult::kRefused, nullptr},
      {"", OsOpenResult::kRefused, nullptr},
      {"missing", OsOpenResult::kMissing, nullptr},
      {"nofolder/x", OsOpenResult::kMissing, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = -1;
    const OsOpenResult r = OsUserOpenFileBeneath(m_in, c.name, &fd);
    EXPECT_STREQ(Name(r), Name(c.want));
    if (r == OsOpenResult::kOpened) {
      EXPECT_EQ(ReadAll(fd), c.content ? c.content : "");
      close(fd);
    }
  }
}

TEST_P(SafeOpen, FoldersBeneathTheFolderOpenWithoutLinks) {
  const struct {
    const char* name;
    OsOpenResult want;
  } cases[] = {
      {"", OsOpenResult::kOpened},
      {"sub", OsOpenResult::kOpened},
      {"sub/", OsOpenResult::kOpened},
      {"folder-link", OsOpenResult::kRefused},
      {"f", OsOpenResult::kRefused},
      {"fifo", OsOpenResult::kRefused},
      {"..", OsOpenResult::kRefused},
      {"nofolder", OsOpenResult::kMissing},
      {"sub/nofolder", OsOpenResult::kMissing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = -1;
    const OsOpenResult r = OsUserOpenFolderBeneath(m_in, c.name, &fd);
    EXPECT_STREQ(Name(r), Name(c.want));
    if (r == OsOpenResult::kOpened) close(fd);
  }
}

TEST_P(SafeOpen, ACreatedFileIsNewAndIsRemovedOnlyWhileUnused) {
  const std::string in = m_dir / "in";
  int fd = -1;
  ASSERT_EQ(OsUserCreateFileBeneath(m_in, "new", &fd), OsOpenResult::kOpened);
  int again = -1;
  EXPECT_EQ(OsUserCreateFileBeneath(m_in, "new", &again), OsOpenResult::kFailed);
  EXPECT_EQ(errno, EEXIST);
  // Not through a link, not even a dangling one: nothing appears where it points.
  EXPECT_EQ(OsUserCreateFileBeneath(m_in, "dangling", &again), OsOpenResult::kFailed);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(Exists(m_dir / "out/new"));
  EXPECT_EQ(OsUserCreateFileBeneath(m_in, "sub/x", &again), OsOpenResult::kRefused);

  // Written to, or replaced by another file: it is no longer ours to remove.
  ASSERT_EQ(write(fd, "x", 1), 1);
  EXPECT_FALSE(OsUserRemoveIfUnusedBeneath(m_in, "new", fd));
  ASSERT_EQ(ftruncate(fd, 0), 0);
  vxtest::WriteFileBytes(in + "/other", Bytes{});
  ASSERT_EQ(rename((in + "/other").c_str(), (in + "/new").c_str()), 0);
  EXPECT_FALSE(OsUserRemoveIfUnusedBeneath(m_in, "new", fd));
  EXPECT_TRUE(Exists(in + "/new"));
  close(fd);

  ASSERT_EQ(OsUserCreateFileBeneath(m_in, "unused", &fd), OsOpenResult::kOpened);
  EXPECT_TRUE(OsUserRemoveIfUnusedBeneath(m_in, "unused", fd));
  EXPECT_FALSE(Exists(in + "/unused"));
  close(fd);
}

TEST_P(SafeOpen, AFileAWriterHoldsExclusivelyIsNotRead) {
  const OS_USER_FILE_HANDLE h =
      OsUserCreateFile((m_dir / "in/f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int fd = -1;
  EXPECT_EQ(OsUserOpenFileBeneath(m_in, "f", &fd), OsOpenResult::kFailed);
  EXPECT_EQ(errno, EACCES);
  OsUserCloseFile(h);
  ASSERT_EQ(OsUserOpenFileBeneath(m_in, "f", &fd), OsOpenResult::kOpened);
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Resolution, SafeOpen, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) {
                           return i.param ? "OneComponentAtATime" : "AsTheSystemCan";
                         });

TEST(SafeOpenAnywhere, ARegularFileOpensFromAnyPathAndNothingElseDoes) {
  vxtest::TempDir dir;
  vxtest::WriteFileBytes(dir / "f", Bytes{'f'});
  ASSERT_EQ(symlink((dir / "f").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink((dir / "none").c_str(), (dir / "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    OsOpenResult want;
  } cases[] = {
      {dir / "f", OsOpenResult::kOpened},          {dir / "link", OsOpenResult::kOpened},
      {dir.path() + "\\f", OsOpenResult::kOpened}, {dir / "fifo", OsOpenResult::kRefused},
      {dir.path(), OsOpenResult::kRefused},        {"/dev/null", OsOpenResult::kRefused},
      {dir / "none", OsOpenResult::kMissing},      {dir / "dangling", OsOpenResult::kMissing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    int fd = -1;
    const OsOpenResult r = OsUserOpenRegularFile(c.path.c_str(), &fd);
    EXPECT_STREQ(Name(r), Name(c.want));
    if (r == OsOpenResult::kOpened) {
      EXPECT_EQ(ReadAll(fd), "f");
      close(fd);
    }
  }
  EXPECT_TRUE(OsUserIsSymbolicLink((dir / "dangling").c_str()));
  EXPECT_TRUE(OsUserIsSymbolicLink((dir.path() + "\\link").c_str()));
  EXPECT_FALSE(OsUserIsSymbolicLink((dir / "f").c_str()));
  EXPECT_FALSE(OsUserIsSymbolicLink((dir / "none").c_str()));
}

}  // namespace
