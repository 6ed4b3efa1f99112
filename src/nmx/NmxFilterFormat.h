// The traffic filter's settings in the byte form a viewer reads and writes them in (index
// group 0x2000, docs/viewer-commands.md), which is also the form the filter keeps: address
// tables and the filter flag bits.
#pragma once

#include <cstddef>

#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"
#include "os/OsTypes.h"

// What an address entry compares.
constexpr WORD NMX_ADDRFLAG_ANY = 0;    // matches every command
constexpr WORD NMX_ADDRFLAG_PORT = 1;   // the port only
constexpr WORD NMX_ADDRFLAG_NETID = 2;  // the NetId only
constexpr WORD NMX_ADDRFLAG_ADDR = 3;   // NetId and port

// Filter flag bits.
constexpr DWORD NMX_FILTER_KRP = 0x00000001;    // keep only KRP commands
constexpr DWORD NMX_FILTER_ERROR = 0x00000002;  // keep only commands that carry an error

// An address table, as the viewer transfers it (4 + 10 n bytes, little-endian):
//   +0        u32      nAddresses n
//   +4 + 10i  u16      Address[i].AddressFlags
//   +6 + 10i  NmxAddr  Address[i].Address (6-byte NetId, u16 port)
// The structs describe the layout; the bytes are read and written through the functions
// below.
#pragma pack(push, 1)
typedef struct _TNmxAddressFilter {
  WORD AddressFlags;
  NmxAddr Address;
} TNmxAddressFilter, *PTNmxAddressFilter;

typedef struct _TNmxAddressTable {
  DWORD nAddresses;
  TNmxAddressFilter Address[];
} TNmxAddressTable, *PTNmxAddressTable;
#pragma pack(pop)

static_assert(sizeof(TNmxAddressFilter) == 10);
static_assert(offsetof(TNmxAddressFilter, Address) == 2);
static_assert(offsetof(TNmxAddressTable, Address) == 4);

constexpr size_t NMX_ADDRESS_TABLE_HEAD = 4;
constexpr size_t NMX_ADDRESS_ENTRY_SIZE = 10;

// Bytes of a table of n entries (no overflow for any 32-bit n).
constexpr size_t NmxAddressTableSize(ULONGLONG n) {
  return static_cast<size_t>(NMX_ADDRESS_TABLE_HEAD + NMX_ADDRESS_ENTRY_SIZE * n);
}

inline DWORD NmxAddressTableCount(const BYTE* table) {
  return vx::DecodeLE32(table);
}

inline TNmxAddressFilter NmxDecodeAddressFilter(const BYTE* table, DWORD i) {
  const BYTE* p = table + NmxAddressTableSize(i);
  TNmxAddressFilter f;
  f.AddressFlags = vx::DecodeLE16(p);
  for (int k = 0; k < 6; ++k) f.Address.netId.b[k] = p[2 + k];
  f.Address.port = vx::DecodeLE16(p + 8);
  return f;
}

inline void NmxEncodeAddressFilter(BYTE* table, DWORD i, const TNmxAddressFilter& f) {
  BYTE* p = table + NmxAddressTableSize(i);
  vx::EncodeLE16(p, f.AddressFlags);
  for (int k = 0; k < 6; ++k) p[2 + k] = f.Address.netId.b[k];
  vx::EncodeLE16(p + 8, f.Address.port);
}
