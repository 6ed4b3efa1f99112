#include <memory>
#include <queue>
#include <utility>

#include "frames/CapFrameReader.h"
#include "frames/CapWriter.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/NmxCap.h"
#include "os/OsUserTools.h"

namespace {

struct CInput {
  explicit CInput(std::string path) : strPath(std::move(path)), reader(file) {}
  std::string strPath;
  CCapFile file;
  CCapFrameReader reader;
  CapFrame frame;  // the next frame to merge
};

}  // namespace

// A k-way merge by time stamp: each input keeps its own order (the order of capture, even
// where its clock went back), and frames with equal times come in the order of the inputs.
int CapMerge(const std::string& outFile, const std::vector<std::string>& inputs, std::ostream& out,
             std::ostream& err) {
  std::vector<std::unique_ptr<CInput>> in;
  CapProblem problem;
  for (const std::string& path : inputs) {
    in.push_back(std::make_unique<CInput>(path));
    CInput& i = *in.back();
    std::string e;
    if (!i.file.Open(path, &e)) return ReportError(err, path + ": " + e, kCapExitTrouble);
    if (i.file.IsSameFileAs(outFile))
      return ReportError(err, outFile + ": is one of the captures being merged", kCapExitTrouble);
    if (!i.reader.Open(&problem)) return ReportProblem(err, path, problem);
  }

  // (time, input) of every input that has a frame left; the smallest on top.
  using Head = std::pair<LONGLONG, size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  auto advance = [&](size_t k) {
    switch (in[k]->reader.Next(&in[k]->frame, &problem)) {
      case CCapFrameReader::Step::kFrame:
        heads.emplace(in[k]->frame.nTimeStamp, k);
        return true;
      case CCapFrameReader::Step::kEnd:
        return true;
      case CCapFrameReader::Step::kProblem:
        break;
    }
    return false;
  };
  for (size_t k = 0; k < in.size(); ++k)
    if (!advance(k)) return ReportProblem(err, in[k]->strPath, problem);

  SYSTEMTIME now{};
  OsUserGetSystemTime(&now);
  CCapWriter w;
  if (!w.Create(outFile, now)) return ReportError(err, w.Error(), kCapExitTrouble);
  auto write = [&w](const BYTE* p, size_t n) { return w.Write(p, n); };
  while (!heads.empty()) {
    const size_t k = heads.top().second;
    heads.pop();
    CInput& i = *in[k];
    problem = CapProblem{};
    if (!w.BeginRecord(i.frame.cbRecord) ||
        !ForEachRecordPiece(i.file, i.frame, 0, write, &problem) || !advance(k)) {
      const std::string kept = w.Abandon();
      if (!problem.strWhat.empty())
        return ReportKept(err, kept, ReportProblem(err, i.strPath, problem));
      return ReportKept(err, kept, ReportError(err, w.Error(), kCapExitTrouble));
    }
  }
  if (!w.Finish()) {
    const std::string kept = w.Abandon();
    return ReportKept(err, kept, ReportError(err, w.Error(), kCapExitTrouble));
  }
  out << "merged " << w.Frames() << " frames from " << in.size() << " captures into " << outFile
      << "\n";
  return kCapExitOk;
}
