// Unsigned numbers as command lines, settings and stored files write them, read strictly:
// digits only, nothing around them, the value checked against its limit without overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

enum class OsNumberBase {
  kDecimal,
  kHex,           // hexadecimal digits, without a prefix
  kDecimalOrHex,  // decimal, or hexadecimal after "0x" or "0X"
};

// True when the whole of text is one number in base no larger than max: at least one digit
// (after the prefix too), no sign, no blanks, no suffix. *value is set only then.
bool OsParseUnsigned(std::string_view text, uint64_t max, uint64_t* value,
                     OsNumberBase base = OsNumberBase::kDecimal);

// How many characters at the start of text are digits of base (kDecimal or kHex; a prefix is
// not looked for), for callers that take a number followed by something else.
size_t OsDigitRun(std::string_view text, OsNumberBase base = OsNumberBase::kDecimal);
