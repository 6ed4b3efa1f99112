// NMX addresses and the command layout.
//
// These structures are the wire layout byte for byte: they are packed and are used in place
// on received buffers (a command read from the router or reassembled from NMX/TCP is cast
// to NmxCmd, never decoded field by field). That is only correct on a little-endian host,
// which the static_assert below enforces; every target of this program is little-endian.
//
// NmxHead (32 bytes):
//   +0  NmxAddr  target      node and port the command is sent to
//   +8  NmxAddr  sender      node and port of the endpoint that sent it
//   +16 u16      cmdId       command id (the KRP command id for KRP commands)
//   +18 u16      stateFlags  NMX_FLAG_* bits; unknown bits are carried unchanged
//   +20 u32      cbData      number of data bytes behind the header
//   +24 i32      errCode     NMX error code, 0 for none (also hRcv)
//   +28 u32      hUser       invoke id copied into the response (also fragmentNo, packetNo)
// NmxAddr (8 bytes): +0 NmxNetId netId (6 bytes), +6 u16 port.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "os/OsTypes.h"

static_assert(std::endian::native == std::endian::little,
              "NMX structures are used in place on little-endian wire bytes");

typedef WORD NmxPortNo;

// Header state flags that the program sets or interprets.
constexpr WORD NMX_FLAG_RESPONSE = 0x0001;
constexpr WORD NMX_FLAG_KRP_COMMAND = 0x0004;
constexpr WORD NMX_FLAG_SYSTEM_COMMAND = 0x0008;
// The last 8 bytes of the data (counted in cbData) are a 64-bit file time set by the router.
constexpr WORD NMX_FLAG_TIMESTAMP = 0x0020;

constexpr DWORD NMX_HEAD_SIZE = 32;

// Longest text form of a NetId, "255.255.255.255.255.255", with its terminator.
constexpr size_t NMXNETID_TEXT_SIZE = 24;

#pragma pack(push, 1)

struct NmxNetId {
  BYTE b[6];

  void Clear();
  // True when the last two bytes are both non-zero; the first four are not examined.
  bool IsValid() const { return b[4] != 0 && b[5] != 0; }

  // Parses "a.b.c.d.e.f" (each number taken modulo 256) or the relative form
  // "[a.b.c.d].e.f" (first four bytes 0). Text after the sixth number is ignored; a null,
  // empty or unparsable text leaves all six bytes 0. Never fails.
  NmxNetId& operator=(const char* text);

  // Writes the dotted decimal form into buf (always terminated when size > 0).
  // Returns buf.
  const char* ToText(char* buf, size_t size) const;
};

inline bool operator==(const NmxNetId& a, const NmxNetId& b) {
  for (int i = 0; i < 6; ++i)
    if (a.b[i] != b.b[i]) return false;
  return true;
}
inline bool operator!=(const NmxNetId& a, const NmxNetId& b) {
  return !(a == b);
}

struct NmxAddr {
  NmxNetId netId;
  NmxPortNo port;

  NmxAddr() { Clear(); }
  NmxAddr(const NmxNetId& id, NmxPortNo portNo) : netId(id), port(portNo) {}
  void Clear() {
    netId.Clear();
    port = 0;
  }
};

inline bool operator==(const NmxAddr& a, const NmxAddr& b) {
  return a.netId == b.netId && a.port == b.port;
}
inline bool operator!=(const NmxAddr& a, const NmxAddr& b) {
  return !(a == b);
}

struct NmxHead {
  NmxAddr target;
  NmxAddr sender;
  WORD cmdId;
  WORD stateFlags;
  DWORD cbData;
  union {
    LONG errCode;
    DWORD hRcv;
  };
  union {
    DWORD hUser;
    struct {
      WORD fragmentNo;
      WORD packetNo;
    };
  };

  void Clear() { *this = NmxHead{}; }
};

// One command: the header immediately followed by head.cbData data bytes in one buffer.
// Never constructed or copied by value; always a pointer to such a buffer.
struct NmxCmd {
  NmxHead head;
  BYTE data[];
};

#pragma pack(pop)

static_assert(sizeof(NmxNetId) == 6);
static_assert(sizeof(NmxAddr) == 8);
static_assert(offsetof(NmxAddr, netId) == 0);
static_assert(offsetof(NmxAddr, port) == 6);
static_assert(sizeof(NmxHead) == NMX_HEAD_SIZE);
static_assert(offsetof(NmxHead, target) == 0);
static_assert(offsetof(NmxHead, sender) == 8);
static_assert(offsetof(NmxHead, cmdId) == 16);
static_assert(offsetof(NmxHead, stateFlags) == 18);
static_assert(offsetof(NmxHead, cbData) == 20);
static_assert(offsetof(NmxHead, errCode) == 24);
static_assert(offsetof(NmxHead, hRcv) == 24);
static_assert(offsetof(NmxHead, hUser) == 28);
static_assert(offsetof(NmxHead, fragmentNo) == 28);
static_assert(offsetof(NmxHead, packetNo) == 30);
static_assert(offsetof(NmxCmd, data) == NMX_HEAD_SIZE);
static_assert(alignof(NmxHead) == 1 && alignof(NmxCmd) == 1, "usable at any buffer offset");

// The NMX header from its 32 wire bytes, field by field: for bytes read from a file or a
// stream, which are never used in place.
NmxHead DecodeNmxHead(const BYTE* p);

// 127.0.0.1.1.1, and the sender NetId that replaces ours when a KRP command goes to it.
constexpr NmxNetId NMXNETID_LOOPBACK = {{127, 0, 0, 1, 1, 1}};
constexpr NmxNetId IP2NMXNETID_LOOPBACK = {{127, 0, 0, 0, 1, 1}};

// Kinds of NMX endpoint; this program only creates PORTTYPE_R3PORT.
enum NMXPORT_TYPE : int32_t {
  PORTTYPE_INVALID = -1,
  PORTTYPE_ROUTER = 0,
  PORTTYPE_R3PORT = 1,
  PORTTYPE_R0CTRLPORT = 2,
  PORTTYPE_R0TASKPORT = 3,
  PORTTYPE_R0IOPORT = 4,
  PORTTYPE_TPPORT = 5,
  PORTTYPE_R3PORTITF = 6,
  PORTTYPE_R0CTRLPORTITF = 7,
  PORTTYPE_R0TASKPORTITF = 8,
  PORTTYPE_R0IOPORTITF = 9,
  PORTTYPE_R0PLPORT = 10,
  PORTTYPE_R0PLPORTITF = 11,
  PORTTYPE_MAXVALUE = 255,
};
static_assert(sizeof(NMXPORT_TYPE) == 4);
