// The engine's settings document: parse, viewer port, filters and capture settings.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <pugixml.hpp>

#include "engine/FailureReport.h"
#include "engine/NmxFilterSettings.h"
#include "engine/NmxLogger.h"
#include "engine/XmlReaders.h"
#include "os/OsUserSafeOpen.h"
#include "viewer/ViewerFileName.h"

namespace {

constexpr ULONG kMiB = 1048576;
constexpr ULONG kKiB = 1024;
// A settings document holds a few dozen elements; this leaves room for very long filter
// tables and keeps the parse, which holds the whole document in memory, small.
constexpr size_t kMaxSettingsDocument = kMiB;

// A viewer may name any path. Reading a FIFO or a device would block this thread, holding
// the control lock, until someone writes to it; a directory reads as a file of 2^63 bytes, and
// a document is parsed in memory, so its size is memory the viewer would choose.
bool ReadDocumentFile(const char* path, std::unique_ptr<char[]>* text, size_t* cbText,
                      CString* why) {
  int fd = -1;
  switch (OsUserOpenRegularFile(path, &fd)) {
    case OsOpenResult::kOpened:
      break;
    case OsOpenResult::kMissing:
      *why = "no such file";
      return false;
    case OsOpenResult::kRefused:
      *why = "not a regular file";
      return false;
    case OsOpenResult::kFailed:
      why->Format("cannot open it (%s)", strerror(errno));
      return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size > static_cast<off_t>(kMaxSettingsDocument)) {
    why->Format("larger than %u bytes", static_cast<unsigned>(kMaxSettingsDocument));
    close(fd);
    return false;
  }
  // Read to the limit and one byte beyond: a file that grows meanwhile is still caught.
  const size_t room = kMaxSettingsDocument + 1;
  text->reset(new (std::nothrow) char[room]);
  if (!*text) {
    *why = "out of memory";
    close(fd);
    return false;
  }
  size_t n = 0;
  while (n < room) {
    const ssize_t got = read(fd, text->get() + n, room - n);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      why->Format("cannot read it (%s)", strerror(errno));
      close(fd);
      return false;
    }
    if (got == 0) break;
    n += static_cast<size_t>(got);
  }
  close(fd);
  if (n > kMaxSettingsDocument) {
    why->Format("larger than %u bytes", static_cast<unsigned>(kMaxSettingsDocument));
    return false;
  }
  *cbText = n;
  return true;
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
                  PrintableText(XMLGettext(port)).c_str(), stays);
      ReportFailure(line);
    }
  }
  if (address) {
    const char* text = XMLGettext(address);
    in_addr parsed{};
    if (!*text || inet_pton(AF_INET, text, &parsed) == 1) {
      newAddress = text;
    } else {
      line.Format("Ignoring ConnectionAddress '%s': not an IPv4 address",
                  PrintableText(text).c_str());
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
  // A document named by path comes from a viewer or a host that cannot see why it was not
  // taken: the operator is told.
  const auto refuse = [&](const char* why) {
    if (isFile) {
      CString line;
      // The path and the document's text may come from anyone who reaches the viewer port.
      line.Format("Ignoring settings document %s: %s", PrintableText(textOrPath).c_str(),
                  PrintableText(why).c_str());
      ReportFailure(line);
    }
    return false;
  };
  COsCsLock control(m_csControl);
  if (IsBusy()) return refuse("the capture is running");
  std::unique_ptr<char[]> text;
  size_t cbText = 0;
  CString why;
  if (isFile && !ReadDocumentFile(textOrPath, &text, &cbText, &why)) return refuse(why);

  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      isFile ? doc.load_buffer_inplace(text.get(), cbText) : doc.load_string(textOrPath);
  if (!parsed) {
    why.Format("not a settings document (%s at byte %ld)", parsed.description(),
               static_cast<long>(parsed.offset));
    return refuse(why);
  }
  const pugi::xml_node root = doc.child("VxNmxLogger");
  if (!root || !HasChildElement(root)) return refuse("no VxNmxLogger element with settings");

  const pugi::xml_node port = root.child("ConnectionPort");
  const pugi::xml_node address = root.child("ConnectionAddress");
  if (port || address) ApplyConnectionSettings(port, address);

  const pugi::xml_node filterInfo = root.child("FilterInfo");
  const pugi::xml_node captureInfo = root.child("CaptureInfo");
  if (!captureInfo) return refuse("no CaptureInfo element");

  m_filter.InitializeFilters();
  if (filterInfo) LoadNmxFilters(m_filter, filterInfo);

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
