#include "frames/PcapngExport.h"

#include "frames/CapFrameReader.h"
#include "frames/CapTime.h"
#include "frames/PcapngWriter.h"

PcapngExportResult ExportPcapng(const std::string& file, const std::string& outFile,
                                std::ostream& out, std::ostream& err, const char* program) {
  typedef PcapngExportResult::Status Status;
  PcapngExportResult r;
  auto fail = [&](const std::string& what, Status status) {
    err << program << ": " << what << "\n";
    r.status = status;
    return r;
  };
  auto failProblem = [&](const CapProblem& problem) {
    return fail(file + ": " + problem.Text(),
                problem.bUnreadable ? Status::kTrouble : Status::kInvalid);
  };
  auto keep = [&](const std::string& kept) {
    if (!kept.empty()) err << program << ": " << kept << "\n";
    return r;
  };

  CCapFile f;
  std::string e;
  if (!f.Open(file, &e)) return fail(file + ": " + e, Status::kTrouble);
  const bool toOut = outFile == "-";
  if (!toOut && f.IsSameFileAs(outFile))
    return fail(outFile + ": is the capture being exported", Status::kTrouble);
  CCapFrameReader reader(f);
  CapProblem problem;
  if (!reader.Open(&problem)) return failProblem(problem);

  CPcapngWriter w;
  if (!(toOut ? w.CreateOutput(out, "standard output", program) : w.Create(outFile, program)))
    return fail(w.Error(), Status::kTrouble);
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
  if (step == CCapFrameReader::Step::kEnd && w.WriteStatistics(st) && w.Finish()) {
    r.nFrames = n;
    return r;
  }
  const std::string kept = w.Abandon();
  if (!problem.strWhat.empty()) {
    failProblem(problem);
    return keep(kept);
  }
  if (toOut && !out) {
    r.status = Status::kTrouble;
    return r;
  }
  fail(w.Error(), Status::kTrouble);
  return keep(kept);
}
