#include <cstddef>
#include <cstring>

#include "frames/CapFrameFormat.h"
#include "nmx-view/ViewCommands.h"
#include "os/ByteOrder.h"

namespace {

constexpr DWORD kNameRoom = KRPCOMM_MAX_NAME_DATA;

// A name the logger reports, or "" when it has none (the capture file before the first
// start: the logger answers "invalid size").
bool ReadName(CViewSession& s, DWORD offset, std::string* name, int* status) {
  const KrpReply r = s.Client().Read(KRPCOMM_IG_CAPTURE, offset, kNameRoom);
  if (r.answered && r.result == KRP_E_INVALID_SIZE && offset == KRPCOMM_CAP_FILE_NAME) {
    name->clear();
    return true;
  }
  if (!s.Check(r, offset == KRPCOMM_CAP_FILE_NAME ? "capture file name" : "save name", status))
    return false;
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
  if (!s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, &state, "capture state", &status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, &mode, "file mode", &status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, &fileSize, "file size", &status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, &bufferSize, "buffer size",
                   &status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, &autoSave, "auto-save", &status))
    return status;
  const KrpReply info =
      s.Client().Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_INFO, sizeof(KrpCommCaptureInfo));
  if (!s.Check(info, "capture counts", &status)) return status;
  if (info.data.size() != sizeof(KrpCommCaptureInfo))
    return s.Fail("capture counts: short answer", kViewExitFailed);
  const LONG frames =
      static_cast<LONG>(vx::DecodeLE32(info.data.data() + offsetof(KrpCommCaptureInfo, nFrames)));
  const DWORD bytes = vx::DecodeLE32(info.data.data() + offsetof(KrpCommCaptureInfo, cbFrames));
  const DWORD overflows =
      vx::DecodeLE32(info.data.data() + offsetof(KrpCommCaptureInfo, nOverflows));
  std::string file, saveName;
  if (!ReadName(s, KRPCOMM_CAP_FILE_NAME, &file, &status) ||
      !ReadName(s, KRPCOMM_CAP_SAVE_NAME, &saveName, &status))
    return status;
  FilterState filter;
  if (!ReadFilterState(s, &filter, &status)) return status;

  const bool capturing = state == KRPCOMM_STATE_CAPTURING;
  const bool ring = mode == KRPCOMM_MODE_RING;
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
