#pragma once

#include <string>

// printf into a std::string, for the tools' short messages about a record (what is wrong with
// it, where); a text longer than 511 characters is cut.
std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
