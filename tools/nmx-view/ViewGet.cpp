#include "nmx-cap/FileSink.h"
#include "nmx-view/ViewCommands.h"
#include "os/ByteOrder.h"

namespace {

constexpr DWORD kChunk = 65536;
constexpr size_t kMaxName = 1024;

}  // namespace

int ViewGet(CViewSession& s, const std::string& name, const std::string& local) {
  if (name.empty() || name.size() > kMaxName)
    return s.Fail("the name must have 1 to 1024 characters", kViewExitUsage);
  std::vector<BYTE> request(name.begin(), name.end());
  request.push_back(0);
  int status = kViewExitOk;
  const KrpReply open =
      s.Client().ReadWrite(kIgCapture, 9, 4, request.data(), static_cast<DWORD>(request.size()));
  if (!s.Check(open, name, &status,
               {{0x700, "cannot open it (no such file, or all 10 file slots in use)"},
                {0x70B,
                 "not a file inside the boot folder (no absolute path, no \".\" or \"..\", no "
                 "control characters, not a folder)"},
                {0x705, "the name is too long"}}))
    return status;
  if (open.data.size() != 4)
    return s.Fail(name + ": the logger gave no file slot", kViewExitFailed);
  const DWORD slot = vx::DecodeLE32(open.data.data());
  BYTE slotBytes[4];
  vx::EncodeLE32(slotBytes, slot);

  CFileSink sink;
  const bool toOut = local == "-";
  if (!toOut && !sink.Create(local)) status = s.Fail(sink.Error(), kViewExitFailed);
  uint64_t total = 0;
  while (status == kViewExitOk) {
    const KrpReply r = s.Client().ReadWrite(kIgCapture, 11, kChunk, slotBytes, 4);
    if (!s.Check(r, name, &status)) break;
    if (r.data.empty()) break;
    total += r.data.size();
    if (toOut) {
      s.Out().write(reinterpret_cast<const char*>(r.data.data()),
                    static_cast<std::streamsize>(r.data.size()));
      if (!s.Out()) status = s.Fail("cannot write the output", kViewExitFailed);
    } else if (!sink.Write(r.data.data(), r.data.size())) {
      status = s.Fail(sink.Error(), kViewExitFailed);
    }
  }
  // The slot is the logger's; it is given back whatever happened here.
  if (s.Client().Connected()) s.Client().Write(kIgCapture, 10, slotBytes, 4);
  if (!toOut) {
    if (status == kViewExitOk && !sink.Close()) status = s.Fail(sink.Error(), kViewExitFailed);
    if (status != kViewExitOk) sink.Discard();
  }
  if (status == kViewExitOk && !toOut)
    s.Out() << name << ": " << total << " bytes into " << local << "\n";
  return status;
}
