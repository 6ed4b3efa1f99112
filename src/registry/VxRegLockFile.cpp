#include "registry/VxRegLockFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "os/OsErrorText.h"
#include "registry/VxReg.h"
#include "registry/VxRegistryPath.h"

namespace {

std::atomic<void (*)(const char*)> g_detailReport{nullptr};

}  // namespace

void VxRegSetDetailReport(void (*report)(const char* line)) {
  g_detailReport = report;
}

CVxRegLockFile::CVxRegLockFile(const char* lockPath) {
  // Read access is enough for flock, and lets a reader that may not write the runtime's
  // folder still share the lock with the writers.
  m_fd = open(lockPath, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (m_fd < 0) {
    const int err = errno;
    printf("Failed to open the Varnix registry lock file\n");
    // Most often the runtime is not where it is looked for.
    const std::string detail = "registry lock file " + std::string(OsPathError(lockPath, err)) +
                               " (the runtime's base folder is " + VxRegBaseDir() +
                               "; VX_BASE_DIR names another)";
    if (void (*report)(const char*) = g_detailReport.load())
      report(detail.c_str());
    else
      printf("%s\n", detail.c_str());
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
