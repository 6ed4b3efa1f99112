// Opening files by names someone else chose: a peer that may reach only what lies beneath one
// folder, and must never make the caller wait. Every file opened here is a regular file; a
// FIFO, a device, a socket or a folder is refused without waiting for a peer of it, and a
// symbolic link is never followed beneath the folder.
//
// Names beneath a folder are relative, with '/' or '\' as separator; "." and empty components
// are skipped, while an absolute name or a ".." component is refused even where it would stay
// inside. The folder itself is opened by the caller (OsUserOpenFolder), following links: it is
// the operator's choice, not the peer's. Descriptors are close-on-exec; the caller closes them.
// Stateless; any thread.
#pragma once

#include "os/OsTypes.h"

enum class OsOpenResult {
  kOpened,   // *fd is open
  kMissing,  // nothing of that name, or a folder on the way is missing
  kRefused,  // a symbolic link on the way or at the end, a name that leaves the folder, or
             // something other than a regular file (or a folder, where one is asked for)
  kFailed,   // any other failure; errno tells which
};

// The folder at path, following links.
OsOpenResult OsUserOpenFolder(const char* path, int* fd);

// The folder relPath beneath the folder dirFd, each component a real folder; an empty
// relPath gives a new descriptor of dirFd's folder.
OsOpenResult OsUserOpenFolderBeneath(int dirFd, const char* relPath, int* fd);

// The regular file relPath beneath the folder dirFd, read-only. A file held exclusively by a
// writer of the file layer (OsUserCreateFile without FILE_SHARE_READ) is not read half-written:
// kFailed with EACCES, as the file layer reports it.
OsOpenResult OsUserOpenFileBeneath(int dirFd, const char* relPath, int* fd);

// A new empty regular file name (one component) in the folder dirFd, open for writing. A
// name that exists already, as anything (a dangling link too), is kFailed with EEXIST: nothing
// is followed, opened or changed.
OsOpenResult OsUserCreateFileBeneath(int dirFd, const char* name, int* fd);

// Removes name from the folder dirFd if it is still the file fd refers to and still empty:
// what OsUserCreateFileBeneath made and nothing has used since. False when it left it.
bool OsUserRemoveIfUnusedBeneath(int dirFd, const char* name, int fd);

// The regular file at path (following links, from anywhere), read-only.
OsOpenResult OsUserOpenRegularFile(const char* path, int* fd);

// True when path itself (normalised) is a symbolic link, dangling or not.
bool OsUserIsSymbolicLink(const char* path);

// Tests: resolve folders one component at a time even where the kernel could do it in one
// call, so that one machine checks both ways.
void OsUserSafeOpenTestWalkComponents(bool on);
