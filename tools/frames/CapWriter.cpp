#include "frames/CapWriter.h"

#include "capture/CaptureFormat.h"

bool CCapWriter::Create(const std::string& path, const SYSTEMTIME& headerTime) {
  m_headerTime = headerTime;
  if (!m_sink.Create(path)) return false;
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
