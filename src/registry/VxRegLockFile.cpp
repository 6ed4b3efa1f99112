#include "registry/VxRegLockFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

CVxRegLockFile::CVxRegLockFile(const char* lockPath) {
  // Read access is enough for flock, and lets a reader that may not write the runtime's
  // folder still share the lock with the writers.
  m_fd = open(lockPath, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (m_fd < 0) {
    printf("Failed to open the Varnix registry lock file\n");
    fflush(stdout);
    return;
  }
  int rc;
  do {
    rc = flock(m_fd, LOCK_SH);
  } while (rc != 0 && errno == EINTR);
  m_bLocked = rc == 0;
}

CVxRegLockFile::~CVxRegLockFile() {
  if (m_fd < 0) return;
  if (m_bLocked) flock(m_fd, LOCK_UN);
  close(m_fd);
}
