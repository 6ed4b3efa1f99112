// The settings document, as the engine receives it: text (up to its first NUL, as the console
// and a host hand it over) and then the same bytes as a file (as a viewer names one, with the
// parser's encoding detection), applied to a real engine and its viewer service (not
// listening) whose runtime folder is private.
// A document the engine takes is then used: the filters decide on a few commands, and the
// capture runs briefly with the document's settings.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/NmxLogger.h"
#include "fuzz/FuzzSupport.h"
#include "nmx/KrpTypes.h"
#include "nmx/NmxTypes.h"
#include "service/ViewerService.h"

namespace {

// A capture of the document's own size would make every run write up to 4 GiB; the capture
// code's handling of sizes is not what this target looks for.
constexpr ULONG kMaxRunFileSize = 1024 * 1024;

std::string g_captureDir;

// Commands that exercise every kind of filter: KRP requests and answers of the three index
// group commands, an error answer, a notification and a command without the KRP flag.
std::vector<std::vector<uint8_t>> MakeCommands() {
  using vxfuzz::NmxCommand;
  using vxfuzz::Words;
  const WORD req = NMX_FLAG_KRP_COMMAND;
  const WORD res = NMX_FLAG_KRP_COMMAND | NMX_FLAG_RESPONSE;
  return {
      NmxCommand(KRP_CMD_READ, req, 851, 0, Words({0x4020, 1, 64})),
      NmxCommand(KRP_CMD_READ, res, 30000, 0, Words({0, 4, 0x11223344})),
      NmxCommand(KRP_CMD_WRITE, req, 852, 0, Words({0x4020, 0x10, 4, 7})),
      NmxCommand(KRP_CMD_WRITE, res, 30000, 0, Words({0x705})),
      NmxCommand(KRP_CMD_READWRITE, req, 10000, 0, Words({0xF003, 0, 4, 4, 9})),
      NmxCommand(KRP_CMD_READ, req, 851, 0, Words({0xFFFFFFFF, 0xFFFFFFFF, 0})),
      NmxCommand(KRP_CMD_DEVICENOTIFICATION, req, 851, 0, Words({4, 0})),
      NmxCommand(KRP_CMD_READ, res, 30000, 6, {}),
      NmxCommand(0x55, 0, 851, 0, {1, 2, 3}),
  };
}

// Names that stay inside the capture folder: the document may name anything, and the
// capture must not write elsewhere on the machine.
bool IsPlainName(const CString& name) {
  const char* s = name;
  return *s && strcmp(s, ".") != 0 && strcmp(s, "..") != 0 && !strchr(s, '/') && !strchr(s, '\\');
}

void Load(CNmxLogger& engine, const char* textOrPath, bool isFile) {
  try {
    engine.LoadXmlSettings(textOrPath, isFile);
  } catch (...) {
    // The component turns what the parser throws into a failure.
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vxfuzz::BaseDir();
  g_captureDir = vxfuzz::ScratchDir("settings");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::vector<uint8_t>> commands = MakeCommands();
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string file = g_captureDir + "/settings.xml";
  vxfuzz::WriteFile(file, data, size);
  {
    CNmxLogger engine(nullptr);
    CViewerService service(engine.ViewerFace());
    Load(engine, text.c_str(), false);
    // A second document replaces what the first one set.
    Load(engine, file.c_str(), true);
    vxfuzz::EmptyFolder(g_captureDir);

    for (const std::vector<uint8_t>& cmd : commands)
      engine.FilterNmxCmd(reinterpret_cast<const NmxCmd*>(cmd.data()));

    const CString name = engine.GetCaptureSettings().saveFileName.c_str();
    engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.folder = g_captureDir.c_str(); });
    if (engine.GetCaptureSettings().cbFile > kMaxRunFileSize)
      engine.ChangeCaptureSettings([&](CaptureSettings& cs) { cs.cbFile = kMaxRunFileSize; });
    if ((name.IsEmpty() || IsPlainName(name)) && engine.Start()) {
      for (const std::vector<uint8_t>& cmd : commands) {
        const NmxCmd* c = reinterpret_cast<const NmxCmd*>(cmd.data());
        if (!engine.FilterNmxCmd(c)) engine.OnNmxReceive(c);
      }
      engine.Stop();
    }
  }
  vxfuzz::EmptyFolder(g_captureDir);
  vxfuzz::EmptyFolder(vxfuzz::BootDir());
  return 0;
}
