#include <cstring>

#include "nmx-cap/CapFrameFormat.h"
#include "nmx-view/ViewCommands.h"
#include "os/ByteOrder.h"

namespace {

constexpr DWORD kNameRoom = 1025;

// A name the logger reports, or "" when it has none (the capture file before the first
// start: the logger answers "invalid size").
bool ReadName(CViewSession& s, DWORD offset, std::string* name, int* status) {
  const KrpReply r = s.Client().Read(kIgCapture, offset, kNameRoom);
  if (r.answered && r.result == 0x705 && offset == 12) {
    name->clear();
    return true;
  }
  if (!s.Check(r, offset == 12 ? "capture file name" : "save name", status)) return false;
  const char* p = reinterpret_cast<const char*>(r.data.data());
  name->assign(p, strnlen(p, r.data.size()));
  return true;
}

std::string JsonText(const std::string& s) {
  if (s.empty()) return "null";
  std::string j = "\"";
  j += JsonEscape(s);
  j += '"';
  return j;
}

}  // namespace

int ViewStatus(CViewSession& s) {
  int status = kViewExitOk;
  DWORD state = 0, mode = 0, fileSize = 0, bufferSize = 0, autoSave = 0;
  if (!s.ReadValue(kIgCapture, 1, &state, "capture state", &status) ||
      !s.ReadValue(kIgCapture, 2, &mode, "file mode", &status) ||
      !s.ReadValue(kIgCapture, 3, &fileSize, "file size", &status) ||
      !s.ReadValue(kIgCapture, 4, &bufferSize, "buffer size", &status) ||
      !s.ReadValue(kIgCapture, 14, &autoSave, "auto-save", &status))
    return status;
  const KrpReply info = s.Client().Read(kIgCapture, 6, 12);
  if (!s.Check(info, "capture counts", &status)) return status;
  if (info.data.size() != 12) return s.Fail("capture counts: short answer", kViewExitFailed);
  const LONG frames = static_cast<LONG>(vx::DecodeLE32(info.data.data()));
  const DWORD bytes = vx::DecodeLE32(info.data.data() + 4);
  const DWORD overflows = vx::DecodeLE32(info.data.data() + 8);
  std::string file, saveName;
  if (!ReadName(s, 12, &file, &status) || !ReadName(s, 13, &saveName, &status)) return status;
  FilterState filter;
  if (!ReadFilterState(s, &filter, &status)) return status;

  const bool capturing = state == 1;
  const bool ring = mode == 1;
  std::ostream& out = s.Out();
  if (s.Options().bJson) {
    out << "{\"state\":\"" << (capturing ? "capturing" : "stopped") << "\",\"fileMode\":\""
        << (ring ? "ring" : "single") << "\",\"fileSize\":" << fileSize
        << ",\"bufferSize\":" << bufferSize << ",\"frames\":" << frames
        << ",\"frameBytes\":" << bytes << ",\"overflows\":" << overflows
        << ",\"captureFile\":" << JsonText(file) << ",\"saveName\":" << JsonText(saveName)
        << ",\"autoSave\":" << (autoSave ? "true" : "false")
        << ",\"filter\":" << FilterStateJson(filter) << "}\n";
    return kViewExitOk;
  }
  out << "state:         " << (capturing ? "capturing" : "stopped") << "\n"
      << "file mode:     " << (ring ? "ring of capture files" : "single file") << "\n"
      << "file size:     " << fileSize << " bytes\n"
      << "buffer size:   " << bufferSize << " bytes\n"
      << "frames:        " << frames << "\n"
      << "frame bytes:   " << bytes << "\n"
      << "overflows:     " << overflows << "\n"
      << "capture file:  " << (file.empty() ? "-" : file) << "\n"
      << "save name:     " << (saveName.empty() ? "-" : saveName) << "\n"
      << "auto-save:     " << (autoSave ? "on" : "off") << "\n";
  PrintFilterState(out, filter);
  return kViewExitOk;
}
