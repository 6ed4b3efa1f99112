#include "registry/VxRegistryPath.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

namespace {

// Restores VX_BASE_DIR as it was.
class BaseDirEnv {
 public:
  BaseDirEnv() {
    const char* v = getenv("VX_BASE_DIR");
    m_bSet = v != nullptr;
    if (v) m_old = v;
  }
  ~BaseDirEnv() {
    if (m_bSet)
      setenv("VX_BASE_DIR", m_old.c_str(), 1);
    else
      unsetenv("VX_BASE_DIR");
  }

 private:
  bool m_bSet = false;
  std::string m_old;
};

TEST(VxRegistryPath, EveryPathDerivesFromTheBaseDirectory) {
  BaseDirEnv restore;
  unsetenv("VX_BASE_DIR");
  CVxRegistryPath installed;
  EXPECT_STREQ(installed.s_szRegistryFile, "/usr/local/etc/Varnix/3.1/VxRegistry.xml");
  EXPECT_STREQ(installed.s_szLockFile, "/usr/local/etc/Varnix/3.1/VxRegistry.xml.lock");
  EXPECT_STREQ(installed.s_szBootDir, "/usr/local/etc/Varnix/3.1/Boot/");
  EXPECT_STREQ(installed.s_szConfigDir, "/usr/local/etc/Varnix/3.1/Config/");
  EXPECT_STREQ(installed.s_szInstallDir, "/usr/local/etc/Varnix/3.1/");
  EXPECT_STREQ(installed.s_szTargetDir, "/usr/local/etc/Varnix/3.1/Target/");
  EXPECT_STREQ(installed.s_szAutoloadDir, "/usr/local/etc/Varnix/3.1/Driver/AutoLoad/");

  setenv("VX_BASE_DIR", "/tmp/x", 1);
  CVxRegistryPath moved;
  EXPECT_STREQ(moved.s_szRegistryFile, "/tmp/x/VxRegistry.xml");
  EXPECT_STREQ(moved.s_szLockFile, "/tmp/x/VxRegistry.xml.lock");
  EXPECT_STREQ(moved.s_szAutoloadDir, "/tmp/x/Driver/AutoLoad/");

  setenv("VX_BASE_DIR", "", 1);
  EXPECT_STREQ(VxRegBaseDir(), "/usr/local/etc/Varnix/3.1");
}

TEST(VxRegistryPath, OverlongBaseDirectoryIsCutWithinTheBuffer) {
  const std::string longDir(3000, 'd');
  CVxRegistryPath paths(longDir.c_str());
  EXPECT_EQ(strlen(paths.s_szRegistryFile), CVxRegistryPath::kMaxPath - 1);
  EXPECT_EQ(strlen(paths.s_szBootDir), CVxRegistryPath::kMaxPath - 1);
}

}  // namespace
