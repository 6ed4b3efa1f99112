// What the capture manager holds for the capture on disk: one file or a ring of files.
#pragma once

#include <stdio.h>

#include "capture/Capture.h"
#include "capture/CapturePath.h"
#include "os/OsTypes.h"
#include "os/OsUserFile.h"
#include "os/VxString.h"

// Paths are narrow strings of at most 1024 characters; folder and name are joined with a
// backslash, which the file layer takes as a separator. Not locked: the capture manager
// serialises all calls under its file lock.
class CCaptureFileBase : public CCapture {
 public:
  using CCapture::Create;
  using CCapture::GetSizeOfFrames;

  // Creates the capture at its maximum size in szFolder (the boot project folder when null),
  // named szFileName or, without a name, a new temporary file.
  virtual HRESULT Create(DWORD cbMaxSize, const char* szFolder, const char* szFileName,
                         bool bTemporary) = 0;
  virtual HRESULT CloseFile() = 0;
  // Cuts the preallocated tail so the file ends behind its table.
  virtual HRESULT Truncate() = 0;
  // Copies or moves frames nStartFrame ... (nFrames, -1 for all) to szFileName, a full path
  // or, with bBootPath, a name in the boot project folder.
  virtual HRESULT SaveCaptureAs(const char* szFileName, bool bBootPath, LONG nStartFrame,
                                LONG nFrames) = 0;
  // The file name without its folder; E_FAIL if it does not fit with its terminating zero.
  virtual HRESULT GetFileName(DWORD dwBufferLength, char* szFileName) = 0;
  virtual HRESULT OnOverflow(LONG& nOverflowFrames, DWORD& cbOverflowFrames) = 0;
  // Total bytes of frame records.
  virtual HRESULT GetSizeOfFrames(DWORD& cbFrames) = 0;
  // The explanation of the last failure that has one; empty otherwise.
  virtual CString GetErrorString() { return m_sErr; }
  // The path of an open file of this capture that its path no longer names (removed or
  // replaced by another program while open); null while every file is in place.
  virtual const char* LostFilePath() { return nullptr; }
  // What closing did about a file that had been removed or replaced (written again, or where
  // to): one line a call, each once; empty when there is nothing (more) to say.
  virtual CString TakeNotice() {
    CString notice = m_sNotice;
    m_sNotice.Empty();
    return notice;
  }

 protected:
  // The refusal to replace path, which is not a capture file (vxcap::IsForeignFile), with its
  // explanation.
  HRESULT RefuseForeignFile(const char* path) {
    char shown[vxcap::kMaxCapturePath + 1];
    snprintf(shown, sizeof shown, "%s", path);
    OsUserNormalizePath(shown);
    m_sErr.Format("Not replacing %s: it is not a capture file", shown);
    return vxcap::CAPTURE_E_FOREIGN_FILE;
  }

  CString m_sErr;
  CString m_sNotice;
};
