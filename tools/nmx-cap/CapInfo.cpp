#include <algorithm>
#include <cstdio>

#include "frames/CapFrameReader.h"
#include "frames/CapTime.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/CapStats.h"
#include "nmx-cap/NmxCap.h"

namespace {

int InfoOne(const std::string& file, std::ostream& out, std::ostream& err) {
  CCapFile f;
  CCapFrameReader reader(f);
  int status = kCapExitOk;
  if (!OpenCapture(file, f, reader, err, &status)) return status;
  CapProblem problem;

  const vxcap::HeaderInfo& h = reader.Header();
  char line[200];
  auto row = [&](const char* label, const std::string& value) {
    snprintf(line, sizeof line, "%-20s %s\n", label, value.c_str());
    out << line;
  };
  row("File:", file);
  row("Format:", "capture file 2.0, Ethernet");
  row("Header time:", FormatSystemTime(h.timeStamp) + " UTC");
  row("Frames:", std::to_string(reader.FrameCount()));
  row("Bytes:", std::to_string(vxcap::RecordBytes(h)) + " in records, " +
                    std::to_string(h.frameTableLength) + " in the table, " +
                    std::to_string(f.Size()) + " in the file");

  CCapStats stats;
  CapFrame frame;
  CCapFrameReader::Step step;
  while ((step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame)
    stats.Add(frame, DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView()));
  stats.Print(out);
  if (step == CCapFrameReader::Step::kProblem) {
    out.flush();
    return ReportProblem(err, file, problem);
  }
  return kCapExitOk;
}

}  // namespace

int CapInfo(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
  int status = kCapExitOk;
  for (size_t i = 0; i < files.size(); ++i) {
    if (i) out << "\n";
    status = std::max(status, InfoOne(files[i], out, err));
  }
  return status;
}
