#pragma once

#include <cstdint>
#include <string>

// printf into a std::string, for the tools' short messages about a record (what is wrong with
// it, where); a text longer than 511 characters is cut.
std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "OUT keeps the N frames written before": what a failed run left of its output.
std::string KeptFramesText(const std::string& path, uint64_t frames);
