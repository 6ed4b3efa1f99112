// What identifies one version of the registry file.
#pragma once

#include <cstdint>

struct CFileStamp {
  uint64_t writeTime = 0;  // 100 ns units, as precise as the file system keeps it
  uint64_t size = 0;
  // The file's serial number: a file renamed over the old one differs in this even when the
  // clock tick and the size are the same.
  uint64_t fileId = 0;
  bool exists = false;

  // The stamp of the file at path now; all zero and not existing if it cannot be queried.
  static CFileStamp Take(const char* path);

  bool operator==(const CFileStamp&) const = default;
};
