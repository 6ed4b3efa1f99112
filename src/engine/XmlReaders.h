// Value readers of the logger settings document. Each reads an element's text and never
// fails: malformed text reads as 0 or false.
#pragma once

#include <pugixml.hpp>

#include "os/OsTypes.h"

// The element's text: its first text or CDATA child, surrounding white space included, or ""
// when it has none (also for a null node). Valid as long as the document.
const char* XMLGettext(const pugi::xml_node& node);

// Unsigned: plain decimal (leading '0' and '+' allowed) or "#x" followed by what "%x" reads;
// everything else, values of 2^32 or more and a leading '-' included, reads as 0.
DWORD XMLGetUlong(const char* text);
// XMLGetUlong cut to its low 16 bits.
WORD XMLGetUshort(const char* text);
// Signed: "0x"/"#x" hexadecimal, else decimal as strtol reads it; text without digits is 1
// when it is "true" in any letter case, else 0. The result keeps the low 32 bits, so
// 0xFFFFFFFF and -1 read alike.
LONG XMLGetLong(const char* text);
// True when the first character is '1', 't', 'T', 'y' or 'Y'.
bool XmlGetBool(const char* text);

inline DWORD XMLGetUlong(const pugi::xml_node& node) {
  return XMLGetUlong(XMLGettext(node));
}
inline WORD XMLGetUshort(const pugi::xml_node& node) {
  return XMLGetUshort(XMLGettext(node));
}
inline LONG XMLGetLong(const pugi::xml_node& node) {
  return XMLGetLong(XMLGettext(node));
}
inline bool XmlGetBool(const pugi::xml_node& node) {
  return XmlGetBool(XMLGettext(node));
}
