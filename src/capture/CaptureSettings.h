// The capture's settings as one value, and one description per setting that every front end
// reads: the settings document, the viewer's commands, nmx-view's `set` and the capture
// manager, which owns the value.
#pragma once

#include <stddef.h>

#include <string>

#include "os/OsTypes.h"

// Copied whole in and out of the capture manager, so that no reader sees half a change.
struct CaptureSettings {
  DWORD cbFile = 0;    // the largest capture, in bytes (a ring's files share it)
  DWORD cbBuffer = 0;  // the memory buffer in front of the file, in bytes
  bool bAutoSave = false;
  std::string saveFileName;  // empty: none, the capture goes to a temporary file
  std::string folder;        // empty: the boot project folder
  bool bRingBuffer = false;
  LONG nRingBufferFiles = 0;
  bool bOverwriteExisting = false;
};

enum class CaptureSettingId {
  kFileSize,
  kBufferSize,
  kAutoSave,
  kSaveName,
  kFolder,
  kRingBuffer,
  kRingFiles,
  kOverwrite,
};

// How a setting's value is written in the settings document.
enum class CaptureSettingForm {
  kUnsigned,    // decimal or "#x" hex, times the row's unit
  kUnsigned16,  // the same, cut to its low 16 bits before the unit applies
  kSigned,      // decimal or hex, may be negative
  kFlag,        // "true"/"false" (first letter 1, t, y means true)
  kText,
};

struct CaptureSettingInfo {
  CaptureSettingId id;
  const char* element;  // the element under the document's "CaptureInfo"
  const char* word;     // nmx-view's `set` name; null where a viewer cannot set it
  CaptureSettingForm form;
  DWORD unit;           // bytes per document unit (FileSize counts MiB); 1 elsewhere
  ULONGLONG minValue;   // a number below is raised to it; for text, unused
  ULONGLONG maxValue;   // the most a viewer or a document may set: bytes, a count, or a
                        // text's bytes
  ULONGLONG defValue;   // numbers and flags (1 or 0)
  const char* defText;  // text settings
  bool idleOnly;        // ignored while a capture runs, and refused by the viewer's commands
};

// In the document's order: a buffer is bounded by the file size in force when it is set.
inline constexpr CaptureSettingInfo kCaptureSettingTable[] = {
    // At most 4095 MiB: a capture file's offsets are 32 bits, and the document counts MiB.
    {CaptureSettingId::kFileSize, "FileSize", "filesize", CaptureSettingForm::kUnsigned, 1u << 20,
     1u << 20, 4095ull << 20, 1u << 20, nullptr, true},
    // At most 64 MiB (the document's 65535 KiB rounded up); at most half the file besides.
    {CaptureSettingId::kBufferSize, "BufferSize", "buffersize", CaptureSettingForm::kUnsigned16,
     1u << 10, 0, 64ull << 20, 64u << 10, nullptr, true},
    {CaptureSettingId::kAutoSave, "AutoSave", "autosave", CaptureSettingForm::kFlag, 1, 0, 1, 1,
     nullptr, false},
    // A ring's further files add two bytes to the name (x~1.cap ... x~9.cap) and a file system
    // takes 255 for one name.
    {CaptureSettingId::kSaveName, "AutoSaveName", "savename", CaptureSettingForm::kText, 1, 0, 253,
     0, "Current.cap", false},
    {CaptureSettingId::kFolder, "AutoSaveDirectoryName", nullptr, CaptureSettingForm::kText, 1, 0,
     1024, 0, "", false},
    {CaptureSettingId::kRingBuffer, "RingBuffer", "ring", CaptureSettingForm::kFlag, 1, 0, 1, 1,
     nullptr, true},
    {CaptureSettingId::kRingFiles, "RingBufferFiles", nullptr, CaptureSettingForm::kSigned, 1, 0, 0,
     2, nullptr, false},
    {CaptureSettingId::kOverwrite, "OverwriteExisting", nullptr, CaptureSettingForm::kFlag, 1, 0, 1,
     1, nullptr, false},
};

constexpr const CaptureSettingInfo& CaptureSettingInfoOf(CaptureSettingId id) {
  for (const CaptureSettingInfo& row : kCaptureSettingTable)
    if (row.id == id) return row;
  return kCaptureSettingTable[0];  // unreachable: every id has its row
}

// The row nmx-view's `set` calls word; null when there is none.
const CaptureSettingInfo* FindCaptureSetting(const char* word);

// Every setting at its default.
CaptureSettings DefaultCaptureSettings();

// A number or flag setting's value (a flag as 1 or 0; a negative count as its 32-bit
// pattern); 0 for a text setting.
ULONGLONG CaptureSettingNumber(const CaptureSettings& s, CaptureSettingId id);
// Sets a number or flag setting (a flag from v != 0); a text setting is left alone.
void SetCaptureSettingNumber(CaptureSettings& s, CaptureSettingId id, ULONGLONG v);
// A text setting's value; null for any other.
std::string* CaptureSettingText(CaptureSettings& s, CaptureSettingId id);

// The value the capture manager keeps when next is asked for while current is in force:
// idle-only settings keep their current values while running, the file is at least its
// minimum and the buffer at most half the file.
CaptureSettings ResolveCaptureSettings(const CaptureSettings& current, CaptureSettings next,
                                       bool bRunning);
