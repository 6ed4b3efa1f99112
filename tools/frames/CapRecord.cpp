#include "frames/CapRecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "frames/TextFormat.h"
#include "os/ByteOrder.h"

using vxcap::RecordStatus;

std::string CapProblem::Text() const {
  if (nFrame >= 0)
    return FormatText("frame %lld at offset %llu: %s", static_cast<long long>(nFrame),
                      static_cast<unsigned long long>(nOffset), strWhat.c_str());
  return FormatText("offset %llu: %s", static_cast<unsigned long long>(nOffset), strWhat.c_str());
}

RecordStatus CheckRecordHead(const BYTE* p, size_t cbPrefix, uint64_t cbSpace,
                             std::string* detail) {
  std::string scratch;
  std::string& d = detail ? *detail : scratch;
  if (cbSpace < vxcap::kRecordHeadSize || cbPrefix < vxcap::kRecordHeadSize) {
    d = FormatText("only %llu bytes, a record head needs %u",
                   static_cast<unsigned long long>(cbSpace), vxcap::kRecordHeadSize);
    return RecordStatus::kTruncated;
  }
  const vxcap::RecordHead h = vxcap::DecodeRecordHead(p);
  if (h.frameLength < vxcap::kMacHeaderSize + vxcap::kNmxHeadSize) {
    d = FormatText("FrameLength %u", h.frameLength);
    return RecordStatus::kTooShort;
  }
  const uint64_t cbRecord = uint64_t{h.frameLength} + vxcap::kRecordHeadSize;
  if (cbRecord > cbSpace) {
    d = FormatText("FrameLength %u needs %llu bytes, %llu are there", h.frameLength,
                   static_cast<unsigned long long>(cbRecord),
                   static_cast<unsigned long long>(cbSpace));
    return RecordStatus::kTruncated;
  }
  if (h.bytesAvail != h.frameLength) {
    d = FormatText("nBytesAvail %u, FrameLength %u", h.bytesAvail, h.frameLength);
    return RecordStatus::kBytesAvailMismatch;
  }
  if (cbPrefix < vxcap::kMinRecordSize) {
    d = "record not read";
    return RecordStatus::kTruncated;
  }
  const WORD etherType = vx::DecodeBE16(p + vxcap::kRecEtherType);
  if (etherType != vxcap::kEtherType) {
    d = FormatText("0x%04X", etherType);
    return RecordStatus::kBadEtherType;
  }
  const DWORD packetLength = h.frameLength - vxcap::kMacHeaderSize;
  const WORD word = vx::DecodeLE16(p + vxcap::kRecParserWord);
  if (word != vxcap::ParserWord(packetLength)) {
    d = FormatText("0x%04X, expected 0x%04X", word, vxcap::ParserWord(packetLength));
    return RecordStatus::kBadParserWord;
  }
  const DWORD cbData = vx::DecodeLE32(p + vxcap::kPacketOffset + vxcap::kNmxCbDataOffset);
  if (uint64_t{cbData} + vxcap::kNmxHeadSize != packetLength) {
    d = FormatText("cbData %u + 32, packet length %u", cbData, packetLength);
    return RecordStatus::kBadNmxLength;
  }
  d.clear();
  return RecordStatus::kOk;
}

bool LoadRecord(CCapReadWindow& window, DWORD nIndex, DWORD nOffset, uint64_t cbSpace,
                const char* szLimit, CapFrame* frame, CapProblem* problem) {
  problem->nFrame = nIndex;
  problem->nOffset = nOffset;
  problem->bUnreadable = false;
  problem->bCut = false;
  std::string err;
  if (cbSpace < vxcap::kRecordHeadSize) {
    problem->bCut = true;
    problem->strWhat =
        FormatText("truncated record (only %llu bytes before %s, a record head needs %u)",
                   static_cast<unsigned long long>(cbSpace), szLimit, vxcap::kRecordHeadSize);
    return false;
  }
  const BYTE* p = window.View(nOffset, vxcap::kRecordHeadSize, &err);
  if (!p) {
    problem->bUnreadable = true;
    problem->strWhat = err;
    return false;
  }
  const vxcap::RecordHead h = vxcap::DecodeRecordHead(p);
  // The whole record when it fits a window, else its beginning; never more than cbSpace.
  uint64_t cbWant = std::min<uint64_t>(cbSpace, uint64_t{h.frameLength} + vxcap::kRecordHeadSize);
  cbWant = std::clamp<uint64_t>(cbWant, vxcap::kRecordHeadSize, CCapReadWindow::kWindow);
  if (cbWant < vxcap::kMinRecordSize) cbWant = std::min<uint64_t>(cbSpace, vxcap::kMinRecordSize);
  p = window.View(nOffset, static_cast<size_t>(cbWant), &err);
  if (!p) {
    problem->bUnreadable = true;
    problem->strWhat = err;
    return false;
  }
  std::string detail;
  const RecordStatus s = CheckRecordHead(p, static_cast<size_t>(cbWant), cbSpace, &detail);
  if (s != RecordStatus::kOk) {
    problem->strWhat = vxcap::RecordStatusText(s);
    problem->bCut = s == RecordStatus::kTruncated;
    if (s == RecordStatus::kTruncated)
      problem->strWhat += FormatText(" (runs into %s: %s)", szLimit, detail.c_str());
    else
      problem->strWhat += " (" + detail + ")";
    return false;
  }
  frame->nIndex = nIndex;
  frame->nOffset = nOffset;
  frame->cbRecord = h.frameLength + vxcap::kRecordHeadSize;
  frame->nTimeStamp = h.timeStamp;
  frame->head = DecodeNmxHead(p + vxcap::kPacketOffset);
  frame->pBytes = p;
  frame->cbBytes = static_cast<DWORD>(std::min<uint64_t>(cbWant, frame->cbRecord));
  return true;
}

bool ForEachRecordPiece(const CCapFile& file, const CapFrame& frame, DWORD from,
                        const std::function<bool(const BYTE*, size_t)>& sink, CapProblem* problem) {
  if (from < frame.cbBytes) {
    if (!sink(frame.pBytes + from, frame.cbBytes - from)) return false;
    from = frame.cbBytes;
  }
  if (from >= frame.cbRecord) return true;
  std::vector<BYTE> chunk(std::min<size_t>(frame.cbRecord - from, CCapReadWindow::kWindow));
  while (from < frame.cbRecord) {
    const size_t n = std::min<size_t>(frame.cbRecord - from, chunk.size());
    std::string err;
    if (!file.ReadAt(uint64_t{frame.nOffset} + from, chunk.data(), n, &err)) {
      *problem = CapProblem{};
      problem->bUnreadable = true;
      problem->nFrame = frame.nIndex;
      problem->nOffset = uint64_t{frame.nOffset} + from;
      problem->strWhat = err;
      return false;
    }
    if (!sink(chunk.data(), n)) return false;
    from += static_cast<DWORD>(n);
  }
  return true;
}
