#include "registry/VxRegValue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/VxRegTypes.h"

namespace {

std::vector<BYTE> Native32(uint32_t v) {
  std::vector<BYTE> b(4);
  memcpy(b.data(), &v, 4);
  return b;
}

std::vector<BYTE> Native64(uint64_t v) {
  std::vector<BYTE> b(8);
  memcpy(b.data(), &v, 8);
  return b;
}

std::vector<BYTE> Bytes(const std::string& s) {
  return std::vector<BYTE>(s.begin(), s.end());
}

struct TValueCase {
  const char* xml;
  LONG rc;
  DWORD type;
  std::vector<BYTE> bytes;
};

TEST(VxRegValue, DecodesEveryTypeAndRejectsMalformedText) {
  const TValueCase cases[] = {
      {R"(<Value Type="DW">0x10</Value>)", VXREG_SUCCESS, REG_DWORD, Native32(16)},
      {R"(<Value Type="DW">16</Value>)", VXREG_SUCCESS, REG_DWORD, Native32(16)},
      {R"(<Value Type="DW">0X10</Value>)", VXREG_SUCCESS, REG_DWORD, Native32(0)},
      {R"(<Value Type="DW">#x1f</Value>)", VXREG_SUCCESS, REG_DWORD, Native32(31)},
      {R"(<Value Type="DW"> 42 apples</Value>)", VXREG_SUCCESS, REG_DWORD, Native32(42)},
      {R"(<Value Type="DW"></Value>)", VXREG_SUCCESS, REG_DWORD, Native32(0)},
      {R"(<Value Type="DW">4294967295</Value>)", VXREG_SUCCESS, REG_DWORD, Native32(0xFFFFFFFFu)},
      {R"(<Value Type="DW">4294967296</Value>)", VXREG_INVALID_DATA, REG_DWORD, {}},
      {R"(<Value Type="DW">0x100000000</Value>)", VXREG_INVALID_DATA, REG_DWORD, {}},
      {R"(<Value Type="QW">18446744073709551615</Value>)", VXREG_SUCCESS, REG_QWORD,
       Native64(~0ull)},
      {R"(<Value Type="QW">18446744073709551616</Value>)", VXREG_INVALID_DATA, REG_QWORD, {}},
      {R"(<Value Type="BIN">0a0B7f</Value>)", VXREG_SUCCESS, REG_BINARY, {0x0A, 0x0B, 0x7F}},
      {R"(<Value Type="BIN"></Value>)", VXREG_SUCCESS, REG_BINARY, {}},
      {R"(<Value Type="BIN">0a0</Value>)", VXREG_INVALID_DATA, REG_BINARY, {}},
      {R"(<Value Type="BIN">0g</Value>)", VXREG_INVALID_DATA, REG_BINARY, {}},
      {R"(<Value Type="BIN">0 1 </Value>)", VXREG_INVALID_DATA, REG_BINARY, {}},
      {R"(<Value Type="SZ">C:\boot</Value>)", VXREG_SUCCESS, REG_SZ,
       Bytes(std::string("C:\\boot", 8))},
      {R"(<Value Type="SZ"/>)", VXREG_SUCCESS, REG_SZ, {0}},
      {R"(<Value Type="E_SZ">x</Value>)", VXREG_SUCCESS, REG_EXPAND_SZ, {'x', 0}},
      {R"(<Value Type="M_SZ"><MultiSz><Sz>a</Sz><Sz>bc</Sz></MultiSz></Value>)",
       VXREG_SUCCESS,
       REG_MULTI_SZ,
       {'a', 0, 'b', 'c', 0, 0}},
      {R"(<Value Type="M_SZ"><MultiSz/></Value>)", VXREG_SUCCESS, REG_MULTI_SZ, {0, 0}},
      {R"(<Value Type="M_SZ"/>)", VXREG_SUCCESS, REG_MULTI_SZ, {0, 0}},
      {R"(<Value Type="sz">text</Value>)", VXREG_ACCESS_DENIED, REG_NONE, {}},
      {R"(<Value>text</Value>)", VXREG_ACCESS_DENIED, REG_NONE, {}},
  };
  for (const TValueCase& c : cases) {
    SCOPED_TRACE(c.xml);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(c.xml));
    DWORD type = 0xDEAD;
    std::vector<BYTE> bytes = {0xEE};
    EXPECT_EQ(VxRegDecodeValue(doc.first_child(), type, bytes), c.rc);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(bytes, c.bytes);
  }
}

}  // namespace
