// NMX/TCP framing: every NMX command on the stream is preceded by a 6-byte prefix
// (docs/nmx-tcp.md draws the bytes).
//
//   +0 u16 reserved   0 when sending; 0 and 1 accepted when receiving
//   +2 u32 length     bytes behind the prefix: the 32-byte NMX header plus its cbData
//   +6 NMX header, then cbData bytes of NMX data
//
// All fields little-endian; frames follow each other without gaps.
#pragma once

#include <cstddef>

#include "nmx/KrpTypes.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"
#include "os/OsTypes.h"

#pragma pack(push, 1)
struct NmxTcpPrefix {
  WORD reserved;
  DWORD length;
};
#pragma pack(pop)

static_assert(sizeof(NmxTcpPrefix) == 6);
static_assert(offsetof(NmxTcpPrefix, reserved) == 0);
static_assert(offsetof(NmxTcpPrefix, length) == 2);

constexpr DWORD NMXTCP_PREFIX_SIZE = sizeof(NmxTcpPrefix);

// Well-known NMX/TCP port.
constexpr WORD NMXTCP_SERVER_PORT = 48898;

// Highest reserved value a receiver accepts.
constexpr WORD NMXTCP_MAX_RESERVED = 1;

// Longest frame (length field) either side sends or accepts. A peer controls the length, and
// the receiver collects a whole frame before passing it on, so the length is bounded before
// anything is allocated: the largest permitted read answer (KRP_MAX_READ_LENGTH data bytes)
// plus room for the NMX header and a KRP header.
constexpr DWORD NMXTCP_MAX_FRAME_LENGTH = KRP_MAX_READ_LENGTH + 64;
static_assert(NMXTCP_MAX_FRAME_LENGTH >= NMX_HEAD_SIZE + KRP_READ_RES_HEAD + KRP_MAX_READ_LENGTH);

inline void EncodeNmxTcpPrefix(BYTE* p, DWORD length) {
  vx::EncodeLE16(p + offsetof(NmxTcpPrefix, reserved), 0);
  vx::EncodeLE32(p + offsetof(NmxTcpPrefix, length), length);
}

inline NmxTcpPrefix DecodeNmxTcpPrefix(const BYTE* p) {
  NmxTcpPrefix prefix;
  prefix.reserved = vx::DecodeLE16(p + offsetof(NmxTcpPrefix, reserved));
  prefix.length = vx::DecodeLE32(p + offsetof(NmxTcpPrefix, length));
  return prefix;
}

// Offset of the NMX header's cbData within the frame body (behind the prefix).
constexpr size_t NMXTCP_CBDATA_OFFSET = offsetof(NmxHead, cbData);
