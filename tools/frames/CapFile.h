// A capture file opened for reading, read only in bounded pieces that are checked against
// the file's size: a hostile length can make a read fail, never reach outside the file or
// size an allocation.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "os/OsTypes.h"

// Owns its descriptor. Not thread-safe: one reader per object.
class CCapFile {
 public:
  CCapFile() = default;
  ~CCapFile();
  CCapFile(const CCapFile&) = delete;
  CCapFile& operator=(const CCapFile&) = delete;

  // Opens the file read-only and takes its size. On failure *err says why.
  bool Open(const std::string& path, std::string* err);
  void Close();

  const std::string& Path() const { return m_strPath; }
  uint64_t Size() const { return m_cbFile; }

  // Reads exactly n bytes at off. False when the range is not inside the file as opened,
  // or the read fails or comes up short (the file shrank); *err then says why.
  bool ReadAt(uint64_t off, void* p, size_t n, std::string* err) const;

  // True when path names this very file (also under another spelling or a link).
  bool IsSameFileAs(const std::string& path) const;

 private:
  int m_fd = -1;
  uint64_t m_cbFile = 0;
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  std::string m_strPath;
};

// A read-ahead window over a CCapFile for walking it front to back: a view of up to
// cbWindow bytes is served from one buffer that is refilled with one read when the view
// leaves it. The buffer is allocated on first use and never larger than the file. The file
// must outlive the window. Not thread-safe.
class CCapReadWindow {
 public:
  static constexpr size_t kWindow = 1 << 20;

  explicit CCapReadWindow(const CCapFile& file, size_t cbWindow = kWindow)
      : m_file(file), m_cbWindow(cbWindow) {}
  ~CCapReadWindow();
  CCapReadWindow(const CCapReadWindow&) = delete;
  CCapReadWindow& operator=(const CCapReadWindow&) = delete;

  // n (at most the window's size) bytes at off, valid until the next call; null under the
  // conditions of CCapFile::ReadAt, or when n is larger than the window.
  const BYTE* View(uint64_t off, size_t n, std::string* err);

 private:
  const CCapFile& m_file;
  size_t m_cbWindow;
  size_t m_cbAlloc = 0;
  BYTE* m_pBuf = nullptr;
  uint64_t m_nBufOffset = 0;
  size_t m_cbBuf = 0;
};
