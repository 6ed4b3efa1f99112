#include "frames/CapFrameReader.h"

#include <cstdio>
#include <cstring>

#include "frames/CapRecordScanner.h"
#include "frames/TextFormat.h"

namespace {

void Set(CapProblem* p, int64_t nFrame, uint64_t nOffset, std::string what) {
  *p = CapProblem{};
  p->nFrame = nFrame;
  p->nOffset = nOffset;
  p->strWhat = std::move(what);
}

unsigned long long U(uint64_t v) {
  return static_cast<unsigned long long>(v);
}

constexpr uint64_t kTableOffsetField = offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableOffset);
constexpr uint64_t kTableLengthField = offsetof(CAPTUREFILE_HEADER_VALUES, FrameTableLength);

}  // namespace

bool CCapFrameReader::Open(CapProblem* problem) {
  m_bOpen = false;
  const uint64_t cbFile = m_file.Size();
  if (cbFile < vxcap::kHeaderSize) {
    Set(problem, -1, cbFile,
        FormatText("truncated header (the file has %llu bytes, a header needs %u)", U(cbFile),
                   vxcap::kHeaderSize));
    return false;
  }
  BYTE raw[vxcap::kHeaderSize];
  std::string err;
  if (!m_file.ReadAt(0, raw, sizeof raw, &err)) {
    Set(problem, -1, 0, err);
    problem->bUnreadable = true;
    return false;
  }
  const vxcap::HeaderStatus s = vxcap::DecodeHeader(raw, sizeof raw, &m_header);
  if (s != vxcap::HeaderStatus::kOk) {
    const uint64_t at = s == vxcap::HeaderStatus::kBadSignature ? 0
                        : s == vxcap::HeaderStatus::kBadVersion ? 4
                                                                : 6;
    Set(problem, -1, at,
        FormatText("%s: the file starts %02X %02X %02X %02X %02X %02X %02X %02X",
                   vxcap::HeaderStatusText(s), raw[0], raw[1], raw[2], raw[3], raw[4], raw[5],
                   raw[6], raw[7]));
    return false;
  }
  const uint64_t tableOffset = m_header.frameTableOffset;
  const uint64_t tableEnd = tableOffset + m_header.frameTableLength;
  if (tableOffset < vxcap::kHeaderSize) {
    Set(problem, -1, kTableOffsetField,
        FormatText("FrameTableOffset %llu lies inside the header", U(tableOffset)));
    return false;
  }
  if (m_header.frameTableLength % vxcap::kTableEntrySize != 0) {
    Set(problem, -1, kTableLengthField,
        FormatText("FrameTableLength %u is not a multiple of 4", m_header.frameTableLength));
    return false;
  }
  if (tableEnd > 0xFFFFFFFFull) {
    Set(problem, -1, kTableLengthField,
        FormatText("the frame table ends at %llu, beyond the 4 GiB a capture file can address",
                   U(tableEnd)));
    return false;
  }
  if (tableOffset > cbFile) {
    Set(problem, -1, kTableOffsetField,
        FormatText("FrameTableOffset %llu lies beyond the end of the file (%llu bytes)",
                   U(tableOffset), U(cbFile)));
    DescribeCut(problem);
    return false;
  }
  m_nFrames = vxcap::FrameCount(m_header);
  if (tableEnd > cbFile) {
    const DWORD k = static_cast<DWORD>((cbFile - tableOffset) / vxcap::kTableEntrySize);
    Set(problem, k, tableOffset + uint64_t{k} * vxcap::kTableEntrySize,
        FormatText(
            "the file ends inside the frame table: it has %llu bytes, the table of %u frames "
            "ends at %llu",
            U(cbFile), m_nFrames, U(tableEnd)));
    return false;
  }
  m_nNext = 0;
  m_nExpected = vxcap::kHeaderSize;
  m_bSeeked = false;
  m_bOpen = true;
  return true;
}

// The file is shorter than its records: find the first record the end cuts off, walking
// from the start as far as the header's frame count.
void CCapFrameReader::DescribeCut(CapProblem* problem) {
  CCapRecordScanner scan(m_file, m_file.Size(), "the end of the file");
  const DWORD n = vxcap::FrameCount(m_header);
  CapFrame f;
  CapProblem stop;
  CCapRecordScanner::Step s = CCapRecordScanner::Step::kFrame;
  while (scan.Frames() < n && (s = scan.Next(&f, &stop)) == CCapRecordScanner::Step::kFrame) {
  }
  if (s == CCapRecordScanner::Step::kProblem && stop.bCut)
    problem->strWhat += FormatText("; frame %u at offset %llu is cut off by the end of the file",
                                   scan.Frames(), U(scan.End()));
  else if (s == CCapRecordScanner::Step::kEnd)
    problem->strWhat += FormatText("; the file ends behind frame %u", scan.Frames() - 1);
}

bool CCapFrameReader::Seek(DWORD nFrame, CapProblem* problem) {
  if (!m_bOpen) return Open(problem) && Seek(nFrame, problem);
  if (nFrame > m_nFrames) nFrame = m_nFrames;
  m_nNext = nFrame;
  m_bSeeked = nFrame > 0;
  m_nExpected = vxcap::kHeaderSize;
  return true;
}

bool CCapFrameReader::ReadEntry(DWORD i, DWORD* entry, CapProblem* problem) {
  const uint64_t at = uint64_t{m_header.frameTableOffset} + uint64_t{i} * vxcap::kTableEntrySize;
  std::string err;
  const BYTE* p = m_table.View(at, vxcap::kTableEntrySize, &err);
  if (!p) {
    Set(problem, i, at, err);
    problem->bUnreadable = true;
    return false;
  }
  *entry = vxcap::DecodeTableEntry(p);
  return true;
}

CCapFrameReader::Step CCapFrameReader::Next(CapFrame* frame, CapProblem* problem) {
  if (!m_bOpen) {
    if (!Open(problem)) return Step::kProblem;
  }
  const DWORD tableOffset = m_header.frameTableOffset;
  if (m_nNext >= m_nFrames) {
    if (!m_bSeeked && m_nExpected != tableOffset) {
      Set(problem, -1, m_nExpected,
          m_nFrames == 0
              ? FormatText("the table holds no frames, but FrameTableOffset is %u", tableOffset)
              : FormatText("frame %u ends at %u, but FrameTableOffset is %u", m_nFrames - 1,
                           m_nExpected, tableOffset));
      return Step::kProblem;
    }
    return Step::kEnd;
  }
  const DWORD i = m_nNext;
  DWORD entry = 0;
  if (!ReadEntry(i, &entry, problem)) return Step::kProblem;
  const uint64_t entryAt = uint64_t{tableOffset} + uint64_t{i} * vxcap::kTableEntrySize;
  if (!m_bSeeked && entry != m_nExpected) {
    Set(problem, i, entryAt,
        i == 0
            ? FormatText("bad table entry: %u, the first record starts at %u", entry, m_nExpected)
            : FormatText("bad table entry: %u, frame %u ends at %u", entry, i - 1, m_nExpected));
    return Step::kProblem;
  }
  if (entry < vxcap::kHeaderSize || entry >= tableOffset) {
    Set(problem, i, entryAt,
        FormatText("bad table entry: %u lies outside the records (%u to %u)", entry,
                   vxcap::kHeaderSize, tableOffset));
    return Step::kProblem;
  }
  if (!LoadRecord(m_records, i, entry, tableOffset - entry, "the frame table", frame, problem))
    return Step::kProblem;
  m_nExpected = entry + frame->cbRecord;
  m_bSeeked = false;
  ++m_nNext;
  return Step::kFrame;
}

bool CheckCapture(CCapFrameReader& reader, CapProblem* problem) {
  CapFrame frame;
  CCapFrameReader::Step step;
  while ((step = reader.Next(&frame, problem)) == CCapFrameReader::Step::kFrame) {
  }
  return step == CCapFrameReader::Step::kEnd;
}
