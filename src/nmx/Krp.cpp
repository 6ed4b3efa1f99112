#include "nmx/Krp.h"

#include <cstdlib>
#include <cstring>

#include "os/ByteOrder.h"

using vx::DecodeLE16;
using vx::DecodeLE32;
using vx::EncodeLE16;
using vx::EncodeLE32;

namespace {

// The whole NMX command, header included, must stay within a 32-bit length.
constexpr DWORD kMaxPayload = 0xFFFFFFFFu - NMX_HEAD_SIZE;

const char kDefaultDeviceName[] = "NO_NAME_DEVICE";

const BYTE* Bytes(const void* p) {
  return static_cast<const BYTE*>(p);
}

}  // namespace

CKrp::CKrp()
    : m_nKrpState(KRPSTATE_INVALID), m_nDeviceState(0), m_krpVersion{0, 0, 0}, nReserved(0) {}

CKrp::~CKrp() = default;

// ---- outgoing payloads ----------------------------------------------------------------

DWORD CKrp::Emit(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                 DWORD length, const void* payload) {
  if (source != nullptr) return KrpForward(*source, target, invokeId, cmdId, length, payload);
  return KrpRequest(target, invokeId, cmdId, length, payload);
}

DWORD CKrp::EmitWithData(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                         const BYTE* fixed, DWORD cbFixed, DWORD length, const void* data) {
  if (length != 0 && data == nullptr) return KRP_E_MISSING_DATA;
  if (length > kMaxPayload - cbFixed) return KRP_E_NO_MEMORY;
  BYTE* payload = static_cast<BYTE*>(KrpAlloc(cbFixed + length));
  if (payload == nullptr) return KRP_E_NO_MEMORY;
  memcpy(payload, fixed, cbFixed);
  if (length != 0) memcpy(payload + cbFixed, data, length);
  DWORD r = Emit(source, target, invokeId, cmdId, cbFixed + length, payload);
  KrpFree(payload);
  return r;
}

DWORD CKrp::ReadDeviceInfo(const NmxAddr* source, const NmxAddr& target, DWORD invokeId) {
  return Emit(source, target, invokeId, KRP_CMD_READDEVICEINFO, 0, nullptr);
}

DWORD CKrp::WriteControl(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                         WORD krpState, WORD deviceState, DWORD length, const void* data) {
  BYTE fixed[KRP_WRITECONTROL_REQ_HEAD];
  EncodeLE16(fixed + 0, krpState);
  EncodeLE16(fixed + 2, deviceState);
  EncodeLE32(fixed + 4, length);
  return EmitWithData(source, target, invokeId, KRP_CMD_WRITECONTROL, fixed, sizeof fixed, length,
                      data);
}

DWORD CKrp::ReadState(const NmxAddr* source, const NmxAddr& target, DWORD invokeId) {
  return Emit(source, target, invokeId, KRP_CMD_READSTATE, 0, nullptr);
}

DWORD CKrp::Write(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                  DWORD indexOffset, DWORD length, const void* data) {
  BYTE fixed[KRP_WRITE_REQ_HEAD];
  EncodeLE32(fixed + 0, indexGroup);
  EncodeLE32(fixed + 4, indexOffset);
  EncodeLE32(fixed + 8, length);
  return EmitWithData(source, target, invokeId, KRP_CMD_WRITE, fixed, sizeof fixed, length, data);
}

DWORD CKrp::Read(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                 DWORD indexOffset, DWORD length) {
  BYTE payload[KRP_READ_REQ_SIZE];
  EncodeLE32(payload + 0, indexGroup);
  EncodeLE32(payload + 4, indexOffset);
  EncodeLE32(payload + 8, length);
  return Emit(source, target, invokeId, KRP_CMD_READ, sizeof payload, payload);
}

DWORD CKrp::ReadWrite(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                      DWORD indexGroup, DWORD indexOffset, DWORD readLength, DWORD writeLength,
                      const void* writeData) {
  BYTE fixed[KRP_READWRITE_REQ_HEAD];
  EncodeLE32(fixed + 0, indexGroup);
  EncodeLE32(fixed + 4, indexOffset);
  EncodeLE32(fixed + 8, readLength);
  EncodeLE32(fixed + 12, writeLength);
  return EmitWithData(source, target, invokeId, KRP_CMD_READWRITE, fixed, sizeof fixed, writeLength,
                      writeData);
}

DWORD CKrp::AddDeviceNotification(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                                  DWORD indexGroup, DWORD indexOffset,
                                  const KrpNotificationAttrib& attrib) {
  BYTE payload[KRP_ADDNOTIFICATION_REQ_SIZE];
  EncodeLE32(payload + 0, indexGroup);
  EncodeLE32(payload + 4, indexOffset);
  KrpEncodeNotificationAttrib(payload + 8, attrib);
  return Emit(source, target, invokeId, KRP_CMD_ADDDEVICENOTIFICATION, sizeof payload, payload);
}

DWORD CKrp::DelDeviceNotification(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                                  DWORD handle) {
  BYTE payload[KRP_DELNOTIFICATION_REQ_SIZE];
  EncodeLE32(payload, handle);
  return Emit(source, target, invokeId, KRP_CMD_DELDEVICENOTIFICATION, sizeof payload, payload);
}

DWORD CKrp::DeviceNotification(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                               DWORD length, const void* stream) {
  BYTE fixed[KRP_NOTIFICATION_REQ_HEAD];
  EncodeLE32(fixed, length);
  return EmitWithData(source, target, invokeId, KRP_CMD_DEVICENOTIFICATION, fixed, sizeof fixed,
                      length, stream);
}

// ---- requests and forwards -------------------------------------------------------------

DWORD CKrp::KrpReadDeviceInfoReq(const NmxAddr& target, DWORD invokeId) {
  return ReadDeviceInfo(nullptr, target, invokeId);
}
DWORD CKrp::KrpWriteControlReq(const NmxAddr& target, DWORD invokeId, WORD krpState,
                               WORD deviceState, DWORD length, const void* data) {
  return WriteControl(nullptr, target, invokeId, krpState, deviceState, length, data);
}
DWORD CKrp::KrpReadStateReq(const NmxAddr& target, DWORD invokeId) {
  return ReadState(nullptr, target, invokeId);
}
DWORD CKrp::KrpWriteReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                        DWORD length, const void* data) {
  return Write(nullptr, target, invokeId, indexGroup, indexOffset, length, data);
}
DWORD CKrp::KrpReadReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                       DWORD length) {
  return Read(nullptr, target, invokeId, indexGroup, indexOffset, length);
}
DWORD CKrp::KrpReadWriteReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                            DWORD indexOffset, DWORD readLength, DWORD writeLength,
                            const void* writeData) {
  return ReadWrite(nullptr, target, invokeId, indexGroup, indexOffset, readLength, writeLength,
                   writeData);
}
DWORD CKrp::KrpAddDeviceNotificationReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                                        DWORD indexOffset, const KrpNotificationAttrib& attrib) {
  return AddDeviceNotification(nullptr, target, invokeId, indexGroup, indexOffset, attrib);
}
DWORD CKrp::KrpDelDeviceNotificationReq(const NmxAddr& target, DWORD invokeId, DWORD handle) {
  return DelDeviceNotification(nullptr, target, invokeId, handle);
}
DWORD CKrp::KrpDeviceNotificationReq(const NmxAddr& target, DWORD invokeId, DWORD length,
                                     const void* stream) {
  return DeviceNotification(nullptr, target, invokeId, length, stream);
}

DWORD CKrp::KrpReadDeviceInfoFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId) {
  return ReadDeviceInfo(&source, target, invokeId);
}
DWORD CKrp::KrpWriteControlFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                               WORD krpState, WORD deviceState, DWORD length, const void* data) {
  return WriteControl(&source, target, invokeId, krpState, deviceState, length, data);
}
DWORD CKrp::KrpReadStateFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId) {
  return ReadState(&source, target, invokeId);
}
DWORD CKrp::KrpWriteFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                        DWORD indexGroup, DWORD indexOffset, DWORD length, const void* data) {
  return Write(&source, target, invokeId, indexGroup, indexOffset, length, data);
}
DWORD CKrp::KrpReadFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                       DWORD indexGroup, DWORD indexOffset, DWORD length) {
  return Read(&source, target, invokeId, indexGroup, indexOffset, length);
}
DWORD CKrp::KrpReadWriteFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                            DWORD indexGroup, DWORD indexOffset, DWORD readLength,
                            DWORD writeLength, const void* writeData) {
  return ReadWrite(&source, target, invokeId, indexGroup, indexOffset, readLength, writeLength,
                   writeData);
}
DWORD CKrp::KrpAddDeviceNotificationFrw(const NmxAddr& source, const NmxAddr& target,
                                        DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                                        const KrpNotificationAttrib& attrib) {
  return AddDeviceNotification(&source, target, invokeId, indexGroup, indexOffset, attrib);
}
DWORD CKrp::KrpDelDeviceNotificationFrw(const NmxAddr& source, const NmxAddr& target,
                                        DWORD invokeId, DWORD handle) {
  return DelDeviceNotification(&source, target, invokeId, handle);
}
DWORD CKrp::KrpDeviceNotificationFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                                     DWORD length, const void* stream) {
  return DeviceNotification(&source, target, invokeId, length, stream);
}

// ---- responses --------------------------------------------------------------------------

DWORD CKrp::ResultResponse(WORD cmdId, const NmxAddr& target, DWORD invokeId, DWORD result) {
  BYTE payload[KRP_RESULT_RES_SIZE];
  EncodeLE32(payload, result);
  return KrpResponse(target, invokeId, cmdId, sizeof payload, payload);
}

DWORD CKrp::ReadResponse(WORD cmdId, const NmxAddr& target, DWORD invokeId, DWORD result,
                         DWORD length, const void* data) {
  if (length != 0 && data == nullptr) return KRP_E_MISSING_DATA;
  BYTE* payload = nullptr;
  if (length <= kMaxPayload - KRP_READ_RES_HEAD)
    payload = static_cast<BYTE*>(KrpAlloc(KRP_READ_RES_HEAD + length));
  DWORD r = KRP_E_NO_MEMORY;
  if (payload != nullptr) {
    EncodeLE32(payload + 0, result);
    EncodeLE32(payload + 4, length);
    if (length != 0) memcpy(payload + KRP_READ_RES_HEAD, data, length);
    r = KrpResponse(target, invokeId, cmdId, KRP_READ_RES_HEAD + length, payload);
    KrpFree(payload);
  }
  if (r != KRP_E_NO_MEMORY) return r;
  // The client still gets an answer it can match to its request.
  BYTE fallback[KRP_READ_RES_HEAD];
  EncodeLE32(fallback + 0, KRP_E_NO_MEMORY);
  EncodeLE32(fallback + 4, 0);
  KrpResponse(target, invokeId, cmdId, sizeof fallback, fallback);
  return KRP_E_NO_MEMORY;
}

DWORD CKrp::KrpReadDeviceInfoRes(const NmxAddr& target, DWORD invokeId, DWORD result,
                                 const char* name, KrpVersion version) {
  BYTE payload[KRP_READDEVICEINFO_RES_SIZE] = {};
  EncodeLE32(payload + 0, result);
  KrpEncodeVersion(payload + 4, version);
  if (name != nullptr) memcpy(payload + 8, name, strnlen(name, KRP_DEVICE_NAME_SIZE - 1));
  return KrpResponse(target, invokeId, KRP_CMD_READDEVICEINFO, sizeof payload, payload);
}

DWORD CKrp::KrpWriteControlRes(const NmxAddr& target, DWORD invokeId, DWORD result) {
  return ResultResponse(KRP_CMD_WRITECONTROL, target, invokeId, result);
}

DWORD CKrp::KrpReadStateRes(const NmxAddr& target, DWORD invokeId, DWORD result, WORD krpState,
                            WORD deviceState) {
  BYTE payload[KRP_READSTATE_RES_SIZE];
  EncodeLE32(payload + 0, result);
  EncodeLE16(payload + 4, krpState);
  EncodeLE16(payload + 6, deviceState);
  return KrpResponse(target, invokeId, KRP_CMD_READSTATE, sizeof payload, payload);
}

DWORD CKrp::KrpWriteRes(const NmxAddr& target, DWORD invokeId, DWORD result) {
  return ResultResponse(KRP_CMD_WRITE, target, invokeId, result);
}

DWORD CKrp::KrpReadRes(const NmxAddr& target, DWORD invokeId, DWORD result, DWORD length,
                       const void* data) {
  return ReadResponse(KRP_CMD_READ, target, invokeId, result, length, data);
}

DWORD CKrp::KrpReadWriteRes(const NmxAddr& target, DWORD invokeId, DWORD result, DWORD length,
                            const void* data) {
  return ReadResponse(KRP_CMD_READWRITE, target, invokeId, result, length, data);
}

DWORD CKrp::KrpAddDeviceNotificationRes(const NmxAddr& target, DWORD invokeId, DWORD result,
                                        DWORD handle) {
  BYTE payload[KRP_ADDNOTIFICATION_RES_SIZE];
  EncodeLE32(payload + 0, result);
  EncodeLE32(payload + 4, handle);
  return KrpResponse(target, invokeId, KRP_CMD_ADDDEVICENOTIFICATION, sizeof payload, payload);
}

DWORD CKrp::KrpDelDeviceNotificationRes(const NmxAddr& target, DWORD invokeId, DWORD result) {
  return ResultResponse(KRP_CMD_DELDEVICENOTIFICATION, target, invokeId, result);
}

// ---- default indication handlers --------------------------------------------------------

void CKrp::KrpReadDeviceInfoInd(const NmxAddr& sender, DWORD invokeId) {
  KrpReadDeviceInfoRes(sender, invokeId, KRP_E_NOT_SUPPORTED, kDefaultDeviceName,
                       KrpVersion{0, 0, 0});
}

void CKrp::KrpWriteControlInd(const NmxAddr& sender, DWORD invokeId, WORD krpState, WORD, DWORD,
                              const void*) {
  DWORD result = KRP_E_NOT_SUPPORTED;
  if (krpState == KRPSTATE_RUN || krpState == KRPSTATE_STOP || krpState == KRPSTATE_CONFIG) {
    m_nKrpState = static_cast<KRPSTATE>(krpState);
    result = 0;
  }
  KrpWriteControlRes(sender, invokeId, result);
}

void CKrp::KrpReadStateInd(const NmxAddr& sender, DWORD invokeId) {
  KrpReadStateRes(sender, invokeId, 0, static_cast<WORD>(m_nKrpState & 0xFFFF), 0);
}

void CKrp::KrpWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD, DWORD, DWORD, const void*) {
  KrpWriteRes(sender, invokeId, KRP_E_NOT_SUPPORTED);
}

void CKrp::KrpReadInd(const NmxAddr& sender, DWORD invokeId, DWORD, DWORD, DWORD) {
  KrpReadRes(sender, invokeId, KRP_E_NOT_SUPPORTED, 0, nullptr);
}

void CKrp::KrpReadWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD, DWORD, DWORD, DWORD,
                           const void*) {
  KrpReadWriteRes(sender, invokeId, KRP_E_NOT_SUPPORTED, 0, nullptr);
}

void CKrp::KrpAddDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD, DWORD,
                                       KrpNotificationAttrib) {
  KrpAddDeviceNotificationRes(sender, invokeId, KRP_E_NOT_SUPPORTED, 0);
}

void CKrp::KrpDelDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD) {
  KrpDelDeviceNotificationRes(sender, invokeId, KRP_E_NOT_SUPPORTED);
}

void CKrp::KrpDeviceNotificationInd(const NmxAddr&, DWORD, DWORD, const void*) {}

// ---- confirmations: responses from peers are decoded and dropped ------------------------

void CKrp::KrpReadDeviceInfoCon(const NmxAddr&, DWORD, DWORD, const char*, KrpVersion) {}
void CKrp::KrpWriteControlCon(const NmxAddr&, DWORD, DWORD) {}
void CKrp::KrpReadStateCon(const NmxAddr&, DWORD, DWORD, WORD, WORD) {}
void CKrp::KrpWriteCon(const NmxAddr&, DWORD, DWORD) {}
void CKrp::KrpReadCon(const NmxAddr&, DWORD, DWORD, DWORD, const void*) {}
void CKrp::KrpReadWriteCon(const NmxAddr&, DWORD, DWORD, DWORD, const void*) {}
void CKrp::KrpAddDeviceNotificationCon(const NmxAddr&, DWORD, DWORD, DWORD) {}
void CKrp::KrpDelDeviceNotificationCon(const NmxAddr&, DWORD, DWORD) {}
void CKrp::KrpDeviceNotificationCon(const NmxAddr&, DWORD, DWORD) {}

// ---- buffers ----------------------------------------------------------------------------

void* CKrp::KrpAlloc(DWORD size) {
  return malloc(size != 0 ? size : 1);
}

void CKrp::KrpFree(void* buffer) {
  free(buffer);
}

// ---- receiving --------------------------------------------------------------------------

bool CKrp::KrpRequestLengthValid(WORD cmdId, DWORD n, const void* payload) {
  if (n != 0 && payload == nullptr) return false;
  const BYTE* p = Bytes(payload);
  switch (cmdId) {
    case KRP_CMD_READDEVICEINFO:
    case KRP_CMD_READSTATE:
      return true;
    case KRP_CMD_READ:
      return n >= KRP_READ_REQ_SIZE;
    case KRP_CMD_WRITE:
      return n >= KRP_WRITE_REQ_HEAD && n - KRP_WRITE_REQ_HEAD >= DecodeLE32(p + 8);
    case KRP_CMD_WRITECONTROL:
      return n >= KRP_WRITECONTROL_REQ_HEAD && n - KRP_WRITECONTROL_REQ_HEAD >= DecodeLE32(p + 4);
    case KRP_CMD_ADDDEVICENOTIFICATION:
      return n >= KRP_ADDNOTIFICATION_REQ_MIN;
    case KRP_CMD_DELDEVICENOTIFICATION:
      return n >= KRP_DELNOTIFICATION_REQ_SIZE;
    case KRP_CMD_DEVICENOTIFICATION:
      return n >= KRP_NOTIFICATION_REQ_HEAD && n - KRP_NOTIFICATION_REQ_HEAD >= DecodeLE32(p);
    case KRP_CMD_READWRITE:
      return n >= KRP_READWRITE_REQ_HEAD && n - KRP_READWRITE_REQ_HEAD >= DecodeLE32(p + 12);
    default:
      return false;
  }
}

void CKrp::KrpDispatchIndication(const NmxAddr& sender, DWORD invokeId, WORD cmdId, DWORD length,
                                 const void* payload) {
  if (!KrpRequestLengthValid(cmdId, length, payload)) return;
  if (cmdId == KRP_CMD_ADDDEVICENOTIFICATION && length < KRP_ADDNOTIFICATION_REQ_SIZE) {
    BYTE full[KRP_ADDNOTIFICATION_REQ_SIZE] = {};
    memcpy(full, payload, KRP_ADDNOTIFICATION_REQ_MIN);
    KrpIndication(sender, invokeId, cmdId, sizeof full, full);
    return;
  }
  KrpIndication(sender, invokeId, cmdId, length, payload);
}

void CKrp::KrpIndication(const NmxAddr& sender, DWORD invokeId, WORD cmdId, DWORD length,
                         const void* payload) {
  // Checked again here: a binding may call this directly, and reading past the payload is
  // never acceptable.
  if (!KrpRequestLengthValid(cmdId, length, payload)) return;
  const BYTE* p = Bytes(payload);
  switch (cmdId) {
    case KRP_CMD_READDEVICEINFO:
      KrpReadDeviceInfoInd(sender, invokeId);
      break;
    case KRP_CMD_READ:
      KrpReadInd(sender, invokeId, DecodeLE32(p), DecodeLE32(p + 4), DecodeLE32(p + 8));
      break;
    case KRP_CMD_WRITE:
      KrpWriteInd(sender, invokeId, DecodeLE32(p), DecodeLE32(p + 4), DecodeLE32(p + 8), p + 12);
      break;
    case KRP_CMD_READSTATE:
      KrpReadStateInd(sender, invokeId);
      break;
    case KRP_CMD_WRITECONTROL:
      KrpWriteControlInd(sender, invokeId, DecodeLE16(p), DecodeLE16(p + 2), DecodeLE32(p + 4),
                         p + 8);
      break;
    case KRP_CMD_ADDDEVICENOTIFICATION: {
      BYTE attrib[sizeof(KrpNotificationAttrib)] = {};
      DWORD n = length < KRP_ADDNOTIFICATION_REQ_SIZE ? length : KRP_ADDNOTIFICATION_REQ_SIZE;
      memcpy(attrib, p + 8, n - 8);
      KrpAddDeviceNotificationInd(sender, invokeId, DecodeLE32(p), DecodeLE32(p + 4),
                                  KrpDecodeNotificationAttrib(attrib));
      break;
    }
    case KRP_CMD_DELDEVICENOTIFICATION:
      KrpDelDeviceNotificationInd(sender, invokeId, DecodeLE32(p));
      break;
    case KRP_CMD_DEVICENOTIFICATION:
      KrpDeviceNotificationInd(sender, invokeId, DecodeLE32(p), p + 4);
      break;
    case KRP_CMD_READWRITE:
      KrpReadWriteInd(sender, invokeId, DecodeLE32(p), DecodeLE32(p + 4), DecodeLE32(p + 8),
                      DecodeLE32(p + 12), p + 16);
      break;
    default:
      break;
  }
}

void CKrp::KrpConfirmation(const NmxAddr& sender, DWORD invokeId, WORD cmdId, LONG headerError,
                           DWORD n, const void* payload) {
  if (headerError != 0) {
    DWORD err = static_cast<DWORD>(headerError);
    switch (cmdId) {
      case KRP_CMD_READDEVICEINFO:
        KrpReadDeviceInfoCon(sender, invokeId, err, nullptr, KrpVersion{0, 0, 0});
        break;
      case KRP_CMD_READ:
        KrpReadCon(sender, invokeId, err, 0, nullptr);
        break;
      case KRP_CMD_WRITE:
        KrpWriteCon(sender, invokeId, err);
        break;
      case KRP_CMD_READSTATE:
        KrpReadStateCon(sender, invokeId, err, 0, 0);
        break;
      case KRP_CMD_WRITECONTROL:
        KrpWriteControlCon(sender, invokeId, err);
        break;
      case KRP_CMD_ADDDEVICENOTIFICATION:
        KrpAddDeviceNotificationCon(sender, invokeId, err, 0);
        break;
      case KRP_CMD_DELDEVICENOTIFICATION:
        KrpDelDeviceNotificationCon(sender, invokeId, err);
        break;
      case KRP_CMD_DEVICENOTIFICATION:
        KrpDeviceNotificationCon(sender, invokeId, err);
        break;
      case KRP_CMD_READWRITE:
        KrpReadWriteCon(sender, invokeId, err, 0, nullptr);
        break;
      default:
        break;
    }
    return;
  }

  // Every response starts with its result; anything shorter than its fixed part, or whose
  // data length exceeds what arrived, is dropped.
  if (n < KRP_RESULT_RES_SIZE || payload == nullptr) return;
  const BYTE* p = Bytes(payload);
  DWORD result = DecodeLE32(p);
  switch (cmdId) {
    case KRP_CMD_READDEVICEINFO: {
      if (n < KRP_READDEVICEINFO_RES_SIZE) return;
      char name[KRP_DEVICE_NAME_SIZE + 1] = {};
      memcpy(name, p + 8, KRP_DEVICE_NAME_SIZE);
      KrpReadDeviceInfoCon(sender, invokeId, result, name, KrpDecodeVersion(p + 4));
      break;
    }
    case KRP_CMD_READ:
    case KRP_CMD_READWRITE: {
      if (n < KRP_READ_RES_HEAD) return;
      DWORD length = DecodeLE32(p + 4);
      if (n - KRP_READ_RES_HEAD < length) return;
      if (cmdId == KRP_CMD_READ)
        KrpReadCon(sender, invokeId, result, length, p + KRP_READ_RES_HEAD);
      else
        KrpReadWriteCon(sender, invokeId, result, length, p + KRP_READ_RES_HEAD);
      break;
    }
    case KRP_CMD_WRITE:
      KrpWriteCon(sender, invokeId, result);
      break;
    case KRP_CMD_READSTATE:
      if (n < KRP_READSTATE_RES_SIZE) return;
      KrpReadStateCon(sender, invokeId, result, DecodeLE16(p + 4), DecodeLE16(p + 6));
      break;
    case KRP_CMD_WRITECONTROL:
      KrpWriteControlCon(sender, invokeId, result);
      break;
    case KRP_CMD_ADDDEVICENOTIFICATION:
      if (n < KRP_ADDNOTIFICATION_RES_SIZE) return;
      KrpAddDeviceNotificationCon(sender, invokeId, result, DecodeLE32(p + 4));
      break;
    case KRP_CMD_DELDEVICENOTIFICATION:
      KrpDelDeviceNotificationCon(sender, invokeId, result);
      break;
    case KRP_CMD_DEVICENOTIFICATION:
      KrpDeviceNotificationCon(sender, invokeId, result);
      break;
    default:
      break;
  }
}

void CKrp::KrpDispatchCommand(const NmxCmd* cmd, size_t cbBuffer) {
  if (cmd == nullptr || cbBuffer < NMX_HEAD_SIZE) return;
  const NmxHead& head = cmd->head;
  if (head.cbData > cbBuffer - NMX_HEAD_SIZE) return;
  if ((head.stateFlags & NMX_FLAG_KRP_COMMAND) == 0) return;
  NmxAddr sender = head.sender;
  if ((head.stateFlags & NMX_FLAG_RESPONSE) != 0)
    KrpConfirmation(sender, head.hUser, head.cmdId, head.errCode, head.cbData, cmd->data);
  else
    KrpDispatchIndication(sender, head.hUser, head.cmdId, head.cbData, cmd->data);
}
