// Writes a pcapng file or stream of Ethernet frames: a section header, one interface whose
// time stamps are nanoseconds (if_tsresol 9), and an enhanced packet block per frame.
#pragma once

#include <cstdint>
#include <string>

#include "frames/FileSink.h"
#include "os/OsTypes.h"

// Not thread-safe.
class CPcapngWriter {
 public:
  static constexpr DWORD kLinkTypeEthernet = 1;
  static constexpr BYTE kTsResolNanoseconds = 9;

  // application names the writer in the section header.
  bool Create(const std::string& path, const char* application = "nmx-cap");
  // The same into a stream that a reader takes as it is written (a FIFO): packets reach it
  // at each Flush. keepWaiting as for CFileSink::OpenStream.
  bool CreateStream(const std::string& path, const char* application,
                    const std::function<bool()>& keepWaiting = {});

  // Starts a packet of cbPacket bytes stamped ns nanoseconds after 1970-01-01 UTC; its
  // bytes follow through Write, then EndPacket.
  bool BeginPacket(uint64_t ns, DWORD cbPacket);
  bool Write(const void* p, size_t n);
  bool EndPacket();
  bool Flush() { return m_sink.Flush(); }
  // The reader of a stream has gone.
  bool ReaderGone() { return m_sink.ReaderGone(); }

  // Writes out what is buffered and closes (a file is synced first); false if anything failed.
  bool Finish();
  void Discard() { m_sink.Discard(); }

  const std::string& Error() const { return m_strErr.empty() ? m_sink.Error() : m_strErr; }

 private:
  bool WriteHeader(const char* application);

  CFileSink m_sink;
  DWORD m_cbPacket = 0;
  DWORD m_cbWritten = 0;
  DWORD m_cbBlock = 0;
  bool m_bInPacket = false;
  std::string m_strErr;
};
