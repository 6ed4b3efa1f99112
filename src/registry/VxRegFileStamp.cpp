#include "registry/VxRegFileStamp.h"

#include <sys/stat.h>

CFileStamp CFileStamp::Take(const char* path) {
  CFileStamp stamp;
  struct stat st;
  if (stat(path, &st) != 0 || st.st_size < 0) return stamp;
  stamp.writeTime = static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000u +
                    static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.fileId = static_cast<uint64_t>(st.st_ino);
  stamp.exists = true;
  return stamp;
}
