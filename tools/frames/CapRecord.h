// One frame record as the tool sees it, how a record is loaded and checked from a file that
// may be damaged, and the description of the first problem found.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "capture/CaptureFormat.h"
#include "frames/CapFile.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

// Where a file breaks the format, or why it could not be read.
struct CapProblem {
  bool bUnreadable = false;  // an I/O failure, not a violation of the format
  bool bCut = false;         // a record that is well formed as far as it goes runs past its limit
  int64_t nFrame = -1;       // -1: the header or the file as a whole
  uint64_t nOffset = 0;      // file offset of the first byte that is wrong
  std::string strWhat;

  // "frame 3 at offset 500: ..." or "offset 24: ...".
  std::string Text() const;
};

// A frame record loaded from a file. pBytes points into a read window and stays valid until
// the next record is loaded from it.
struct CapFrame {
  DWORD nIndex = 0;    // frame number, from 0
  DWORD nOffset = 0;   // file offset of the record
  DWORD cbRecord = 0;  // FrameLength + 16
  LONGLONG nTimeStamp = 0;
  NmxHead head{};
  const BYTE* pBytes = nullptr;  // the record's first cbBytes bytes
  DWORD cbBytes = 0;             // all of it unless the record is larger than a read window

  DWORD PacketLength() const { return cbRecord - vxcap::kPacketOffset; }
  // The NMX data as far as it is in pBytes; DataLength() bytes in all.
  const BYTE* Data() const { return pBytes + kDataOffset; }
  DWORD DataInView() const { return cbBytes - kDataOffset; }
  DWORD DataLength() const { return cbRecord - kDataOffset; }

  static constexpr DWORD kDataOffset = vxcap::kPacketOffset + vxcap::kNmxHeadSize;
};

// Checks a record from its first bytes: prefix holds cbPrefix bytes of a record that has
// cbSpace bytes of room before whatever follows it. The same checks as
// vxcap::ValidateRecord, which needs the whole record in memory; cbPrefix must be at least
// min(cbSpace, vxcap::kMinRecordSize). *detail (if given) receives the values involved.
vxcap::RecordStatus CheckRecordHead(const BYTE* prefix, size_t cbPrefix, uint64_t cbSpace,
                                    std::string* detail);

// Loads and checks frame nIndex at nOffset, which has cbSpace bytes of room before
// szLimit ("the frame table", "the end of the file"). False with *problem filled when the
// record is not well formed or cannot be read.
bool LoadRecord(CCapReadWindow& window, DWORD nIndex, DWORD nOffset, uint64_t cbSpace,
                const char* szLimit, CapFrame* frame, CapProblem* problem);

// Delivers record bytes [from, frame.cbRecord) of a frame loaded from file in pieces: what
// the frame's view holds, then the rest read from the file in bounded chunks. Stops when
// sink returns false; false then, or with *problem filled when a read failed.
bool ForEachRecordPiece(const CCapFile& file, const CapFrame& frame, DWORD from,
                        const std::function<bool(const BYTE*, size_t)>& sink, CapProblem* problem);
