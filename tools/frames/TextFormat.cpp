#include "frames/TextFormat.h"

#include <cstdarg>
#include <cstdio>

std::string FormatText(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string KeptFramesText(const std::string& path, uint64_t frames) {
  return path + " keeps the " + std::to_string(frames) + (frames == 1 ? " frame" : " frames") +
         " written before";
}
