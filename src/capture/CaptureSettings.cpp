#include "capture/CaptureSettings.h"

#include <string.h>

#include <algorithm>

const CaptureSettingInfo* FindCaptureSetting(const char* word) {
  if (!word) return nullptr;
  for (const CaptureSettingInfo& row : kCaptureSettingTable)
    if (row.word && strcmp(row.word, word) == 0) return &row;
  return nullptr;
}

CaptureSettings DefaultCaptureSettings() {
  CaptureSettings s;
  for (const CaptureSettingInfo& row : kCaptureSettingTable) {
    if (std::string* text = CaptureSettingText(s, row.id))
      *text = row.defText;
    else
      SetCaptureSettingNumber(s, row.id, row.defValue);
  }
  return s;
}

ULONGLONG CaptureSettingNumber(const CaptureSettings& s, CaptureSettingId id) {
  switch (id) {
    case CaptureSettingId::kFileSize:
      return s.cbFile;
    case CaptureSettingId::kBufferSize:
      return s.cbBuffer;
    case CaptureSettingId::kAutoSave:
      return s.bAutoSave ? 1 : 0;
    case CaptureSettingId::kRingBuffer:
      return s.bRingBuffer ? 1 : 0;
    case CaptureSettingId::kRingFiles:
      return static_cast<DWORD>(s.nRingBufferFiles);
    case CaptureSettingId::kOverwrite:
      return s.bOverwriteExisting ? 1 : 0;
    case CaptureSettingId::kSaveName:
    case CaptureSettingId::kFolder:
      break;
  }
  return 0;
}

void SetCaptureSettingNumber(CaptureSettings& s, CaptureSettingId id, ULONGLONG v) {
  switch (id) {
    case CaptureSettingId::kFileSize:
      s.cbFile = static_cast<DWORD>(std::min<ULONGLONG>(v, 0xFFFFFFFFu));
      break;
    case CaptureSettingId::kBufferSize:
      s.cbBuffer = static_cast<DWORD>(std::min<ULONGLONG>(v, 0xFFFFFFFFu));
      break;
    case CaptureSettingId::kAutoSave:
      s.bAutoSave = v != 0;
      break;
    case CaptureSettingId::kRingBuffer:
      s.bRingBuffer = v != 0;
      break;
    case CaptureSettingId::kRingFiles:
      s.nRingBufferFiles = static_cast<LONG>(static_cast<DWORD>(v));
      break;
    case CaptureSettingId::kOverwrite:
      s.bOverwriteExisting = v != 0;
      break;
    case CaptureSettingId::kSaveName:
    case CaptureSettingId::kFolder:
      break;
  }
}

std::string* CaptureSettingText(CaptureSettings& s, CaptureSettingId id) {
  if (id == CaptureSettingId::kSaveName) return &s.saveFileName;
  if (id == CaptureSettingId::kFolder) return &s.folder;
  return nullptr;
}

CaptureSettings ResolveCaptureSettings(const CaptureSettings& current, CaptureSettings next,
                                       bool bRunning) {
  if (bRunning) {
    for (const CaptureSettingInfo& row : kCaptureSettingTable)
      if (row.idleOnly)
        SetCaptureSettingNumber(next, row.id, CaptureSettingNumber(current, row.id));
  }
  const DWORD minFile =
      static_cast<DWORD>(CaptureSettingInfoOf(CaptureSettingId::kFileSize).minValue);
  next.cbFile = std::max(next.cbFile, minFile);
  next.cbBuffer = std::min(next.cbBuffer, next.cbFile / 2);
  return next;
}
