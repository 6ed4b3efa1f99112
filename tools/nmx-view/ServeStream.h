// CServeStream: the events on their way to one open page, as Server-Sent Events. Bounded: a
// page that does not keep up loses frame events (counted, and told to the page), never the
// state, and never anything the logger captures.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "os/OsTypes.h"

// Thread-safe: the hub's worker pushes, one server thread takes.
class CServeStream {
 public:
  explicit CServeStream(size_t maxBytes = 8u << 20) : m_nMaxBytes(maxBytes) {}

  // A frame (or any event a page may miss) named event with data json; dropped and counted
  // when the queue is full.
  void PushFrame(const char* event, const std::string& json);
  // The state replaces any state not yet taken.
  void PushState(const std::string& json);

  // Waits up to ms for events and appends them to *out in the text/event-stream format, a
  // "dropped" event first when frames were dropped since the last take. False once closed
  // and empty.
  bool Take(std::string* out, DWORD ms);
  // Ends the stream: Take returns what is left, then false.
  void Close();

  uint64_t Dropped() const;

 private:
  const size_t m_nMaxBytes;
  mutable std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<std::string> m_events;  // formatted
  size_t m_nBytes = 0;
  std::string m_state;  // formatted, empty when taken
  uint64_t m_nDropped = 0;
  uint64_t m_nDroppedTold = 0;
  bool m_bClosed = false;
};
