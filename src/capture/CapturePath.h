// Where capture files live and what their paths may be, for the single capture file, the ring
// and the manager: the boot project folder, joining a folder and a name, the name part of a
// path, the length limits, and the refusal to replace what is not a capture. Names are given
// with either separator; paths are bounded buffers of kMaxCapturePath + 1 characters.
#pragma once

#include <stddef.h>

#include "os/OsTypes.h"
#include "os/OsUserFile.h"
#include "os/VxString.h"

namespace vxcap {

// Longest capture path in characters, without the terminating NUL.
constexpr DWORD kMaxCapturePath = 1024;

// What reading the boot project folder reports, as plain error numbers (GetBootPrjPath) and
// as the results of the capture operations that need the folder.
constexpr DWORD kErrBootFolderMissing = 2;
constexpr DWORD kErrBootFolderTooLong = 234;
constexpr HRESULT E_BOOT_FOLDER_MISSING = HRESULT_FROM_OS_ERROR(kErrBootFolderMissing);
constexpr HRESULT E_BOOT_FOLDER_TOO_LONG = HRESULT_FROM_OS_ERROR(kErrBootFolderTooLong);
constexpr char kBootFolderError[] = "Failed to read boot project path!";
constexpr char kPathTooLongError[] = "Capture path too long!";

// Names change when a capture ends or is saved; the move is on the disk when it returns.
constexpr DWORD kMoveCapture =
    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;

// The boot project folder into out (cchOut characters, the rest zero-filled). Returns 0,
// kErrBootFolderMissing when it cannot be read, kErrBootFolderTooLong when it does not fit
// with its terminating zero.
DWORD GetBootPrjPath(char* out, DWORD cchOut);

// szFolder, or without one the boot project folder, into out (kMaxCapturePath + 1
// characters). A given folder longer than kMaxCapturePath is E_FAIL; a boot folder that
// cannot be read, or has more than cchMaxBoot characters, gives E_BOOT_FOLDER_MISSING or
// E_BOOT_FOLDER_TOO_LONG. Each failure leaves its text in sErr.
HRESULT CaptureFolder(const char* szFolder, size_t cchMaxBoot, char* out, CString& sErr);

// The path a capture is saved to, into out (kMaxCapturePath + 1 characters): with bBootPath
// name in the boot project folder, which with separator and name may have at most
// cchMaxJoined characters (else E_BOOT_FOLDER_TOO_LONG; an unreadable folder gives
// E_BOOT_FOLDER_MISSING; both with their text in sErr); otherwise name itself, a full path of
// at most kMaxCapturePath characters (else E_FAIL).
HRESULT SaveTargetPath(const char* name, bool bBootPath, size_t cchMaxJoined, char* out,
                       CString& sErr);

// Where a new capture goes: szFolder, or without one the boot project folder (as
// CaptureFolder, at most cchMaxBoot characters), joined with szFileName into a path of at most
// cchMaxPath characters; without a name, a new empty file with a temporary name made in the
// folder, its path held to the same limit (a longer one is removed again). Each failure leaves
// its text in sErr; a failed temporary name gives the system's error.
struct CaptureTarget {
  char folder[kMaxCapturePath + 1];
  char path[kMaxCapturePath + 1];
  size_t namePos;     // where the name starts in path
  bool madeTempFile;  // path is the new file made for the temporary name
};
HRESULT ResolveCaptureTarget(const char* szFolder, const char* szFileName, size_t cchMaxBoot,
                             size_t cchMaxPath, CaptureTarget& out, CString& sErr);

// folder + "\" + name into out (kMaxCapturePath + 1 characters); false, leaving out
// untouched, if that has more than cchMax characters.
bool JoinPath(char* out, const char* folder, const char* name, size_t cchMax = kMaxCapturePath);

// Index of the first character of the file name: behind the last separator of either kind,
// as the file layer accepts both.
size_t NamePos(const char* path);

// Copies path (cut at kMaxCapturePath characters) into buf, unless it is buf already, and
// returns where its name starts: namePos characters in, or at its end if it is shorter.
char* StorePath(char (&buf)[kMaxCapturePath + 1], const char* path, size_t namePos);

// The file name name into out if it fits with its terminating zero in cchOut characters,
// else E_FAIL.
HRESULT CopyFileName(const char* name, DWORD cchOut, char* out);

// Two spellings of one path ("a\b", "a//b", "A/B") must not be taken for two files: moving or
// copying one onto the other, or removing "the old one", would lose the capture.
bool SamePath(const char* a, const char* b);

// Refusal to replace a file that is not a capture (the Win32 "file exists" error).
constexpr HRESULT CAPTURE_E_FOREIGN_FILE = static_cast<HRESULT>(0x80070050);

// True when path exists and is something a capture must not replace: a symbolic link (even to
// a capture), not a regular file, or a regular file with content whose first bytes are not a
// capture file header. A missing or
// empty file, a capture file, and a file that cannot be examined (whose replacement fails on
// its own) give false.
bool IsForeignFile(const char* path);

}  // namespace vxcap
