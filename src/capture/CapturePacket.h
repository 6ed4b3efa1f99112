// The packet a viewer receives: a 24-byte header followed by frame records.
#pragma once

#include <cstddef>

#include "os/ByteOrder.h"
#include "os/OsTypes.h"

// Offset  Size  Field
//      0     2  nId           sequence id (1 for a view's first sequence, wrapping)
//      2     2  nPacket       packet number within the sequence, from 0
//      4     4  cbLeft        record bytes of the sequence after this packet (0 in its last)
//      8     4  cbData        record bytes in this packet
//     12     4  nFrames       frames whose records end in this packet
//     16     4  cbIncomplete  full size of a record begun at the end of this packet, else 0
//     20     4  nErr          0
//     24        pData         the records: the rest of an earlier record, whole records, the
//                             beginning of a record continued in the next packet
// All fields little-endian. The structs describe the layout; the bytes are written and read
// with EncodeCapturePacketHdr / DecodeCapturePacketHdr.
#pragma pack(push, 1)
typedef struct _TCapturePacketHdr {
  WORD nId;
  WORD nPacket;
  DWORD cbLeft;
  DWORD cbData;
  LONG nFrames;
  DWORD cbIncomplete;
  LONG nErr;
} TCapturePacketHdr, *PTCapturePacketHdr;

typedef struct _TCapturePacket {
  TCapturePacketHdr hdr;
  BYTE pData[1];
} TCapturePacket, *PTCapturePacket;
#pragma pack(pop)

static_assert(offsetof(TCapturePacketHdr, nPacket) == 2);
static_assert(offsetof(TCapturePacketHdr, cbLeft) == 4);
static_assert(offsetof(TCapturePacketHdr, cbData) == 8);
static_assert(offsetof(TCapturePacketHdr, nFrames) == 12);
static_assert(offsetof(TCapturePacketHdr, cbIncomplete) == 16);
static_assert(offsetof(TCapturePacketHdr, nErr) == 20);
static_assert(sizeof(TCapturePacketHdr) == 24);
static_assert(offsetof(TCapturePacket, pData) == 24);

namespace vxcap {

constexpr DWORD kPacketHeaderSize = 24;

inline void EncodeCapturePacketHdr(BYTE* out24, const TCapturePacketHdr& h) {
  vx::EncodeLE16(out24 + 0, h.nId);
  vx::EncodeLE16(out24 + 2, h.nPacket);
  vx::EncodeLE32(out24 + 4, h.cbLeft);
  vx::EncodeLE32(out24 + 8, h.cbData);
  vx::EncodeLE32(out24 + 12, static_cast<DWORD>(h.nFrames));
  vx::EncodeLE32(out24 + 16, h.cbIncomplete);
  vx::EncodeLE32(out24 + 20, static_cast<DWORD>(h.nErr));
}

// False if fewer than 24 bytes are given.
inline bool DecodeCapturePacketHdr(const BYTE* p, size_t n, TCapturePacketHdr* h) {
  if (!p || !h || n < kPacketHeaderSize) return false;
  h->nId = vx::DecodeLE16(p + 0);
  h->nPacket = vx::DecodeLE16(p + 2);
  h->cbLeft = vx::DecodeLE32(p + 4);
  h->cbData = vx::DecodeLE32(p + 8);
  h->nFrames = static_cast<LONG>(vx::DecodeLE32(p + 12));
  h->cbIncomplete = vx::DecodeLE32(p + 16);
  h->nErr = static_cast<LONG>(vx::DecodeLE32(p + 20));
  return true;
}

}  // namespace vxcap
