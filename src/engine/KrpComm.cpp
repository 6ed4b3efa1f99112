#include "engine/KrpComm.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/CapturePacket.h"
#include "engine/KrpServer.h"
#include "engine/NmxLogger.h"
#include "engine/ViewerFileName.h"
#include "engine/ViewerTcpServer.h"
#include "nmx/KrpTypes.h"
#include "os/ByteOrder.h"
#include "os/OsUserFile.h"
#include "support/VxFileStream.h"

namespace {

// Capture control offsets.
constexpr DWORD kOffState = 1;
constexpr DWORD kOffFileMode = 2;
constexpr DWORD kOffFileSize = 3;
constexpr DWORD kOffBufferSize = 4;
constexpr DWORD kOffSaveAs = 5;
constexpr DWORD kOffCaptureInfo = 6;
constexpr DWORD kOffCreateView = 7;
constexpr DWORD kOffCloseView = 8;
constexpr DWORD kOffOpenFile = 9;
constexpr DWORD kOffCloseFile = 10;
constexpr DWORD kOffReadFile = 11;
constexpr DWORD kOffFileName = 12;
constexpr DWORD kOffSaveName = 13;
constexpr DWORD kOffAutoSave = 14;

// Filter offsets.
constexpr DWORD kOffFilterActive = 1;
constexpr DWORD kOffIncludeActive = 2;
constexpr DWORD kOffExcludeActive = 3;
constexpr DWORD kOffTableSizes = 4;
constexpr DWORD kOffIncludeTable = 5;
constexpr DWORD kOffExcludeTable = 6;
constexpr DWORD kOffFilterFlags = 7;

constexpr DWORD kCmdStart = 1;
constexpr DWORD kCmdStop = 2;
constexpr DWORD kStateCapturing = 1;
constexpr DWORD kStateStopped = 2;
constexpr DWORD kModeRing = 1;
constexpr DWORD kModeSingle = 2;

// A file name of Write 0x1000/5 and /13: at most 1024 characters and a terminator.
constexpr DWORD kMaxNameData = 1025;
constexpr DWORD kMaxNameChars = 1024;
constexpr DWORD kBootPathSize = 1024;

// The notification stream in front of the capture packet: nStamps, the stamp (time and
// nSamples) and the sample header (handle and size).
constexpr DWORD kStreamHead = 24;
constexpr size_t kStreamStamps = 0;
constexpr size_t kStreamTime = 4;
constexpr size_t kStreamSamples = 12;
constexpr size_t kStreamHandle = 16;
constexpr size_t kStreamSampleSize = 20;
constexpr DWORD kNotificationInvokeId = 1;

constexpr DWORD kMinPacketLength = vxcap::kPacketHeaderSize + 1;

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

CKrpComm::CKrpComm(CNmxLogger* pNmxLogger, bool, LONG nPort, const char* szAddress)
    : m_pTcpKrpServer(new (std::nothrow) CViewerTcpServer(
          this, static_cast<WORD>(nPort), szAddress && *szAddress ? szAddress : nullptr)),
      m_pKrpServer(new (std::nothrow) CKrpServer()),
      m_pNmxLogger(pNmxLogger) {}

CKrpComm::~CKrpComm() {
  // The listener and the connection go first: after that no request or connection event can
  // arrive, and a notification blocked in a send to the viewer has been woken.
  if (m_pTcpKrpServer) m_pTcpKrpServer->CloseConnections();
  DeleteAllNotifications();
  if (m_pAsyncRes) m_pAsyncRes->Release();
  if (m_pTcpKrpServer) m_pTcpKrpServer->Release();
  if (m_pKrpServer) m_pKrpServer->Release();
  for (IVxFileStream*& stream : m_pOpenFileList) {
    if (stream) stream->Release();
    stream = nullptr;
  }
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
  COsCsLock view(m_pNmxLogger->ViewLock());
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
    case kOffCreateView:
      return CreateView(readLength, out, bytesRead);
    case kOffOpenFile:
      return OpenFile(readLength, out, writeLength, in, bytesRead);
    case kOffReadFile:
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
  CNmxLogger& engine = *m_pNmxLogger;
  switch (indexOffset) {
    case kOffState: {
      if (length < 4) return Krp(KRP_E_INVALID_SIZE);
      const DWORD cmd = Value32(data);
      if (cmd == kCmdStart && !engine.IsStarted()) {
        if (length > 4) {
          const std::string path = NameFromData(data + 4, length - 4, length - 4);
          try {
            // May replace this handler (a new viewer port); the engine then keeps it alive
            // until this request has been answered.
            engine.LoadXmlSettings(path.c_str(), true);
          } catch (...) {
            // Only the XML parser throws, when its memory runs out. A start never depends on
            // the document (the engine's own results are not answered either): the capture
            // starts with the settings in force.
          }
        }
        engine.Start();
        return S_OK;
      }
      if (cmd == kCmdStop && engine.IsStarted()) {
        engine.Stop();
        return S_OK;
      }
      return Krp(KRP_E_INVALID_STATE);
    }
    case kOffFileMode: {
      if (length < 4) return Krp(KRP_E_INVALID_SIZE);
      if (engine.IsStarted()) return Krp(KRP_E_GENERAL);
      const DWORD mode = Value32(data);
      if (mode != kModeRing && mode != kModeSingle) return Krp(KRP_E_INVALID_PARAM);
      engine.EnableRingBuffer(mode == kModeRing);
      return S_OK;
    }
    case kOffFileSize:
    case kOffBufferSize: {
      if (length < 4) return Krp(KRP_E_INVALID_SIZE);
      if (engine.IsStarted()) return Krp(KRP_E_GENERAL);
      // Bounded: the buffer is memory taken at the start, the file disk space.
      const DWORD bytes = Value32(data);
      if (bytes > (indexOffset == kOffFileSize ? KRPCOMM_MAX_FILE_SIZE : KRPCOMM_MAX_BUFFER_SIZE))
        return Krp(KRP_E_INVALID_SIZE);
      if (indexOffset == kOffFileSize)
        engine.SetFileSize(bytes);
      else
        engine.SetBufferSize(bytes);
      return S_OK;
    }
    case kOffSaveAs: {
      if (length > kMaxNameData) return Krp(KRP_E_INVALID_SIZE);
      const std::string name = NameFromData(data, length, kMaxNameChars);
      if (!IsViewerRelativePath(name.c_str())) return Krp(KRP_E_INVALID_PARAM);
      // The boot folder holds the machine's project: a viewer may replace a capture there,
      // nothing else.
      const HRESULT hr = engine.SaveCaptureAs(name.c_str());
      return hr == vxcap::CAPTURE_E_FOREIGN_FILE ? Krp(KRP_E_INVALID_PARAM) : hr;
    }
    case kOffCloseView:
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      return CloseView(Value32(data));
    case kOffCloseFile:
      return CloseFile(length, data);
    case kOffSaveName: {
      if (length > kMaxNameData) return Krp(KRP_E_INVALID_SIZE);
      if (length == 0) {
        engine.SetSaveFileName(nullptr);
        return S_OK;
      }
      const std::string name = NameFromData(data, length, kMaxNameChars);
      if (!IsViewerBareFileName(name.c_str()) ||
          engine.GetCaptureMngt()->IsForeignSaveFile(name.c_str()))
        return Krp(KRP_E_INVALID_PARAM);
      engine.SetSaveFileName(name.c_str());
      return S_OK;
    }
    case kOffAutoSave:
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      engine.SetAutoSave(Value32(data) != 0);
      return S_OK;
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

HRESULT CKrpComm::ReadCapture(DWORD indexOffset, DWORD length, BYTE* data, DWORD* bytesRead) {
  CNmxLogger& engine = *m_pNmxLogger;
  switch (indexOffset) {
    case kOffState:
    case kOffFileMode:
    case kOffFileSize:
    case kOffBufferSize:
    case kOffAutoSave: {
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      DWORD v = 0;
      if (indexOffset == kOffState)
        v = engine.IsStarted() ? kStateCapturing : kStateStopped;
      else if (indexOffset == kOffFileMode)
        v = engine.IsRingBuffer() ? kModeRing : kModeSingle;
      else if (indexOffset == kOffFileSize)
        v = engine.OsUserGetFileSize();
      else if (indexOffset == kOffBufferSize)
        v = engine.GetBufferSize();
      else
        v = engine.GetAutoSave() ? 1 : 0;
      Answer32(data, bytesRead, v);
      return S_OK;
    }
    case kOffCaptureInfo: {
      if (length != 12) return Krp(KRP_E_INVALID_SIZE);
      LONG nFrames = 0;
      ULONG cbFrames = 0, nOverflows = 0;
      engine.GetCaptureInfo(nFrames, cbFrames, nOverflows);
      vx::EncodeLE32(data, static_cast<DWORD>(nFrames));
      vx::EncodeLE32(data + 4, cbFrames);
      vx::EncodeLE32(data + 8, nOverflows);
      *bytesRead = 12;
      return S_OK;
    }
    case kOffFileName:
      if (FAILED(engine.GetFileName(length, reinterpret_cast<char*>(data))))
        return Krp(KRP_E_INVALID_SIZE);
      *bytesRead = static_cast<DWORD>(strnlen(reinterpret_cast<char*>(data), length)) + 1;
      if (*bytesRead > length) {
        *bytesRead = 0;
        return Krp(KRP_E_INVALID_SIZE);
      }
      return S_OK;
    case kOffSaveName: {
      const CString name = engine.GetSaveFileName();
      const size_t n = strlen(name) + 1;
      if (n > length) return Krp(KRP_E_INVALID_SIZE);
      memcpy(data, static_cast<const char*>(name), n);
      *bytesRead = static_cast<DWORD>(n);
      return S_OK;
    }
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

// ---- Views ----------------------------------------------------------------------------------

DWORD CKrpComm::NotificationOfView(DWORD hView) {
  COsCsLock view(m_pNmxLogger->ViewLock());
  CCaptureView* v = m_pNmxLogger->GetView(static_cast<LONG>(hView));
  return v ? v->GetNotificationHandle() : 0;
}

HRESULT CKrpComm::CreateView(DWORD length, BYTE* data, DWORD* bytesRead) {
  if (length != 4) return Krp(KRP_E_INVALID_SIZE);
  // No notification thread may outlive the view it reads.
  if (const DWORD hNote = NotificationOfView(1)) DelDeviceNotification(hNote);
  LONG hView = 0;
  {
    COsCsLock view(m_pNmxLogger->ViewLock());
    if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
    hView = m_pNmxLogger->CreateView();
  }
  if (hView == 0) return Krp(KRP_E_GENERAL);
  Answer32(data, bytesRead, static_cast<DWORD>(hView));
  return S_OK;
}

HRESULT CKrpComm::CloseView(DWORD hView) {
  {
    COsCsLock view(m_pNmxLogger->ViewLock());
    if (!m_pNmxLogger->GetView(static_cast<LONG>(hView))) return Krp(KRP_E_INVALID_PARAM);
  }
  if (const DWORD hNote = NotificationOfView(hView)) DelDeviceNotification(hNote);
  COsCsLock view(m_pNmxLogger->ViewLock());
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  m_pNmxLogger->CloseView(static_cast<LONG>(hView));
  return S_OK;
}

HRESULT CKrpComm::ReadView(DWORD hView, DWORD length, BYTE* data, DWORD* bytesRead) {
  COsCsLock view(m_pNmxLogger->ViewLock());
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  CCaptureView* v = m_pNmxLogger->GetView(static_cast<LONG>(hView));
  if (!v) return Krp(KRP_E_INVALID_OFFSET);
  if (length < kMinPacketLength) return Krp(KRP_E_INVALID_SIZE);
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

HRESULT CKrpComm::OpenFile(DWORD readLength, BYTE* readData, DWORD writeLength,
                           const BYTE* writeData, DWORD* bytesRead) {
  if (readLength != 4) return Krp(KRP_E_INVALID_SIZE);
  const std::string name = NameFromData(writeData, writeLength, writeLength);
  if (!IsViewerRelativePath(name.c_str())) return Krp(KRP_E_INVALID_PARAM);
  DWORD slot = 0;
  while (slot < KRPCOMM_FILE_SLOTS && m_pOpenFileList[slot]) ++slot;
  if (slot == KRPCOMM_FILE_SLOTS) return Krp(KRP_E_GENERAL);

  char dir[kBootPathSize];
  if (CCaptureFile::GetBootPrjPath(dir, sizeof dir) != 0) return Krp(KRP_E_GENERAL);
  const size_t cbDir = strlen(dir);
  if (name.size() > kBootPathSize - cbDir) return Krp(KRP_E_INVALID_SIZE);
  const std::string path = std::string(dir, cbDir) + "\\" + name;

  IVxFileStream* stream = nullptr;
  const HRESULT hr = CVxFileStream::CreateFileStream(
      &stream, path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (FAILED(hr) || !stream) return Krp(KRP_E_GENERAL);
  // Only a regular file has bytes to read: a folder or a device would hold a slot for nothing.
  OS_USER_FILE_HANDLE h = nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  if (FAILED(stream->GetHandle(&h)) || !OsUserGetFileInformationByHandle(h, &info) ||
      info.dwFileAttributes != FILE_ATTRIBUTE_NORMAL) {
    stream->Release();
    return Krp(KRP_E_INVALID_PARAM);
  }
  m_pOpenFileList[slot] = stream;
  Answer32(readData, bytesRead, slot);
  return S_OK;
}

HRESULT CKrpComm::ReadFile(DWORD readLength, BYTE* readData, DWORD writeLength,
                           const BYTE* writeData, DWORD* bytesRead) {
  if (writeLength != 4) return Krp(KRP_E_INVALID_SIZE);
  const DWORD slot = Value32(writeData);
  if (slot >= KRPCOMM_FILE_SLOTS || !m_pOpenFileList[slot]) return Krp(KRP_E_GENERAL);
  ULONG n = 0;
  if (FAILED(m_pOpenFileList[slot]->Read(readData, readLength, &n))) return Krp(KRP_E_GENERAL);
  *bytesRead = n <= readLength ? n : readLength;
  return S_OK;
}

HRESULT CKrpComm::CloseFile(DWORD length, const BYTE* data) {
  if (length != 4) return Krp(KRP_E_INVALID_SIZE);
  const DWORD slot = Value32(data);
  if (slot >= KRPCOMM_FILE_SLOTS || !m_pOpenFileList[slot]) return Krp(KRP_E_GENERAL);
  m_pOpenFileList[slot]->Release();
  m_pOpenFileList[slot] = nullptr;
  return S_OK;
}

// ---- Filters --------------------------------------------------------------------------------

HRESULT CKrpComm::WriteFilter(DWORD indexOffset, DWORD length, const BYTE* data) {
  CNmxLogger& engine = *m_pNmxLogger;
  switch (indexOffset) {
    case kOffFilterActive:
    case kOffIncludeActive:
    case kOffExcludeActive: {
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      const BOOL b = static_cast<BOOL>(Value32(data));
      if (indexOffset == kOffFilterActive)
        engine.EnableFilter(b);
      else if (indexOffset == kOffIncludeActive)
        engine.EnableIncludeTable(b);
      else
        engine.EnableExcludeTable(b);
      return S_OK;
    }
    case kOffIncludeTable:
    case kOffExcludeTable: {
      if (length < NMX_ADDRESS_TABLE_HEAD ||
          length != NmxAddressTableSize(NmxAddressTableCount(data)))
        return Krp(KRP_E_INVALID_SIZE);
      return indexOffset == kOffIncludeTable ? engine.SetIncludeTable(data, length)
                                             : engine.SetExcludeTable(data, length);
    }
    case kOffFilterFlags:
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      return engine.SetFilterFlags(Value32(data));
    default:
      return Krp(KRP_E_NOT_SUPPORTED);
  }
}

HRESULT CKrpComm::ReadFilter(DWORD indexOffset, DWORD length, BYTE* data, DWORD* bytesRead) {
  CNmxLogger& engine = *m_pNmxLogger;
  switch (indexOffset) {
    case kOffFilterActive:
    case kOffIncludeActive:
    case kOffExcludeActive:
    case kOffFilterFlags: {
      if (length != 4) return Krp(KRP_E_INVALID_SIZE);
      DWORD v = 0;
      if (indexOffset == kOffFilterActive)
        v = static_cast<DWORD>(engine.IsFilterActive());
      else if (indexOffset == kOffIncludeActive)
        v = static_cast<DWORD>(engine.IsIncludeTableActive());
      else if (indexOffset == kOffExcludeActive)
        v = static_cast<DWORD>(engine.IsExcludeTableActive());
      else
        v = engine.GetFilterFlags();
      Answer32(data, bytesRead, v);
      return S_OK;
    }
    case kOffTableSizes: {
      if (length != 8) return Krp(KRP_E_INVALID_SIZE);
      TNmxFilterInfo info{};
      if (!engine.Filters().GetFilterInfo(&info)) return Krp(KRP_E_GENERAL);
      vx::EncodeLE32(data, info.cbIncludeTable);
      vx::EncodeLE32(data + 4, info.cbExcludeTable);
      *bytesRead = 8;
      return S_OK;
    }
    case kOffIncludeTable:
    case kOffExcludeTable: {
      std::vector<BYTE> table;
      const bool have = indexOffset == kOffIncludeTable ? engine.Filters().CopyIncludeTable(&table)
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
  COsCsLock viewLock(m_pNmxLogger->ViewLock());
  if (m_bRetired) return Krp(KRP_E_INVALID_STATE);
  CCaptureView* view = m_pNmxLogger->GetView(static_cast<LONG>(indexOffset));
  if (!view) return Krp(KRP_E_INVALID_OFFSET);
  if (view->GetNotificationHandle() != 0) return Krp(KRP_E_GENERAL);
  // Each packet is sent whole in one frame, whose buffer the viewer's length decides.
  if (attrib->cbLength < kMinPacketLength || attrib->cbLength > KRPCOMM_MAX_NOTIFICATION_LENGTH)
    return Krp(KRP_E_INVALID_SIZE);
  if (m_noteTable.IsFull()) return Krp(KRP_E_GENERAL);

  auto* n = new (std::nothrow) TViewNoteParam{};
  BYTE* stream = new (std::nothrow) BYTE[kStreamHead + attrib->cbLength];
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
  memset(stream, 0, kStreamHead);
  vx::EncodeLE32(stream + kStreamStamps, 1);
  vx::EncodeLE32(stream + kStreamSamples, 1);
  vx::EncodeLE32(stream + kStreamHandle, n.hNote);
  const DWORD timeoutMs = n.nCycleTime / 10000;
  for (;;) {
    const DWORD w = OsUserWaitForSingleObject(n.hStopEvent, timeoutMs);
    if (w == WAIT_OBJECT_0) return;
    if (w != WAIT_TIMEOUT) continue;
    for (bool first = true;; first = false) {
      if (ReadNotificationPacket(n) != S_OK) break;
      TCapturePacketHdr hdr{};
      vxcap::DecodeCapturePacketHdr(stream + kStreamHead, n.cbLength, &hdr);
      // A continuation belongs to a sequence some other reader began.
      if (first && hdr.nPacket != 0) break;
      if (hdr.cbData > n.cbLength - vxcap::kPacketHeaderSize) break;
      vx::EncodeLE64(stream + kStreamTime, static_cast<ULONGLONG>(OsUserGetSystemTimeAsFileTime()));
      vx::EncodeLE32(stream + kStreamSampleSize, vxcap::kPacketHeaderSize + hdr.cbData);
      m_pAsyncRes->DeviceNotificationRes(n.addr, kNotificationInvokeId,
                                         kStreamHead + vxcap::kPacketHeaderSize + hdr.cbData,
                                         stream);
      if (hdr.cbLeft == 0) break;
      // A long burst must not hold up the deletion of the notification.
      if (OsUserWaitForSingleObject(n.hStopEvent, 0) == WAIT_OBJECT_0) return;
    }
  }
}

HRESULT CKrpComm::ReadNotificationPacket(TViewNoteParam& n) {
  COsCsLock view(m_pNmxLogger->ViewLock());
  if (m_bRetired) return S_FALSE;
  // The view may have been closed by the engine since; a new one has no handle yet.
  CCaptureView* v = m_pNmxLogger->GetView(static_cast<LONG>(n.hView));
  if (v != n.pView || v->GetNotificationHandle() != n.hNote) return S_FALSE;
  return v->GetUnreadFrames(n.pStream + kStreamHead, n.cbLength);
}

// ---- Connection events ----------------------------------------------------------------------

HRESULT CKrpComm::OnDisconnected() {
  DeleteAllNotifications();
  COsCsLock view(m_pNmxLogger->ViewLock());
  if (!m_bRetired) {
    m_pNmxLogger->CloseAllViews();
    m_pNmxLogger->OnViewerDisconnected();
  }
  return S_OK;
}

HRESULT CKrpComm::OnNewConnection() {
  COsCsLock view(m_pNmxLogger->ViewLock());
  if (!m_bRetired) m_pNmxLogger->OnViewerNewConnection();
  return S_OK;
}
