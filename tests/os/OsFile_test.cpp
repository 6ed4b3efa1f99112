#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "os/OsUserFile.h"

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kAbc = {'a', 'b', 'c'};

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

OS_USER_FILE_HANDLE Open(const std::string& path, DWORD access, DWORD disposition,
                         DWORD share = 0) {
  return OsUserCreateFile(path.c_str(), access, share, nullptr, disposition, 0, nullptr);
}

// Restores the process umask when the test ends.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : m_old(umask(mask)) {}
  ~ScopedUmask() { umask(m_old); }

 private:
  mode_t m_old;
};

TEST(OsFile, AccessAndDispositionTable) {
  const DWORD RW = GENERIC_READ | GENERIC_WRITE;
  struct Case {
    const char* name;
    bool exists;
    DWORD access, disposition;
    int err;         // 0: success
    long sizeAfter;  // -1: no file
    bool canRead = false, canWrite = false;
  } cases[] = {
      {"read, open existing, missing", false, GENERIC_READ, OPEN_EXISTING, ENOENT, -1},
      {"read, open always, missing", false, GENERIC_READ, OPEN_ALWAYS, 0, 0, true, false},
      {"write, open existing", true, GENERIC_WRITE, OPEN_EXISTING, 0, 3, false, true},
      {"read, open existing", true, GENERIC_READ, OPEN_EXISTING, 0, 3, true, false},
      {"rw, open always keeps content", true, RW, OPEN_ALWAYS, 0, 3, true, true},
      {"rw, create new, exists", true, RW, CREATE_NEW, EEXIST, 3},
      {"rw, create new, missing", false, RW, CREATE_NEW, 0, 0, true, true},
      {"rw, create always, exists", true, RW, CREATE_ALWAYS, 0, 0, true, true},
      {"rw, create always, missing", false, RW, CREATE_ALWAYS, 0, 0, true, true},
      {"write, truncate existing", true, GENERIC_WRITE, TRUNCATE_EXISTING, 0, 0, false, true},
      {"rw, truncate existing, missing", false, RW, TRUNCATE_EXISTING, ENOENT, -1},
      {"read, truncate existing", true, GENERIC_READ, TRUNCATE_EXISTING, EINVAL, 3},
      {"no access", true, 0, OPEN_EXISTING, EINVAL, 3},
      {"unknown disposition opens existing", false, RW, 99, ENOENT, -1},
      {"other access bits open read-write", true, 0x10000000, OPEN_EXISTING, 0, 3, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vxtest::TempDir dir;
    std::string path = dir / "f";
    if (c.exists) vxtest::WriteFileBytes(path, kAbc);
    errno = 0;
    OS_USER_FILE_HANDLE h = Open(path, c.access, c.disposition);
    if (c.err != 0) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      EXPECT_EQ(errno, c.err);
    } else {
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      char b = 'x';
      DWORD n = 99;
      EXPECT_EQ(OsUserReadFile(h, &b, 1, &n, nullptr), c.canRead ? TRUE : FALSE);
      EXPECT_EQ(OsUserWriteFile(h, "z", 1, &n, nullptr), c.canWrite ? TRUE : FALSE);
      EXPECT_EQ(OsUserCloseFile(h), TRUE);
      if (c.canWrite) continue;  // the write changed the size
    }
    if (c.sizeAfter < 0) {
      EXPECT_FALSE(Exists(path));
    } else {
      EXPECT_EQ(static_cast<long>(vxtest::ReadFileBytes(path).size()), c.sizeAfter);
    }
  }
}

TEST(OsFile, NewFilesGetOwnerReadAndWriteLessTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0200}}) {
    ScopedUmask scoped(mask);
    vxtest::TempDir dir;
    OS_USER_FILE_HANDLE h = Open(dir / "f", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OsUserCloseHandle(h);
    struct stat st;
    ASSERT_EQ(stat((dir / "f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u & ~mask) << std::oct << mask;
  }
}

TEST(OsFile, ShareModeLocks) {
  struct Case {
    DWORD first, second;
    bool secondOpens;
  } cases[] = {
      {0, 0, false},
      {FILE_SHARE_READ, FILE_SHARE_READ, true},
      {FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SHARE_READ, true},
      {0, FILE_SHARE_READ, false},
      {FILE_SHARE_READ, 0, false},
      {FILE_SHARE_WRITE, FILE_SHARE_WRITE, false},  // without share-read the lock is exclusive
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << "/" << c.second);
    vxtest::TempDir dir;
    vxtest::WriteFileBytes(dir / "f", kAbc);
    OS_USER_FILE_HANDLE a = Open(dir / "f", GENERIC_READ, OPEN_EXISTING, c.first);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    errno = 0;
    OS_USER_FILE_HANDLE b = Open(dir / "f", GENERIC_READ, OPEN_EXISTING, c.second);
    EXPECT_EQ(b != INVALID_HANDLE_VALUE, c.secondOpens);
    if (b != INVALID_HANDLE_VALUE) {
      OsUserCloseHandle(b);
    } else {
      EXPECT_EQ(errno, EACCES);
    }
    OsUserCloseHandle(a);
    // The lock ends with the handle.
    b = Open(dir / "f", GENERIC_READ, OPEN_EXISTING, 0);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    if (b != INVALID_HANDLE_VALUE) OsUserCloseHandle(b);
  }
}

// A refused open must not have truncated the file another handle holds.
TEST(OsFile, RefusedTruncatingOpenLeavesTheLockedFileIntact) {
  vxtest::TempDir dir;
  std::string path = dir / "f";
  vxtest::WriteFileBytes(path, kAbc);
  OS_USER_FILE_HANDLE owner = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
  ASSERT_NE(owner, INVALID_HANDLE_VALUE);
  for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
    errno = 0;
    EXPECT_EQ(Open(path, GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(vxtest::ReadFileBytes(path), kAbc);
  }
  OsUserCloseHandle(owner);
}

TEST(OsFile, PathNormalisation) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"dir\\sub//file", "dir/sub/file"},
      {"\\\\server\\share\\\\x", "/server/share/x"},
      {"a///b/", "a/b/"},
      {"./A/../b", "./A/../b"},
      {"C:\\Dir", "C:/Dir"},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string s = c.in;
    size_t n = OsUserNormalizePath(s.data());
    EXPECT_STREQ(s.c_str(), c.out) << c.in;
    EXPECT_EQ(n, strlen(c.out));
  }
}

TEST(OsFile, FileFunctionsNormaliseTheirPaths) {
  vxtest::TempDir dir;
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
  std::string messy = dir.path() + "\\\\sub//file";
  OS_USER_FILE_HANDLE h = Open(messy, GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OsUserCloseHandle(h);
  EXPECT_TRUE(Exists(dir / "sub/file"));
  EXPECT_EQ(OsUserCopyFile(messy.c_str(), (dir.path() + "\\sub\\copy").c_str(), TRUE), TRUE);
  EXPECT_EQ(
      OsUserMoveFile((dir.path() + "\\sub\\copy").c_str(), (dir.path() + "//moved").c_str(), 0),
      TRUE);
  EXPECT_TRUE(Exists(dir / "moved"));
  EXPECT_EQ(OsUserDeleteFile(messy.c_str()), TRUE);
  EXPECT_FALSE(Exists(dir / "sub/file"));
  errno = 0;
  EXPECT_EQ(OsUserDeleteFile(messy.c_str()), FALSE);
  EXPECT_EQ(errno, ENOENT);
}

TEST(OsFile, DeviceNames) {
  OS_USER_FILE_HANDLE h = Open("\\\\.\\NULL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "\\\\.\\NULL should open /dev/null";
  DWORD n = 0;
  EXPECT_EQ(OsUserWriteFile(h, "abc", 3, &n, nullptr), TRUE);
  EXPECT_EQ(n, 3u);
  OsUserCloseHandle(h);
  if (!Exists("/dev/cuau1")) {
    errno = 0;
    EXPECT_EQ(Open("\\\\.\\COM2", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(errno, ENOENT);
  }
}

TEST(OsFile, ReadWriteSeekAndTruncate) {
  vxtest::TempDir dir;
  OS_USER_FILE_HANDLE h = Open(dir / "f", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_EQ(OsUserWriteFile(h, "0123456789", 10, &n, nullptr), TRUE);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(OsUserSetFilePointer(h, 0, nullptr, FILE_END), 10u);
  EXPECT_EQ(OsUserSetFilePointer(h, 2, nullptr, FILE_BEGIN), 2u);
  char buf[8] = {};
  ASSERT_EQ(OsUserReadFile(h, buf, 3, &n, nullptr), TRUE);
  EXPECT_EQ(n, 3u);
  EXPECT_STREQ(buf, "234");
  EXPECT_EQ(OsUserSetFilePointer(h, -1, nullptr, FILE_CURRENT), 4u);
  ASSERT_EQ(OsUserReadFile(h, buf, 8, &n, nullptr), TRUE);
  EXPECT_EQ(n, 6u);  // short read at the end
  ASSERT_EQ(OsUserReadFile(h, buf, 8, &n, nullptr), TRUE);
  EXPECT_EQ(n, 0u);

  EXPECT_EQ(OsUserSetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  EXPECT_EQ(OsUserSetEndOfFile(h), TRUE);
  EXPECT_EQ(OsUserFlushFileBuffers(h), TRUE);
  DWORD high = 99;
  EXPECT_EQ(OsUserGetFileSize(h, &high), 4u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(OsUserGetFileSize(h, nullptr), 4u);

  errno = 0;
  EXPECT_EQ(OsUserSetFilePointer(h, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(OsUserSetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(errno, EINVAL);
  OsUserCloseHandle(h);
}

// Reserved space is allocated on disk (so writing it cannot fail for space) without cutting
// a longer file; a shorter one grows to the reserved end and reads zeros there; the size
// limit of the process is respected.
TEST(OsFile, ReserveFileSpace) {
  vxtest::TempDir dir;
  const std::string path = dir / "r";
  OS_USER_FILE_HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_EQ(OsUserWriteFile(h, "abc", 3, &n, nullptr), TRUE);
  const DWORD err = OsUserReserveFileSpace(h, 0, 1u << 20);
  if (err == ENOTSUP) GTEST_SKIP() << "the file system cannot reserve space";
  ASSERT_EQ(err, 0u);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1 << 20);
  EXPECT_GE(static_cast<long long>(st.st_blocks) * 512, 1 << 20) << "allocated, not sparse";
  char buf[4] = {};
  EXPECT_EQ(OsUserSetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
  ASSERT_EQ(OsUserReadFile(h, buf, 3, &n, nullptr), TRUE);
  EXPECT_STREQ(buf, "abc") << "what was there stays";
  EXPECT_EQ(OsUserSetFilePointer(h, 500000, nullptr, FILE_BEGIN), 500000u);
  ASSERT_EQ(OsUserReadFile(h, buf, 3, &n, nullptr), TRUE);
  EXPECT_EQ(buf[0] | buf[1] | buf[2], 0);

  EXPECT_EQ(OsUserReserveFileSpace(h, 4096, 100), 0u);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1 << 20) << "a longer file keeps its size";

  {
    // The size limit with its signal ignored, as a stand-in for a full disk.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    void (*oldSig)(int) = signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old;
    lim.rlim_cur = 2u << 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    EXPECT_EQ(OsUserReserveFileSpace(h, 1u << 20, 4u << 20), static_cast<DWORD>(EFBIG));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldSig);
  }
  EXPECT_EQ(OsUserReserveFileSpace(nullptr, 0, 10), static_cast<DWORD>(EBADF));
  OsUserCloseHandle(h);
}

TEST(OsFile, PositionsAndSizesBeyondFourGiB) {
  vxtest::TempDir dir;
  OS_USER_FILE_HANDLE h = Open(dir / "f", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LONG high = 1;
  EXPECT_EQ(OsUserSetFilePointer(h, 0x10, &high, FILE_BEGIN), 0x10u);
  EXPECT_EQ(high, 1);
  ASSERT_EQ(OsUserSetEndOfFile(h), TRUE);  // sparse
  DWORD sizeHigh = 0;
  EXPECT_EQ(OsUserGetFileSize(h, &sizeHigh), 0x10u);
  EXPECT_EQ(sizeHigh, 1u);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_EQ(OsUserGetFileInformationByHandle(h, &info), TRUE);
  EXPECT_EQ(info.nFileSizeHigh, 1u);
  EXPECT_EQ(info.nFileSizeLow, 0x10u);

  // A low part of 0xFFFFFFFF is a valid position: errno is cleared to tell it from a failure.
  high = 0;
  errno = EIO;
  EXPECT_EQ(OsUserSetFilePointer(h, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);
  EXPECT_EQ(high, 0);
  EXPECT_EQ(OsUserGetLastError(), 0u);
  ASSERT_EQ(OsUserSetEndOfFile(h), TRUE);
  errno = EIO;
  EXPECT_EQ(OsUserGetFileSize(h, &sizeHigh), 0xFFFFFFFFu);
  EXPECT_EQ(sizeHigh, 0u);
  EXPECT_EQ(OsUserGetLastError(), 0u);
  // Negative distance relative to the end, as high:low.
  high = -1;
  EXPECT_EQ(OsUserSetFilePointer(h, -0xF, &high, FILE_END), 0xFFFFFFF0u);
  EXPECT_EQ(high, 0);
  OsUserCloseHandle(h);
}

TEST(OsFile, FileInformation) {
  vxtest::TempDir dir;
  vxtest::WriteFileBytes(dir / "f", kAbc);
  OS_USER_FILE_HANDLE h = Open(dir / "f", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info;
  memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(OsUserGetFileInformationByHandle(h, &info), TRUE);
  EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(info.nFileSizeLow, 3u);
  EXPECT_EQ(info.nFileSizeHigh, 0u);
  EXPECT_EQ(info.dwVolumeSerialNumber, 0u);
  EXPECT_EQ(info.nNumberOfLinks, 0u);
  EXPECT_EQ(info.nFileIndexLow, 0u);
  auto toU64 = [](const FILETIME& ft) {
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) |
                                 ft.dwLowDateTime);
  };
  LONGLONG now = OsUserGetSystemTimeAsFileTime();
  const LONGLONG minute = 60LL * 10000000LL;
  for (const FILETIME* ft : {&info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime})
    EXPECT_LT(std::llabs(now - toU64(*ft)), minute);
  OsUserCloseHandle(h);

  h = Open(dir.path(), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(OsUserGetFileInformationByHandle(h, &info), TRUE);
  EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  OsUserCloseHandle(h);
}

// A path names an open file while neither removed nor replaced; a link to it is not it.
TEST(OsFile, FileIdTellsWhetherAPathStillNamesTheOpenFile) {
  vxtest::TempDir dir;
  const std::string path = dir / "f";
  vxtest::WriteFileBytes(path, kAbc);
  OS_USER_FILE_HANDLE h = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OS_USER_FILE_ID id{};
  ASSERT_EQ(OsUserGetFileId(h, &id), TRUE);
  EXPECT_EQ(OsUserIsFileAtPath(path.c_str(), id), TRUE);
  ASSERT_EQ(symlink(path.c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(OsUserIsFileAtPath((dir / "link").c_str(), id), FALSE);

  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(OsUserIsFileAtPath(path.c_str(), id), FALSE);
  EXPECT_EQ(errno, ENOENT);
  vxtest::WriteFileBytes(path, kAbc);
  EXPECT_EQ(OsUserIsFileAtPath(path.c_str(), id), FALSE);
  EXPECT_EQ(errno, 0);
  OsUserCloseHandle(h);
}

TEST(OsFile, RefusedArgumentsAndHandles) {
  vxtest::TempDir dir;
  std::string path = dir / "f";
  int dummy = 0;
  OS_USER_FILE_HANDLE good = Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(good, INVALID_HANDLE_VALUE);
  OS_USER_EVENT_HANDLE ev = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);

  errno = 0;
  EXPECT_EQ(OsUserCreateFile(path.c_str(), GENERIC_READ, 1, nullptr, OPEN_EXISTING, 0, good),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(OsUserCreateFile(path.c_str(), GENERIC_READ, 1, nullptr, OPEN_EXISTING, 0x2, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(errno, EINVAL);
  OS_USER_FILE_HANDLE normal =
      OsUserCreateFile(path.c_str(), GENERIC_READ, 1, nullptr, OPEN_EXISTING, 0x82, nullptr);
  EXPECT_EQ(normal, INVALID_HANDLE_VALUE);  // exclusive lock held by `good`
  EXPECT_EQ(errno, EACCES);

  char buf[4];
  DWORD n = 0;
  testing::internal::CaptureStderr();
  errno = 0;
  EXPECT_EQ(OsUserReadFile(good, buf, 1, &n, &dummy), FALSE);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(OsUserWriteFile(good, buf, 1, &n, &dummy), FALSE);
  EXPECT_EQ(errno, EINVAL);
  // Each refusal is a line of its own.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "BOOL OsUserReadFile(OS_USER_FILE_HANDLE, LPVOID, DWORD, LPDWORD, PVOID): "
            "lpOverlapped not supported\n"
            "BOOL OsUserWriteFile(OS_USER_FILE_HANDLE, LPCVOID, DWORD, LPDWORD, PVOID): "
            "lpOverlapped not supported\n");

  for (OS_USER_FILE_HANDLE bad : {static_cast<OS_USER_FILE_HANDLE>(nullptr),
                                  static_cast<OS_USER_FILE_HANDLE>(INVALID_HANDLE_VALUE), ev}) {
    errno = 0;
    EXPECT_EQ(OsUserReadFile(bad, buf, 1, &n, nullptr), FALSE);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(OsUserWriteFile(bad, buf, 1, &n, nullptr), FALSE);
    EXPECT_EQ(OsUserSetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(OsUserGetFileSize(bad, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(OsUserSetEndOfFile(bad), FALSE);
    EXPECT_EQ(OsUserFlushFileBuffers(bad), FALSE);
    EXPECT_EQ(OsUserCloseFile(bad), FALSE);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(OsUserCloseHandle(good), TRUE);
  OsUserCloseHandle(ev);
}

TEST(OsFile, MoveWithAndWithoutReplace) {
  const Bytes kNew = {'n', 'e', 'w'};
  struct Case {
    bool targetExists;
    DWORD flags;
    int err;
  } cases[] = {
      {true, 0, EEXIST},
      {true, MOVEFILE_REPLACE_EXISTING, 0},
      {true, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED, 0},
      {true, MOVEFILE_WRITE_THROUGH, EEXIST},
      {true, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, 0},
      {false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.targetExists << "/" << c.flags);
    vxtest::TempDir dir;
    vxtest::WriteFileBytes(dir / "a", kNew);
    if (c.targetExists) vxtest::WriteFileBytes(dir / "b", kAbc);
    errno = 0;
    BOOL ok = OsUserMoveFile((dir / "a").c_str(), (dir / "b").c_str(), c.flags);
    if (c.err != 0) {
      EXPECT_EQ(ok, FALSE);
      EXPECT_EQ(errno, c.err);
      EXPECT_EQ(vxtest::ReadFileBytes(dir / "a"), kNew);
      EXPECT_EQ(vxtest::ReadFileBytes(dir / "b"), kAbc);
    } else {
      EXPECT_EQ(ok, TRUE);
      EXPECT_FALSE(Exists(dir / "a"));
      EXPECT_EQ(vxtest::ReadFileBytes(dir / "b"), kNew);
    }
  }
  vxtest::TempDir dir;
  errno = 0;
  EXPECT_EQ(OsUserMoveFile((dir / "missing").c_str(), (dir / "b").c_str(), 1), FALSE);
  EXPECT_EQ(errno, ENOENT);
}

// Across file systems rename() cannot work; with copy allowed the move copies and deletes.
TEST(OsFile, MoveAcrossFileSystemsCopiesWhenAllowed) {
  vxtest::TempDir dir;
  struct stat a, b;
  if (stat(dir.path().c_str(), &a) != 0 || stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev ||
      access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "needs /dev/shm on another file system";
  std::string target = "/dev/shm/vxtest-move-" + std::to_string(getpid());
  vxtest::WriteFileBytes(dir / "a", kAbc);
  errno = 0;
  EXPECT_EQ(OsUserMoveFile((dir / "a").c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_TRUE(Exists(dir / "a"));
  EXPECT_EQ(OsUserMoveFile((dir / "a").c_str(), target.c_str(), 3), TRUE);
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_EQ(vxtest::ReadFileBytes(target), kAbc);
  EXPECT_EQ(OsUserMoveFile(target.c_str(), (dir / "a").c_str(), 3 | MOVEFILE_WRITE_THROUGH), TRUE);
  EXPECT_FALSE(Exists(target));
  EXPECT_EQ(vxtest::ReadFileBytes(dir / "a"), kAbc);
  unlink(target.c_str());
}

TEST(OsFile, CopyReplacesUnlessToldNotTo) {
  vxtest::TempDir dir;
  Bytes big(200000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + i / 251);
  vxtest::WriteFileBytes(dir / "src", big);
  ASSERT_EQ(chmod((dir / "src").c_str(), 0640), 0);
  vxtest::WriteFileBytes(dir / "dst", kAbc);

  errno = 0;
  EXPECT_EQ(OsUserCopyFile((dir / "src").c_str(), (dir / "dst").c_str(), TRUE), FALSE);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(vxtest::ReadFileBytes(dir / "dst"), kAbc);

  EXPECT_EQ(OsUserCopyFile((dir / "src").c_str(), (dir / "dst").c_str(), FALSE), TRUE);
  EXPECT_EQ(vxtest::ReadFileBytes(dir / "dst"), big);
  EXPECT_EQ(vxtest::ReadFileBytes(dir / "src"), big);
  struct stat st;
  ASSERT_EQ(stat((dir / "dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  EXPECT_EQ(OsUserCopyFile((dir / "src").c_str(), (dir / "new").c_str(), TRUE), TRUE);
  EXPECT_EQ(vxtest::ReadFileBytes(dir / "new"), big);

  errno = 0;
  EXPECT_EQ(OsUserCopyFile((dir / "missing").c_str(), (dir / "x").c_str(), FALSE), FALSE);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(Exists(dir / "x"));
}

// The same file under another spelling (or a hard link) must not be truncated by the copy.
TEST(OsFile, CopyOntoItselfKeepsTheContent) {
  vxtest::TempDir dir;
  vxtest::WriteFileBytes(dir / "f", kAbc);
  ASSERT_EQ(link((dir / "f").c_str(), (dir / "link").c_str()), 0);
  for (std::string other : {dir.path() + "/./f", dir / "link"}) {
    EXPECT_EQ(OsUserCopyFile((dir / "f").c_str(), other.c_str(), FALSE), FALSE) << other;
    EXPECT_EQ(vxtest::ReadFileBytes(dir / "f"), kAbc) << other;
  }
}

TEST(OsFile, GuidText) {
  GUID id = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
  char* text = nullptr;
  ASSERT_EQ(OsStringFromCLSIDA(id, &text), S_OK);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "{00112233-4455-6677-8899-aabbccddeeff}");
  free(text);

  char small[36];
  errno = 0;
  EXPECT_EQ(OsUserGuidToText(id, small, sizeof small), FALSE);
  EXPECT_EQ(errno, EINVAL);

  GUID a{}, b{};
  ASSERT_EQ(OsUserCreateGuid(&a), TRUE);
  ASSERT_EQ(OsUserCreateGuid(&b), TRUE);
  EXPECT_NE(a, b);
  char ta[37], tb[37];
  ASSERT_EQ(OsUserGuidToText(a, ta, sizeof ta), TRUE);
  ASSERT_EQ(OsUserGuidToText(b, tb, sizeof tb), TRUE);
  EXPECT_EQ(strlen(ta), 36u);
  EXPECT_STRNE(ta, tb);
  ASSERT_EQ(OsStringFromCLSIDA(a, &text), S_OK);
  EXPECT_EQ(strlen(text), 38u);
  EXPECT_EQ(std::string(text), "{" + std::string(ta) + "}");
  free(text);
}

}  // namespace
