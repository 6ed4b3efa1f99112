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
  const bool toOut = outFile == "-";
  if (!toOut && f.IsSameFileAs(outFile))
    return ReportError(err, outFile + ": is the capture being exported", kCapExitTrouble);
  CCapFrameReader reader(f);
  CapProblem problem;
  if (!reader.Open(&problem)) return ReportProblem(err, file, problem);

  CPcapngWriter w;
  if (!(toOut ? w.CreateOutput(out, "standard output", "nmx-cap") : w.Create(outFile)))
    return ReportError(err, w.Error(), kCapExitTrouble);
  // The packet is the record's MacFrame: the pseudo-Ethernet header and the NMX packet.
  auto write = [&w](const BYTE* p, size_t n) { return w.Write(p, n); };
  CapFrame frame;
  CCapFrameReader::Step step;
  DWORD n = 0;
  PcapngStatistics st;
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
    if (!st.startNs) st.startNs = ns;
    st.endNs = ns;
  }
  // The frames of the file are what the interface received; how many the capture lost is
  // not known here, so no drop count is written.
  st.received = n;
  st.nTakenNs = st.endNs.value_or(0);
  const bool ok = step == CCapFrameReader::Step::kEnd && w.WriteStatistics(st) && w.Finish();
  if (ok) {
    if (!toOut) out << "exported " << n << " frames to " << outFile << "\n";
    return kCapExitOk;
  }
  const std::string kept = w.Abandon();
  if (!problem.strWhat.empty()) return ReportKept(err, kept, ReportProblem(err, file, problem));
  // Standard output that fails is reported by whoever owns it, as for every subcommand.
  if (toOut && !out) return kCapExitTrouble;
  return ReportKept(err, kept, ReportError(err, w.Error(), kCapExitTrouble));
}
