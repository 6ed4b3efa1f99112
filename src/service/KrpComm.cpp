#include "service/KrpComm.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/CapturePacket.h"
#include "engine/FailureReport.h"
#include "engine/IViewerEngine.h"
#include "nmx/KrpTypes.h"
#include "os/ByteOrder.h"
#include "os/OsUserSafeOpen.h"
#include "service/KrpServer.h"
#include "service/ViewerFileName.h"
#include "service/ViewerService.h"
#include "service/ViewerTcpServer.h"

// The wire's bounds, which viewers know, are the settings' own.
static_assert(KRPCOMM_MAX_FILE_SIZE == CaptureSettingInfoOf(CaptureSettingId::kFileSize).maxValue);
static_assert(KRPCOMM_MAX_BUFFER_SIZE ==
              CaptureSettingInfoOf(CaptureSettingId::kBufferSize).maxValue);
static_assert(KRPCOMM_MAX_SAVE_NAME_BYTES ==
              CaptureSettingInfoOf(CaptureSettingId::kSaveName).maxValue);

namespace {

// The boot folder's path, as the capture reads it.
constexpr DWORD kBootPathSize = 1024;

HRESULT Krp(DWORD code) {
  return KrpResultFromCode(code);
}

DWORD Value32(const BYTE* data) {
  return vx::DecodeLE32(data);
}

void Answer32(BYTE* data, DWORD* bytesRead, DWORD value) {
  vx::EncodeLE32(data, value);
  *bytesRead = 4;
}

// A name sent by the viewer: it ends at its first zero byte, at the end of the data, or after
// maxChars characters.
std::string NameFromData(const BYTE* data, DWORD length, DWORD maxChars) {
  if (!data) return std::string();
  const char* p = reinterpret_cast<const char*>(data);
  return std::string(p, strnlen(p, length < maxChars ? length : maxChars));
}

}  // namespace

CKrpComm::CKrpComm(CViewerService* pService, bool, LONG nPort, const char* szAddress)
    : m_pTcpKrpServer(new (std::nothrow) CViewerTcpServer(
          this, static_cast<WORD>(nPort), szAddress && *szAddress ? szAddress : nullptr)),
      m_pKrpServer(new (std::nothrow) CKrpServer()),
      m_pService(pService),
      m_engine(pService->Engine()) {
  // No lock: nothing else reaches the object yet, and the service constructs it under its
  // lock, which a request loading a settings document takes under m_csCrit.
  for (int& fd : m_fdOpenFile) fd = -1;
}

CKrpComm::~CKrpComm() {
  // The listener and the connection go first: after that no request or connection event can
  // arrive, and a notification blocked in a send to the viewer has been woken.
  if (m_pTcpKrpServer) m_pTcpKrpServer->CloseConnections();
  DeleteAllNotifications();
  if (m_pAsyncRes) m_pAsyncRes->Release();
  if (m_pTcpKrpServer) m_pTcpKrpServer->Release();
  if (m_pKrpServer) m_pKrpServer->Release();
  // The connection and the notifications have ended: no request can reach the files now.
  CloseAllFiles();
}

HRESULT CKrpComm::Connect() {
  if (!m_pTcpKrpServer || !m_pKrpServer) return E_OUTOFMEMORY;
  if (m_pAsyncRes) {
    m_pAsyncRes->Release();
    m_pAsyncRes = nullptr;
  }
  const HRESULT hr =
      m_pTcpKrpServer->ConnectAs(KRPCOMM_KRP_PORT, this, nullptr, &m_pAsyncRes, nullptr, nullptr);
  IVxKrpAsyncRes* unused = nullptr;
  m_pKrpServer->ConnectAs(KRPCOMM_KRP_PORT, this, nullptr, &unused, nullptr, nullptr);
  if (unused) unused->Release();
  return hr;
}

HRESULT CKrpComm::Disconnect() {
  return S_OK;
}

WORD CKrpComm::GetListenPort() {
  return m_pTcpKrpServer ? m_pTcpKrpServer->GetListenPort() : 0;
}

void CKrpComm::Retire() {
  COsCsLock view(m_pService->ViewLock());
  m_bRetired = true;
}

bool CKrpComm::IsServingRequest() {
  return m_pTcpKrpServer && m_pTcpKrpServer->IsServingRequest();
}

// ---- IUnknown -------------------------------------------------------------------------------

HRESULT CKrpComm::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IVxKrpSync) {
    *ppv = static_cast<IVxKrpSync*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CKrpComm::AddRef() {
  return 1;
}

ULONG CKrpComm::Release() {
  return 0;
}

// ---- Requests -------------------------------------------------------------------------------

HRESULT CKrpComm::Write(DWORD indexGroup, DWORD indexOffset, DWORD length, const void* data) {
  if (length != 0 && !data) return Krp(KRP_E_INVALID_PARAM);
  COsCsLock crit(m_csCrit);
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  const BYTE* bytes = static_cast<const BYTE*>(data);
  switch (indexGroup) {
    case KRPCOMM_IG_CAPTURE:
      return WriteCapture(indexOffset, length, bytes);
    case KRPCOMM_IG_FILTER:
      return WriteFilter(indexOffset, length, bytes);
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

HRESULT CKrpComm::Read(DWORD indexGroup, DWORD indexOffset, DWORD length, void* data) {
  DWORD bytesRead = 0;
  return ReadEx(indexGroup, indexOffset, length, data, &bytesRead);
}

HRESULT CKrpComm::ReadEx(DWORD indexGroup, DWORD indexOffset, DWORD length, void* data,
                         DWORD* bytesRead) {
  if (!bytesRead || !data) return Krp(KRP_E_INVALID_PARAM);
  *bytesRead = 0;
  COsCsLock crit(m_csCrit);
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  BYTE* bytes = static_cast<BYTE*>(data);
  switch (indexGroup) {
    case KRPCOMM_IG_CAPTURE:
      return ReadCapture(indexOffset, length, bytes, bytesRead);
    case KRPCOMM_IG_VIEW:
      return ReadView(indexOffset, length, bytes, bytesRead);
    case KRPCOMM_IG_FILTER:
      return ReadFilter(indexOffset, length, bytes, bytesRead);
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

HRESULT CKrpComm::ReadWrite(DWORD indexGroup, DWORD indexOffset, DWORD readLength, void* readData,
                            DWORD writeLength, const void* writeData, DWORD* bytesRead) {
  if (!bytesRead || !readData || (writeLength != 0 && !writeData)) return Krp(KRP_E_INVALID_PARAM);
  *bytesRead = 0;
  COsCsLock crit(m_csCrit);
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  if (indexGroup != KRPCOMM_IG_CAPTURE) return Krp(KRP_E_NOT_SUPPORTED);
  BYTE* out = static_cast<BYTE*>(readData);
  const BYTE* in = static_cast<const BYTE*>(writeData);
  switch (indexOffset) {
    case KRPCOMM_CAP_CREATE_VIEW:
      return CreateView(readLength, out, bytesRead);
    case KRPCOMM_CAP_OPEN_FILE:
      return OpenFile(readLength, out, writeLength, in, bytesRead);
    case KRPCOMM_CAP_READ_FILE:
      return ReadFile(readLength, out, writeLength, in, bytesRead);
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

HRESULT CKrpComm::WriteControl(DWORD, DWORD, DWORD, const void*) {
  return Krp(KRP_E_NOT_SUPPORTED);
}

HRESULT CKrpComm::ReadDeviceInfo(char*, KrpVersion*) {
  return Krp(KRP_E_NOT_SUPPORTED);
}

HRESULT CKrpComm::ReadState(DWORD*, DWORD*, DWORD*, void**) {
  return Krp(KRP_E_NOT_SUPPORTED);
}

HRESULT CKrpComm::DeviceNotification(const NmxAddr*, DWORD, const void*) {
  return Krp(KRP_E_NOT_SUPPORTED);
}

// ---- Capture control ------------------------------------------------------------------------

HRESULT CKrpComm::WriteCapture(DWORD indexOffset, DWORD length, const BYTE* data) {
  IViewerEngine& engine = m_engine;
  switch (indexOffset) {
    case KRPCOMM_CAP_STATE: {
      if (length < 4) return Krp(KRP_E_INVALID_SIZE);
      const DWORD cmd = Value32(data);
      if (cmd == KRPCOMM_CMD_START && !engine.IsStarted()) {
        if (length > 4) return StartWithSettings(NameFromData(data + 4, length - 4, length - 4));
        engine.Start();
        return S_OK;
      }
      if (cmd == KRPCOMM_CMD_STOP && engine.IsStarted()) {
        engine.Stop();
        return S_OK;
      }
      return Krp(KRP_E_INVALID_STATE);
    }
    case KRPCOMM_CAP_FILE_MODE: {
      if (length < 4) return Krp(KRP_E_INVALID_SIZE);
      if (RefusedWhileCapturing(CaptureSettingId::kRingBuffer)) return Krp(KRP_E_GENERAL);
      const DWORD mode = Value32(data);
      if (mode != KRPCOMM_MODE_RING && mode != KRPCOMM_MODE_SINGLE) return Krp(KRP_E_INVALID_PARAM);
      return WriteSetting(CaptureSettingId::kRingBuffer, mode == KRPCOMM_MODE_RING);
    }
    case KRPCOMM_CAP_FILE_SIZE:
    case KRPCOMM_CAP_BUFFER_SIZE: {
      if (length < 4) return Krp(KRP_E_INVALID_SIZE);
      const CaptureSettingId id = indexOffset == KRPCOMM_CAP_FILE_SIZE
                                      ? CaptureSettingId::kFileSize
                                      : CaptureSettingId::kBufferSize;
      if (RefusedWhileCapturing(id)) return Krp(KRP_E_GENERAL);
      // Bounded: the buffer is memory taken at the start, the file disk space.
      return WriteSetting(id, Value32(data));
    }
    case KRPCOMM_CAP_SAVE_AS: {
      if (length > KRPCOMM_MAX_NAME_DATA) return Krp(KRP_E_INVALID_SIZE);
      const std::string name = NameFromData(data, length, KRPCOMM_MAX_NAME_CHARS);
      if (!IsViewerRelativePath(name.c_str())) return Krp(KRP_E_INVALID_PARAM);
      return SaveAs(name);
    }
    case KRPCOMM_CAP_CLOSE_VIEW:
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      return CloseView(Value32(data));
    case KRPCOMM_CAP_CLOSE_FILE:
      return CloseFile(length, data);
    case KRPCOMM_CAP_SAVE_NAME: {
      if (length > KRPCOMM_MAX_NAME_DATA) return Krp(KRP_E_INVALID_SIZE);
      if (length == 0) return WriteSetting(CaptureSettingId::kSaveName, std::string());
      const std::string name = NameFromData(data, length, KRPCOMM_MAX_NAME_CHARS);
      // Longer, no capture could start under it.
      if (name.size() > CaptureSettingInfoOf(CaptureSettingId::kSaveName).maxValue)
        return Krp(KRP_E_INVALID_SIZE);
      if (!IsViewerBareFileName(name.c_str())) return Krp(KRP_E_INVALID_PARAM);
      // A link there counts as foreign too: the capture would be written wherever it points.
      if (engine.GetCaptureMngt()->IsForeignSaveFile(name.c_str())) {
        CString line;
        line.Format(
            "Refused the viewer's save name '%s': in the capture folder it names a link "
            "or a file that is not a capture",
            name.c_str());
        ReportRefusal(line);
        return Krp(KRP_E_INVALID_PARAM);
      }
      return WriteSetting(CaptureSettingId::kSaveName, name);
    }
    case KRPCOMM_CAP_AUTO_SAVE:
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      return WriteSetting(CaptureSettingId::kAutoSave, Value32(data) != 0);
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

HRESULT CKrpComm::ReadCapture(DWORD indexOffset, DWORD length, BYTE* data, DWORD* bytesRead) {
  IViewerEngine& engine = m_engine;
  switch (indexOffset) {
    case KRPCOMM_CAP_STATE:
    case KRPCOMM_CAP_FILE_MODE:
    case KRPCOMM_CAP_FILE_SIZE:
    case KRPCOMM_CAP_BUFFER_SIZE:
    case KRPCOMM_CAP_AUTO_SAVE: {
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      const CaptureSettings settings = engine.GetCaptureSettings();
      DWORD v = 0;
      if (indexOffset == KRPCOMM_CAP_STATE)
        v = engine.IsStarted() ? KRPCOMM_STATE_CAPTURING : KRPCOMM_STATE_STOPPED;
      else if (indexOffset == KRPCOMM_CAP_FILE_MODE)
        v = settings.bRingBuffer ? KRPCOMM_MODE_RING : KRPCOMM_MODE_SINGLE;
      else if (indexOffset == KRPCOMM_CAP_FILE_SIZE)
        v = settings.cbFile;
      else if (indexOffset == KRPCOMM_CAP_BUFFER_SIZE)
        v = settings.cbBuffer;
      else
        v = settings.bAutoSave ? 1 : 0;
      Answer32(data, bytesRead, v);
      return S_OK;
    }
    case KRPCOMM_CAP_INFO: {
      if (length != sizeof(KrpCommCaptureInfo)) return Krp(KRP_E_INVALID_SIZE);
      LONG nFrames = 0;
      ULONG cbFrames = 0, nOverflows = 0;
      engine.GetCaptureInfo(nFrames, cbFrames, nOverflows);
      vx::EncodeLE32(data + offsetof(KrpCommCaptureInfo, nFrames), static_cast<DWORD>(nFrames));
      vx::EncodeLE32(data + offsetof(KrpCommCaptureInfo, cbFrames), cbFrames);
      vx::EncodeLE32(data + offsetof(KrpCommCaptureInfo, nOverflows), nOverflows);
      *bytesRead = sizeof(KrpCommCaptureInfo);
      return S_OK;
    }
    case KRPCOMM_CAP_DROPPED:
      // Viewers built before this offset never ask; one that asks an older logger gets
      // 0x701 and knows the count is not told.
      if (length != 8) return Krp(KRP_E_INVALID_SIZE);
      vx::EncodeLE64(data, engine.GetDroppedFrames());
      *bytesRead = 8;
      return S_OK;
    case KRPCOMM_CAP_FILE_NAME:
      if (FAILED(engine.GetFileName(length, reinterpret_cast<char*>(data))))
        return Krp(KRP_E_INVALID_SIZE);
      *bytesRead = static_cast<DWORD>(strnlen(reinterpret_cast<char*>(data), length)) + 1;
      if (*bytesRead > length) {
        *bytesRead = 0;
        return Krp(KRP_E_INVALID_SIZE);
      }
      return S_OK;
    case KRPCOMM_CAP_SAVE_NAME: {
      const std::string name = engine.GetCaptureSettings().saveFileName;
      const size_t n = name.size() + 1;
      if (n > length) return Krp(KRP_E_INVALID_SIZE);
      memcpy(data, name.c_str(), n);
      *bytesRead = static_cast<DWORD>(n);
      return S_OK;
    }
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

bool CKrpComm::RefusedWhileCapturing(CaptureSettingId id) {
  return CaptureSettingInfoOf(id).idleOnly && m_engine.IsStarted();
}

HRESULT CKrpComm::WriteSetting(CaptureSettingId id, ULONGLONG value) {
  if (value > CaptureSettingInfoOf(id).maxValue) return Krp(KRP_E_INVALID_SIZE);
  m_engine.ChangeCaptureSettings(
      [id, value](CaptureSettings& s) { SetCaptureSettingNumber(s, id, value); });
  return S_OK;
}

HRESULT CKrpComm::WriteSetting(CaptureSettingId id, const std::string& text) {
  m_engine.ChangeCaptureSettings([id, &text](CaptureSettings& s) {
    if (std::string* t = CaptureSettingText(s, id)) *t = text;
  });
  return S_OK;
}

// ---- Views ----------------------------------------------------------------------------------

DWORD CKrpComm::NotificationOfView(DWORD hView) {
  COsCsLock view(m_pService->ViewLock());
  CCaptureView* v = m_pService->GetView(static_cast<LONG>(hView));
  return v ? v->GetNotificationHandle() : 0;
}

HRESULT CKrpComm::CreateView(DWORD length, BYTE* data, DWORD* bytesRead) {
  if (length != 4) return Krp(KRP_E_INVALID_SIZE);
  // No notification thread may outlive the view it reads.
  if (const DWORD hNote = NotificationOfView(1)) DelDeviceNotification(hNote);
  LONG hView = 0;
  {
    COsCsLock view(m_pService->ViewLock());
    if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
    hView = m_pService->CreateView();
  }
  if (hView == 0) return Krp(KRP_E_GENERAL);
  Answer32(data, bytesRead, static_cast<DWORD>(hView));
  return S_OK;
}

HRESULT CKrpComm::CloseView(DWORD hView) {
  {
    COsCsLock view(m_pService->ViewLock());
    if (!m_pService->GetView(static_cast<LONG>(hView))) return Krp(KRP_E_INVALID_PARAM);
  }
  if (const DWORD hNote = NotificationOfView(hView)) DelDeviceNotification(hNote);
  COsCsLock view(m_pService->ViewLock());
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  m_pService->CloseView(static_cast<LONG>(hView));
  return S_OK;
}

HRESULT CKrpComm::ReadView(DWORD hView, DWORD length, BYTE* data, DWORD* bytesRead) {
  COsCsLock view(m_pService->ViewLock());
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  CCaptureView* v = m_pService->GetView(static_cast<LONG>(hView));
  if (!v) return Krp(KRP_E_INVALID_OFFSET);
  if (length < KRPCOMM_MIN_PACKET_LENGTH) return Krp(KRP_E_INVALID_SIZE);
  const HRESULT hr = v->GetUnreadFrames(data, length);
  if (hr == S_FALSE) return S_OK;
  if (hr != S_OK) return Krp(KRP_E_GENERAL);
  TCapturePacketHdr hdr{};
  vxcap::DecodeCapturePacketHdr(data, length, &hdr);
  if (hdr.cbData > length - vxcap::kPacketHeaderSize) return Krp(KRP_E_GENERAL);
  *bytesRead = vxcap::kPacketHeaderSize + hdr.cbData;
  return S_OK;
}

// ---- Files of the boot project folder -------------------------------------------------------

namespace {

// What a viewer named in the boot folder and was refused, for the operator.
void ReportRefusedPath(const char* what, const char* dir, const std::string& name) {
  const size_t n = strlen(dir);
  const char* sep = n > 0 && (dir[n - 1] == '/' || dir[n - 1] == '\\') ? "" : "/";
  CString line;
  line.Format(
      "Refused the viewer's %s %s%s%s: a symbolic link, a name leaving the boot folder, "
      "or not a regular file",
      what, dir, sep, name.c_str());
  ReportRefusal(line);
}

// The folder part of a viewer's name ("" for none) and its last component.
void SplitName(const std::string& name, std::string* folder, std::string* file) {
  const size_t sep = name.find_last_of("/\\");
  *folder = sep == std::string::npos ? std::string() : name.substr(0, sep);
  *file = sep == std::string::npos ? name : name.substr(sep + 1);
}

}  // namespace

HRESULT CKrpComm::OpenFile(DWORD readLength, BYTE* readData, DWORD writeLength,
                           const BYTE* writeData, DWORD* bytesRead) {
  if (readLength != 4) return Krp(KRP_E_INVALID_SIZE);
  const std::string name = NameFromData(writeData, writeLength, writeLength);
  if (!IsViewerRelativePath(name.c_str())) return Krp(KRP_E_INVALID_PARAM);
  DWORD slot = 0;
  while (slot < KRPCOMM_FILE_SLOTS && m_fdOpenFile[slot] >= 0) ++slot;
  if (slot == KRPCOMM_FILE_SLOTS) return Krp(KRP_E_GENERAL);

  char dir[kBootPathSize];
  if (CCaptureFile::GetBootPrjPath(dir, sizeof dir) != 0) return Krp(KRP_E_GENERAL);
  const size_t cbDir = strlen(dir);
  if (name.size() > kBootPathSize - cbDir) return Krp(KRP_E_INVALID_SIZE);

  // Opened beneath the boot folder without following a link, and only a regular file: a FIFO
  // or a device would hold this request, and with it every viewer, until someone served it.
  int boot = -1;
  if (OsUserOpenFolder(dir, &boot) != OsOpenResult::kOpened) return Krp(KRP_E_GENERAL);
  int fd = -1;
  const OsOpenResult r = OsUserOpenFileBeneath(boot, name.c_str(), &fd);
  close(boot);
  if (r == OsOpenResult::kRefused) {
    ReportRefusedPath("file", dir, name);
    return Krp(KRP_E_INVALID_PARAM);
  }
  if (r != OsOpenResult::kOpened) return Krp(KRP_E_GENERAL);
  m_fdOpenFile[slot] = fd;
  Answer32(readData, bytesRead, slot);
  return S_OK;
}

HRESULT CKrpComm::ReadFile(DWORD readLength, BYTE* readData, DWORD writeLength,
                           const BYTE* writeData, DWORD* bytesRead) {
  if (writeLength != 4) return Krp(KRP_E_INVALID_SIZE);
  const DWORD slot = Value32(writeData);
  if (slot >= KRPCOMM_FILE_SLOTS || m_fdOpenFile[slot] < 0) return Krp(KRP_E_GENERAL);
  ssize_t n;
  do {
    n = read(m_fdOpenFile[slot], readData, readLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Krp(KRP_E_GENERAL);
  *bytesRead = static_cast<DWORD>(n);
  return S_OK;
}

HRESULT CKrpComm::CloseFile(DWORD length, const BYTE* data) {
  if (length != 4) return Krp(KRP_E_INVALID_SIZE);
  const DWORD slot = Value32(data);
  if (slot >= KRPCOMM_FILE_SLOTS || m_fdOpenFile[slot] < 0) return Krp(KRP_E_GENERAL);
  close(m_fdOpenFile[slot]);
  m_fdOpenFile[slot] = -1;
  return S_OK;
}

void CKrpComm::CloseAllFiles() {
  for (int& fd : m_fdOpenFile) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

HRESULT CKrpComm::SaveAs(const std::string& name) {
  char dir[kBootPathSize];
  if (CCaptureFile::GetBootPrjPath(dir, sizeof dir) != 0) return Krp(KRP_E_GENERAL);
  std::string folderName, fileName;
  SplitName(name, &folderName, &fileName);
  int boot = -1;
  if (OsUserOpenFolder(dir, &boot) != OsOpenResult::kOpened) return Krp(KRP_E_GENERAL);
  int folder = -1;
  const OsOpenResult r = OsUserOpenFolderBeneath(boot, folderName.c_str(), &folder);
  close(boot);
  if (r == OsOpenResult::kRefused) {
    ReportRefusedPath("save name", dir, name);
    return Krp(KRP_E_INVALID_PARAM);
  }
  if (r != OsOpenResult::kOpened) return Krp(KRP_E_GENERAL);

  // The target is made here, in the folder just verified and never through a link, so that
  // the save lands in it; a file already there must be a regular one, which the capture then
  // replaces only if it is a capture or empty.
  int made = -1;
  OsOpenResult target = OsUserCreateFileBeneath(folder, fileName.c_str(), &made);
  if (target == OsOpenResult::kFailed && errno == EEXIST) {
    int existing = -1;
    target = OsUserOpenFileBeneath(folder, fileName.c_str(), &existing);
    if (target == OsOpenResult::kOpened) close(existing);
    // Held by a writer, or gone meanwhile: the save itself says what it makes of that.
    if (target != OsOpenResult::kRefused) target = OsOpenResult::kOpened;
  }
  HRESULT hr = S_OK;
  if (target == OsOpenResult::kRefused) {
    ReportRefusedPath("save name", dir, name);
    hr = Krp(KRP_E_INVALID_PARAM);
  } else if (target != OsOpenResult::kOpened) {
    hr = Krp(KRP_E_GENERAL);
  } else {
    hr = m_engine.SaveCaptureAs(name.c_str());
    if (hr == vxcap::CAPTURE_E_FOREIGN_FILE) hr = Krp(KRP_E_INVALID_PARAM);
  }
  if (made >= 0) {
    // A save that did not happen leaves no empty file behind.
    if (FAILED(hr)) OsUserRemoveIfUnusedBeneath(folder, fileName.c_str(), made);
    close(made);
  }
  close(folder);
  return hr;
}

HRESULT CKrpComm::StartWithSettings(const std::string& path) {
  bool loaded = false;
  try {
    // May replace this handler (a new viewer port); the engine then keeps it alive until this
    // request has been answered.
    loaded = m_engine.LoadXmlSettings(path.c_str(), true);
  } catch (...) {
    // Only the XML parser throws, when its memory runs out.
    CString line;
    line.Format("Ignoring settings document %s: out of memory",
                PrintableText(path.c_str()).c_str());
    ReportFailure(line);
  }
  // The engine has said why; a capture with settings other than those asked for would record
  // what nobody wanted.
  if (!loaded) return Krp(KRP_E_INVALID_PARAM);
  m_engine.Start();
  return S_OK;
}

// ---- Filters --------------------------------------------------------------------------------

HRESULT CKrpComm::WriteFilter(DWORD indexOffset, DWORD length, const BYTE* data) {
  IViewerEngine& engine = m_engine;
  switch (indexOffset) {
    case KRPCOMM_FLT_ACTIVE:
    case KRPCOMM_FLT_INCLUDE_ACTIVE:
    case KRPCOMM_FLT_EXCLUDE_ACTIVE: {
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      const BOOL b = static_cast<BOOL>(Value32(data));
      if (indexOffset == KRPCOMM_FLT_ACTIVE)
        engine.Filters().EnableFilter(b);
      else if (indexOffset == KRPCOMM_FLT_INCLUDE_ACTIVE)
        engine.Filters().EnableIncludeTable(b);
      else
        engine.Filters().EnableExcludeTable(b);
      return S_OK;
    }
    case KRPCOMM_FLT_INCLUDE_TABLE:
    case KRPCOMM_FLT_EXCLUDE_TABLE: {
      if (length < NMX_ADDRESS_TABLE_HEAD ||
          length != NmxAddressTableSize(NmxAddressTableCount(data)))
        return Krp(KRP_E_INVALID_SIZE);
      return indexOffset == KRPCOMM_FLT_INCLUDE_TABLE ? engine.SetIncludeTable(data, length)
                                                      : engine.SetExcludeTable(data, length);
    }
    case KRPCOMM_FLT_FLAGS:
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      return engine.SetFilterFlags(Value32(data));
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

HRESULT CKrpComm::ReadFilter(DWORD indexOffset, DWORD length, BYTE* data, DWORD* bytesRead) {
  IViewerEngine& engine = m_engine;
  switch (indexOffset) {
    case KRPCOMM_FLT_ACTIVE:
    case KRPCOMM_FLT_INCLUDE_ACTIVE:
    case KRPCOMM_FLT_EXCLUDE_ACTIVE:
    case KRPCOMM_FLT_FLAGS: {
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      DWORD v = 0;
      if (indexOffset == KRPCOMM_FLT_ACTIVE)
        v = static_cast<DWORD>(engine.Filters().IsFilterActive());
      else if (indexOffset == KRPCOMM_FLT_INCLUDE_ACTIVE)
        v = static_cast<DWORD>(engine.Filters().IsIncludeTableActive());
      else if (indexOffset == KRPCOMM_FLT_EXCLUDE_ACTIVE)
        v = static_cast<DWORD>(engine.Filters().IsExcludeTableActive());
      else
        v = engine.Filters().GetFilterFlags();
      Answer32(data, bytesRead, v);
      return S_OK;
    }
    case KRPCOMM_FLT_TABLE_SIZES: {
      if (length != 8) return Krp(KRP_E_INVALID_SIZE);
      TNmxFilterInfo info{};
      if (!engine.Filters().GetFilterInfo(&info)) return Krp(KRP_E_GENERAL);
      vx::EncodeLE32(data, info.cbIncludeTable);
      vx::EncodeLE32(data + 4, info.cbExcludeTable);
      *bytesRead = 8;
      return S_OK;
    }
    case KRPCOMM_FLT_INCLUDE_TABLE:
    case KRPCOMM_FLT_EXCLUDE_TABLE: {
      std::vector<BYTE> table;
      const bool have = indexOffset == KRPCOMM_FLT_INCLUDE_TABLE
                            ? engine.Filters().CopyIncludeTable(&table)
                            : engine.Filters().CopyExcludeTable(&table);
      if (!have) return Krp(KRP_E_GENERAL);
      if (table.size() != length) return Krp(KRP_E_INVALID_SIZE);
      memcpy(data, table.data(), table.size());
      *bytesRead = length;
      return S_OK;
    }
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

// ---- Notifications --------------------------------------------------------------------------

HRESULT CKrpComm::AddDeviceNotification(DWORD indexGroup, DWORD indexOffset,
                                        KrpNotificationAttrib* attrib, DWORD, DWORD* handle) {
  if (!handle || !attrib) return Krp(KRP_E_GENERAL);
  if (indexGroup != KRPCOMM_IG_VIEW) return Krp(KRP_E_NOT_SUPPORTED);
  COsCsLock crit(m_csCrit);
  // Held until the handle is set on the view, so the new thread reads nothing before.
  COsCsLock viewLock(m_pService->ViewLock());
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  CCaptureView* view = m_pService->GetView(static_cast<LONG>(indexOffset));
  if (!view) return Krp(KRP_E_INVALID_OFFSET);
  if (view->GetNotificationHandle() != 0) return Krp(KRP_E_GENERAL);
  // Each packet is sent whole in one frame, whose buffer the viewer's length decides.
  if (attrib->cbLength < KRPCOMM_MIN_PACKET_LENGTH ||
      attrib->cbLength > KRPCOMM_MAX_NOTIFICATION_LENGTH)
    return Krp(KRP_E_INVALID_SIZE);
  if (m_noteTable.IsFull()) return Krp(KRP_E_GENERAL);

  auto* n = new (std::nothrow) TViewNoteParam{};
  BYTE* stream = new (std::nothrow) BYTE[KRPCOMM_NOTIFICATION_HEAD + attrib->cbLength];
  if (!n || !stream) {
    delete n;
    delete[] stream;
    return Krp(KRP_E_NO_MEMORY);
  }
  OS_USER_EVENT_HANDLE hStop = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
  NmxAddr addr;
  if (!hStop || FAILED(m_pTcpKrpServer->GetAddr(&addr))) {
    if (hStop) OsUserCloseHandle(hStop);
    delete n;
    delete[] stream;
    return Krp(KRP_E_GENERAL);
  }
  *n = TViewNoteParam{this,      view, indexOffset, attrib->cbLength, attrib->nCycleTime, hStop,
                      ++m_hNote, addr, stream};
  const DWORD hNote = n->hNote;
  OS_USER_THREAD_ID id{};
  OS_USER_THREAD_HANDLE hThread = OsUserCreateThread(nullptr, 0, NotificationThread, n, 0, &id);
  if (!hThread) {
    OsUserCloseHandle(hStop);
    delete n;
    delete[] stream;
    return Krp(KRP_E_GENERAL);
  }
  m_noteTable.Insert(NotificationTableKey_{hNote}, TNotificationTableVal_{hStop, hThread, id});
  view->SetNotificationHandle(hNote);
  *handle = hNote;
  return S_OK;
}

// Outside the table's lock: the thread may be finishing a send to the viewer.
void CKrpComm::StopNotificationThread(const TNotificationTableVal_& val) {
  OsUserSetEvent(val.hStopEvent);
  OsUserWaitForSingleObject(val.hThread, INFINITE);
  OsUserCloseHandle(val.hThread);
  OsUserCloseHandle(val.hStopEvent);
}

HRESULT CKrpComm::DelDeviceNotification(DWORD handle) {
  TNotificationTableVal_ val{};
  if (!m_noteTable.Remove(NotificationTableKey_{handle}, &val)) return Krp(KRP_E_INVALID_HANDLE);
  StopNotificationThread(val);
  return S_OK;
}

void CKrpComm::DeleteAllNotifications() {
  NotificationTableKey_ key{};
  TNotificationTableVal_ val{};
  while (m_noteTable.RemoveFirst(&key, &val)) StopNotificationThread(val);
}

DWORD CKrpComm::NotificationThread(LPVOID pParam) {
  auto* n = static_cast<TViewNoteParam*>(pParam);
  n->pThis->RunNotification(*n);
  delete[] n->pStream;
  delete n;
  return 0;
}

void CKrpComm::RunNotification(TViewNoteParam& n) {
  BYTE* stream = n.pStream;
  memset(stream, 0, KRPCOMM_NOTIFICATION_HEAD);
  vx::EncodeLE32(stream + KRPCOMM_NOTE_STAMPS, 1);
  vx::EncodeLE32(stream + KRPCOMM_NOTE_SAMPLES, 1);
  vx::EncodeLE32(stream + KRPCOMM_NOTE_HANDLE, n.hNote);
  const DWORD timeoutMs = n.nCycleTime / 10000;
  for (;;) {
    const DWORD w = OsUserWaitForSingleObject(n.hStopEvent, timeoutMs);
    if (w == WAIT_OBJECT_0) return;
    if (w != WAIT_TIMEOUT) continue;
    for (bool first = true;; first = false) {
      if (ReadNotificationPacket(n) != S_OK) break;
      TCapturePacketHdr hdr{};
      vxcap::DecodeCapturePacketHdr(stream + KRPCOMM_NOTIFICATION_HEAD, n.cbLength, &hdr);
      // A continuation belongs to a sequence some other reader began.
      if (first && hdr.nPacket != 0) break;
      if (hdr.cbData > n.cbLength - vxcap::kPacketHeaderSize) break;
      vx::EncodeLE64(stream + KRPCOMM_NOTE_TIME,
                     static_cast<ULONGLONG>(OsUserGetSystemTimeAsFileTime()));
      vx::EncodeLE32(stream + KRPCOMM_NOTE_SAMPLE_SIZE, vxcap::kPacketHeaderSize + hdr.cbData);
      m_pAsyncRes->DeviceNotificationRes(
          n.addr, KRPCOMM_NOTIFICATION_INVOKE_ID,
          KRPCOMM_NOTIFICATION_HEAD + vxcap::kPacketHeaderSize + hdr.cbData, stream);
      if (hdr.cbLeft == 0) break;
      // A long burst must not hold up the deletion of the notification.
      if (OsUserWaitForSingleObject(n.hStopEvent, 0) == WAIT_OBJECT_0) return;
    }
  }
}

HRESULT CKrpComm::ReadNotificationPacket(TViewNoteParam& n) {
  COsCsLock view(m_pService->ViewLock());
  if (m_bRetired) return S_FALSE;
  // The view may have been closed by the engine since; a new one has no handle yet.
  CCaptureView* v = m_pService->GetView(static_cast<LONG>(n.hView));
  if (v != n.pView || v->GetNotificationHandle() != n.hNote) return S_FALSE;
  return v->GetUnreadFrames(n.pStream + KRPCOMM_NOTIFICATION_HEAD, n.cbLength);
}

// ---- Connection events ----------------------------------------------------------------------

HRESULT CKrpComm::OnDisconnected() {
  DeleteAllNotifications();
  {
    // The files a viewer left open would hold their slots for good: a viewer killed in the
    // middle of a transfer never closes them.
    COsCsLock crit(m_csCrit);
    CloseAllFiles();
  }
  COsCsLock view(m_pService->ViewLock());
  if (!m_bRetired) {
    m_pService->CloseAllViews();
    m_pService->OnViewerDisconnected();
  }
  return S_OK;
}

HRESULT CKrpComm::OnNewConnection() {
  COsCsLock view(m_pService->ViewLock());
  if (!m_bRetired) m_pService->OnViewerNewConnection();
  return S_OK;
}
