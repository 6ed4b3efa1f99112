#include "os/OsUserSafeOpen.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#if defined(VX_HAVE_OPENAT2)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include "os/OsUserFile.h"

namespace {

// Folders on the way: never a link, and a FIFO with a folder's name must not block the open.
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// The file itself: O_NONBLOCK so that opening a FIFO or a device cannot wait for its peer.
constexpr int kFileFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::atomic<bool> g_componentWalkOnly{false};

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// The components of relPath; false for an absolute name or a ".." component.
bool SplitComponents(const char* relPath, std::vector<std::string>* parts) {
  if (!relPath || IsSeparator(relPath[0])) return false;
  for (const char* p = relPath; *p;) {
    const char* end = p;
    while (*end && !IsSeparator(*end)) ++end;
    const std::string part(p, end);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(part);
    p = *end ? end + 1 : end;
  }
  return true;
}

OsOpenResult Classify(int err) {
  switch (err) {
    case ENOENT:
      return OsOpenResult::kMissing;
    case ELOOP:    // a link where O_NOFOLLOW or RESOLVE_NO_SYMLINKS forbids one
    case EMLINK:   // the same, as some BSDs report it
    case EXDEV:    // a name resolved beyond the folder
    case ENOTDIR:  // a file, a FIFO or a link where a folder is needed
    case EISDIR:
    case ENXIO:  // a FIFO without reader, a device without its unit
      return OsOpenResult::kRefused;
    default:
      errno = err;
      return OsOpenResult::kFailed;
  }
}

int OpenAtRetrying(int dirFd, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = openat(dirFd, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseKeepingErrno(int fd) {
  const int e = errno;
  close(fd);
  errno = e;
}

// Portable: one openat per component, none of which may be a link.
OsOpenResult OpenFolderByComponent(int dirFd, const std::vector<std::string>& parts, int* fd) {
  int cur = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (cur < 0) return OsOpenResult::kFailed;
  for (const std::string& part : parts) {
    const int next = OpenAtRetrying(cur, part.c_str(), kFolderFlags);
    const int e = errno;
    close(cur);
    if (next < 0) return Classify(e);
    cur = next;
  }
  *fd = cur;
  return OsOpenResult::kOpened;
}

#if defined(VX_HAVE_OPENAT2)
// The kernel resolves the whole name beneath the folder and refuses every link on the way.
// False when it cannot here (an older kernel, or a sandbox that forbids the call).
bool OpenFolderInKernel(int dirFd, const std::vector<std::string>& parts, OsOpenResult* result,
                        int* fd) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long rc;
  do {
    rc = syscall(SYS_openat2, dirFd, joined.c_str(), &how, sizeof how);
  } while (rc < 0 && errno == EINTR);
  if (rc >= 0) {
    *fd = static_cast<int>(rc);
    *result = OsOpenResult::kOpened;
    return true;
  }
  if (errno == ENOSYS || errno == EPERM || errno == EAGAIN || errno == EINVAL || errno == E2BIG)
    return false;
  *result = Classify(errno);
  return true;
}
#endif

OsOpenResult OpenFolderParts(int dirFd, const std::vector<std::string>& parts, int* fd) {
#if defined(VX_HAVE_OPENAT2)
  OsOpenResult result = OsOpenResult::kFailed;
  if (!parts.empty() && !g_componentWalkOnly.load() &&
      OpenFolderInKernel(dirFd, parts, &result, fd))
    return result;
#endif
  return OpenFolderByComponent(dirFd, parts, fd);
}

// The name in the folder dirFd (or AT_FDCWD), known to be a regular file before and after it
// is opened; a link at the name is refused, or followed with followLink.
OsOpenResult OpenRegularIn(int dirFd, const char* name, bool followLink, int* fd) {
  struct stat st {};
  // Nothing that is not a regular file is opened at all: opening a device may act on it.
  if (fstatat(dirFd, name, &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return Classify(errno);
  if (!S_ISREG(st.st_mode)) return OsOpenResult::kRefused;
  const int f =
      OpenAtRetrying(dirFd, name, O_RDONLY | (followLink ? kFileFlags & ~O_NOFOLLOW : kFileFlags));
  if (f < 0) return Classify(errno);
  if (fstat(f, &st) != 0) {
    CloseKeepingErrno(f);
    return OsOpenResult::kFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    close(f);
    return OsOpenResult::kRefused;
  }
  *fd = f;
  return OsOpenResult::kOpened;
}

// As the file layer's shared opens: a writer that holds the file exclusively keeps it.
OsOpenResult LockShared(int f, int* fd) {
  int rc;
  do {
    rc = flock(f, LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EOPNOTSUPP) {
    const int e = errno == EWOULDBLOCK ? EACCES : errno;
    close(f);
    errno = e;
    return OsOpenResult::kFailed;
  }
  *fd = f;
  return OsOpenResult::kOpened;
}

// path with the file layer's separators and runs of them made single.
std::string Normalized(const char* path) {
  std::string copy(path);
  copy.resize(OsUserNormalizePath(copy.data()));
  return copy;
}

}  // namespace

OsOpenResult OsUserOpenFolder(const char* path, int* fd) {
  if (!path || !fd) {
    errno = EINVAL;
    return OsOpenResult::kFailed;
  }
  const int f =
      OpenAtRetrying(AT_FDCWD, Normalized(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (f < 0) return errno == ENOENT ? OsOpenResult::kMissing : OsOpenResult::kFailed;
  *fd = f;
  return OsOpenResult::kOpened;
}

OsOpenResult OsUserOpenFolderBeneath(int dirFd, const char* relPath, int* fd) {
  std::vector<std::string> parts;
  if (!fd) {
    errno = EINVAL;
    return OsOpenResult::kFailed;
  }
  if (!SplitComponents(relPath, &parts)) return OsOpenResult::kRefused;
  return OpenFolderParts(dirFd, parts, fd);
}

OsOpenResult OsUserOpenFileBeneath(int dirFd, const char* relPath, int* fd) {
  std::vector<std::string> parts;
  if (!fd) {
    errno = EINVAL;
    return OsOpenResult::kFailed;
  }
  if (!SplitComponents(relPath, &parts) || parts.empty()) return OsOpenResult::kRefused;
  const std::string name = parts.back();
  parts.pop_back();
  int folder = -1;
  const OsOpenResult r = OpenFolderParts(dirFd, parts, &folder);
  if (r != OsOpenResult::kOpened) return r;
  int f = -1;
  const OsOpenResult opened = OpenRegularIn(folder, name.c_str(), false, &f);
  CloseKeepingErrno(folder);
  if (opened != OsOpenResult::kOpened) return opened;
  return LockShared(f, fd);
}

OsOpenResult OsUserCreateFileBeneath(int dirFd, const char* name, int* fd) {
  std::vector<std::string> parts;
  if (!fd) {
    errno = EINVAL;
    return OsOpenResult::kFailed;
  }
  if (!SplitComponents(name, &parts) || parts.size() != 1) return OsOpenResult::kRefused;
  // O_EXCL never follows a link at the name: a link there, even a dangling one, is EEXIST.
  const int f =
      OpenAtRetrying(dirFd, parts[0].c_str(), O_WRONLY | O_CREAT | O_EXCL | kFileFlags, 0600);
  if (f < 0) return errno == EEXIST ? OsOpenResult::kFailed : Classify(errno);
  *fd = f;
  return OsOpenResult::kOpened;
}

bool OsUserRemoveIfUnusedBeneath(int dirFd, const char* name, int fd) {
  struct stat ours {
  }, there{};
  if (fstat(fd, &ours) != 0 || fstatat(dirFd, name, &there, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (ours.st_dev != there.st_dev || ours.st_ino != there.st_ino || there.st_size != 0)
    return false;
  return unlinkat(dirFd, name, 0) == 0;
}

OsOpenResult OsUserOpenRegularFile(const char* path, int* fd) {
  if (!path || !fd) {
    errno = EINVAL;
    return OsOpenResult::kFailed;
  }
  return OpenRegularIn(AT_FDCWD, Normalized(path).c_str(), true, fd);
}

bool OsUserIsSymbolicLink(const char* path) {
  struct stat st {};
  return path && lstat(Normalized(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void OsUserSafeOpenTestWalkComponents(bool on) {
  g_componentWalkOnly = on;
}
