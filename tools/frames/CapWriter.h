// Writes a new capture file front to back: a header of an empty capture, the records, then
// the table and the final header. The header is rewritten last, so until Finish the file
// reads as an empty capture, never as a capture with a wrong table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frames/FileSink.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"

// Not thread-safe. Keeps one table entry (4 bytes) per record in memory until Finish.
class CCapWriter {
 public:
  CCapWriter() = default;
  CCapWriter(const CCapWriter&) = delete;
  CCapWriter& operator=(const CCapWriter&) = delete;

  bool Create(const std::string& path, const SYSTEMTIME& headerTime);

  // Starts a record of cbRecord bytes, which follow through Write. False when the file
  // would pass the 4 GiB its offsets can address.
  bool BeginRecord(DWORD cbRecord);
  bool Write(const void* p, size_t n);

  // Writes the table and the header, syncs and closes. False if anything failed, or the
  // last record did not receive all its bytes.
  bool Finish();
  // Closes and removes the file, after a failure.
  void Discard() { m_sink.Discard(); }

  DWORD Frames() const { return static_cast<DWORD>(m_table.size()); }
  uint64_t RecordBytes() const { return m_cbRecords; }
  const std::string& Error() const { return m_strErr.empty() ? m_sink.Error() : m_strErr; }

 private:
  CFileSink m_sink;
  SYSTEMTIME m_headerTime{};
  std::vector<DWORD> m_table;
  uint64_t m_cbRecords = 0;
  uint64_t m_cbPending = 0;  // bytes the current record still expects
  std::string m_strErr;
};
