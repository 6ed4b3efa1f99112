#include <cstddef>
#include <cstring>
#include <sstream>

#include "frames/CapFrameFormat.h"
#include "os/ByteOrder.h"
#include "viewclient/ViewCommands.h"

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

bool ReadCaptureStatus(CViewSession& s, CaptureStatus* st, int* status) {
  DWORD state = 0, mode = 0, autoSave = 0;
  if (!s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, &state, "capture state", status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE, &mode, "file mode", status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_SIZE, &st->fileSize, "file size", status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_BUFFER_SIZE, &st->bufferSize, "buffer size",
                   status) ||
      !s.ReadValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, &autoSave, "auto-save", status))
    return false;
  const KrpReply info =
      s.Client().Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_INFO, sizeof(KrpCommCaptureInfo));
  if (!s.Check(info, "capture counts", status)) return false;
  if (info.data.size() != sizeof(KrpCommCaptureInfo)) {
    *status = s.Fail("capture counts: short answer", kViewExitFailed);
    return false;
  }
  st->bCapturing = state == KRPCOMM_STATE_CAPTURING;
  st->bRing = mode == KRPCOMM_MODE_RING;
  st->bAutoSave = autoSave != 0;
  st->frames =
      static_cast<LONG>(vx::DecodeLE32(info.data.data() + offsetof(KrpCommCaptureInfo, nFrames)));
  st->frameBytes = vx::DecodeLE32(info.data.data() + offsetof(KrpCommCaptureInfo, cbFrames));
  st->overflows = vx::DecodeLE32(info.data.data() + offsetof(KrpCommCaptureInfo, nOverflows));
  const KrpReply dropped = s.Client().Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_DROPPED, 8);
  st->bDroppedKnown = dropped.answered && dropped.result == 0 && dropped.data.size() == 8;
  st->dropped = st->bDroppedKnown ? vx::DecodeLE64(dropped.data.data()) : 0;
  return ReadName(s, KRPCOMM_CAP_FILE_NAME, &st->captureFile, status) &&
         ReadName(s, KRPCOMM_CAP_SAVE_NAME, &st->saveName, status) &&
         ReadFilterState(s, &st->filter, status);
}

std::string CaptureStatusJson(const CaptureStatus& st) {
  std::ostringstream out;
  out << "{\"state\":\"" << (st.bCapturing ? "capturing" : "stopped") << "\",\"fileMode\":\""
      << (st.bRing ? "ring" : "single") << "\",\"fileSize\":" << st.fileSize
      << ",\"bufferSize\":" << st.bufferSize << ",\"frames\":" << st.frames
      << ",\"frameBytes\":" << st.frameBytes << ",\"overflows\":" << st.overflows
      << ",\"dropped\":" << (st.bDroppedKnown ? std::to_string(st.dropped) : "null")
      << ",\"captureFile\":" << JsonText(st.captureFile)
      << ",\"saveName\":" << JsonText(st.saveName)
      << ",\"autoSave\":" << (st.bAutoSave ? "true" : "false")
      << ",\"filter\":" << FilterStateJson(st.filter) << "}";
  return out.str();
}

int ViewStatus(CViewSession& s) {
  int status = kViewExitOk;
  CaptureStatus st;
  if (!ReadCaptureStatus(s, &st, &status)) return status;
  std::ostream& out = s.Out();
  if (s.Options().bJson) {
    out << CaptureStatusJson(st) << "\n";
    return kViewExitOk;
  }
  out << "state:         " << (st.bCapturing ? "capturing" : "stopped") << "\n"
      << "file mode:     " << (st.bRing ? "ring of capture files" : "single file") << "\n"
      << "file size:     " << st.fileSize << " bytes\n"
      << "buffer size:   " << st.bufferSize << " bytes\n"
      << "frames:        " << st.frames << "\n"
      << "frame bytes:   " << st.frameBytes << "\n"
      << "overflows:     " << st.overflows << "\n"
      << "dropped:       " << (st.bDroppedKnown ? std::to_string(st.dropped) : "-") << "\n"
      << "capture file:  " << (st.captureFile.empty() ? "-" : st.captureFile) << "\n"
      << "save name:     " << (st.saveName.empty() ? "-" : st.saveName) << "\n"
      << "auto-save:     " << (st.bAutoSave ? "on" : "off") << "\n";
  PrintFilterState(out, st.filter);
  return kViewExitOk;
}
