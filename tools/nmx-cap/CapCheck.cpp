#include "frames/CapFrameReader.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/NmxCap.h"

int CapCheck(const std::string& file, std::ostream& out, std::ostream&) {
  CCapFile f;
  std::string e;
  if (!f.Open(file, &e)) {
    out << file << ": unreadable: " << e << "\n";
    return kCapExitTrouble;
  }
  CCapFrameReader reader(f);
  CapProblem problem;
  if (!CheckCapture(reader, &problem)) {
    out << file << (problem.bUnreadable ? ": unreadable: " : ": invalid: ") << problem.Text()
        << "\n";
    return problem.bUnreadable ? kCapExitTrouble : kCapExitInvalid;
  }
  out << file << ": " << ValidCaptureText(reader, f.Size()) << "\n";
  return kCapExitOk;
}
