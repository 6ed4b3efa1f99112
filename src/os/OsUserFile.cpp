#include "os/OsUserFile.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "os/OsUserHandle.h"

namespace {

const char kCreateFileSig[] =
    "OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR, DWORD, DWORD, PVOID, DWORD, DWORD, "
    "OS_USER_FILE_HANDLE)";
const char kReadFileSig[] =
    "BOOL OsUserReadFile(OS_USER_FILE_HANDLE, LPVOID, DWORD, LPDWORD, PVOID)";
const char kWriteFileSig[] =
    "BOOL OsUserWriteFile(OS_USER_FILE_HANDLE, LPCVOID, DWORD, LPDWORD, PVOID)";

constexpr size_t kMaxDeviceName = 255;
constexpr size_t kCopyChunk = 65536;

class _OsUserFileHandle : public OsUserHandle {
 public:
  explicit _OsUserFileHandle(int fileDescriptor)
      : OsUserHandle(OS_USER_HANDLE_TYPE_FILE), fd(fileDescriptor) {}

  int fd;
  bool bLocked = false;
  void* device_ctx = nullptr;
};

_OsUserFileHandle* FileFromHandle(OS_USER_FILE_HANDLE h) {
  OsUserHandle* p = OsUserHandleFromPointer(h);
  if (p == nullptr || p->type != OS_USER_HANDLE_TYPE_FILE) {
    errno = EINVAL;
    return nullptr;
  }
  return static_cast<_OsUserFileHandle*>(p);
}

// A heap copy of a path, normalised; null with errno set on failure.
char* NormalizedCopy(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  char* copy = strdup(path);
  if (copy == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  OsUserNormalizePath(copy);
  return copy;
}

// RAII for the malloc'ed normalised paths.
struct CPathCopy {
  explicit CPathCopy(const char* path) : p(NormalizedCopy(path)) {}
  ~CPathCopy() { free(p); }
  CPathCopy(const CPathCopy&) = delete;
  CPathCopy& operator=(const CPathCopy&) = delete;
  char* p;
};

// "\\.\COM1" -> "/dev/cuau0", "\\.\Name" -> "/dev/name". Null (errno set) on failure.
char* DevicePath(const char* name) {
  const char* rest = name + 4;
  char translated[kMaxDeviceName + 1];
  const char* com = strstr(rest, "COM");
  char* end = nullptr;
  long unit = com ? strtol(com + 3, &end, 10) : 0;
  if (com && end != com + 3 && unit >= 1 && isdigit(static_cast<unsigned char>(com[3]))) {
    snprintf(translated, sizeof translated, "cuau%ld", unit - 1);
  } else {
    snprintf(translated, sizeof translated, "%s", rest);
  }
  size_t len = 5 + strlen(translated);
  char* path = static_cast<char*>(malloc(len + 1));
  if (path == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  snprintf(path, len + 1, "/dev/%s", translated);
  for (char* c = path; *c; ++c) *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
  return path;
}

bool IsDeviceName(const char* name) {
  return strlen(name) > 5 && strncmp(name, "\\\\.\\", 4) == 0;
}

void StoreFileTime(const timespec& ts, FILETIME* ft) {
  ULONGLONG v = static_cast<ULONGLONG>(Timespec2FileTime(ts));
  ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFFu);
  ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

// Birth time where the platform keeps one; the status-change time otherwise.
timespec BirthTime(int fd, const struct stat& st) {
#if defined(VX_HAVE_STATX)
  struct statx stx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME)) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(stx.stx_btime.tv_sec);
    ts.tv_nsec = static_cast<long>(stx.stx_btime.tv_nsec);
    return ts;
  }
  return st.st_ctim;
#elif defined(VX_HAVE_ST_BIRTHTIM)
  (void)fd;
  if (st.st_birthtim.tv_sec > 0) return st.st_birthtim;
  return st.st_ctim;
#else
  (void)fd;
  return st.st_ctim;
#endif
}

bool IsRegularFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int SyncData(int fd) {
  int rc;
  do {
#if defined(VX_HAVE_FDATASYNC)
    rc = fdatasync(fd);
#else
    rc = fsync(fd);
#endif
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// The folder holding path (normalised), so that a name created, replaced or removed there
// reaches the storage device. Some file systems cannot sync a folder (EINVAL): their names
// are written with the file system's own ordering, and that is all there is.
bool SyncFolderOf(const char* path) {
  const char* slash = strrchr(path, '/');
  std::string folder = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
  int fd = OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  int e = errno;
  close(fd);
  if (rc != 0 && e == EINVAL) return true;
  errno = e;
  return rc == 0;
}

// Copies between open descriptors; false with errno set on failure.
bool CopyContents(int in, int out) {
  char* buf = static_cast<char*>(malloc(kCopyChunk));
  if (buf == nullptr) {
    errno = ENOMEM;
    return false;
  }
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buf, kCopyChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = EIO;
        ok = false;
      } else {
        done += w;
      }
    }
    if (!ok) break;
  }
  free(buf);
  return ok;
}

bool CopyNormalized(const char* from, const char* to, bool failIfExists) {
  int in = OpenRetrying(from, O_RDONLY);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0) {
    int e = errno;
    close(in);
    errno = e;
    return false;
  }
  // The target is truncated only once it is known not to be the source under another
  // name; O_TRUNC at open would wipe the source first.
  int out = OpenRetrying(to, O_WRONLY | O_CREAT | (failIfExists ? O_EXCL : 0), st.st_mode & 07777);
  if (out < 0) {
    int e = errno;
    close(in);
    errno = e;
    return false;
  }
  struct stat stOut;
  bool ok = fstat(out, &stOut) == 0;
  if (ok && stOut.st_dev == st.st_dev && stOut.st_ino == st.st_ino) {
    errno = EINVAL;
    ok = false;
  }
  ok = ok && ftruncate(out, 0) == 0 && fchmod(out, st.st_mode & 07777) == 0 &&
       CopyContents(in, out) && SyncData(out) == 0;
  int e = errno;
  if (close(out) != 0 && ok) {
    ok = false;
    e = errno;
  }
  close(in);
  errno = e;
  return ok && SyncFolderOf(to);
}

}  // namespace

size_t OsUserNormalizePath(char* path) {
  if (path == nullptr) return 0;
  char* out = path;
  for (const char* in = path; *in; ++in) {
    char c = *in == '\\' ? '/' : *in;
    if (c == '/' && out != path && out[-1] == '/') continue;
    *out++ = c;
  }
  *out = '\0';
  return static_cast<size_t>(out - path);
}

OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR name, DWORD access, DWORD shareMode,
                                     PVOID /*securityAttributes*/, DWORD disposition,
                                     DWORD flagsAndAttributes, OS_USER_FILE_HANDLE hTemplateFile) {
  if (hTemplateFile != nullptr) {
    fprintf(stderr, "%s: hTemplateFile not supported\n", kCreateFileSig);
    errno = EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  if (flagsAndAttributes != 0 && (flagsAndAttributes & FILE_ATTRIBUTE_NORMAL) == 0) {
    fprintf(stderr, "%s: only FILE_ATTRIBUTE_NORMAL supported\n", kCreateFileSig);
    errno = EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  if (name == nullptr || access == 0) {
    errno = EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  int mode = access == GENERIC_READ ? O_RDONLY : access == GENERIC_WRITE ? O_WRONLY : O_RDWR;
  int flags = 0;
  bool truncate = false;
  switch (disposition) {
    case CREATE_NEW:
      flags = O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags = O_CREAT;
      truncate = true;
      break;
    case OPEN_ALWAYS:
      flags = O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if ((access & GENERIC_WRITE) == 0) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
      }
      truncate = true;
      break;
    default:  // OPEN_EXISTING and anything unknown
      break;
  }
  // Truncating before the sharing lock is granted would destroy the content of a file
  // another handle holds exclusively, so writable handles truncate only once locked. A
  // read-only descriptor cannot be truncated later and keeps O_TRUNC.
  bool truncateAfterLock = truncate && mode != O_RDONLY;
  if (truncate && !truncateAfterLock) flags |= O_TRUNC;

  char* path = IsDeviceName(name) ? DevicePath(name) : NormalizedCopy(name);
  if (path == nullptr) return INVALID_HANDLE_VALUE;
  // Owner only, and no execute bit: captures hold the plant's traffic, and are no programs.
  int fd = OpenRetrying(path, mode | flags, 0600);
  int e = errno;
  free(path);
  if (fd < 0) {
    errno = e;
    return INVALID_HANDLE_VALUE;
  }

  int lockOp = ((shareMode & FILE_SHARE_READ) ? LOCK_SH : LOCK_EX) | LOCK_NB;
  int rc;
  do {
    rc = flock(fd, lockOp);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EOPNOTSUPP) {
    e = errno == EWOULDBLOCK ? EACCES : errno;
    close(fd);
    errno = e;
    return INVALID_HANDLE_VALUE;
  }
  if (truncateAfterLock && ftruncate(fd, 0) != 0) {
    e = errno;
    close(fd);
    errno = e;
    return INVALID_HANDLE_VALUE;
  }

  _OsUserFileHandle* file = new (std::nothrow) _OsUserFileHandle(fd);
  if (file == nullptr) {
    close(fd);
    errno = ENOMEM;
    return INVALID_HANDLE_VALUE;
  }
  return static_cast<OsUserHandle*>(file);
}

namespace {

// The calls are synchronous only: an overlapped request is refused, naming the call.
bool RefusedOverlapped(PVOID overlapped, const char* signature) {
  if (overlapped == nullptr) return false;
  fprintf(stderr, "%s: lpOverlapped not supported\n", signature);
  errno = EINVAL;
  return true;
}

}  // namespace

BOOL OsUserReadFile(OS_USER_FILE_HANDLE h, LPVOID buffer, DWORD count, LPDWORD bytesRead,
                    PVOID overlapped) {
  if (bytesRead) *bytesRead = 0;
  if (RefusedOverlapped(overlapped, kReadFileSig)) return FALSE;
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return FALSE;
  ssize_t n;
  do {
    n = read(file->fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FALSE;
  if (bytesRead) *bytesRead = static_cast<DWORD>(n);
  return TRUE;
}

BOOL OsUserWriteFile(OS_USER_FILE_HANDLE h, LPCVOID buffer, DWORD count, LPDWORD bytesWritten,
                     PVOID overlapped) {
  if (bytesWritten) *bytesWritten = 0;
  if (RefusedOverlapped(overlapped, kWriteFileSig)) return FALSE;
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return FALSE;
  ssize_t n;
  do {
    n = write(file->fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FALSE;
  if (bytesWritten) *bytesWritten = static_cast<DWORD>(n);
  return TRUE;
}

BOOL OsUserCloseFile(OS_USER_FILE_HANDLE h) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return FALSE;
  // close() releases the descriptor even when it reports EINTR, so it is never repeated.
  int rc = close(file->fd);
  int e = errno;
  delete file;
  errno = e;
  return rc == 0 ? TRUE : FALSE;
}

BOOL OsUserFlushFileBuffers(OS_USER_FILE_HANDLE h) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return FALSE;
  return SyncData(file->fd) == 0 ? TRUE : FALSE;
}

DWORD OsUserSetFilePointer(OS_USER_FILE_HANDLE h, LONG distanceLow, PLONG distanceHigh,
                           DWORD moveMethod) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return INVALID_SET_FILE_POINTER;
  int whence;
  switch (moveMethod) {
    case FILE_BEGIN:
      whence = SEEK_SET;
      break;
    case FILE_CURRENT:
      whence = SEEK_CUR;
      break;
    case FILE_END:
      whence = SEEK_END;
      break;
    default:
      errno = EINVAL;
      return INVALID_SET_FILE_POINTER;
  }
  LONGLONG distance = distanceLow;
  if (distanceHigh != nullptr) {
    ULONGLONG combined = (static_cast<ULONGLONG>(static_cast<DWORD>(*distanceHigh)) << 32) |
                         static_cast<DWORD>(distanceLow);
    distance = static_cast<LONGLONG>(combined);
  }
  off_t pos = lseek(file->fd, static_cast<off_t>(distance), whence);
  if (pos < 0) return INVALID_SET_FILE_POINTER;
  ULONGLONG upos = static_cast<ULONGLONG>(pos);
  DWORD low = static_cast<DWORD>(upos & 0xFFFFFFFFu);
  if (distanceHigh != nullptr) {
    *distanceHigh = static_cast<LONG>(static_cast<DWORD>(upos >> 32));
    if (low == INVALID_SET_FILE_POINTER) errno = 0;
  }
  return low;
}

BOOL OsUserSetEndOfFile(OS_USER_FILE_HANDLE h) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return FALSE;
  off_t pos = lseek(file->fd, 0, SEEK_CUR);
  if (pos < 0) return FALSE;
  int rc;
  do {
    rc = ftruncate(file->fd, pos);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? TRUE : FALSE;
}

DWORD OsUserReserveFileSpace(OS_USER_FILE_HANDLE h, ULONGLONG offset, ULONGLONG length) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return EBADF;
  if (length == 0) return 0;
  if (offset > static_cast<ULONGLONG>(INT64_MAX) - length) return EFBIG;
  int err;
#if defined(VX_HAVE_FALLOCATE)
  // Linux's own call says when the file system cannot; its posix_fallocate would write
  // instead.
  int rc;
  do {
    rc = fallocate(file->fd, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  err = rc == 0 ? 0 : errno;
#elif defined(VX_HAVE_POSIX_FALLOCATE)
  do {
    err = posix_fallocate(file->fd, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (err == EINTR);
#else
  err = ENOTSUP;
#endif
  // File systems that cannot (copy-on-write ones among them) say so in several ways.
  if (err == EOPNOTSUPP || err == EINVAL || err == ENOSYS) err = ENOTSUP;
  return static_cast<DWORD>(err);
}

DWORD OsUserGetFileSize(OS_USER_FILE_HANDLE h, LPDWORD high) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return INVALID_FILE_SIZE;
  struct stat st;
  if (fstat(file->fd, &st) != 0) return INVALID_FILE_SIZE;
  ULONGLONG size = static_cast<ULONGLONG>(st.st_size);
  DWORD low = static_cast<DWORD>(size & 0xFFFFFFFFu);
  if (high != nullptr) {
    *high = static_cast<DWORD>(size >> 32);
    if (low == INVALID_FILE_SIZE) errno = 0;
  }
  return low;
}

BOOL OsUserGetFileInformationByHandle(OS_USER_FILE_HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return FALSE;
  if (info == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  struct stat st;
  if (fstat(file->fd, &st) != 0) return FALSE;
  *info = BY_HANDLE_FILE_INFORMATION{};
  info->dwFileAttributes = S_ISDIR(st.st_mode)   ? FILE_ATTRIBUTE_DIRECTORY
                           : S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                                 : 0xFFFFFFFFu;
  StoreFileTime(BirthTime(file->fd, st), &info->ftCreationTime);
  StoreFileTime(st.st_atim, &info->ftLastAccessTime);
  StoreFileTime(st.st_mtim, &info->ftLastWriteTime);
  ULONGLONG size = static_cast<ULONGLONG>(st.st_size);
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  return TRUE;
}

BOOL OsUserGetFileId(OS_USER_FILE_HANDLE h, OS_USER_FILE_ID* id) {
  _OsUserFileHandle* file = FileFromHandle(h);
  if (file == nullptr) return FALSE;
  if (id == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  struct stat st;
  if (fstat(file->fd, &st) != 0) return FALSE;
  id->device = static_cast<ULONGLONG>(st.st_dev);
  id->inode = static_cast<ULONGLONG>(st.st_ino);
  return TRUE;
}

BOOL OsUserIsFileAtPath(LPCSTR name, const OS_USER_FILE_ID& id) {
  CPathCopy path(name);
  if (path.p == nullptr) return FALSE;
  struct stat st;
  if (lstat(path.p, &st) != 0) return FALSE;
  errno = 0;
  return static_cast<ULONGLONG>(st.st_dev) == id.device &&
                 static_cast<ULONGLONG>(st.st_ino) == id.inode
             ? TRUE
             : FALSE;
}

DWORD OsUserGetFileAttributes(LPCSTR name) {
  CPathCopy path(name);
  if (path.p == nullptr) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (stat(path.p, &st) != 0) return INVALID_FILE_ATTRIBUTES;
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DEVICE;
}

BOOL OsUserDeleteFile(LPCSTR name) {
  CPathCopy path(name);
  if (path.p == nullptr) return FALSE;
  return unlink(path.p) == 0 ? TRUE : FALSE;
}

BOOL OsUserMoveFile(LPCSTR existingName, LPCSTR newName, DWORD flags) {
  CPathCopy from(existingName);
  if (from.p == nullptr) return FALSE;
  CPathCopy to(newName);
  if (to.p == nullptr) return FALSE;
  if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && IsRegularFile(to.p)) {
    errno = EEXIST;
    return FALSE;
  }
  const bool writeThrough = (flags & MOVEFILE_WRITE_THROUGH) != 0;
  if (rename(from.p, to.p) == 0) {
    if (!writeThrough) return TRUE;
    // The new name first: until the old one is gone too, a crash leaves both, never neither.
    return SyncFolderOf(to.p) && SyncFolderOf(from.p) ? TRUE : FALSE;
  }
  if (errno != EXDEV || (flags & MOVEFILE_COPY_ALLOWED) == 0) return FALSE;
  // The source goes only once the copy is complete and on the device, so a failure or a
  // crash loses nothing.
  if (!CopyNormalized(from.p, to.p, false)) return FALSE;
  if (unlink(from.p) != 0) return FALSE;
  return !writeThrough || SyncFolderOf(from.p) ? TRUE : FALSE;
}

BOOL OsUserCopyFile(LPCSTR existingName, LPCSTR newName, BOOL failIfExists) {
  CPathCopy from(existingName);
  if (from.p == nullptr) return FALSE;
  CPathCopy to(newName);
  if (to.p == nullptr) return FALSE;
  return CopyNormalized(from.p, to.p, failIfExists != FALSE) ? TRUE : FALSE;
}
