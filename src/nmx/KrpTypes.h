// KRP: command ids, payload layouts, result codes and the conversions between KRP codes and
// 32-bit results.
//
// A KRP payload is the data of an NMX command (behind the 32-byte NmxHead); cbData is its
// length. All fields are little-endian without padding. The packed records below describe
// layouts and are the host form handed to handlers; payload bytes are always encoded and
// decoded field by field with the Encode/Decode functions here.
//
// Requests (offsets in the payload):
//   1 ReadDeviceInfo         -
//   2 Read                   +0 u32 index group, +4 u32 index offset, +8 u32 read length
//   3 Write                  +0 group, +4 offset, +8 u32 length n, +12 n bytes
//   4 ReadState              -
//   5 WriteControl           +0 u16 KRP state, +2 u16 device state, +4 u32 length n, +8 n bytes
//   6 AddDeviceNotification  +0 group, +4 offset, +8 KrpNotificationAttrib (32 bytes)
//   7 DelDeviceNotification  +0 u32 handle
//   8 DeviceNotification     +0 u32 stream length n, +4 n bytes of notification stream
//   9 ReadWrite              +0 group, +4 offset, +8 u32 read length, +12 u32 length n,
//                            +16 n bytes
// Responses, all starting with the u32 KRP result:
//   1 ReadDeviceInfo         +4 KrpVersion, +8 name (16 bytes, zero-padded, byte 15 is 0)
//   2 Read, 9 ReadWrite      +4 u32 length n, +8 n bytes
//   3, 5, 7                  result only
//   4 ReadState              +4 u16 KRP state, +6 u16 device state
//   6 AddDeviceNotification  +4 u32 handle
//   8 DeviceNotification     never answered
#pragma once

#include "nmx/NmxTypes.h"

// KRP command ids (the NMX header's cmdId).
constexpr WORD KRP_CMD_READDEVICEINFO = 1;
constexpr WORD KRP_CMD_READ = 2;
constexpr WORD KRP_CMD_WRITE = 3;
constexpr WORD KRP_CMD_READSTATE = 4;
constexpr WORD KRP_CMD_WRITECONTROL = 5;
constexpr WORD KRP_CMD_ADDDEVICENOTIFICATION = 6;
constexpr WORD KRP_CMD_DELDEVICENOTIFICATION = 7;
constexpr WORD KRP_CMD_DEVICENOTIFICATION = 8;
constexpr WORD KRP_CMD_READWRITE = 9;

// Fixed parts of the payloads.
constexpr DWORD KRP_READ_REQ_SIZE = 12;
constexpr DWORD KRP_WRITE_REQ_HEAD = 12;
constexpr DWORD KRP_WRITECONTROL_REQ_HEAD = 8;
constexpr DWORD KRP_ADDNOTIFICATION_REQ_SIZE = 40;
// An older, shorter AddDeviceNotification form without the two compare fields.
constexpr DWORD KRP_ADDNOTIFICATION_REQ_MIN = 24;
constexpr DWORD KRP_DELNOTIFICATION_REQ_SIZE = 4;
constexpr DWORD KRP_NOTIFICATION_REQ_HEAD = 4;
constexpr DWORD KRP_READWRITE_REQ_HEAD = 16;
constexpr DWORD KRP_READDEVICEINFO_RES_SIZE = 24;
constexpr DWORD KRP_READ_RES_HEAD = 8;
constexpr DWORD KRP_RESULT_RES_SIZE = 4;
constexpr DWORD KRP_READSTATE_RES_SIZE = 8;
constexpr DWORD KRP_ADDNOTIFICATION_RES_SIZE = 8;
constexpr DWORD KRP_DEVICE_NAME_SIZE = 16;

// Largest read length a server allocates for one Read or ReadWrite request; a peer controls
// that length, so anything above it is answered as out of memory without allocating.
constexpr DWORD KRP_MAX_READ_LENGTH = 16u * 1024 * 1024;

// KRP result codes this system produces or checks (a peer may send any 16-bit value).
constexpr DWORD KRP_E_GENERAL = 0x700;         // failure that carries no KRP code
constexpr DWORD KRP_E_NOT_SUPPORTED = 0x701;   // service, index group or offset not served
constexpr DWORD KRP_E_INVALID_OFFSET = 0x703;  // no view with that handle
constexpr DWORD KRP_E_INVALID_SIZE = 0x705;    // parameter size not correct
constexpr DWORD KRP_E_NO_MEMORY = 0x70A;       // a command or payload buffer failed
constexpr DWORD KRP_E_INVALID_PARAM = 0x70B;   // invalid parameter value
constexpr DWORD KRP_E_INVALID_STATE = 0x712;   // start while started, stop while stopped
constexpr DWORD KRP_E_INVALID_HANDLE = 0x714;  // notification handle invalid
constexpr DWORD KRP_E_NO_HANDLER = 0x71B;      // server connected without a command handler
constexpr DWORD KRP_E_MISSING_DATA = 0x741;    // a length without a data pointer

// KRP states a client can request with WriteControl.
enum KRPSTATE : int32_t {
  KRPSTATE_INVALID = 0,
  KRPSTATE_RUN = 5,
  KRPSTATE_STOP = 6,
  KRPSTATE_CONFIG = 15,
};
static_assert(sizeof(KRPSTATE) == 4);

typedef DWORD KRPTRANSMODE;

// Tag of a data type id written to an archive; a distinct type so that it has its own
// archive operators.
enum KrpDataTypeId : int32_t {};

#pragma pack(push, 1)

struct KrpVersion {
  BYTE version;
  BYTE revision;
  WORD build;
};

struct KrpNotificationAttrib {
  DWORD cbLength;  // sample size the client wants
  KRPTRANSMODE nTransMode;
  DWORD nMaxDelay;
  union {
    DWORD nCycleTime;  // 100 ns units
    DWORD nContextId;
  };
  ULONGLONG nCmpMax;
  ULONGLONG nCmpMin;
};

// The notification stream of a DeviceNotification, behind its length word:
//   u32 nStamps, then per stamp a KrpStampHeader followed by nSamples samples, each a
//   KrpNotificationSample header followed by cbSampleSize data bytes.
struct KrpStampHeader {
  LONGLONG nTimeStamp;  // 64-bit file time
  DWORD nSamples;
};

struct KrpNotificationSample {
  DWORD hNotification;
  DWORD cbSampleSize;
};

// One sample of a synchronous notification (host form, not a payload layout).
struct KrpNotificationHeader2 {
  LONGLONG nTimeStamp;
  LONG hNotification;
  LONG cbSampleSize;
  BYTE data[];
};

#pragma pack(pop)

static_assert(sizeof(KrpVersion) == 4);
static_assert(sizeof(KrpNotificationAttrib) == 32);
static_assert(offsetof(KrpNotificationAttrib, nCycleTime) == 12);
static_assert(offsetof(KrpNotificationAttrib, nCmpMax) == 16);
static_assert(offsetof(KrpNotificationAttrib, nCmpMin) == 24);
static_assert(sizeof(KrpStampHeader) == 12);
static_assert(sizeof(KrpNotificationSample) == 8);
static_assert(sizeof(KrpNotificationHeader2) == 16);

void KrpEncodeVersion(BYTE* p, const KrpVersion& v);
KrpVersion KrpDecodeVersion(const BYTE* p);
void KrpEncodeNotificationAttrib(BYTE* p, const KrpNotificationAttrib& a);
KrpNotificationAttrib KrpDecodeNotificationAttrib(const BYTE* p);

// KRP code of a 32-bit result: 0 for success, the code carried in a 0x9811xxxx-form
// failure, KRP_E_GENERAL for any other failure.
DWORD KrpCodeFromResult(HRESULT hr);
// 32-bit result of a KRP code: 0 stays 0, a 16-bit code c becomes 0x98110000 + c. A value
// that already is a failure result (bit 31 set) is returned as it is.
HRESULT KrpResultFromCode(DWORD code);

// Header of an outgoing KRP command: sender as given, errCode 0, hUser = invoke id.
void KrpMakeHead(NmxHead& head, const NmxAddr& target, const NmxAddr& sender, DWORD invokeId,
                 WORD cmdId, WORD stateFlags, DWORD cbData);
// A command to NMXNETID_LOOPBACK goes out with the sender NetId IP2NMXNETID_LOOPBACK (note
// the fourth byte 0); the sender port is kept. Forwarded commands keep their sender.
void KrpApplyLoopbackRule(NmxHead& head);
