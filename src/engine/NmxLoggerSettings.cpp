// The engine's settings document: parse, viewer port, filters and capture settings.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <pugixml.hpp>

#include "engine/FailureReport.h"
#include "engine/NmxLogger.h"
#include "engine/XmlReaders.h"
#include "os/OsUserFile.h"

namespace {

constexpr ULONG kMiB = 1048576;
constexpr ULONG kKiB = 1024;

// A viewer may name any path. Reading a FIFO or a device would block this thread, holding
// the control lock, until someone writes to it; a directory reads as a file of 2^63 bytes.
bool IsRegularFile(const char* path) {
  return OsUserGetFileAttributes(path) == FILE_ATTRIBUTE_NORMAL;
}

bool HasChildElement(const pugi::xml_node& node) {
  for (const pugi::xml_node child : node.children())
    if (child.type() == pugi::node_element) return true;
  return false;
}

}  // namespace

void CNmxLogger::ApplyConnectionSettings(const pugi::xml_node& port,
                                         const pugi::xml_node& address) {
  LONG newPort = m_nPort;
  CString newAddress = m_strAddress;
  CString line;
  if (port) {
    const LONG p = XMLGetUshort(port);
    if (p != 0) {
      newPort = p;
    } else {
      // Port 0 would listen wherever the system chooses, where no viewer will look.
      const long stays = m_bConnected ? m_nListenPort.load() : m_nPort.load();
      line.Format("Ignoring ConnectionPort '%s': not a port; the viewer port stays %ld",
                  XMLGettext(port), stays);
      ReportFailure(line);
    }
  }
  if (address) {
    const char* text = XMLGettext(address);
    in_addr parsed{};
    if (!*text || inet_pton(AF_INET, text, &parsed) == 1) {
      newAddress = text;
    } else {
      line.Format("Ignoring ConnectionAddress '%s': not an IPv4 address", text);
      ReportFailure(line);
    }
  }
  const bool samePort = newPort == m_nPort;
  const bool moved = !samePort || strcmp(newAddress, m_strAddress) != 0;
  m_nPort = newPort;
  m_strAddress = newAddress;
  if (!m_bConnected || !moved) return;
  // This may run on a request of the handler being replaced, which must first answer it. On
  // the same port, the new listener has to wait until the old one has closed.
  if (RetireViewerService(samePort) && samePort) {
    m_bReconnectWanted = true;
    return;
  }
  const HRESULT hr = ConnectLocked();
  if (hr != S_OK) ReportListenerFailure(hr);
}

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

  const pugi::xml_node port = root.child("ConnectionPort");
  const pugi::xml_node address = root.child("ConnectionAddress");
  if (port || address) ApplyConnectionSettings(port, address);

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
