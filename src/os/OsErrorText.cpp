#include "os/OsErrorText.h"

#include <string>
#include <system_error>

CString OsErrorText(int err) {
  // strerror may fill one static buffer for all threads.
  return CString(std::system_category().message(err).c_str());
}

CString OsPathError(const char* path, int err) {
  CString text;
  text.Format("%s: %s", path ? path : "", static_cast<const char*>(OsErrorText(err)));
  return text;
}
