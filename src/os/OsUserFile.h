// Files through a Win32-shaped interface on POSIX descriptors, path normalisation, and the
// text form of 128-bit identifiers.
//
// Results are BOOLs (1 success, 0 failure with errno set) unless stated otherwise. A file
// handle is used by one thread at a time; the functions take no locks. Handles come from
// OsUserCreateFile and are released with OsUserCloseFile or OsUserCloseHandle.
#pragma once

#include "os/OsTypes.h"
#include "os/OsUserTools.h"

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;

// In place: every backslash becomes a slash and runs of slashes become one. Returns the new
// length. Nothing else changes ("." and ".." stay, case stays).
size_t OsUserNormalizePath(char* path);

// access: GENERIC_READ alone opens read-only, GENERIC_WRITE alone write-only, any other
// non-zero value read-write. shareMode: FILE_SHARE_READ takes a shared lock, anything else an
// exclusive one; a conflicting lock fails with EACCES and leaves the file untouched.
// A new file gets read and write for its owner alone (0600, less the umask).
// Returns INVALID_HANDLE_VALUE on failure. Names of the form \\.\NAME open /dev/name
// (COMn opens cuau(n-1)); other names are normalised first.
OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR name, DWORD access, DWORD shareMode,
                                     PVOID securityAttributes, DWORD disposition,
                                     DWORD flagsAndAttributes, OS_USER_FILE_HANDLE hTemplateFile);
// One read or write; the count moved (maybe less than asked) goes to *transferred if given.
BOOL OsUserReadFile(OS_USER_FILE_HANDLE h, LPVOID buffer, DWORD count, LPDWORD bytesRead,
                    PVOID overlapped);
BOOL OsUserWriteFile(OS_USER_FILE_HANDLE h, LPCVOID buffer, DWORD count, LPDWORD bytesWritten,
                     PVOID overlapped);
BOOL OsUserCloseFile(OS_USER_FILE_HANDLE h);
// Returns once the file's data, and what is needed to read it back (its size), are on the
// storage device: a power loss after that keeps them. Timestamps may lag (fdatasync where the
// platform has it, fsync otherwise).
BOOL OsUserFlushFileBuffers(OS_USER_FILE_HANDLE h);
// Returns the low 32 bits of the new position and stores the high ones through high (if
// given); INVALID_SET_FILE_POINTER on failure. A successful low part of 0xFFFFFFFF with high
// given clears errno, so callers tell it from a failure by OsUserGetLastError() != 0.
DWORD OsUserSetFilePointer(OS_USER_FILE_HANDLE h, LONG distanceLow, PLONG distanceHigh,
                           DWORD moveMethod);
// Cuts (or extends) the file at the current position.
BOOL OsUserSetEndOfFile(OS_USER_FILE_HANDLE h);
// Allocates the disk space of bytes [offset, offset + length) so that writing them cannot fail
// for want of space; a file shorter than offset + length grows to it (the new bytes read as
// zeros), a longer one keeps its size. 0, ENOTSUP where the system or the file system cannot
// reserve space, or the error (ENOSPC, EFBIG, EBADF, ...).
DWORD OsUserReserveFileSpace(OS_USER_FILE_HANDLE h, ULONGLONG offset, ULONGLONG length);
// Low 32 bits of the size, high ones through high; INVALID_FILE_SIZE on failure, with the same
// errno rule as OsUserSetFilePointer.
DWORD OsUserGetFileSize(OS_USER_FILE_HANDLE h, LPDWORD high);
BOOL OsUserGetFileInformationByHandle(OS_USER_FILE_HANDLE h, LPBY_HANDLE_FILE_INFORMATION info);
// Device and inode: they tell an open file from every other file while it exists.
struct OS_USER_FILE_ID {
  ULONGLONG device;
  ULONGLONG inode;
};
BOOL OsUserGetFileId(OS_USER_FILE_HANDLE h, OS_USER_FILE_ID* id);
// Whether name (not following a last symbolic link) still names the file id: FALSE when
// nothing is there (errno ENOENT) or another file is (errno 0).
BOOL OsUserIsFileAtPath(LPCSTR name, const OS_USER_FILE_ID& id);
// What the (normalised) name is, following symbolic links: FILE_ATTRIBUTE_DIRECTORY, _NORMAL
// for a regular file, _DEVICE for anything else (devices, FIFOs, sockets);
// INVALID_FILE_ATTRIBUTES with errno set when it cannot be found out (ENOENT: nothing there).
// Nothing is opened, so a FIFO cannot block the caller.
DWORD OsUserGetFileAttributes(LPCSTR name);
BOOL OsUserDeleteFile(LPCSTR name);
// Without MOVEFILE_REPLACE_EXISTING an existing regular file at newName fails with EEXIST.
// With MOVEFILE_COPY_ALLOWED a move across file systems copies and then deletes the source;
// the copy is on the storage device before the source goes. With MOVEFILE_WRITE_THROUGH the
// call returns once the move itself is on the storage device (the folders are flushed).
BOOL OsUserMoveFile(LPCSTR existingName, LPCSTR newName, DWORD flags);
// The target gets the source's permission bits; failIfExists refuses an existing target. The
// call returns once the copy and its name are on the storage device.
BOOL OsUserCopyFile(LPCSTR existingName, LPCSTR newName, BOOL failIfExists);

// A new random identifier from the platform's UUID generator. FALSE (errno set) on failure.
BOOL OsUserCreateGuid(GUID* id);
// The 36-character lower-case text form ("xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx") into text,
// which holds cbText bytes (37 needed). FALSE with errno EINVAL (buffer too small) or ENOMEM.
BOOL OsUserGuidToText(const GUID& id, char* text, size_t cbText);
// "{...}" form of the identifier in a malloc'ed string the caller frees with free().
// S_OK, or E_FAIL if the text cannot be made.
HRESULT OsStringFromCLSIDA(const GUID& id, char** text);
