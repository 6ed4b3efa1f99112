#include "capture/CapturePath.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "capture/CaptureFormat.h"
#include "capture/OsUserTempFile.h"
#include "os/OsUserFile.h"
#include "os/OsUserSafeOpen.h"
#include "registry/VxReg.h"
#include "support/VxLastError.h"

namespace vxcap {

DWORD GetBootPrjPath(char* out, DWORD cchOut) {
  char* boot = nullptr;
  if (!VxRegReadBootPrjPath(&boot) || !boot) return kErrBootFolderMissing;
  const size_t len = strlen(boot);
  DWORD result = kErrBootFolderTooLong;
  if (out && len + 1 <= cchOut) {
    memset(out, 0, cchOut);
    memcpy(out, boot, len);
    result = 0;
  }
  delete[] boot;
  return result;
}

HRESULT CaptureFolder(const char* szFolder, size_t cchMaxBoot, char* out, CString& sErr) {
  if (szFolder) {
    if (strlen(szFolder) > kMaxCapturePath) {
      sErr = kPathTooLongError;
      return E_FAIL;
    }
    snprintf(out, kMaxCapturePath + 1, "%s", szFolder);
    return S_OK;
  }
  const size_t cchMax = cchMaxBoot < kMaxCapturePath ? cchMaxBoot : kMaxCapturePath;
  const DWORD err = GetBootPrjPath(out, static_cast<DWORD>(cchMax + 1));
  if (err != 0) sErr = kBootFolderError;
  return err == 0 ? S_OK : HRESULT_FROM_OS_ERROR(err);
}

HRESULT SaveTargetPath(const char* name, bool bBootPath, size_t cchMaxJoined, char* out,
                       CString& sErr) {
  if (!bBootPath) {
    if (strlen(name) > kMaxCapturePath) return E_FAIL;
    snprintf(out, kMaxCapturePath + 1, "%s", name);
    return S_OK;
  }
  char folder[kMaxCapturePath + 1];
  const HRESULT hr = CaptureFolder(nullptr, kMaxCapturePath, folder, sErr);
  if (FAILED(hr)) return hr;
  if (!JoinPath(out, folder, name, cchMaxJoined)) {
    sErr = kBootFolderError;
    return E_BOOT_FOLDER_TOO_LONG;
  }
  return S_OK;
}

HRESULT ResolveCaptureTarget(const char* szFolder, const char* szFileName, size_t cchMaxBoot,
                             size_t cchMaxPath, CaptureTarget& out, CString& sErr) {
  out.madeTempFile = false;
  HRESULT hr = CaptureFolder(szFolder, cchMaxBoot, out.folder, sErr);
  if (FAILED(hr)) return hr;
  out.namePos = strlen(out.folder) + 1;
  if (szFileName && *szFileName) {
    if (JoinPath(out.path, out.folder, szFileName, cchMaxPath)) return S_OK;
    sErr = kPathTooLongError;
    return E_FAIL;
  }
  if (!OsUserGetTempFileName(out.folder, "CAP", 0, out.path)) {
    hr = VxHResultFromLastError();  // before the text's allocation can touch errno
    sErr = "Failed to GetTempFileName!";
    return hr;
  }
  if (strlen(out.path) > cchMaxPath) {
    OsUserDeleteFile(out.path);
    sErr = kPathTooLongError;
    return E_FAIL;
  }
  out.madeTempFile = true;
  return S_OK;
}

size_t NamePos(const char* path) {
  size_t pos = 0;
  for (size_t i = 0; path[i]; ++i)
    if (path[i] == '\\' || path[i] == '/') pos = i + 1;
  return pos;
}

char* StorePath(char (&buf)[kMaxCapturePath + 1], const char* path, size_t namePos) {
  if (path != buf) snprintf(buf, sizeof buf, "%s", path);
  const size_t len = strlen(buf);
  return buf + (namePos < len ? namePos : len);
}

HRESULT CopyFileName(const char* name, DWORD cchOut, char* out) {
  if (!out) return E_FAIL;
  const size_t len = strlen(name);
  if (len + 1 > cchOut) return E_FAIL;
  memcpy(out, name, len + 1);
  return S_OK;
}

bool SamePath(const char* a, const char* b) {
  char na[kMaxCapturePath + 1];
  char nb[kMaxCapturePath + 1];
  snprintf(na, sizeof na, "%s", a);
  snprintf(nb, sizeof nb, "%s", b);
  OsUserNormalizePath(na);
  OsUserNormalizePath(nb);
  return strcasecmp(na, nb) == 0;
}

bool JoinPath(char* out, const char* folder, const char* name, size_t cchMax) {
  const size_t a = strlen(folder);
  const size_t b = strlen(name);
  if (a + 1 + b > cchMax || a + 1 + b > kMaxCapturePath) return false;
  memcpy(out, folder, a);
  out[a] = '\\';
  memcpy(out + a + 1, name, b + 1);
  return true;
}

bool IsForeignFile(const char* path) {
  // Writing through a link would put the capture wherever it points.
  if (OsUserIsSymbolicLink(path)) return true;
  const DWORD attributes = OsUserGetFileAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes != FILE_ATTRIBUTE_NORMAL) return true;
  OS_USER_FILE_HANDLE h = OsUserCreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BYTE header[kHeaderSize];
  DWORD got = 0;
  DWORD n = 0;
  while (got < sizeof header && OsUserReadFile(h, header + got, sizeof header - got, &n, nullptr) &&
         n > 0)
    got += n;
  OsUserCloseFile(h);
  return got > 0 && DecodeHeader(header, got, nullptr) != HeaderStatus::kOk;
}

}  // namespace vxcap
