// The strict unsigned parser: what it takes in each base, its limits and what it refuses.
#include "os/OsNumber.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

constexpr uint64_t kMax64 = UINT64_MAX;

TEST(OsParseUnsigned, TakesWholeNumbersUpToTheirLimitAndNothingElse) {
  const struct {
    const char* text;
    uint64_t max;
    OsNumberBase base;
    std::optional<uint64_t> value;  // nullopt: refused
  } cases[] = {
      {"0", 0, OsNumberBase::kDecimal, 0},
      {"007", 7, OsNumberBase::kDecimal, 7},
      {"65535", 0xFFFF, OsNumberBase::kDecimal, 65535},
      {"65536", 0xFFFF, OsNumberBase::kDecimal, std::nullopt},
      {"9", 5, OsNumberBase::kDecimal, std::nullopt},  // one digit above a small limit
      {"18446744073709551615", kMax64, OsNumberBase::kDecimal, kMax64},
      {"18446744073709551616", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"99999999999999999999999", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"+1", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"-1", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {" 1", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"1 ", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"1K", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"0x10", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"ff", kMax64, OsNumberBase::kDecimal, std::nullopt},
      {"fF", 0xFF, OsNumberBase::kHex, 0xFF},
      {"0x10", kMax64, OsNumberBase::kHex, std::nullopt},
      {"FFFFFFFFFFFFFFFF", kMax64, OsNumberBase::kHex, kMax64},
      {"10000000000000000", kMax64, OsNumberBase::kHex, std::nullopt},
      {"0x1f", 0x1F, OsNumberBase::kDecimalOrHex, 0x1F},
      {"0X1F", 0x1E, OsNumberBase::kDecimalOrHex, std::nullopt},
      {"10", kMax64, OsNumberBase::kDecimalOrHex, 10},
      {"0x", kMax64, OsNumberBase::kDecimalOrHex, std::nullopt},
      {"0x-1", kMax64, OsNumberBase::kDecimalOrHex, std::nullopt},
      {"0x 1", kMax64, OsNumberBase::kDecimalOrHex, std::nullopt},
      {"0x0x1", kMax64, OsNumberBase::kDecimalOrHex, std::nullopt},
      {"1f", kMax64, OsNumberBase::kDecimalOrHex, std::nullopt},
  };
  for (const auto& c : cases) {
    uint64_t v = 12345;
    const bool ok = OsParseUnsigned(c.text, c.max, &v, c.base);
    EXPECT_EQ(ok, c.value.has_value()) << "'" << c.text << "'";
    EXPECT_EQ(v, c.value.value_or(12345)) << "'" << c.text << "'";  // untouched when refused
  }
}

TEST(OsDigitRun, CountsTheLeadingDigitsOfItsBase) {
  EXPECT_EQ(OsDigitRun("4096K"), 4u);
  EXPECT_EQ(OsDigitRun("K"), 0u);
  EXPECT_EQ(OsDigitRun(""), 0u);
  EXPECT_EQ(OsDigitRun("12ab;", OsNumberBase::kHex), 4u);
  EXPECT_EQ(OsDigitRun("12ab;"), 2u);
}

}  // namespace
