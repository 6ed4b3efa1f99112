// The bytes of a capture file (.cap) and of a frame record. docs/capture-format.md draws
// them.
//
//   offset 0          128-byte file header
//   offset 128        frame records back to back, oldest first (B bytes)
//   offset 128 + B    frame table: one little-endian u32 file offset per record (4n bytes)
//   after the table   preallocated tail while the file is written; readers ignore it
//
// Every multi-byte field is little-endian except the EtherType, which is big-endian. The
// packed structs below only describe the layout (their offsets are pinned); bytes are always
// read and written through the Encode/Decode functions, field by field, so the code is
// right on any host. The functions are pure and take explicit lengths, so tools can use them
// on untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/ByteOrder.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"

#pragma pack(push, 1)

struct CAPTUREFILE_HEADER_VALUES {
  BYTE Signature[4];
  BYTE BCDVerMinor;
  BYTE BCDVerMajor;
  WORD MacType;
  SYSTEMTIME TimeStamp;
  DWORD FrameTableOffset;
  DWORD FrameTableLength;
  DWORD UserDataOffset;
  DWORD UserDataLength;
  DWORD CommentDataOffset;
  DWORD CommentDataLength;
  DWORD StatisticsOffset;
  DWORD StatisticsLength;
  DWORD NetworkInfoOffset;
  DWORD NetworkInfoLength;
  DWORD ConversationStatsOffset;
  DWORD ConversationStatsLength;
};

struct CAPTUREFILE_HEADER {
  union {
    CAPTUREFILE_HEADER_VALUES ActualHeader;
    BYTE Buffer[72];
  };
  BYTE Reserved[56];
};

struct TEthernetHdr {
  BYTE SrcAddress[6];
  BYTE DstAddress[6];
  WORD EtherType;  // big-endian in the bytes
};

// Head of a frame record; MacFrame holds FrameLength bytes: a TEthernetHdr, the
// E88A4ParserHDR word and the NMX packet.
typedef struct _FRAME {
  LONGLONG TimeStamp;
  DWORD FrameLength;
  DWORD nBytesAvail;
  BYTE MacFrame[1];
} FRAME, *PFRAME;

#pragma pack(pop)

static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, Signature) == 0);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, BCDVerMinor) == 4);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, BCDVerMajor) == 5);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, MacType) == 6);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, TimeStamp) == 8);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableOffset) == 24);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableLength) == 28);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, UserDataOffset) == 32);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, CommentDataOffset) == 40);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, StatisticsOffset) == 48);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, NetworkInfoOffset) == 56);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, ConversationStatsOffset) == 64);
static_assert(offsetof(CAPTUREFILE_HEADER_VALUES, ConversationStatsLength) == 68);
static_assert(sizeof(CAPTUREFILE_HEADER_VALUES) == 72);
static_assert(offsetof(CAPTUREFILE_HEADER, Reserved) == 72);
static_assert(sizeof(CAPTUREFILE_HEADER) == 128);
static_assert(offsetof(TEthernetHdr, DstAddress) == 6);
static_assert(offsetof(TEthernetHdr, EtherType) == 12);
static_assert(sizeof(TEthernetHdr) == 14);
static_assert(offsetof(FRAME, FrameLength) == 8);
static_assert(offsetof(FRAME, nBytesAvail) == 12);
static_assert(offsetof(FRAME, MacFrame) == 16);

namespace vxcap {

constexpr DWORD kHeaderSize = 128;
// The first eight bytes of every file: "GMBU", version 2.0 (minor, major), MAC type 1.
constexpr BYTE kHeaderMagic[8] = {0x47, 0x4D, 0x42, 0x55, 0x00, 0x02, 0x01, 0x00};

// Record head: TimeStamp, FrameLength, nBytesAvail.
constexpr DWORD kRecordHeadSize = 16;
// Pseudo-Ethernet part of MacFrame: the Ethernet header and the E88A4ParserHDR word.
constexpr DWORD kMacHeaderSize = 16;
// Record bytes in front of the NMX packet.
constexpr DWORD kPacketOffset = kRecordHeadSize + kMacHeaderSize;
constexpr WORD kEtherType = 0x88A4;
constexpr WORD kParserProtocol = 2;
constexpr DWORD kTableEntrySize = 4;

// The NMX header that starts every packet; its data length decides the packet length.
constexpr DWORD kNmxHeadSize = 32;
constexpr DWORD kNmxCbDataOffset = 20;
// Smallest valid record: head, pseudo-Ethernet part and an NMX header without data.
constexpr DWORD kMinRecordSize = kPacketOffset + kNmxHeadSize;

// Record offsets of the fields.
constexpr size_t kRecTimeStamp = 0;
constexpr size_t kRecFrameLength = 8;
constexpr size_t kRecBytesAvail = 12;
constexpr size_t kRecEtherType = kRecordHeadSize + 12;
constexpr size_t kRecParserWord = kRecordHeadSize + 14;

// ---- File header ----------------------------------------------------------------------

// What a reader takes from a header.
struct HeaderInfo {
  SYSTEMTIME timeStamp;
  DWORD frameTableOffset;
  DWORD frameTableLength;
};

enum class HeaderStatus {
  kOk,
  kTruncated,     // fewer than 128 bytes
  kBadSignature,  // bytes 0-3 are not "GMBU"
  kBadVersion,    // bytes 4-5 are not 00 02
  kBadMacType,    // bytes 6-7 are not 01 00
};

const char* HeaderStatusText(HeaderStatus s);

// Writes a whole header: magic, the time stamp, the table position and zeros elsewhere.
void EncodeHeader(BYTE* out128, const SYSTEMTIME& timeStamp, DWORD frameTableOffset,
                  DWORD frameTableLength);

// Accepts only a header whose first eight bytes are the magic; nothing else is examined.
// *info is filled only on kOk.
HeaderStatus DecodeHeader(const BYTE* p, size_t n, HeaderInfo* info);

// Frames and record bytes the header describes.
inline DWORD FrameCount(const HeaderInfo& h) {
  return h.frameTableLength / kTableEntrySize;
}
inline DWORD RecordBytes(const HeaderInfo& h) {
  return h.frameTableOffset >= kHeaderSize ? h.frameTableOffset - kHeaderSize : 0;
}

void EncodeSystemTime(BYTE* out16, const SYSTEMTIME& st);
SYSTEMTIME DecodeSystemTime(const BYTE* p16);

// ---- Frame records ----------------------------------------------------------------------

struct RecordHead {
  LONGLONG timeStamp;
  DWORD frameLength;
  DWORD bytesAvail;
};

// The E88A4ParserHDR word: bits 0-10 the packet length modulo 2048, bit 11 zero, bits 12-15
// the protocol 2.
constexpr WORD ParserWord(DWORD packetLength) {
  return static_cast<WORD>((packetLength & 0x7FF) | (kParserProtocol << 12));
}

// Record size for an NMX packet of packetLength bytes; 0 if it would not fit in 32 bits.
constexpr DWORD RecordSize(DWORD packetLength) {
  return packetLength > 0xFFFFFFFFu - kPacketOffset ? 0 : packetLength + kPacketOffset;
}

void EncodeRecordHead(BYTE* out16, LONGLONG timeStamp, DWORD frameLength);
RecordHead DecodeRecordHead(const BYTE* p16);

// The pseudo-Ethernet part for a packet of packetLength bytes: zero addresses, EtherType
// 0x88A4 (big-endian) and the parser word.
void EncodeMacHeader(BYTE* out16, DWORD packetLength);

// Writes a whole record for the packet into out (cbOut bytes) and returns its size, or 0 if
// it does not fit or the packet is shorter than an NMX header.
DWORD EncodeRecord(BYTE* out, size_t cbOut, LONGLONG timeStamp, const BYTE* packet,
                   DWORD packetLength);

enum class RecordStatus {
  kOk,
  kTruncated,           // fewer bytes than the head or than FrameLength + 16
  kTooShort,            // FrameLength below the pseudo-Ethernet part and an NMX header
  kBytesAvailMismatch,  // nBytesAvail differs from FrameLength
  kBadEtherType,
  kBadParserWord,
  kBadNmxLength,  // 32 + the NMX header's cbData differs from the packet length
};

const char* RecordStatusText(RecordStatus s);

// Checks one record of cbRecord bytes (its size as the table gives it, or the bytes that are
// available): every length is checked before it is used.
RecordStatus ValidateRecord(const BYTE* p, size_t cbRecord);

// ---- Frame table ------------------------------------------------------------------------

inline DWORD DecodeTableEntry(const BYTE* p) {
  return vx::DecodeLE32(p);
}
inline void EncodeTableEntry(BYTE* p, DWORD offset) {
  vx::EncodeLE32(p, offset);
}

// Checks that n entries describe records back to back from offset 128 up to tableOffset,
// each at least kMinRecordSize long. On a mismatch *badIndex (if given) receives the index
// of the first entry that does not agree (n when only tableOffset is wrong).
bool ValidateTable(const BYTE* table, DWORD n, DWORD tableOffset, DWORD* badIndex);

}  // namespace vxcap
