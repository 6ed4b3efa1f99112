#include "frames/CapWriter.h"

#include "capture/CaptureFormat.h"
#include "frames/TextFormat.h"

bool CCapWriter::Create(const std::string& path, const SYSTEMTIME& headerTime) {
  m_headerTime = headerTime;
  if (!m_sink.Create(path, CFileSink::Writes::kRewriting)) return false;
  BYTE header[vxcap::kHeaderSize];
  vxcap::EncodeHeader(header, m_headerTime, vxcap::kHeaderSize, 0);
  return m_sink.Write(header, sizeof header);
}

bool CCapWriter::BeginRecord(DWORD cbRecord) {
  if (!m_strErr.empty() || m_sink.Failed()) return false;
  if (m_cbPending != 0) {
    m_strErr = m_sink.Path() + ": internal error: a record was not completed";
    return false;
  }
  const uint64_t end = vxcap::kHeaderSize + m_cbRecords + cbRecord +
                       (m_table.size() + 1) * uint64_t{vxcap::kTableEntrySize};
  if (end > 0xFFFFFFFFull) {
    m_strErr = m_sink.Path() + ": the output would pass the 4 GiB a capture file can address";
    m_bFull = true;
    return false;
  }
  m_table.push_back(static_cast<DWORD>(vxcap::kHeaderSize + m_cbRecords));
  m_cbRecords += cbRecord;
  m_cbPending = cbRecord;
  return true;
}

bool CCapWriter::Write(const void* p, size_t n) {
  if (n > m_cbPending) {
    m_strErr = m_sink.Path() + ": internal error: more record bytes than announced";
    return false;
  }
  m_cbPending -= n;
  return m_sink.Write(p, n);
}

bool CCapWriter::Finish() {
  if (m_cbPending != 0 && m_strErr.empty())
    m_strErr = m_sink.Path() + ": internal error: a record was not completed";
  if (!m_strErr.empty() || m_sink.Failed()) return false;
  BYTE chunk[4096];
  size_t fill = 0;
  for (DWORD entry : m_table) {
    vxcap::EncodeTableEntry(chunk + fill, entry);
    fill += vxcap::kTableEntrySize;
    if (fill == sizeof chunk) {
      if (!m_sink.Write(chunk, fill)) return false;
      fill = 0;
    }
  }
  if (fill && !m_sink.Write(chunk, fill)) return false;
  BYTE header[vxcap::kHeaderSize];
  vxcap::EncodeHeader(header, m_headerTime, static_cast<DWORD>(vxcap::kHeaderSize + m_cbRecords),
                      static_cast<DWORD>(m_table.size() * vxcap::kTableEntrySize));
  return m_sink.WriteAt(0, header, sizeof header) && m_sink.Close();
}

std::string CCapWriter::Abandon() {
  if (!m_sink.IsOpen()) return "";
  if (m_strErr.empty()) m_strErr = m_sink.Error();
  if (!OutputFailed() && m_sink.Created()) {
    m_sink.Remove();
    return "";
  }
  if (!m_sink.IsFile()) {
    m_sink.Abandon();
    return "";
  }
  m_sink.Flush();  // the whole records still buffered, as far as they go
  m_sink.ClearFailure();
  size_t kept = 0;
  if (!Mend(m_sink, m_headerTime, m_table, vxcap::kHeaderSize + m_cbRecords, &kept))
    return m_sink.Path() + " could not be made a valid capture: " + m_sink.Error();
  return KeptFramesText(m_sink.Path(), kept);
}

bool CCapWriter::Mend(CFileSink& sink, const SYSTEMTIME& headerTime,
                      const std::vector<DWORD>& starts, uint64_t recordsEnd, size_t* kept) {
  auto endOf = [&](size_t k) -> uint64_t {
    return k == 0 ? vxcap::kHeaderSize : k < starts.size() ? starts[k] : recordsEnd;
  };
  const uint64_t written = sink.Written();
  // The most records that ends within what was written.
  size_t lo = 0, hi = starts.size();
  while (lo < hi) {
    const size_t mid = hi - (hi - lo) / 2;
    if (endOf(mid) <= written)
      lo = mid;
    else
      hi = mid - 1;
  }
  size_t k = lo;
  auto put = [&](size_t n) {
    BYTE chunk[4096];
    size_t fill = 0;
    uint64_t off = endOf(n);
    for (size_t i = 0; i < n; ++i) {
      vxcap::EncodeTableEntry(chunk + fill, starts[i]);
      fill += vxcap::kTableEntrySize;
      if (fill == sizeof chunk || i + 1 == n) {
        if (!sink.WriteAt(off, chunk, fill)) return false;
        off += fill;
        fill = 0;
      }
    }
    BYTE header[vxcap::kHeaderSize];
    vxcap::EncodeHeader(header, headerTime, static_cast<DWORD>(endOf(n)),
                        static_cast<DWORD>(n * vxcap::kTableEntrySize));
    return sink.WriteAt(0, header, sizeof header);
  };
  if (!put(k)) {
    // No room behind the records: the table goes where the last records were.
    sink.ClearFailure();
    while (k > 0 && endOf(k) + k * vxcap::kTableEntrySize > written) --k;
    if (!put(k)) return false;
  }
  *kept = k;
  return sink.Truncate(endOf(k) + k * vxcap::kTableEntrySize) && sink.Close();
}
