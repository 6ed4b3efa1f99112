#include "registry/VxRegValue.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "os/OsNumber.h"
#include "registry/VxRegTypes.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The leading digits of text in base, no larger than max. Text without them reads as 0 and
// what follows them is not looked at, as the registry's files have always been read.
bool ParseLeadingUnsigned(const char* text, OsNumberBase base, uint64_t max, uint64_t& value) {
  const std::string_view t(text);
  const size_t n = OsDigitRun(t, base);
  value = 0;
  return n == 0 || OsParseUnsigned(t.substr(0, n), max, &value, base);
}

void AppendString(std::vector<BYTE>& bytes, const char* text) {
  bytes.insert(bytes.end(), text, text + strlen(text) + 1);
}

LONG DecodeBinary(const char* text, std::vector<BYTE>& bytes) {
  size_t len = strlen(text);
  if (len % 2 != 0) return VXREG_INVALID_DATA;
  bytes.reserve(len / 2);
  for (size_t i = 0; i < len; i += 2) {
    int hi = HexDigit(text[i]);
    int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return VXREG_INVALID_DATA;
    bytes.push_back(static_cast<BYTE>(hi << 4 | lo));
  }
  return VXREG_SUCCESS;
}

LONG DecodeMultiString(pugi::xml_node value, std::vector<BYTE>& bytes) {
  size_t count = 0;
  for (pugi::xml_node sz : value.child("MultiSz").children("Sz")) {
    AppendString(bytes, sz.child_value());
    ++count;
  }
  bytes.push_back(0);
  if (count == 0) bytes.push_back(0);
  return VXREG_SUCCESS;
}

}  // namespace

DWORD VxRegTypeFromName(const char* typeName) {
  static constexpr struct {
    const char* name;
    DWORD type;
  } kTypes[] = {{"SZ", REG_SZ},    {"E_SZ", REG_EXPAND_SZ}, {"BIN", REG_BINARY},
                {"DW", REG_DWORD}, {"M_SZ", REG_MULTI_SZ},  {"QW", REG_QWORD}};
  for (const auto& t : kTypes)
    if (strcmp(typeName, t.name) == 0) return t.type;
  return REG_NONE;
}

bool VxRegParseDword(const char* text, DWORD& value) {
  while (IsSpace(*text)) ++text;
  OsNumberBase base = OsNumberBase::kDecimal;
  if ((text[0] == '0' || text[0] == '#') && text[1] == 'x') {
    base = OsNumberBase::kHex;
    text += 2;
  }
  uint64_t v;
  if (!ParseLeadingUnsigned(text, base, std::numeric_limits<DWORD>::max(), v)) return false;
  value = static_cast<DWORD>(v);
  return true;
}

LONG VxRegDecodeValue(pugi::xml_node value, DWORD& type, std::vector<BYTE>& bytes) {
  bytes.clear();
  type = VxRegTypeFromName(value.attribute("Type").value());
  const char* text = value.child_value();
  LONG rc = VXREG_SUCCESS;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      AppendString(bytes, text);
      break;
    case REG_BINARY:
      rc = DecodeBinary(text, bytes);
      break;
    case REG_DWORD: {
      DWORD v;
      if (!VxRegParseDword(text, v)) return VXREG_INVALID_DATA;
      bytes.resize(sizeof(v));
      memcpy(bytes.data(), &v, sizeof(v));
      break;
    }
    case REG_MULTI_SZ:
      rc = DecodeMultiString(value, bytes);
      break;
    case REG_QWORD: {
      const char* p = text;
      while (IsSpace(*p)) ++p;
      uint64_t v;
      if (!ParseLeadingUnsigned(p, OsNumberBase::kDecimal, std::numeric_limits<uint64_t>::max(), v))
        return VXREG_INVALID_DATA;
      bytes.resize(sizeof(v));
      memcpy(bytes.data(), &v, sizeof(v));
      break;
    }
    default:
      return VXREG_ACCESS_DENIED;
  }
  if (rc == VXREG_SUCCESS && bytes.size() > std::numeric_limits<DWORD>::max())
    rc = VXREG_INVALID_DATA;
  if (rc != VXREG_SUCCESS) bytes.clear();
  return rc;
}
