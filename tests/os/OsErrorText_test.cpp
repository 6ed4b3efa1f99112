#include "os/OsErrorText.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

TEST(OsErrorText, SaysThePathAndTheSystemsReason) {
  EXPECT_EQ(std::string(strerror(ENOTDIR)), std::string(OsErrorText(ENOTDIR)));
  EXPECT_EQ("/var/cap/x.cap: " + std::string(strerror(ENOSPC)),
            std::string(OsPathError("/var/cap/x.cap", ENOSPC)));
  EXPECT_EQ(": " + std::string(strerror(EACCES)), std::string(OsPathError(nullptr, EACCES)));
  // A number the system has no text for still gets one that names it.
  EXPECT_NE(std::string(OsErrorText(9999)).find("9999"), std::string::npos);
}

TEST(OsErrorText, FindsTheErrorNumberInAResult) {
  const std::pair<HRESULT, int> cases[] = {
      {HRESULT_FROM_OS_ERROR(ENOENT), ENOENT},
      {HRESULT_FROM_OS_ERROR(ENOSPC), ENOSPC},
      {E_OUTOFMEMORY, ENOMEM},
      {E_FAIL, 0},
      {S_OK, 0},
      {static_cast<HRESULT>(0x98110006u), 0},
  };
  for (const auto& [hr, err] : cases)
    EXPECT_EQ(err, OsErrorFromResult(hr)) << std::hex << static_cast<unsigned>(hr);
}
