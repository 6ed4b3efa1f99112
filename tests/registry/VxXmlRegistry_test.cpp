// The store through its Win32-shaped interface: results, names, handles, and keeping up
// with a file that other processes rewrite.
#include "registry/VxXmlRegistry.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "os/OsUserTools.h"
#include "registry/RegistryTestUtil.h"

namespace {

using regtest::Key;
using regtest::RegistryXml;
using regtest::StdoutCapture;
using regtest::Value;
using regtest::VersionedRegistry;

constexpr const char kProduct[] = "Software\\Lormec\\Varnix3";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

class VxXmlRegistryTest : public regtest::RegistryTest {
 protected:
  HKEY Open(const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), VXREG_SUCCESS) << path;
    return key;
  }

  // Rewrites the registry file from another process.
  void RewriteFromOtherProcess(const std::string& xml) {
    const std::string content = m_dir / "content.xml";
    regtest::WriteText(content, xml);
    pid_t pid = regtest::SpawnRewriter({RegistryFile(), content});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(regtest::WaitForExit(pid), 0);
  }
};

TEST_F(VxXmlRegistryTest, OpenKeyResults) {
  WriteRegistry(RegistryXml(Key("System", "")));
  HKEY key = nullptr;
  const HKEY unknown = reinterpret_cast<HKEY>(uintptr_t{12345});
  struct TCase {
    HKEY parent;
    const char* subKey;
    HKEY* result;
    LONG rc;
  } cases[] = {
      {HKEY_LOCAL_MACHINE, "Software\\Lormec\\Varnix3\\System", &key, VXREG_SUCCESS},
      {HKEY_LOCAL_MACHINE, "Software\\Lormec\\", &key, VXREG_SUCCESS},
      {HKEY_LOCAL_MACHINE, "Software\\Lormec\\Varnix4", &key, VXREG_FILE_NOT_FOUND},
      {HKEY_CURRENT_USER, "Software", &key, VXREG_NOT_FOUND},  // no HKCU in the file
      {HKEY_LOCAL_MACHINE, "Software", nullptr, VXREG_INVALID_PARAMETER},
      {HKEY_LOCAL_MACHINE, nullptr, &key, VXREG_INVALID_PARAMETER},
      {HKEY_LOCAL_MACHINE, "", &key, VXREG_INVALID_PARAMETER},
      {HKEY_LOCAL_MACHINE, "\\Software", &key, VXREG_INVALID_PARAMETER},
      {unknown, "Software", &key, VXREG_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subKey ? c.subKey : "(null)");
    EXPECT_EQ(OsRegOpenKeyExA(c.parent, c.subKey, 0, KEY_READ, c.result), c.rc);
    if (c.rc == VXREG_SUCCESS) {
      EXPECT_EQ(OsRegCloseKey(key), VXREG_SUCCESS);
    }
  }

  // Handles open below open handles, and every handle is a new number.
  HKEY product = Open(kProduct);
  HKEY system = nullptr;
  ASSERT_EQ(OsRegOpenKeyExA(product, "System", 0, KEY_READ, &system), VXREG_SUCCESS);
  EXPECT_NE(system, product);
  EXPECT_EQ(OsRegCloseKey(system), VXREG_SUCCESS);
  EXPECT_EQ(OsRegCloseKey(system), VXREG_NOT_FOUND);
  EXPECT_EQ(OsRegOpenKeyExA(system, "x", 0, KEY_READ, &key), VXREG_NOT_FOUND);
  EXPECT_EQ(OsRegCloseKey(product), VXREG_SUCCESS);
  EXPECT_EQ(OsRegCloseKey(unknown), VXREG_NOT_FOUND);
}

TEST_F(VxXmlRegistryTest, QueryValueResults) {
  WriteRegistry(RegistryXml(Value("Text", "SZ", "abcdef") + Value("Hex", "DW", "0x10") +
                            Value("Odd", "XX", "1") + Value("Bad", "BIN", "0")));
  HKEY key = Open(kProduct);
  BYTE buf[16];
  DWORD type = 0, cb = 0;

  memset(buf, 0xEE, sizeof(buf));
  cb = 3;
  EXPECT_EQ(OsRegQueryValueExA(key, "Text", nullptr, &type, buf, &cb), VXREG_MORE_DATA);
  EXPECT_EQ(cb, 7u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(buf[0], 0xEE) << "nothing is copied into a buffer that is too small";

  cb = 7;
  EXPECT_EQ(OsRegQueryValueExA(key, "Text", nullptr, nullptr, buf, &cb), VXREG_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "abcdef");

  cb = 0;
  EXPECT_EQ(OsRegQueryValueExA(key, "Hex", nullptr, &type, nullptr, &cb), VXREG_SUCCESS);
  EXPECT_EQ(cb, 4u);
  EXPECT_EQ(type, REG_DWORD);
  DWORD dw = 0;
  cb = sizeof(dw);
  EXPECT_EQ(OsRegQueryValueExA(key, "Hex", nullptr, nullptr, reinterpret_cast<BYTE*>(&dw), &cb),
            VXREG_SUCCESS);
  EXPECT_EQ(dw, 16u);
  EXPECT_EQ(OsRegQueryValueExA(key, "Hex", nullptr, &type, nullptr, nullptr), VXREG_SUCCESS);

  cb = sizeof(buf);
  EXPECT_EQ(OsRegQueryValueExA(key, "Odd", nullptr, &type, buf, &cb), VXREG_ACCESS_DENIED);
  EXPECT_EQ(type, REG_NONE);
  EXPECT_EQ(cb, 0u);
  cb = sizeof(buf);
  EXPECT_EQ(OsRegQueryValueExA(key, "Bad", nullptr, &type, buf, &cb), VXREG_INVALID_DATA);
  EXPECT_EQ(type, REG_BINARY);

  EXPECT_EQ(OsRegQueryValueExA(key, "Missing", nullptr, &type, buf, &cb), VXREG_FILE_NOT_FOUND);
  EXPECT_EQ(OsRegQueryValueExA(key, nullptr, nullptr, &type, buf, &cb), VXREG_INVALID_PARAMETER);
  EXPECT_EQ(OsRegQueryValueExA(key, "Text", nullptr, &type, buf, nullptr), VXREG_INVALID_PARAMETER);
  EXPECT_EQ(OsRegCloseKey(key), VXREG_SUCCESS);
  EXPECT_EQ(OsRegQueryValueExA(key, "Text", nullptr, &type, buf, &cb), VXREG_NOT_FOUND);
}

TEST_F(VxXmlRegistryTest, NamesMatchWithoutRegardToCase) {
  WriteRegistry(VersionedRegistry("/data/boot/"));
  for (const char* path : {"software\\lormec\\varnix3\\3.1", "SOFTWARE\\LORMEC\\VARNIX3\\3.1"}) {
    HKEY key = Open(path);
    EXPECT_EQ(QueryString(key, "bootdir"), "/data/boot/");
    EXPECT_EQ(QueryString(key, "BOOTDIR"), "/data/boot/");
    OsRegCloseKey(key);
  }
}

TEST_F(VxXmlRegistryTest, ClosingARootKeyLeavesItUsable) {
  WriteRegistry(VersionedRegistry("/data/boot/"));
  EXPECT_EQ(OsRegCloseKey(HKEY_LOCAL_MACHINE), VXREG_SUCCESS);
  EXPECT_EQ(BootPath(), "/data/boot/");
}

TEST_F(VxXmlRegistryTest, RewrittenFileIsSeenAndOpenHandlesFollowIt) {
  WriteRegistry(VersionedRegistry("/one/"));
  HKEY version = Open("Software\\Lormec\\Varnix3\\3.1");
  ASSERT_EQ(QueryString(version, "BootDir"), "/one/");

  RewriteFromOtherProcess(VersionedRegistry("/second/"));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return QueryString(version, "BootDir") == "/second/"; }));
  EXPECT_EQ(BootPath(), "/second/");

  // The key goes away with the next file, and comes back with the one after.
  RewriteFromOtherProcess(RegistryXml(Value("CurrentVersion", "SZ", "3.1")));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return QueryString(version, "BootDir") == "<error 1168>"; }));
  RewriteFromOtherProcess(VersionedRegistry("/third/"));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return QueryString(version, "BootDir") == "/third/"; }));
  OsRegCloseKey(version);
}

TEST_F(VxXmlRegistryTest, TheFirstQueryMoreThan100msAfterACheckSeesARewrite) {
  WriteRegistry(VersionedRegistry("/one/"));
  ASSERT_EQ(BootPath(), "/one/");
  for (const char* next : {"/two/", "/three/"}) {
    WriteRegistry(VersionedRegistry(next));
    OsUserSleep(150);
    EXPECT_EQ(BootPath(), next);
  }
}

TEST_F(VxXmlRegistryTest, TheStoreLivesAsLongAsItHasUsers) {
  {
    StdoutCapture out(m_dir / "stdout.txt");
    ASSERT_EQ(BootPath(), m_dir.path() + "/Boot/");  // no file: the defaults
  }
  // Defaults win over a later file for as long as this store lives.
  WriteRegistry(VersionedRegistry("/data/boot/"));
  RegistryInit();
  RegistryInit();
  RegistryDestroy();
  RegistryDestroy();
  EXPECT_EQ(BootPath(), m_dir.path() + "/Boot/");
  // The program's own user leaves last: the next call creates a store that reads the file.
  RegistryDestroy();
  EXPECT_EQ(BootPath(), "/data/boot/");
  RegistryDestroy();  // no user left: ignored
  RegistryInit();     // the program's own user again
}

TEST_F(VxXmlRegistryTest, UnusableChangedFileKeepsThePreviousContent) {
  const std::string good = VersionedRegistry("/data/boot/");
  WriteRegistry(good);
  ASSERT_EQ(BootPath(), "/data/boot/");
  StdoutCapture out(m_dir / "stdout.txt");
  const std::string bad[] = {
      "not XML at all",
      "<Other/>",
      "<VxRegistry><Key Name=\"HKCU\"/></VxRegistry>",
      good.substr(0, good.size() / 2),
  };
  size_t expected = 0;
  for (const std::string& text : bad) {
    SCOPED_TRACE(text);
    WriteRegistry(text);
    ++expected;
    EXPECT_TRUE(vxtest::WaitUntil([&] {
      return BootPath() == "/data/boot/" &&
             Count(out.Text(), "Failed to read the changed Varnix registry file\n") == expected;
    }));
  }
  WriteRegistry(VersionedRegistry("/fixed/"));
  EXPECT_TRUE(vxtest::WaitUntil([&] { return BootPath() == "/fixed/"; }));
  EXPECT_EQ(Count(out.Text(), "\n"), expected) << "each bad file is reported once";
}

TEST_F(VxXmlRegistryTest, UnusableFileAtStartFallsBackToDefaults) {
  struct TCase {
    const char* text;
    const char* message;
  } cases[] = {
      {"", "Failed to load Varnix registry(16).\n"},
      {"<<<", "Failed to load Varnix registry(5).\n"},
      {"<VxRegistry><Key Name=\"HKLM\">", "Failed to load Varnix registry(14).\n"},
      {"<Other/>", "Failed to load Varnix registry(16).\n"},
      {"<VxRegistry/>", "Failed to load Varnix registry(16).\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    WriteRegistry(c.text);
    VxRegTestRecreateStore();
    StdoutCapture out(m_dir / "stdout.txt");
    EXPECT_EQ(BootPath(), m_dir.path() + "/Boot/");
    EXPECT_EQ(out.Text(), c.message);
  }
}

TEST_F(VxXmlRegistryTest, LoadingWaitsForAWriterHoldingTheLock) {
  const int lock = open((RegistryFile() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  WriteRegistry("<VxRegistry><Key Name=\"HKLM\">");  // the writer is half-way through

  std::atomic<bool> done{false};
  std::string boot;
  std::thread reader([&] {
    boot = BootPath();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(done.load()) << "the file was read while a writer held the lock";
  WriteRegistry(VersionedRegistry("/complete/"));
  flock(lock, LOCK_UN);
  close(lock);
  reader.join();
  EXPECT_EQ(boot, "/complete/");
}

TEST_F(VxXmlRegistryTest, MissingBaseDirectoryIsReportedAndDefaultsServe) {
  const std::string missing = m_dir / "nowhere";
  setenv("VX_BASE_DIR", missing.c_str(), 1);
  VxRegTestRecreateStore();
  StdoutCapture out(m_dir / "stdout.txt");
  EXPECT_EQ(BootPath(), missing + "/Boot/");
  // The lock file's line says where it was looked for and how to look elsewhere.
  EXPECT_EQ(out.Text(), "Failed to open the Varnix registry lock file\nregistry lock file " +
                            missing + "/VxRegistry.xml.lock: " + strerror(ENOENT) +
                            " (the runtime's base folder is " + missing +
                            "; VX_BASE_DIR names another)\nFailed to load Varnix registry(1).\n");
}

TEST_F(VxXmlRegistryTest, DefaultsAreCompleteAndWinOverALaterFile) {
  {
    StdoutCapture out(m_dir / "stdout.txt");
    ASSERT_EQ(BootPath(), m_dir.path() + "/Boot/");
  }
  struct TCase {
    const char* key;
    const char* name;
    std::string text;
  } defaults[] = {
      {kProduct, "CurrentVersion", "3.1"},
      {"Software\\Lormec\\Varnix3\\3.1", "ConfigDir", m_dir.path() + "/Config/"},
      {"Software\\Lormec\\Varnix3\\3.1", "InstallDir", m_dir.path() + "/"},
      {"Software\\Lormec\\Varnix3\\3.1", "TargetDir", m_dir.path() + "/Target/"},
      {"Software\\Lormec\\Varnix3\\3.1", "DriverAutoLoadDir", m_dir.path() + "/Driver/AutoLoad/"},
      {"Ident", "DeviceType", "VX/BSD"},
  };
  for (const auto& d : defaults) {
    HKEY key = Open(d.key);
    EXPECT_EQ(QueryString(key, d.name), d.text) << d.name;
    OsRegCloseKey(key);
  }
  HKEY system = Open("Software\\Lormec\\Varnix3\\System");
  DWORD runAsDevice = 0, cb = sizeof(runAsDevice), type = 0;
  EXPECT_EQ(OsRegQueryValueExA(system, "RunAsDevice", nullptr, &type,
                               reinterpret_cast<BYTE*>(&runAsDevice), &cb),
            VXREG_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(runAsDevice, 1u);

  // The runtime writes its file later: its new values show, those created in memory stay.
  WriteRegistry(VersionedRegistry(
      "/data/boot/",
      Key("System", Value("NmxNetId", "BIN", "010203040506") + Value("RunAsDevice", "DW", "0"))));
  NmxNetId id = {};
  EXPECT_TRUE(vxtest::WaitUntil([&] { return VxRegReadLocalMachineId(id) != FALSE; }));
  EXPECT_EQ(id, (NmxNetId{{1, 2, 3, 4, 5, 6}}));
  EXPECT_EQ(BootPath(), m_dir.path() + "/Boot/");
  cb = sizeof(runAsDevice);
  EXPECT_EQ(OsRegQueryValueExA(system, "RunAsDevice", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&runAsDevice), &cb),
            VXREG_SUCCESS);
  EXPECT_EQ(runAsDevice, 1u);
  OsRegCloseKey(system);
}

TEST_F(VxXmlRegistryTest, DeeplyNestedKeysNeitherOverflowNorStopTheStore) {
  constexpr int kDepth = 100000;
  std::string deep;
  deep.reserve(kDepth * 30);
  for (int i = 0; i < kDepth; ++i) deep += "<Key Name=\"k\">";
  deep += Value("Bottom", "SZ", "reached");
  for (int i = 0; i < kDepth; ++i) deep += "</Key>";
  WriteRegistry(VersionedRegistry("/data/boot/", deep));

  EXPECT_EQ(BootPath(), "/data/boot/");
  std::string path = kProduct;
  for (int i = 0; i < kDepth; ++i) path += "\\k";
  HKEY bottom = Open(path.c_str());
  EXPECT_EQ(QueryString(bottom, "Bottom"), "reached");
  OsRegCloseKey(bottom);
  HKEY key = nullptr;
  EXPECT_EQ(OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, (path + "\\k").c_str(), 0, KEY_READ, &key),
            VXREG_FILE_NOT_FOUND);
}

}  // namespace
