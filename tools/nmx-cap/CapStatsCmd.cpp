#include "frames/CapFrameReader.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/CapResponseStats.h"
#include "nmx-cap/NmxCap.h"

int CapStats(const std::string& file, const CapStatsOptions& opt, std::ostream& out,
             std::ostream& err) {
  CCapFile f;
  CCapFrameReader reader(f);
  int status = kCapExitOk;
  if (!OpenCapture(file, f, reader, err, &status)) return status;
  CapProblem problem;

  CCapResponseStats stats(opt.nTimeout, opt.nSlowest);
  CapFrame frame;
  CCapFrameReader::Step step;
  uint64_t n = 0;
  while ((step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame) {
    stats.Add(frame, DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView()));
    ++n;
  }
  stats.End();
  // The percentiles' passes read the frames the first pass read, no more: a capture still
  // being written has more by now.
  while (stats.NeedsPass()) {
    CCapFrameReader again(f);
    CapProblem p;
    stats.BeginPass();
    if (again.Open(&p)) {
      for (uint64_t i = 0; i < n && again.Next(&frame, &p) == CCapFrameReader::Step::kFrame; ++i)
        stats.Pass(frame, DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView()));
    }
    if (!stats.EndPass())
      return ReportError(err, file + ": changed while it was read; run stats again",
                         kCapExitTrouble);
  }
  if (opt.bJson)
    stats.PrintJson(out);
  else
    stats.PrintText(out);
  if (step == CCapFrameReader::Step::kProblem) {
    out.flush();
    return ReportProblem(err, file, problem);
  }
  return kCapExitOk;
}
