#include "nmx-cap/CapFrameReader.h"
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
  CapFrame frame;
  CCapFrameReader::Step step = CCapFrameReader::Step::kProblem;
  if (reader.Open(&problem)) {
    while ((step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame) {
    }
  }
  if (step != CCapFrameReader::Step::kEnd) {
    out << file << (problem.bUnreadable ? ": unreadable: " : ": invalid: ") << problem.Text()
        << "\n";
    return problem.bUnreadable ? kCapExitTrouble : kCapExitInvalid;
  }
  const vxcap::HeaderInfo& h = reader.Header();
  const uint64_t tableEnd = uint64_t{h.frameTableOffset} + h.frameTableLength;
  out << file << ": valid: " << reader.FrameCount() << " frames, " << vxcap::RecordBytes(h)
      << " bytes of records";
  if (f.Size() > tableEnd) out << ", " << f.Size() - tableEnd << " unused bytes behind the table";
  out << "\n";
  return kCapExitOk;
}
