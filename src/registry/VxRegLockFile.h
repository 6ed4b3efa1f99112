// The shared lock a reader of the registry file holds while it parses. Writers of the
// runtime take the exclusive lock on the same file, so a parse never sees a half-written
// file from a writer that plays by the rules.
#pragma once

// Takes the lock at construction (waiting as long as it takes) and releases it at
// destruction. Not thread-safe; one object per parse.
class CVxRegLockFile {
 public:
  // lockPath must stay valid during the constructor only. If the lock file cannot be opened
  // a message goes to standard output and the parse goes on without a lock.
  explicit CVxRegLockFile(const char* lockPath);
  ~CVxRegLockFile();
  CVxRegLockFile(const CVxRegLockFile&) = delete;
  CVxRegLockFile& operator=(const CVxRegLockFile&) = delete;

  bool IsLocked() const { return m_bLocked; }

 private:
  int m_fd = -1;
  bool m_bLocked = false;
};
