// Path helpers shared by the single capture file and the ring: names are given with either
// separator, and capture paths are bounded buffers.
#pragma once

#include <stddef.h>

#include "os/OsTypes.h"

namespace vxcap {

// Longest capture path in characters, without the terminating NUL.
constexpr DWORD kMaxCapturePath = 1024;

// Index of the first character of the file name: behind the last separator of either kind,
// as the file layer accepts both.
size_t NamePos(const char* path);

// Two spellings of one path ("a\b", "a//b", "A/B") must not be taken for two files: moving or
// copying one onto the other, or removing "the old one", would lose the capture.
bool SamePath(const char* a, const char* b);

// folder + "\" + name into out (kMaxCapturePath + 1 characters); false, leaving out
// untouched, if that is too long.
bool JoinPath(char* out, const char* folder, const char* name);

// Refusal to replace a file that is not a capture (the Win32 "file exists" error).
constexpr HRESULT CAPTURE_E_FOREIGN_FILE = static_cast<HRESULT>(0x80070050);

// True when path exists and is something a capture must not replace: not a regular file, or a
// regular file with content whose first bytes are not a capture file header. A missing or
// empty file, a capture file, and a file that cannot be examined (whose replacement fails on
// its own) give false.
bool IsForeignFile(const char* path);

}  // namespace vxcap
