// What a KRP result code of the logger means, in words.
#pragma once

#include <string>

#include "os/OsTypes.h"

// "invalid state (0x712)"; unknown codes as "KRP error 0x7XX".
std::string KrpErrorText(DWORD code);
