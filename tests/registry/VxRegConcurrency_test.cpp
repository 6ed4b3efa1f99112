// Threads reading the registry while another process keeps rewriting it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "registry/RegistryTestUtil.h"

namespace {

class VxRegConcurrency : public regtest::RegistryTest {};

TEST_F(VxRegConcurrency, QueriesStayConsistentWhileAnotherProcessRewritesTheFile) {
  // Distinct lengths, so that every version of the file has its own stamp even within one
  // tick of the file system's clock.
  const std::string first = regtest::VersionedRegistry("/a/");
  const std::string second = regtest::VersionedRegistry("/bbbb/");
  const std::string last = regtest::VersionedRegistry("/last-one/");
  regtest::WriteText(RegistryFile(), first);
  regtest::WriteText(m_dir / "first.xml", first);
  regtest::WriteText(m_dir / "second.xml", second);
  regtest::WriteText(m_dir / "last.xml", last);
  regtest::StdoutCapture out(m_dir / "stdout.txt");
  ASSERT_EQ(BootPath(), "/a/");

  pid_t writer = regtest::SpawnRewriter(
      {RegistryFile(), m_dir / "last.xml", "600", m_dir / "first.xml", m_dir / "second.xml"});
  ASSERT_GT(writer, 0);

  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const std::string boot = BootPath();
        if (boot != "/a/" && boot != "/bbbb/" && boot != "/last-one/") ++wrong;
        HKEY key = nullptr;
        if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Lormec\\Varnix3", 0, KEY_READ, &key) !=
                VXREG_SUCCESS ||
            QueryString(key, "CurrentVersion") != "3.1" || OsRegCloseKey(key) != VXREG_SUCCESS)
          ++wrong;
        ++reads;
      }
    });
  }
  const int status = regtest::WaitForExit(writer);
  done = true;
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(status, 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return BootPath() == "/last-one/"; }));
}

}  // namespace
