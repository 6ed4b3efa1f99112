// An output written front to back through a buffer: a regular file or a device that seeks,
// with positioned rewrites for headers; or a stream (a FIFO, a pipe, a terminal, the caller's
// std::ostream) written front to back only. The first failure sticks: every later call fails
// and Error() keeps the first reason.
//
// A sink removes nothing but a file it created itself, and only when asked (Remove); it syncs
// only a regular file. Whatever the path named before (a file, a FIFO, a device, a link to
// one) is written as it is and stays.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Owns its descriptor; the destructor closes without writing out the buffer or syncing and
// removes nothing. Not thread-safe.
class CFileSink {
 public:
  static constexpr size_t kBuffer = 1 << 20;
  static constexpr int kWaitStepMs = 20;

  // How the output is going to be written.
  enum class Writes {
    kInOrder,    // front to back only: a FIFO, a pipe or a terminal will do
    kRewriting,  // also with WriteAt, Seek and Truncate: a regular file or a device that seeks
  };

  CFileSink() = default;
  ~CFileSink();
  CFileSink(const CFileSink&) = delete;
  CFileSink& operator=(const CFileSink&) = delete;

  // Opens path for output. Where nothing is, a new regular file (Created()); an existing
  // regular file is emptied; a device is written as it is; a FIFO without a reader, and one
  // that is full, are waited for while keepWaiting() holds (asked every 20 ms; without it, for
  // as long as it takes), and giving up fails with EINTR. Its owner ignores SIGPIPE, so that a
  // reader that goes away fails a write (EPIPE) instead of ending the process. kRewriting
  // refuses, without waiting, what cannot be written at an offset.
  bool Create(const std::string& path, Writes writes,
              const std::function<bool()>& keepWaiting = {});
  // Creates a regular file; fails when anything is at path.
  bool CreateNew(const std::string& path);
  // Opens an existing file for rewriting in place; the position is 0.
  bool OpenExisting(const std::string& path);
  // Writes into out (standard output), in order; name stands for it in messages. A failed
  // write of out is left to its owner to report, who sees it on the stream.
  bool OpenOutput(std::ostream& out, const std::string& name);

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

  // Writes out the buffer, syncs a regular file (one whose file system cannot sync it is not a
  // failure) and closes; false if anything failed. When writing out failed the output stays
  // open, so that its writer can mend what reached it.
  bool Close();
  // Closes without writing out the buffer.
  void Abandon();
  // Closes, and removes the file if this sink created it and the path still names that file;
  // anything else stays. True if it removed the file.
  bool Remove();

  // The bytes that reached the output front to back: a failed write may have put down part
  // of what it was given.
  uint64_t Written() const { return m_nPos - m_buf.size(); }
  // Forgets what is buffered from off on, where that has not reached the output yet.
  void DropFrom(uint64_t off);
  // Forgets the failure and the buffer, so that a writer can mend what reached the output
  // (Written()) with WriteAt and Truncate. Error() is empty until the next failure.
  void ClearFailure();

  // A regular file (which is synced, takes Truncate and can be mended).
  bool IsFile() const { return m_bFile; }
  // A regular file this sink created.
  bool Created() const { return m_bCreated; }
  bool IsOpen() const { return m_fd >= 0 || m_pOut != nullptr; }
  bool Failed() const { return !m_strErr.empty(); }
  const std::string& Error() const { return m_strErr; }
  const std::string& Path() const { return m_strPath; }

 private:
  bool Fail(const char* what);
  bool NotAStream(const char* what);
  // False, with errno EINTR, when the caller of Create gave up waiting.
  bool KeepWaiting();
  bool Open(const std::string& path, Writes writes, bool bNewOnly);
  // Writes n bytes at off (a stream where it stands); *done counts what was written.
  bool WriteAll(const unsigned char* p, size_t n, uint64_t off, size_t* done);

  int m_fd = -1;
  std::ostream* m_pOut = nullptr;
  std::string m_strPath;
  std::string m_strErr;
  std::vector<unsigned char> m_buf;
  uint64_t m_nPos = 0;  // file offset of m_buf[0] plus m_buf.size()
  bool m_bCreated = false;
  bool m_bFile = false;
  bool m_bStream = false;
  bool m_bReaderGone = false;
  dev_t m_dev = 0;  // of the file this sink created
  ino_t m_ino = 0;
  std::function<bool()> m_keepWaiting;
};
