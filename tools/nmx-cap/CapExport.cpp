#include "frames/PcapngExport.h"
#include "nmx-cap/NmxCap.h"

int CapExport(const std::string& file, const std::string& outFile, std::ostream& out,
              std::ostream& err) {
  const PcapngExportResult r = ExportPcapng(file, outFile, out, err, "nmx-cap");
  switch (r.status) {
    case PcapngExportResult::Status::kDone:
      if (outFile != "-") out << "exported " << r.nFrames << " frames to " << outFile << "\n";
      return kCapExitOk;
    case PcapngExportResult::Status::kInvalid:
      return kCapExitInvalid;
    case PcapngExportResult::Status::kTrouble:
      break;
  }
  return kCapExitTrouble;
}
