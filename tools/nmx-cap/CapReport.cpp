#include "nmx-cap/CapReport.h"

#include "nmx-cap/NmxCap.h"

int ReportProblem(std::ostream& err, const std::string& file, const CapProblem& problem) {
  err << "nmx-cap: " << file << ": " << problem.Text() << "\n";
  return problem.bUnreadable ? kCapExitTrouble : kCapExitInvalid;
}

bool OpenCapture(const std::string& file, CCapFile& f, CCapFrameReader& reader, std::ostream& err,
                 int* status) {
  std::string e;
  if (!f.Open(file, &e)) {
    *status = ReportError(err, file + ": " + e, kCapExitTrouble);
    return false;
  }
  CapProblem problem;
  if (!reader.Open(&problem)) {
    *status = ReportProblem(err, file, problem);
    return false;
  }
  return true;
}

int ReportError(std::ostream& err, const std::string& what, int status) {
  err << "nmx-cap: " << what << "\n";
  return status;
}

int ReportKept(std::ostream& err, const std::string& kept, int status) {
  if (!kept.empty()) err << "nmx-cap: " << kept << "\n";
  return status;
}

std::string ValidCaptureText(const CCapFrameReader& reader, uint64_t cbFile) {
  const vxcap::HeaderInfo& h = reader.Header();
  const uint64_t tableEnd = uint64_t{h.frameTableOffset} + h.frameTableLength;
  std::string text = "valid: " + std::to_string(reader.FrameCount()) + " frames, " +
                     std::to_string(vxcap::RecordBytes(h)) + " bytes of records";
  if (cbFile > tableEnd)
    text += ", " + std::to_string(cbFile - tableEnd) + " unused bytes behind the table";
  return text;
}
