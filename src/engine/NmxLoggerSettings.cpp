// The engine's settings document: parse, filters and capture settings; the viewer port goes
// to the listener.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <pugixml.hpp>

#include "engine/FailureReport.h"
#include "engine/NmxFilterSettings.h"
#include "engine/NmxLogger.h"
#include "engine/XmlReaders.h"
#include "os/OsErrorText.h"
#include "os/OsUserSafeOpen.h"

namespace {

constexpr ULONG kMiB = 1048576;
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
      why->Format("cannot open it (%s)", static_cast<const char*>(OsErrorText(errno)));
      return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    why->Format("cannot look at it (%s)", static_cast<const char*>(OsErrorText(errno)));
    close(fd);
    return false;
  }
  if (st.st_size > static_cast<off_t>(kMaxSettingsDocument)) {
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
      why->Format("cannot read it (%s)", static_cast<const char*>(OsErrorText(errno)));
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

void ReadCaptureSetting(const CaptureSettingInfo& row, const pugi::xml_node& n,
                        CaptureSettings& settings) {
  switch (row.form) {
    case CaptureSettingForm::kUnsigned:
    case CaptureSettingForm::kUnsigned16: {
      const ULONGLONG units =
          row.form == CaptureSettingForm::kUnsigned ? XMLGetUlong(n) : XMLGetUshort(n);
      // Cut to 32 bits as the document has always been read: 4096 MiB is 0, the smallest
      // file.
      SetCaptureSettingNumber(settings, row.id, static_cast<DWORD>(units * row.unit));
      break;
    }
    case CaptureSettingForm::kSigned:
      SetCaptureSettingNumber(settings, row.id, static_cast<DWORD>(XMLGetLong(n)));
      break;
    case CaptureSettingForm::kFlag:
      SetCaptureSettingNumber(settings, row.id, XmlGetBool(n) ? 1 : 0);
      break;
    case CaptureSettingForm::kText:
      *CaptureSettingText(settings, row.id) = XMLGettext(n);
      break;
  }
}

bool HasChildElement(const pugi::xml_node& node) {
  for (const pugi::xml_node child : node.children())
    if (child.type() == pugi::node_element) return true;
  return false;
}

}  // namespace

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
  if ((port || address) && m_pListener) m_pListener->OnConnectionSettings(port, address);

  const pugi::xml_node filterInfo = root.child("FilterInfo");
  const pugi::xml_node captureInfo = root.child("CaptureInfo");
  if (!captureInfo) return refuse("no CaptureInfo element");

  m_filter.InitializeFilters();
  if (filterInfo) LoadNmxFilters(m_filter, filterInfo);

  // Each setting only when its element is present, in one step.
  ChangeCaptureSettings([&captureInfo](CaptureSettings& settings) {
    for (const CaptureSettingInfo& row : kCaptureSettingTable)
      if (const pugi::xml_node n = captureInfo.child(row.element))
        ReadCaptureSetting(row, n, settings);
  });
  return true;
}
