// CPacketAssembler: the frame records of a view, put together again from the capture packets
// the logger sends (a 24-byte header and record data; a record may span packets).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "os/OsTypes.h"

// Not thread-safe. Every length in a packet is checked before it is used.
class CPacketAssembler {
 public:
  // Largest record accepted; a record claiming more ends its sequence as malformed.
  static constexpr DWORD kMaxRecord = 64u << 20;

  // Receives each whole, well-formed record (size bytes, valid during the call).
  typedef std::function<void(const BYTE* record, DWORD size)> RecordSink;

  // Adds one packet of n bytes. Whole records go to sink in order. False when frames were
  // lost: the packet is malformed, does not continue the sequence in progress, or starts a
  // new one while a record was incomplete; *problem then says so, and what was pending is
  // dropped.
  bool Add(const BYTE* packet, size_t n, const RecordSink& sink, std::string* problem);

  // Bytes of a record that is not complete yet.
  size_t Pending() const { return m_partial.size(); }

 private:
  void Reset();

  std::vector<BYTE> m_partial;
  bool m_bInSequence = false;
  WORD m_nId = 0;
  WORD m_nNext = 0;
};
