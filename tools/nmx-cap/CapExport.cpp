#include "frames/CapTime.h"
#include "frames/PcapngWriter.h"
#include "nmx-cap/CapFrameReader.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/NmxCap.h"

int CapExport(const std::string& file, const std::string& outFile, std::ostream& out,
              std::ostream& err) {
  CCapFile f;
  std::string e;
  if (!f.Open(file, &e)) return ReportError(err, file + ": " + e, kCapExitTrouble);
  if (f.IsSameFileAs(outFile))
    return ReportError(err, outFile + ": is the capture being exported", kCapExitTrouble);
  CCapFrameReader reader(f);
  CapProblem problem;
  if (!reader.Open(&problem)) return ReportProblem(err, file, problem);

  CPcapngWriter w;
  if (!w.Create(outFile)) {
    w.Discard();
    return ReportError(err, w.Error(), kCapExitTrouble);
  }
  // The packet is the record's MacFrame: the pseudo-Ethernet header and the NMX packet.
  auto write = [&w](const BYTE* p, size_t n) { return w.Write(p, n); };
  CapFrame frame;
  CCapFrameReader::Step step;
  DWORD n = 0;
  while ((step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame) {
    uint64_t ns = 0;
    if (!FileTimeToUnixNanoseconds(frame.nTimeStamp, &ns)) {
      problem = CapProblem{};
      problem.nFrame = frame.nIndex;
      problem.nOffset = frame.nOffset;
      problem.strWhat = "time stamp " + FormatFileTime(frame.nTimeStamp, 7, false) +
                        " cannot be stored in pcapng (before 1970 or after 2554)";
      break;
    }
    if (!w.BeginPacket(ns, frame.cbRecord - vxcap::kRecordHeadSize) ||
        !ForEachRecordPiece(f, frame, vxcap::kRecordHeadSize, write, &problem) || !w.EndPacket()) {
      step = CCapFrameReader::Step::kProblem;
      break;
    }
    ++n;
  }
  if (step != CCapFrameReader::Step::kEnd) {
    w.Discard();
    if (!problem.strWhat.empty()) return ReportProblem(err, file, problem);
    return ReportError(err, w.Error(), kCapExitTrouble);
  }
  if (!w.Finish()) {
    w.Discard();
    return ReportError(err, w.Error(), kCapExitTrouble);
  }
  out << "exported " << n << " frames to " << outFile << "\n";
  return kCapExitOk;
}
