// The typed values of the registry file: how a "Value" element's text turns into the bytes
// a query returns. Pure functions over a parsed element; thread-safe as far as the element is.
#pragma once

#include <pugixml.hpp>
#include <vector>

#include "os/OsTypes.h"

// The type code of a "Type" attribute text (REG_NONE for anything unknown, or none).
DWORD VxRegTypeFromName(const char* typeName);

// Decodes value into type and bytes. Returns VXREG_SUCCESS; VXREG_ACCESS_DENIED for a type
// that cannot be read (type REG_NONE, no bytes); VXREG_INVALID_DATA when the text does not
// fit its type (bad hexadecimal, a number out of range, a value beyond 4 GiB).
LONG VxRegDecodeValue(pugi::xml_node value, DWORD& type, std::vector<BYTE>& bytes);

// A "DW" text: optional white space, then decimal digits, or hexadecimal digits after "0x"
// or "#x". Reading stops at the first other character; no digits read as 0. False only when
// the number does not fit into 32 bits.
bool VxRegParseDword(const char* text, DWORD& value);
