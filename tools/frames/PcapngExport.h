// A capture file as a pcapng file or stream: each frame's MacFrame (the pseudo-Ethernet header
// and the NMX packet) as one packet, then the interface statistics.
#pragma once

#include <ostream>
#include <string>

#include "os/OsTypes.h"

struct PcapngExportResult {
  enum class Status {
    kDone,
    kInvalid,  // the capture breaks the format
    kTrouble,  // a file could not be read or written
  };
  Status status = Status::kDone;
  DWORD nFrames = 0;  // exported
};

// Exports file into outFile ("-": into out, named standard output). What goes wrong is written
// to err, one line each after "PROGRAM: ", followed by what a failed export left of its
// output; a failing out is left to its owner to report. program also names the application in
// the pcapng file.
PcapngExportResult ExportPcapng(const std::string& file, const std::string& outFile,
                                std::ostream& out, std::ostream& err, const char* program);
