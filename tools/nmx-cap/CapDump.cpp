#include "frames/CapFrameFormat.h"
#include "nmx-cap/CapFrameReader.h"
#include "nmx-cap/CapReport.h"
#include "nmx-cap/NmxCap.h"

namespace {

bool Selected(const CapDumpOptions& opt, const CapFrame& f, const KrpPayload& krp) {
  const NmxHead& h = f.head;
  if (opt.nPort >= 0 && h.sender.port != opt.nPort && h.target.port != opt.nPort) return false;
  if (opt.nCmd >= 0 && h.cmdId != opt.nCmd) return false;
  if (opt.bErrors && h.errCode == 0 && !(krp.bHasResult && krp.nResult != 0)) return false;
  return true;
}

}  // namespace

int CapDump(const std::string& file, const CapDumpOptions& opt, std::ostream& out,
            std::ostream& err) {
  CCapFile f;
  std::string e;
  if (!f.Open(file, &e)) return ReportError(err, file + ": " + e, kCapExitTrouble);
  CCapFrameReader reader(f);
  CapProblem problem;
  if (!reader.Open(&problem)) return ReportProblem(err, file, problem);
  if (opt.nFrom >= reader.FrameCount()) return kCapExitOk;
  reader.Seek(static_cast<DWORD>(opt.nFrom), &problem);

  CapFrame frame;
  uint64_t printed = 0;
  CCapFrameReader::Step step = CCapFrameReader::Step::kEnd;
  // Stops when the output fails: nothing is gained by reading on.
  while (printed < opt.nCount && out &&
         (step = reader.Next(&frame, &problem)) == CCapFrameReader::Step::kFrame) {
    const KrpPayload krp = DecodeKrpPayload(frame.head, frame.Data(), frame.DataInView());
    if (!Selected(opt, frame, krp)) continue;
    ++printed;
    if (opt.bJson) {
      out << FormatFrameJson(frame, krp, opt.bHex) << "\n";
      continue;
    }
    out << FormatFrameLine(frame, krp) << "\n";
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
