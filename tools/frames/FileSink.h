// An output file written front to back through a buffer, with positioned rewrites for
// headers; or a stream (a FIFO, a pipe) written front to back only. The first failure sticks:
// every later call fails and Error() keeps the first reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Owns its descriptor; the destructor closes without syncing and removes nothing. Not
// thread-safe.
class CFileSink {
 public:
  static constexpr size_t kBuffer = 1 << 20;
  static constexpr int kWaitStepMs = 20;

  CFileSink() = default;
  ~CFileSink();
  CFileSink(const CFileSink&) = delete;
  CFileSink& operator=(const CFileSink&) = delete;

  // Creates the file, or empties an existing one.
  bool Create(const std::string& path);
  // Creates the file; fails when it exists.
  bool CreateNew(const std::string& path);
  // Opens an existing file for rewriting in place; the position is 0.
  bool OpenExisting(const std::string& path);
  // Opens path as a stream: a FIFO or a device as it is, a regular file created or emptied.
  // A FIFO without a reader, and one that is full, are waited for while keepWaiting() holds
  // (asked every 20 ms; without it, for as long as it takes); giving up fails with EINTR. A
  // stream takes no WriteAt, Seek or Truncate, and Close does not sync it. Its owner ignores
  // SIGPIPE, so that a reader that goes away fails a write (EPIPE) instead of ending the
  // process.
  bool OpenStream(const std::string& path, const std::function<bool()>& keepWaiting = {});

  bool Write(const void* p, size_t n);
  // Writes at an absolute offset, leaving the position where it was.
  bool WriteAt(uint64_t off, const void* p, size_t n);
  // Moves the position to off (within what has been written or what the file holds).
  bool Seek(uint64_t off);
  bool Truncate(uint64_t size);
  uint64_t Position() const { return m_nPos; }
  // Writes out the buffer, so that a stream's reader has everything written so far.
  bool Flush();
  // A stream whose reader has gone: a write failed with EPIPE, or the reader closed its end
  // (seen without writing, so an idle writer notices too).
  bool ReaderGone();

  // Writes out the buffer, syncs the file to disk and closes it; false if anything failed.
  bool Close();
  // Closes the file and removes it if this sink created it (never one opened with
  // OpenExisting), after a failure.
  void Discard();

  bool Failed() const { return !m_strErr.empty(); }
  const std::string& Error() const { return m_strErr; }
  const std::string& Path() const { return m_strPath; }

 private:
  bool Fail(const char* what);
  bool NotAStream(const char* what);
  // False, with errno EINTR, when the caller of OpenStream gave up waiting.
  bool KeepWaiting();
  bool WriteAll(const unsigned char* p, size_t n, uint64_t off);

  int m_fd = -1;
  std::string m_strPath;
  std::string m_strErr;
  std::vector<unsigned char> m_buf;
  uint64_t m_nPos = 0;  // file offset of m_buf[0] plus m_buf.size()
  bool m_bRemovable = false;
  bool m_bStream = false;
  bool m_bReaderGone = false;
  std::function<bool()> m_keepWaiting;
};
