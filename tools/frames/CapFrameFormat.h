// How frames are printed: one text line like a packet dumper, or one JSON object per frame.
#pragma once

#include <cstdint>
#include <string>

#include "frames/CapRecord.h"
#include "frames/KrpDecode.h"
#include "nmx/NmxTypes.h"

// "5.1.204.160.1.1:851".
std::string FormatNmxAddr(const NmxAddr& a);

// An address as one number, NetId bytes first and then the port, so that keys sort in
// NetId order; and back.
uint64_t NmxAddrKey(const NmxAddr& a);
NmxAddr NmxAddrFromKey(uint64_t key);

// "Read(2)" for a KRP command, "NMX(12)" for any other.
std::string CommandLabel(const NmxHead& h);

// An NMX error code: decimal up to 0xFFFF, hexadecimal beyond.
std::string FormatNmxError(LONG errCode);

// The frame's line, without a line end:
//   <n> <UTC time, us> <sender> -> <target> <command> req|res flags=0x.... invoke=<id>
//   err=<NMX error> len=<data length> <decoded KRP fields> [(note)]
std::string FormatFrameLine(const CapFrame& f, const KrpPayload& krp);

// The decoded KRP fields of a frame line, "indexGroup=0x4020 length=4 (note)"; empty when
// there are none.
std::string FormatKrpFields(const KrpPayload& krp);

// The frame as one JSON object, without a line end; hex adds the packet bytes as far as
// they are in the frame's view ("bytes"), and how many are not ("bytesOmitted").
std::string FormatFrameJson(const CapFrame& f, const KrpPayload& krp, bool hex);

// Lines "  0000  47 4d 42 55 ...  |GMBU....|" of n bytes, numbered from 0, each with a line
// end.
std::string HexDump(const BYTE* p, size_t n);

// s as the inside of a JSON string: quotes, backslashes, control characters and bytes
// outside printable ASCII escaped.
std::string JsonEscape(const std::string& s);
