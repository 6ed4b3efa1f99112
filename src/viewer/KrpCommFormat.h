// The viewer command set on the wire: what a viewer reads, writes and is sent, addressed by
// KRP index group and index offset (docs/viewer-commands.md draws each request and answer).
// The logger serves it (CKrpComm), nmx-view and the tests speak it; all of them take the
// values from here.
//
// Every value is little-endian. u32 values stand at the start of the data; names are bytes
// that end at their first zero byte or at the end of the data.
#pragma once

#include <cstddef>

#include "capture/CapturePacket.h"
#include "nmx/KrpTypes.h"
#include "os/OsTypes.h"

// The NMX port of the logger's KRP server; notifications are sent from it.
constexpr WORD KRPCOMM_KRP_PORT = 10502;

// ---- Index groups ----------------------------------------------------------------------------

constexpr DWORD KRPCOMM_IG_CAPTURE = 0x1000;  // capture control, settings, views, files
constexpr DWORD KRPCOMM_IG_VIEW = 0x1500;     // frames of a view; index offset = view handle
constexpr DWORD KRPCOMM_IG_FILTER = 0x2000;   // traffic filter settings (nmx/NmxFilterFormat.h)

// ---- Group 0x1000, capture control: index offsets --------------------------------------------
// R = Read, W = Write, RW = ReadWrite.

constexpr DWORD KRPCOMM_CAP_STATE = 1;        // R u32 KRPCOMM_STATE_*; W u32 KRPCOMM_CMD_* [+ path]
constexpr DWORD KRPCOMM_CAP_FILE_MODE = 2;    // R/W u32 KRPCOMM_MODE_*
constexpr DWORD KRPCOMM_CAP_FILE_SIZE = 3;    // R/W u32 bytes
constexpr DWORD KRPCOMM_CAP_BUFFER_SIZE = 4;  // R/W u32 bytes
constexpr DWORD KRPCOMM_CAP_SAVE_AS = 5;      // W name: save the capture under that name
constexpr DWORD KRPCOMM_CAP_INFO = 6;         // R KrpCommCaptureInfo
constexpr DWORD KRPCOMM_CAP_CREATE_VIEW = 7;  // RW -> u32 view handle
constexpr DWORD KRPCOMM_CAP_CLOSE_VIEW = 8;   // W u32 view handle
constexpr DWORD KRPCOMM_CAP_OPEN_FILE = 9;    // RW name -> u32 file slot
constexpr DWORD KRPCOMM_CAP_CLOSE_FILE = 10;  // W u32 file slot
constexpr DWORD KRPCOMM_CAP_READ_FILE = 11;   // RW u32 file slot -> the next bytes of the file
constexpr DWORD KRPCOMM_CAP_FILE_NAME = 12;   // R name of the current capture file
constexpr DWORD KRPCOMM_CAP_SAVE_NAME = 13;   // R/W save file name (W of no data: none)
constexpr DWORD KRPCOMM_CAP_AUTO_SAVE = 14;   // R/W u32 0 or 1
constexpr DWORD KRPCOMM_CAP_DROPPED = 15;     // R u64 frames the logger lost in the run

// Write KRPCOMM_CAP_STATE: the command.
constexpr DWORD KRPCOMM_CMD_START = 1;  // may be followed by the path of a settings file
constexpr DWORD KRPCOMM_CMD_STOP = 2;

// Read KRPCOMM_CAP_STATE.
constexpr DWORD KRPCOMM_STATE_CAPTURING = 1;
constexpr DWORD KRPCOMM_STATE_STOPPED = 2;

// KRPCOMM_CAP_FILE_MODE.
constexpr DWORD KRPCOMM_MODE_RING = 1;
constexpr DWORD KRPCOMM_MODE_SINGLE = 2;

// A name written to KRPCOMM_CAP_SAVE_AS or KRPCOMM_CAP_SAVE_NAME: at most this much data, of
// which at most KRPCOMM_MAX_NAME_CHARS characters count.
constexpr DWORD KRPCOMM_MAX_NAME_DATA = 1025;
constexpr DWORD KRPCOMM_MAX_NAME_CHARS = 1024;
// A save name (KRPCOMM_CAP_SAVE_NAME) becomes a file name in the capture folder, and a ring's
// further files add two bytes to it (x.cap: x~1.cap ... x~9.cap): what a file system takes
// for one name (255 bytes), less those two.
constexpr DWORD KRPCOMM_MAX_SAVE_NAME_BYTES = 253;

// File streams a viewer may hold open at once (slots 0 to 9).
constexpr DWORD KRPCOMM_FILE_SLOTS = 10;

// Largest capture a viewer may set (Write 0x1000/3): 4095 MiB, the most a settings document
// can give, below the 4 GiB a capture file's 32-bit offsets reach.
constexpr DWORD KRPCOMM_MAX_FILE_SIZE = 4095u << 20;
// Largest memory buffer a viewer may set (Write 0x1000/4): 64 MiB, what a settings document
// can give (65535 KiB) rounded up; a thousand times the default, and at most half the file.
constexpr DWORD KRPCOMM_MAX_BUFFER_SIZE = 64u << 20;

// Read KRPCOMM_CAP_INFO (12 bytes).
#pragma pack(push, 1)
struct KrpCommCaptureInfo {
  LONG nFrames;      // frames in the capture
  DWORD cbFrames;    // bytes of their records
  DWORD nOverflows;  // frames a ring dropped
};
#pragma pack(pop)
static_assert(sizeof(KrpCommCaptureInfo) == 12);
static_assert(offsetof(KrpCommCaptureInfo, cbFrames) == 4);
static_assert(offsetof(KrpCommCaptureInfo, nOverflows) == 8);

// ---- Group 0x1500, frames of a view ----------------------------------------------------------
// Read with L >= KRPCOMM_MIN_PACKET_LENGTH answers one capture packet (capture/CapturePacket.h)
// of at most L bytes, or no bytes when there are no new frames. AddDeviceNotification on the
// group pushes such packets; its cbLength obeys the same limits.

constexpr DWORD KRPCOMM_MIN_PACKET_LENGTH = vxcap::kPacketHeaderSize + 1;
// Largest notification packet a viewer may ask for; one packet must fit one NMX/TCP frame.
constexpr DWORD KRPCOMM_MAX_NOTIFICATION_LENGTH = 16u * 1024 * 1024;

// ---- Group 0x2000, traffic filter: index offsets ---------------------------------------------

constexpr DWORD KRPCOMM_FLT_ACTIVE = 1;          // R/W u32 filter on
constexpr DWORD KRPCOMM_FLT_INCLUDE_ACTIVE = 2;  // R/W u32 include table on
constexpr DWORD KRPCOMM_FLT_EXCLUDE_ACTIVE = 3;  // R/W u32 exclude table on
constexpr DWORD KRPCOMM_FLT_TABLE_SIZES = 4;     // R two u32: bytes of the include, exclude table
constexpr DWORD KRPCOMM_FLT_INCLUDE_TABLE = 5;   // R/W address table, read with its exact size
constexpr DWORD KRPCOMM_FLT_EXCLUDE_TABLE = 6;   // R/W address table, read with its exact size
constexpr DWORD KRPCOMM_FLT_FLAGS = 7;           // R/W u32 NMX_FILTER_* bits

// ---- Notifications ---------------------------------------------------------------------------
// Each DeviceNotification the logger sends (invoke id KRPCOMM_NOTIFICATION_INVOKE_ID, from its
// KRP server's address) carries one stamp of one sample, whose data is one capture packet:
//   +0   u32  nStamps        1
//   +4   u64  nTimeStamp     file time of the send
//   +12  u32  nSamples       1
//   +16  u32  hNotification  the handle AddDeviceNotification answered
//   +20  u32  cbSampleSize   24 + the packet's cbData
//   +24       the capture packet (24-byte header, then cbData bytes of records)
// The stream is 48 + cbData bytes.
#pragma pack(push, 1)
struct KrpCommNotificationHead {
  DWORD nStamps;
  KrpStampHeader stamp;
  KrpNotificationSample sample;
};
#pragma pack(pop)
static_assert(sizeof(KrpCommNotificationHead) == 24);
static_assert(offsetof(KrpCommNotificationHead, stamp) + offsetof(KrpStampHeader, nTimeStamp) == 4);
static_assert(offsetof(KrpCommNotificationHead, stamp) + offsetof(KrpStampHeader, nSamples) == 12);
static_assert(offsetof(KrpCommNotificationHead, sample) +
                  offsetof(KrpNotificationSample, hNotification) ==
              16);
static_assert(offsetof(KrpCommNotificationHead, sample) +
                  offsetof(KrpNotificationSample, cbSampleSize) ==
              20);

constexpr DWORD KRPCOMM_NOTIFICATION_HEAD = sizeof(KrpCommNotificationHead);
constexpr size_t KRPCOMM_NOTE_STAMPS = offsetof(KrpCommNotificationHead, nStamps);
constexpr size_t KRPCOMM_NOTE_TIME =
    offsetof(KrpCommNotificationHead, stamp) + offsetof(KrpStampHeader, nTimeStamp);
constexpr size_t KRPCOMM_NOTE_SAMPLES =
    offsetof(KrpCommNotificationHead, stamp) + offsetof(KrpStampHeader, nSamples);
constexpr size_t KRPCOMM_NOTE_HANDLE =
    offsetof(KrpCommNotificationHead, sample) + offsetof(KrpNotificationSample, hNotification);
constexpr size_t KRPCOMM_NOTE_SAMPLE_SIZE =
    offsetof(KrpCommNotificationHead, sample) + offsetof(KrpNotificationSample, cbSampleSize);
constexpr DWORD KRPCOMM_NOTIFICATION_INVOKE_ID = 1;

// ---- Results ---------------------------------------------------------------------------------
// 0, or the KRP code of nmx/KrpTypes.h that the viewer gets:
//   KRP_E_GENERAL         0x700  the logger could not: capturing (a setting that needs a
//                                stopped capture), no table, no free file slot, an open or a
//                                read that failed, a view that could not be made
//   KRP_E_NOT_SUPPORTED   0x701  index group, index offset or KRP command not served
//   KRP_E_INVALID_OFFSET  0x703  no view with that handle (group 0x1500)
//   KRP_E_INVALID_SIZE    0x705  a length other than the one stated, a name too long
//   KRP_E_NO_MEMORY       0x70A  the buffer for an answer or a notification could not be had
//   KRP_E_INVALID_PARAM   0x70B  a value or a name the logger refuses
//   KRP_E_INVALID_STATE   0x712  start while capturing, stop while stopped
//   KRP_E_INVALID_HANDLE  0x714  no notification with that handle
