#include "frames/PcapngWriter.h"

#include <cstring>
#include <vector>

#include "frames/TextFormat.h"
#include "os/ByteOrder.h"

namespace {

constexpr DWORD kShbType = 0x0A0D0D0A;
constexpr DWORD kByteOrderMagic = 0x1A2B3C4D;
constexpr DWORD kIdbType = 1;
constexpr DWORD kEpbType = 6;
constexpr DWORD kIsbType = 5;
constexpr WORD kOptIsbStartTime = 2;
constexpr WORD kOptIsbEndTime = 3;
constexpr WORD kOptIsbIfRecv = 4;
constexpr WORD kOptIsbIfDrop = 5;
constexpr WORD kOptEndOfOpt = 0;
constexpr WORD kOptShbUserAppl = 4;
constexpr WORD kOptIfName = 2;
constexpr WORD kOptIfTsResol = 9;
constexpr char kIfName[] = "nmx";

// Little-endian block body builder; options are padded to 32 bits.
class CBlock {
 public:
  void U16(WORD v) {
    BYTE b[2];
    vx::EncodeLE16(b, v);
    m_bytes.insert(m_bytes.end(), b, b + 2);
  }
  void U32(DWORD v) {
    BYTE b[4];
    vx::EncodeLE32(b, v);
    m_bytes.insert(m_bytes.end(), b, b + 4);
  }
  void U64(uint64_t v) {
    BYTE b[8];
    vx::EncodeLE64(b, v);
    m_bytes.insert(m_bytes.end(), b, b + 8);
  }
  void Option(WORD code, const void* p, WORD n) {
    U16(code);
    U16(n);
    const BYTE* b = static_cast<const BYTE*>(p);
    m_bytes.insert(m_bytes.end(), b, b + n);
    m_bytes.resize(m_bytes.size() + (4 - n % 4) % 4, 0);
  }
  void Option64(WORD code, uint64_t v) {
    BYTE b[8];
    vx::EncodeLE64(b, v);
    Option(code, b, sizeof b);
  }
  // A time stamp as the packet blocks have it: the high 32 bits first.
  void OptionTime(WORD code, uint64_t ns) {
    BYTE b[8];
    vx::EncodeLE32(b, static_cast<DWORD>(ns >> 32));
    vx::EncodeLE32(b + 4, static_cast<DWORD>(ns));
    Option(code, b, sizeof b);
  }
  // The block with its type and both length fields.
  std::vector<BYTE> Finish(DWORD type) const {
    CBlock b;
    const DWORD total = static_cast<DWORD>(m_bytes.size()) + 12;
    b.U32(type);
    b.U32(total);
    b.m_bytes.insert(b.m_bytes.end(), m_bytes.begin(), m_bytes.end());
    b.U32(total);
    return b.m_bytes;
  }

 private:
  std::vector<BYTE> m_bytes;
};

}  // namespace

bool CPcapngWriter::Create(const std::string& path, const char* application) {
  return CreateStream(path, application);
}

bool CPcapngWriter::CreateStream(const std::string& path, const char* application,
                                 const std::function<bool()>& keepWaiting) {
  return m_sink.Create(path, CFileSink::Writes::kInOrder, keepWaiting) && WriteHeader(application);
}

bool CPcapngWriter::CreateOutput(std::ostream& out, const std::string& name,
                                 const char* application) {
  return m_sink.OpenOutput(out, name) && WriteHeader(application);
}

bool CPcapngWriter::WriteHeader(const char* application) {
  CBlock shb;
  shb.U32(kByteOrderMagic);
  shb.U16(1);             // major version
  shb.U16(0);             // minor version
  shb.U64(~uint64_t{0});  // section length not given
  shb.Option(kOptShbUserAppl, application, static_cast<WORD>(strnlen(application, 256)));
  shb.Option(kOptEndOfOpt, nullptr, 0);
  CBlock idb;
  idb.U16(kLinkTypeEthernet);
  idb.U16(0);  // reserved
  idb.U32(0);  // no snapshot length limit
  idb.Option(kOptIfName, kIfName, sizeof kIfName - 1);
  idb.Option(kOptIfTsResol, &kTsResolNanoseconds, 1);
  idb.Option(kOptEndOfOpt, nullptr, 0);
  const std::vector<BYTE> a = shb.Finish(kShbType);
  const std::vector<BYTE> b = idb.Finish(kIdbType);
  if (!m_sink.Write(a.data(), a.size()) || !m_sink.Write(b.data(), b.size())) return false;
  m_ends.push_back({m_sink.Position(), 0});
  return true;
}

bool CPcapngWriter::BeginPacket(uint64_t ns, DWORD cbPacket) {
  if (m_bInPacket) {
    m_strErr = m_sink.Path() + ": internal error: a packet was not completed";
    return false;
  }
  const uint64_t block = 32 + ((uint64_t{cbPacket} + 3) & ~uint64_t{3});
  if (block > 0xFFFFFFFFull) {
    m_strErr = m_sink.Path() + ": a frame too large for a pcapng block";
    return false;
  }
  BYTE head[28];
  vx::EncodeLE32(head, kEpbType);
  vx::EncodeLE32(head + 4, static_cast<DWORD>(block));
  vx::EncodeLE32(head + 8, 0);  // interface 0
  vx::EncodeLE32(head + 12, static_cast<DWORD>(ns >> 32));
  vx::EncodeLE32(head + 16, static_cast<DWORD>(ns));
  vx::EncodeLE32(head + 20, cbPacket);  // captured length
  vx::EncodeLE32(head + 24, cbPacket);  // original length
  m_bInPacket = true;
  m_cbPacket = cbPacket;
  m_cbWritten = 0;
  m_cbBlock = static_cast<DWORD>(block);
  return m_sink.Write(head, sizeof head);
}

bool CPcapngWriter::Write(const void* p, size_t n) {
  if (!m_bInPacket || n > m_cbPacket - m_cbWritten) {
    m_strErr = m_sink.Path() + ": internal error: more packet bytes than announced";
    return false;
  }
  m_cbWritten += static_cast<DWORD>(n);
  return m_sink.Write(p, n);
}

bool CPcapngWriter::EndPacket() {
  if (!m_bInPacket || m_cbWritten != m_cbPacket) {
    m_strErr = m_sink.Path() + ": internal error: a packet was not completed";
    return false;
  }
  m_bInPacket = false;
  BYTE tail[8] = {};
  const size_t pad = (4 - m_cbPacket % 4) % 4;
  vx::EncodeLE32(tail + pad, m_cbBlock);
  if (!m_sink.Write(tail, pad + 4)) return false;
  ++m_nPackets;
  m_ends.push_back({m_sink.Position(), m_nPackets});
  while (m_ends.size() > 1 && m_ends[1].nEnd <= m_sink.Written()) m_ends.pop_front();
  return true;
}

bool CPcapngWriter::WriteStatistics(const PcapngStatistics& st) {
  if (m_bInPacket) {
    m_strErr = m_sink.Path() + ": internal error: a packet was not completed";
    return false;
  }
  CBlock isb;
  isb.U32(0);  // interface 0
  isb.U32(static_cast<DWORD>(st.nTakenNs >> 32));
  isb.U32(static_cast<DWORD>(st.nTakenNs));
  if (st.startNs) isb.OptionTime(kOptIsbStartTime, *st.startNs);
  if (st.endNs) isb.OptionTime(kOptIsbEndTime, *st.endNs);
  if (st.received) isb.Option64(kOptIsbIfRecv, *st.received);
  if (st.dropped) isb.Option64(kOptIsbIfDrop, *st.dropped);
  isb.Option(kOptEndOfOpt, nullptr, 0);
  const std::vector<BYTE> b = isb.Finish(kIsbType);
  if (!m_sink.Write(b.data(), b.size())) return false;
  m_ends.push_back({m_sink.Position(), m_nPackets});
  while (m_ends.size() > 1 && m_ends[1].nEnd <= m_sink.Written()) m_ends.pop_front();
  return true;
}

bool CPcapngWriter::Finish() {
  if (m_bInPacket && m_strErr.empty())
    m_strErr = m_sink.Path() + ": internal error: a packet was not completed";
  if (!m_strErr.empty()) return false;
  return m_sink.Close();
}

std::string CPcapngWriter::Abandon() {
  if (!m_sink.IsOpen()) return "";
  if (m_strErr.empty()) m_strErr = m_sink.Error();
  if (!m_sink.Failed() && m_sink.Created()) {
    m_sink.Remove();
    return "";
  }
  if (!m_ends.empty()) {
    m_sink.DropFrom(m_ends.back().nEnd);  // a packet not completed
    m_sink.Flush();
  }
  if (!m_sink.IsFile()) {
    m_sink.Abandon();
    return "";
  }
  BlockEnd kept{0, 0};
  for (const BlockEnd& e : m_ends)
    if (e.nEnd <= m_sink.Written()) kept = e;
  m_sink.ClearFailure();
  if (!m_sink.Truncate(kept.nEnd) || !m_sink.Close())
    return m_sink.Path() + " could not be cut to its whole packets: " + m_sink.Error();
  return KeptFramesText(m_sink.Path(), kept.nPackets);
}
