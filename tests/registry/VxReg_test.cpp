// The two readers against registry files as the runtime writes them.
#include "registry/VxReg.h"

#include <gtest/gtest.h>

#include <string>

#include "registry/RegistryTestUtil.h"

namespace {

using regtest::Key;
using regtest::RegistryXml;
using regtest::StdoutCapture;
using regtest::Value;

class VxRegReaders : public regtest::RegistryTest {};

TEST_F(VxRegReaders, WithoutFileTheDefaultBootDirIsReadAndNoNetId) {
  StdoutCapture out(m_dir / "stdout.txt");
  EXPECT_EQ(BootPath(), m_dir.path() + "/Boot/");
  NmxNetId id = {{9, 9, 9, 9, 9, 9}};
  EXPECT_FALSE(VxRegReadLocalMachineId(id));
  EXPECT_EQ(id, (NmxNetId{{9, 9, 9, 9, 9, 9}}));
  EXPECT_EQ(out.Text(), "Failed to load Varnix registry(1).\n");
}

TEST_F(VxRegReaders, BootPathFollowsTheCurrentVersion) {
  struct TCase {
    const char* what;
    std::string body;
    std::string expected;
  } cases[] = {
      {"version key",
       Value("CurrentVersion", "SZ", "3.1") + Key("3.1", Value("BootDir", "SZ", "/data/boot/")),
       "/data/boot/"},
      {"no version key: product key",
       Value("CurrentVersion", "SZ", "3.2") + Value("BootDir", "SZ", "/product/") +
           Key("3.1", Value("BootDir", "SZ", "/data/boot/")),
       "/product/"},
      {"nine characters fit",
       Value("CurrentVersion", "SZ", "123456789") +
           Key("123456789", Value("BootDir", "SZ", "/nine/")),
       "/nine/"},
      {"ten characters do not",
       Value("CurrentVersion", "SZ", "1234567890") + Value("BootDir", "SZ", "/product/"), "<none>"},
      {"version not a string",
       Value("CurrentVersion", "BIN", "33333333333333333333") + Value("BootDir", "SZ", "/product/"),
       "/product/"},
      {"no version", Value("BootDir", "SZ", "/product/"), "<none>"},
      {"no boot dir", Value("CurrentVersion", "SZ", "3.1") + Key("3.1", ""), "<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteRegistry(RegistryXml(c.body));
    VxRegTestRecreateStore();
    EXPECT_EQ(BootPath(), c.expected);
  }
  EXPECT_FALSE(VxRegReadBootPrjPath(nullptr));
}

TEST_F(VxRegReaders, NetIdNeedsExactlySixBytes) {
  struct TCase {
    const char* text;
    bool ok;
  } cases[] = {
      {"0A0b0C0D0102", true}, {"0A0B0C0D", false},     {"0A0B0C0D010203", false},
      {"0A0B0C0D010", false}, {"0A0B0C0D01XY", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    WriteRegistry(RegistryXml(Key("System", Value("NmxNetId", "BIN", c.text))));
    VxRegTestRecreateStore();
    NmxNetId id = {{9, 9, 9, 9, 9, 9}};
    EXPECT_EQ(VxRegReadLocalMachineId(id) != FALSE, c.ok);
    const NmxNetId expected =
        c.ok ? NmxNetId{{10, 11, 12, 13, 1, 2}} : NmxNetId{{9, 9, 9, 9, 9, 9}};
    EXPECT_EQ(id, expected);
  }
}

}  // namespace
