// Reads a capture file the way a viewer would, checking every byte it relies on.
#pragma once

#include <string>
#include <vector>

#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

namespace vxtest {

struct CapturedFrame {
  LONGLONG timeStamp;
  std::vector<BYTE> packet;  // the NMX command: header and data

  NmxHead Head() const;
  const BYTE* Data() const { return packet.data() + NMX_HEAD_SIZE; }
};

struct CaptureContents {
  std::vector<CapturedFrame> frames;
  bool bCutBehindTable = false;  // the file ends right behind its frame table
};

// False with *error set when the header, the table or any record is damaged.
bool ReadCapture(const std::string& path, CaptureContents* out, std::string* error);

}  // namespace vxtest
