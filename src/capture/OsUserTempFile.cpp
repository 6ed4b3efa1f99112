#include "capture/OsUserTempFile.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "capture/CapturePath.h"
#include "os/OsUserFile.h"

UINT OsUserGetTempFileName(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                           LPSTR lpTempFileName) {
  if (!lpPathName || !lpPrefixString || !lpTempFileName || uUnique != 0) {
    puts("OsUserGetTempFileName file params not supported");
    errno = EINVAL;
    return 0;
  }
  GUID id;
  if (!OsUserCreateGuid(&id)) return 0;
  char text[40];
  if (!OsUserGuidToText(id, text, sizeof text)) {
    errno = ENOMEM;
    return 0;
  }
  char path[vxcap::kMaxCapturePath + 1];
  int n = snprintf(path, sizeof path, "%s/%s%s", lpPathName, lpPrefixString, text);
  if (n < 0 || static_cast<size_t>(n) > vxcap::kMaxCapturePath) {
    errno = EINVAL;
    return 0;
  }
  OS_USER_FILE_HANDLE h = OsUserCreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  OsUserCloseHandle(h);
  memcpy(lpTempFileName, path, static_cast<size_t>(n) + 1);
  return 1;
}
