#include <cstdlib>

#include "capture/CaptureSettings.h"
#include "os/ByteOrder.h"
#include "os/OsNumber.h"
#include "viewclient/ViewCommands.h"

namespace {

std::vector<BYTE> NameBytes(const std::string& name) {
  std::vector<BYTE> b(name.begin(), name.end());
  b.push_back(0);
  return b;
}

const CViewSession::Meanings kSettingsWhileCapturing = {{KRP_E_GENERAL, "refused while capturing"}};

}  // namespace

bool ParseByteCount(const std::string& text, DWORD* value) {
  const size_t digits = OsDigitRun(text);
  uint64_t n = 0;
  if (!OsParseUnsigned(std::string_view(text).substr(0, digits), UINT64_MAX, &n)) return false;
  const std::string suffix = text.substr(digits);
  unsigned long long unit = 1;
  if (suffix == "K" || suffix == "k")
    unit = 1ull << 10;
  else if (suffix == "M" || suffix == "m")
    unit = 1ull << 20;
  else if (suffix == "G" || suffix == "g")
    unit = 1ull << 30;
  else if (!suffix.empty())
    return false;
  if (n > 0xFFFFFFFFull / unit) return false;
  *value = static_cast<DWORD>(n * unit);
  return true;
}

int ViewStart(CViewSession& s, const std::string& settingsFile) {
  std::vector<BYTE> data(4);
  vx::EncodeLE32(data.data(), KRPCOMM_CMD_START);
  if (!settingsFile.empty()) {
    const std::vector<BYTE> name = NameBytes(settingsFile);
    data.insert(data.end(), name.begin(), name.end());
  }
  int status = kViewExitOk;
  if (!s.Check(s.Client().Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, data.data(),
                                static_cast<DWORD>(data.size())),
               "start", &status,
               {{KRP_E_INVALID_STATE, "already capturing"},
                {KRP_E_INVALID_PARAM,
                 "the logger did not take the settings document (its console and system log "
                 "say why), and did not start"}}))
    return status;
  // The logger does not answer why a capture did not start; its state tells whether it did.
  // A settings file that moved the viewer port ends this connection instead.
  const KrpReply r = s.Client().Read(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, 4);
  if (!r.answered && !settingsFile.empty()) {
    s.Err() << "nmx-view: start: the logger closed the connection after loading " << settingsFile
            << " (a new viewer port?)\n";
    return kViewExitOk;
  }
  if (!s.Check(r, "capture state", &status)) return status;
  if (r.data.size() != 4 || vx::DecodeLE32(r.data.data()) != KRPCOMM_STATE_CAPTURING)
    return s.Fail("the logger did not start capturing: its console and system log say why",
                  kViewExitFailed);
  return kViewExitOk;
}

int ViewStop(CViewSession& s) {
  int status = kViewExitOk;
  s.Check(s.WriteValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_STATE, KRPCOMM_CMD_STOP), "stop", &status,
          {{KRP_E_INVALID_STATE, "not capturing"}});
  return status;
}

int ViewSet(CViewSession& s, const std::vector<std::string>& args) {
  if (args.empty())
    return s.Fail("set what? (ring, single, filesize, buffersize, savename, autosave)",
                  kViewExitUsage);
  const std::string& what = args[0];
  int status = kViewExitOk;
  // "single" is the ring switch turned off.
  const CaptureSettingInfo* row = FindCaptureSetting(what == "single" ? "ring" : what.c_str());
  if (row && row->id == CaptureSettingId::kRingBuffer) {
    if (args.size() != 1) return s.Fail(what + " takes no value", kViewExitUsage);
    s.Check(s.WriteValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_FILE_MODE,
                         what == "ring" ? KRPCOMM_MODE_RING : KRPCOMM_MODE_SINGLE),
            "file mode", &status, kSettingsWhileCapturing);
    return status;
  }
  if (args.size() != 2) return s.Fail(what + " takes one value", kViewExitUsage);
  const std::string& value = args[1];
  if (!row) return s.Fail("unknown setting '" + what + "'", kViewExitUsage);
  const std::string most = std::to_string(row->maxValue);
  switch (row->id) {
    case CaptureSettingId::kFileSize:
    case CaptureSettingId::kBufferSize: {
      DWORD bytes = 0;
      if (!ParseByteCount(value, &bytes))
        return s.Fail("'" + value + "' is not a byte count (like 4194304, 4096K or 4M)",
                      kViewExitUsage);
      const bool file = row->id == CaptureSettingId::kFileSize;
      const std::string tooLarge =
          "too large (at most " + std::to_string(row->maxValue >> 20) + "M)";
      s.Check(s.WriteValue(KRPCOMM_IG_CAPTURE,
                           file ? KRPCOMM_CAP_FILE_SIZE : KRPCOMM_CAP_BUFFER_SIZE, bytes),
              file ? "file size" : "buffer size", &status,
              {{KRP_E_GENERAL, "refused while capturing"}, {KRP_E_INVALID_SIZE, tooLarge.c_str()}});
      return status;
    }
    case CaptureSettingId::kSaveName: {
      if (value.size() > row->maxValue)
        return s.Fail("the name has " + std::to_string(value.size()) +
                          " bytes; a save name has at most " + most +
                          " (a file name's 255, less the 2 a ring's files add)",
                      kViewExitUsage);
      const std::string tooLong = "too long (at most " + most + " bytes)";
      // An empty name removes it.
      const std::vector<BYTE> name = value.empty() ? std::vector<BYTE>() : NameBytes(value);
      s.Check(s.Client().Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_NAME, name.data(),
                               static_cast<DWORD>(name.size())),
              "save name", &status,
              {{KRP_E_INVALID_SIZE, tooLong.c_str()},
               {KRP_E_INVALID_PARAM,
                "not a file name (no folders, no \".\" or \"..\", no control characters), or "
                "a file of that name that is not a capture exists"}});
      return status;
    }
    case CaptureSettingId::kAutoSave: {
      DWORD on = 0;
      if (value == "on" || value == "1" || value == "yes")
        on = 1;
      else if (value != "off" && value != "0" && value != "no")
        return s.Fail("autosave takes on or off", kViewExitUsage);
      s.Check(s.WriteValue(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_AUTO_SAVE, on), "auto-save", &status);
      return status;
    }
    default:
      return s.Fail("unknown setting '" + what + "'", kViewExitUsage);
  }
}

int ViewSave(CViewSession& s, const std::string& name) {
  if (name.empty() || name.size() > KRPCOMM_MAX_NAME_CHARS)
    return s.Fail("the name must have 1 to 1024 characters", kViewExitUsage);
  const std::vector<BYTE> bytes = NameBytes(name);
  int status = kViewExitOk;
  s.Check(s.Client().Write(KRPCOMM_IG_CAPTURE, KRPCOMM_CAP_SAVE_AS, bytes.data(),
                           static_cast<DWORD>(bytes.size())),
          name, &status,
          {{KRP_E_GENERAL,
            "the logger could not save it (still capturing, nothing captured yet, or "
            "the file cannot be written)"},
           {KRP_E_INVALID_PARAM,
            "not a name inside the boot folder (no absolute path, no \".\" or \"..\", no "
            "control characters), or a file of that name that is not a capture exists"}});
  return status;
}
