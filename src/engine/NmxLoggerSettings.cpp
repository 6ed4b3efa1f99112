// The engine's settings document: parse, viewer port, filters and capture settings.
#include <sys/stat.h>

#include <pugixml.hpp>

#include "engine/FailureReport.h"
#include "engine/NmxLogger.h"
#include "engine/XmlReaders.h"
#include "nmx/KrpTypes.h"

namespace {

constexpr ULONG kMiB = 1048576;
constexpr ULONG kKiB = 1024;

// A viewer may name any path. Reading a FIFO or a device would block this thread, holding
// the control lock, until someone writes to it; a directory reads as a file of 2^63 bytes.
bool IsRegularFile(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool HasChildElement(const pugi::xml_node& node) {
  for (const pugi::xml_node child : node.children())
    if (child.type() == pugi::node_element) return true;
  return false;
}

}  // namespace

bool CNmxLogger::LoadXmlSettings(const char* textOrPath, bool isFile) {
  if (!textOrPath) return false;
  COsCsLock control(m_csControl);
  if (IsBusy()) return false;
  if (isFile && !IsRegularFile(textOrPath)) return false;

  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      isFile ? doc.load_file(textOrPath) : doc.load_string(textOrPath);
  if (!parsed) return false;
  const pugi::xml_node root = doc.child("VxNmxLogger");
  if (!root || !HasChildElement(root)) return false;

  if (const pugi::xml_node port = root.child("ConnectionPort")) {
    const LONG p = XMLGetUshort(port);
    CString line;
    if (p == 0) {
      // Port 0 would listen wherever the system chooses, where no viewer will look.
      const long stays = m_bConnected ? m_nListenPort.load() : m_nPort.load();
      line.Format("Ignoring ConnectionPort '%s': not a port; the viewer port stays %ld",
                  XMLGettext(port), stays);
      ReportFailure(line);
    } else if (!m_bConnected || m_nPort == p) {
      m_nPort = p;
    } else {
      // This may run on a request of the handler being replaced, which must first answer it.
      RetireViewerService();
      m_nPort = p;
      const HRESULT hr = ConnectLocked();
      if (hr != S_OK) {
        const HRESULT shown = hr > 0 ? KrpResultFromCode(static_cast<DWORD>(hr)) : hr;
        line.Format("Failed to open listener port %ld (err=%x)", static_cast<long>(p),
                    static_cast<unsigned>(shown));
        ReportFailure(line);
      }
    }
  }

  const pugi::xml_node filterInfo = root.child("FilterInfo");
  const pugi::xml_node captureInfo = root.child("CaptureInfo");
  if (!captureInfo) return false;

  m_filter.InitializeFilters();
  if (filterInfo) m_filter.LoadFilters(filterInfo);

  // Each setting only when its element is present, in this order: the buffer is bounded by
  // the file size in force when it is set.
  if (const pugi::xml_node n = captureInfo.child("FileSize"))
    SetFileSize(static_cast<ULONG>(static_cast<ULONGLONG>(XMLGetUlong(n)) * kMiB));
  if (const pugi::xml_node n = captureInfo.child("BufferSize"))
    SetBufferSize(static_cast<ULONG>(XMLGetUshort(n)) * kKiB);
  if (const pugi::xml_node n = captureInfo.child("AutoSave")) SetAutoSave(XmlGetBool(n));
  if (const pugi::xml_node n = captureInfo.child("AutoSaveName")) SetSaveFileName(XMLGettext(n));
  if (const pugi::xml_node n = captureInfo.child("AutoSaveDirectoryName"))
    SetFolderName(XMLGettext(n));
  if (const pugi::xml_node n = captureInfo.child("RingBuffer")) EnableRingBuffer(XmlGetBool(n));
  if (const pugi::xml_node n = captureInfo.child("RingBufferFiles"))
    SetRingBufferFileCount(XMLGetLong(n));
  if (const pugi::xml_node n = captureInfo.child("OverwriteExisting"))
    SetOverwriteExisting(XmlGetBool(n));
  return true;
}
