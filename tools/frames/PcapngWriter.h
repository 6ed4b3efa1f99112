// Writes a pcapng file or stream of Ethernet frames: a section header, one interface whose
// time stamps are nanoseconds (if_tsresol 9), an enhanced packet block per frame, and at the
// end, where the writer knows them, the interface's statistics.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>

#include "frames/FileSink.h"
#include "os/OsTypes.h"

// The numbers of an interface statistics block, in nanoseconds since 1970-01-01 UTC and
// frames; what is not known is left out of the block.
struct PcapngStatistics {
  uint64_t nTakenNs = 0;  // when the numbers were taken
  std::optional<uint64_t> startNs;
  std::optional<uint64_t> endNs;
  std::optional<uint64_t> received;  // isb_ifrecv
  std::optional<uint64_t> dropped;   // isb_ifdrop
};

// Not thread-safe.
class CPcapngWriter {
 public:
  static constexpr DWORD kLinkTypeEthernet = 1;
  static constexpr BYTE kTsResolNanoseconds = 9;

  // application names the writer in the section header. path may be a FIFO or a device
  // too (CFileSink::Create).
  bool Create(const std::string& path, const char* application = "nmx-cap");
  // The same into a stream that a reader takes as it is written (a FIFO): packets reach it
  // at each Flush. keepWaiting as for CFileSink::Create.
  bool CreateStream(const std::string& path, const char* application,
                    const std::function<bool()>& keepWaiting = {});
  // Into out (standard output); name stands for it in messages.
  bool CreateOutput(std::ostream& out, const std::string& name, const char* application);

  // Starts a packet of cbPacket bytes stamped ns nanoseconds after 1970-01-01 UTC; its
  // bytes follow through Write, then EndPacket.
  bool BeginPacket(uint64_t ns, DWORD cbPacket);
  bool Write(const void* p, size_t n);
  bool EndPacket();
  // An interface statistics block; it belongs after the last packet.
  bool WriteStatistics(const PcapngStatistics& st);
  bool Flush() { return m_sink.Flush(); }
  // The reader of a stream has gone.
  bool ReaderGone() { return m_sink.ReaderGone(); }

  // Writes out what is buffered and closes (a file is synced first); false if anything failed.
  bool Finish();
  // Ends the output after a failure. Where the output failed, or was there before, it keeps
  // the packets that reached it whole: a file is cut behind the last of them, a stream gets
  // none of a packet that was not completed; after any other failure a file this writer
  // created is removed. Returns what became of a file for the message ("OUT keeps the 12
  // frames written before"), or ""; Error() keeps the failure.
  std::string Abandon();

  const std::string& Error() const { return m_strErr.empty() ? m_sink.Error() : m_strErr; }

 private:
  bool WriteHeader(const char* application);

  // Where whole blocks end in the output, and the packets before each; the first entry is
  // the last such end that has reached the output.
  struct BlockEnd {
    uint64_t nEnd;
    uint64_t nPackets;
  };

  CFileSink m_sink;
  DWORD m_cbPacket = 0;
  DWORD m_cbWritten = 0;
  DWORD m_cbBlock = 0;
  bool m_bInPacket = false;
  uint64_t m_nPackets = 0;
  std::deque<BlockEnd> m_ends;
  std::string m_strErr;
};
