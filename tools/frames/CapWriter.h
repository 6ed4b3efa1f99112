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

  // path must be a regular file or a device that seeks: the header is rewritten at the end.
  bool Create(const std::string& path, const SYSTEMTIME& headerTime);

  // Starts a record of cbRecord bytes, which follow through Write. False when the file
  // would pass the 4 GiB its offsets can address.
  bool BeginRecord(DWORD cbRecord);
  bool Write(const void* p, size_t n);

  // Writes the table and the header, syncs and closes. False if anything failed, or the
  // last record did not receive all its bytes.
  bool Finish();
  // Ends the file after a failure. Where the output failed (a write, the 4 GiB), or the file
  // was there before, the records that reached it whole stay as a valid capture (Mend);
  // after any other failure a file this writer created is removed. A device is closed as it
  // is. Returns what became of the file for the message ("OUT keeps the 12 frames written
  // before"), or "" when there is nothing to say; Error() keeps the failure.
  std::string Abandon();
  // The output failed: a write, or the file reached its 4 GiB.
  bool OutputFailed() const { return m_sink.Failed() || m_bFull; }

  DWORD Frames() const { return static_cast<DWORD>(m_table.size()); }
  uint64_t RecordBytes() const { return m_cbRecords; }
  const std::string& Error() const { return m_strErr.empty() ? m_sink.Error() : m_strErr; }

  // Makes a capture file that was written front to back and stopped a valid capture of the
  // records that reached it whole (sink.Written()): record i starts at starts[i] and ends
  // where the next one starts, the last at recordsEnd. Their table goes behind them, then the
  // header, and the file is cut behind the table; where the table does not fit in the space
  // the file has (a full disk), fewer records are kept so that it does. Closes the sink, which
  // must be a regular file whose failure was cleared. *kept receives the records kept.
  static bool Mend(CFileSink& sink, const SYSTEMTIME& headerTime, const std::vector<DWORD>& starts,
                   uint64_t recordsEnd, size_t* kept);

 private:
  CFileSink m_sink;
  SYSTEMTIME m_headerTime{};
  std::vector<DWORD> m_table;
  uint64_t m_cbRecords = 0;
  uint64_t m_cbPending = 0;  // bytes the current record still expects
  bool m_bFull = false;
  std::string m_strErr;
};
