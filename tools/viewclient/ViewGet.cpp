#include "frames/FileSink.h"
#include "os/ByteOrder.h"
#include "viewclient/ViewCommands.h"
#include "viewclient/ViewProcess.h"

namespace {

constexpr DWORD kChunk = 65536;

}  // namespace

int ViewGet(CViewSession& s, const std::string& name, const std::string& local) {
  if (name.empty() || name.size() > KRPCOMM_MAX_NAME_CHARS)
    return s.Fail("the name must have 1 to 1024 characters", kViewExitUsage);
  std::vector<BYTE> request(name.begin(), name.end());
  request.push_back(0);
  int status = kViewExitOk;
  const KrpReply open = s.Client().ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_OPEN_FILE, 4,
                                             request.data(), static_cast<DWORD>(request.size()));
  if (!s.Check(open, name, &status,
               {{KRP_E_GENERAL, "cannot open it (no such file, or all 10 file slots in use)"},
                {KRP_E_INVALID_PARAM,
                 "not a file inside the boot folder (no absolute path, no \".\" or \"..\", no "
                 "control characters, not a folder)"},
                {KRP_E_INVALID_SIZE, "the name is too long"}}))
    return status;
  if (open.data.size() != 4)
    return s.Fail(name + ": the logger gave no file slot", kViewExitFailed);
  const DWORD slot = vx::DecodeLE32(open.data.data());
  BYTE slotBytes[4];
  vx::EncodeLE32(slotBytes, slot);

  CFileSink sink;
  const bool toOut = local == "-";
  const bool opened =
      toOut || sink.Create(local, CFileSink::Writes::kInOrder, [] { return !ViewStopRequested(); });
  if (!opened) status = s.Fail(sink.Error(), kViewExitFailed);
  uint64_t total = 0;
  while (status == kViewExitOk && !sink.Failed()) {
    const KrpReply r =
        s.Client().ReadWrite(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_READ_FILE, kChunk, slotBytes, 4);
    if (!s.Check(r, name, &status)) break;
    if (r.data.empty()) break;
    total += r.data.size();
    if (toOut) {
      s.Out().write(reinterpret_cast<const char*>(r.data.data()),
                    static_cast<std::streamsize>(r.data.size()));
      if (!s.Out()) status = s.Fail("cannot write the output", kViewExitFailed);
    } else {
      sink.Write(r.data.data(), r.data.size());
    }
  }
  // The slot is the logger's; it is given back whatever happened here.
  if (s.Client().Connected())
    s.Client().Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_CLOSE_FILE, slotBytes, 4);
  if (toOut || !opened) return status;
  if (status == kViewExitOk && sink.Close()) {
    s.Out() << name << ": " << total << " bytes into " << local << "\n";
    return status;
  }
  if (sink.Failed()) {
    // What reached the file stays: a capture cut short gives its whole frames to nmx-cap
    // repair.
    const std::string error = sink.Error();
    const uint64_t written = sink.Written();
    sink.Abandon();
    return s.Fail(error + (sink.IsFile() ? "; " + local + " keeps the first " +
                                               std::to_string(written) + " bytes"
                                         : ""),
                  kViewExitFailed);
  }
  // The copy did not come through: a file made for it goes, anything else keeps what came.
  if (sink.Created())
    sink.Remove();
  else
    sink.Close();
  return status;
}
