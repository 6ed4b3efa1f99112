// Shared pieces of the registry tests: a private base directory per test with a fresh store,
// registry files as the runtime writes them, the rewriter process and captured console lines.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "registry/VxReg.h"
#include "registry/VxRegTesting.h"

extern char** environ;

namespace regtest {

// The runtime's registry with BODY inside HKLM\Software\Lormec\Varnix3.
inline std::string RegistryXml(const std::string& body) {
  return "<?xml version=\"1.0\"?>\n<VxRegistry>\n <Key Name=\"HKLM\">\n  <Key Name=\"Software\">\n"
         "   <Key Name=\"Lormec\">\n    <Key Name=\"Varnix3\">\n" +
         body + "\n    </Key>\n   </Key>\n  </Key>\n </Key>\n</VxRegistry>\n";
}

inline std::string Value(const std::string& name, const std::string& type,
                         const std::string& text) {
  return "<Value Name=\"" + name + "\" Type=\"" + type + "\">" + text + "</Value>";
}

inline std::string Key(const std::string& name, const std::string& body) {
  return "<Key Name=\"" + name + "\">" + body + "</Key>";
}

// A registry as the runtime writes it: version 3.1 with its boot directory.
inline std::string VersionedRegistry(const std::string& bootDir, const std::string& extra = "") {
  return RegistryXml(Value("CurrentVersion", "SZ", "3.1") +
                     Key("3.1", Value("BootDir", "SZ", bootDir)) + extra);
}

inline void WriteText(const std::string& path, const std::string& text) {
  vxtest::WriteFileBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

// Each test gets its own base directory and a store that has not yet read anything.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    setenv("VX_BASE_DIR", m_dir.path().c_str(), 1);
    VxRegTestRecreateStore();
  }
  void TearDown() override {
    VxRegTestRecreateStore();
    unsetenv("VX_BASE_DIR");
  }

  std::string RegistryFile() const { return m_dir / "VxRegistry.xml"; }
  // Replaces the file at once, so a store checking it never sees half of it (tests that
  // count the store's messages depend on that).
  void WriteRegistry(const std::string& xml) const {
    const std::string next = RegistryFile() + ".next";
    WriteText(next, xml);
    ASSERT_EQ(rename(next.c_str(), RegistryFile().c_str()), 0);
  }

  // The boot path, or "<none>" when the reader fails.
  static std::string BootPath() {
    char* path = nullptr;
    if (!VxRegReadBootPrjPath(&path)) return "<none>";
    std::string s(path);
    delete[] path;
    return s;
  }

  // A string value of an open key, or "<error N>".
  static std::string QueryString(HKEY key, const char* name) {
    char buf[256] = {};
    DWORD cb = sizeof(buf) - 1;
    LONG rc = OsRegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb);
    return rc == VXREG_SUCCESS ? std::string(buf) : "<error " + std::to_string(rc) + ">";
  }

  vxtest::TempDir m_dir;
};

// Starts the rewriter process (see RegistryRewriter.cpp) on a registry file.
inline pid_t SpawnRewriter(const std::vector<std::string>& args) {
  std::vector<std::string> all = {VX_REGISTRY_REWRITER};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// The exit status of a child, or -1 when it did not exit normally.
inline int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sends standard output to a file while alive, so that tests can read what the store printed.
// What was captured is passed on to the real standard output at the end.
class StdoutCapture {
 public:
  explicit StdoutCapture(const std::string& path) : m_path(path) {
    fflush(stdout);
    m_saved = dup(STDOUT_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      close(fd);
    }
  }
  ~StdoutCapture() {
    std::string text = Text();
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    fputs(text.c_str(), stdout);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string Text() const {
    fflush(stdout);
    std::vector<unsigned char> bytes = vxtest::ReadFileBytes(m_path);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  std::string m_path;
  int m_saved = -1;
};

}  // namespace regtest
