#include "capture/CaptureFormat.h"

#include <cstring>

namespace vxcap {

using vx::DecodeBE16;
using vx::DecodeLE16;
using vx::DecodeLE32;
using vx::DecodeLE64;
using vx::EncodeBE16;
using vx::EncodeLE16;
using vx::EncodeLE32;
using vx::EncodeLE64;

const char* HeaderStatusText(HeaderStatus s) {
  switch (s) {
    case HeaderStatus::kOk:
      return "valid header";
    case HeaderStatus::kTruncated:
      return "truncated header";
    case HeaderStatus::kBadSignature:
      return "bad signature (not GMBU)";
    case HeaderStatus::kBadVersion:
      return "unsupported format version (not 2.0)";
    case HeaderStatus::kBadMacType:
      return "unsupported media type (not Ethernet)";
  }
  return "unknown header status";
}

void EncodeSystemTime(BYTE* out, const SYSTEMTIME& st) {
  const WORD f[8] = {st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
                     st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
  for (int i = 0; i < 8; ++i) EncodeLE16(out + 2 * i, f[i]);
}

SYSTEMTIME DecodeSystemTime(const BYTE* p) {
  SYSTEMTIME st;
  st.wYear = DecodeLE16(p);
  st.wMonth = DecodeLE16(p + 2);
  st.wDayOfWeek = DecodeLE16(p + 4);
  st.wDay = DecodeLE16(p + 6);
  st.wHour = DecodeLE16(p + 8);
  st.wMinute = DecodeLE16(p + 10);
  st.wSecond = DecodeLE16(p + 12);
  st.wMilliseconds = DecodeLE16(p + 14);
  return st;
}

void EncodeHeader(BYTE* out, const SYSTEMTIME& timeStamp, DWORD frameTableOffset,
                  DWORD frameTableLength) {
  memset(out, 0, kHeaderSize);
  memcpy(out, kHeaderMagic, sizeof kHeaderMagic);
  EncodeSystemTime(out + offsetof(CAPTUREFILE_HEADER_VALUES, TimeStamp), timeStamp);
  EncodeLE32(out + offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableOffset), frameTableOffset);
  EncodeLE32(out + offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableLength), frameTableLength);
}

HeaderStatus DecodeHeader(const BYTE* p, size_t n, HeaderInfo* info) {
  if (!p || n < kHeaderSize) return HeaderStatus::kTruncated;
  if (memcmp(p, kHeaderMagic, 4) != 0) return HeaderStatus::kBadSignature;
  if (memcmp(p + 4, kHeaderMagic + 4, 2) != 0) return HeaderStatus::kBadVersion;
  if (memcmp(p + 6, kHeaderMagic + 6, 2) != 0) return HeaderStatus::kBadMacType;
  if (info) {
    info->timeStamp = DecodeSystemTime(p + offsetof(CAPTUREFILE_HEADER_VALUES, TimeStamp));
    info->frameTableOffset = DecodeLE32(p + offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableOffset));
    info->frameTableLength = DecodeLE32(p + offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableLength));
  }
  return HeaderStatus::kOk;
}

void EncodeRecordHead(BYTE* out, LONGLONG timeStamp, DWORD frameLength) {
  EncodeLE64(out + kRecTimeStamp, static_cast<uint64_t>(timeStamp));
  EncodeLE32(out + kRecFrameLength, frameLength);
  EncodeLE32(out + kRecBytesAvail, frameLength);
}

RecordHead DecodeRecordHead(const BYTE* p) {
  RecordHead h;
  h.timeStamp = static_cast<LONGLONG>(DecodeLE64(p + kRecTimeStamp));
  h.frameLength = DecodeLE32(p + kRecFrameLength);
  h.bytesAvail = DecodeLE32(p + kRecBytesAvail);
  return h;
}

void EncodeMacHeader(BYTE* out, DWORD packetLength) {
  memset(out, 0, 12);
  EncodeBE16(out + 12, kEtherType);
  EncodeLE16(out + 14, ParserWord(packetLength));
}

DWORD EncodeRecord(BYTE* out, size_t cbOut, LONGLONG timeStamp, const BYTE* packet,
                   DWORD packetLength) {
  DWORD size = RecordSize(packetLength);
  if (!out || !packet || packetLength < kNmxHeadSize || size == 0 || cbOut < size) return 0;
  EncodeRecordHead(out, timeStamp, packetLength + kMacHeaderSize);
  EncodeMacHeader(out + kRecordHeadSize, packetLength);
  memcpy(out + kPacketOffset, packet, packetLength);
  return size;
}

const char* RecordStatusText(RecordStatus s) {
  switch (s) {
    case RecordStatus::kOk:
      return "valid record";
    case RecordStatus::kTruncated:
      return "truncated record";
    case RecordStatus::kTooShort:
      return "FrameLength too small for an NMX header";
    case RecordStatus::kBytesAvailMismatch:
      return "nBytesAvail differs from FrameLength";
    case RecordStatus::kBadEtherType:
      return "EtherType is not 0x88A4";
    case RecordStatus::kBadParserWord:
      return "bad 0x88A4 parser word";
    case RecordStatus::kBadNmxLength:
      return "NMX data length disagrees with the frame length";
  }
  return "unknown record status";
}

RecordStatus ValidateRecord(const BYTE* p, size_t cbRecord) {
  if (!p || cbRecord < kRecordHeadSize) return RecordStatus::kTruncated;
  RecordHead h = DecodeRecordHead(p);
  if (h.frameLength < kMacHeaderSize + kNmxHeadSize) return RecordStatus::kTooShort;
  if (static_cast<uint64_t>(h.frameLength) + kRecordHeadSize > cbRecord)
    return RecordStatus::kTruncated;
  if (h.bytesAvail != h.frameLength) return RecordStatus::kBytesAvailMismatch;
  if (DecodeBE16(p + kRecEtherType) != kEtherType) return RecordStatus::kBadEtherType;
  DWORD packetLength = h.frameLength - kMacHeaderSize;
  if (DecodeLE16(p + kRecParserWord) != ParserWord(packetLength))
    return RecordStatus::kBadParserWord;
  DWORD cbData = DecodeLE32(p + kPacketOffset + kNmxCbDataOffset);
  if (static_cast<uint64_t>(cbData) + kNmxHeadSize != packetLength)
    return RecordStatus::kBadNmxLength;
  return RecordStatus::kOk;
}

bool ValidateTable(const BYTE* table, DWORD n, DWORD tableOffset, DWORD* badIndex) {
  uint64_t expectedMin = kHeaderSize;
  for (DWORD i = 0; i < n; ++i) {
    DWORD e = DecodeTableEntry(table + static_cast<size_t>(i) * kTableEntrySize);
    bool ok = i == 0 ? e == kHeaderSize : e >= expectedMin;
    if (!ok) {
      if (badIndex) *badIndex = i;
      return false;
    }
    expectedMin = static_cast<uint64_t>(e) + kMinRecordSize;
  }
  bool endOk = n == 0 ? tableOffset == kHeaderSize : tableOffset >= expectedMin;
  if (!endOk) {
    if (badIndex) *badIndex = n;
    return false;
  }
  return true;
}

}  // namespace vxcap
