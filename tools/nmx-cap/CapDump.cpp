#include <vector>

#include "frames/CapFrameFormat.h"
#include "frames/CapFrameReader.h"
#include "frames/RequestPairing.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/NmxCap.h"

namespace {

bool Selected(const CapDumpOptions& opt, const CapFrame& f) {
  const NmxHead& h = f.head;
  if (opt.nPort >= 0 && h.sender.port != opt.nPort && h.target.port != opt.nPort) return false;
  if (opt.nCmd >= 0 && h.cmdId != opt.nCmd) return false;
  return true;
}

bool SelectsByPairing(const CapDumpOptions& opt) {
  return opt.bErrors || opt.bUnanswered || opt.nSlowerThan >= 0;
}

// The frames from opt.nFrom on that the pairing selections take, by frame - opt.nFrom: a
// request is known to have no answer only at the end, so the selections are made in a pass
// of their own before anything is printed. Stops at a problem, which the printing pass
// meets again.
std::vector<bool> MarkFrames(const CCapFile& file, const CapDumpOptions& opt) {
  std::vector<bool> marked;
  CCapFrameReader reader(file);
  CapProblem problem;
  if (!reader.Open(&problem) || !reader.Seek(static_cast<DWORD>(opt.nFrom), &problem))
    return marked;
  auto mark = [&](uint64_t frame) {
    if (frame >= opt.nFrom && frame - opt.nFrom < marked.size()) marked[frame - opt.nFrom] = true;
  };
  CRequestPairing pairing;
  CapFrame f;
  while (reader.Next(&f, &problem) == CCapFrameReader::Step::kFrame) {
    marked.push_back(false);
    const KrpPayload krp = DecodeKrpPayload(f.head, f.Data(), f.DataInView());
    const PairingResult p = pairing.Feed(f, krp);
    const bool answered = p.answer == PairAnswer::kAnswers || p.answer == PairAnswer::kLate;
    if ((opt.bErrors && p.bError) ||
        (answered && opt.nSlowerThan >= 0 && p.nResponseTicks > opt.nSlowerThan)) {
      mark(f.nIndex);
      if (answered) mark(p.request.nFrame);
    }
    if (opt.bUnanswered && p.bReplaced) mark(p.replaced.nFrame);
  }
  if (opt.bUnanswered) pairing.Finish([&](const PairedRequest& r) { mark(r.nFrame); });
  return marked;
}

// ",\"rtUs\":73,\"requestFrame\":0" into the JSON object of an answer.
std::string WithResponseTime(std::string json, const PairingResult& p) {
  if (json.empty() || json.back() != '}') return json;
  json.pop_back();
  return json + ",\"rtUs\":" + std::to_string(p.ResponseMicros()) +
         ",\"requestFrame\":" + std::to_string(p.request.nFrame) + "}";
}

}  // namespace

int CapDump(const std::string& file, const CapDumpOptions& opt, std::ostream& out,
            std::ostream& err) {
  CCapFile f;
  CCapFrameReader reader(f);
  int status = kCapExitOk;
  if (!OpenCapture(file, f, reader, err, &status)) return status;
  CapProblem problem;
  if (opt.nFrom >= reader.FrameCount()) return kCapExitOk;
  const bool byPairing = SelectsByPairing(opt);
  const std::vector<bool> marked = byPairing ? MarkFrames(f, opt) : std::vector<bool>();
  reader.Seek(static_cast<DWORD>(opt.nFrom), &problem);

  // Pairs from the first frame dumped: an answer to a request before it shows no time.
  CRequestPairing pairing;
  CapFrame frame;
  uint64_t printed = 0;
  CCapFrameReader::Step step = CCapFrameReader::Step::kEnd;
  // Stops when the output fails: nothing is gained by reading on.
  while (printed < opt.nCount && out &&
         (step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame) {
    const KrpPayload krp = DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView());
    const PairingResult p = pairing.Feed(frame, krp);
    if (!Selected(opt, frame)) continue;
    if (byPairing) {
      const uint64_t i = frame.nIndex - opt.nFrom;
      if (i >= marked.size() || !marked[i]) continue;
    }
    ++printed;
    const bool answers = p.answer == PairAnswer::kAnswers;
    if (opt.bJson) {
      const std::string json = FormatFrameJson(frame, krp, opt.bHex);
      out << (answers ? WithResponseTime(json, p) : json) << "\n";
      continue;
    }
    out << FormatFrameLine(frame, krp);
    if (answers) out << " rt=" << p.ResponseMicros() << "us";
    out << "\n";
    if (opt.bHex) {
      const DWORD inView = frame.cbBytes - vxcap::kPacketOffset;
      out << HexDump(frame.pBytes + vxcap::kPacketOffset, inView);
      if (inView < frame.PacketLength())
        out << "  (" << frame.PacketLength() - inView << " more bytes not shown)\n";
    }
  }
  if (printed < opt.nCount && step == CCapFrameReader::Step::kProblem) {
    out.flush();
    return ReportProblem(err, file, problem);
  }
  return kCapExitOk;
}
