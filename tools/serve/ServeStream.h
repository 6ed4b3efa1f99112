// CServeStream: the events on their way to one open page, as Server-Sent Events. Bounded: a
// page that does not keep up loses frame events (counted, and told to the page), never the
// state, and never anything the logger captures. They are handed out in batches of a bounded
// size, so what is on its way to a page at once stays small too.
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
  static constexpr size_t kMaxBytes = 8u << 20;
  static constexpr size_t kBatchBytes = 64u << 10;

  explicit CServeStream(size_t maxBytes = kMaxBytes, size_t batchBytes = kBatchBytes)
      : m_nMaxBytes(maxBytes), m_nBatchBytes(batchBytes) {}

  // A frame (or any event a page may miss) named event with data json; dropped and counted
  // when the queue is full.
  void PushFrame(const char* event, const std::string& json);
  // The state replaces any state not yet taken.
  void PushState(const std::string& json);
  // Whether an event of cb bytes would be queued now; one that would not is counted as
  // dropped with Drop, without being made.
  bool HasRoom(size_t cb) const;
  void Drop();

  // Waits up to ms for events and appends them to *out in the text/event-stream format: a
  // "dropped" event first when frames were dropped since the last take, the state, then the
  // oldest events up to the batch size (at least one). False once closed and empty.
  bool Take(std::string* out, DWORD ms);
  // Ends the stream: Take returns what is left, then false.
  void Close();

  uint64_t Dropped() const;

 private:
  const size_t m_nMaxBytes;
  const size_t m_nBatchBytes;
  mutable std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<std::string> m_events;  // formatted
  size_t m_nBytes = 0;
  std::string m_state;  // formatted, empty when taken
  uint64_t m_nDropped = 0;
  uint64_t m_nDroppedTold = 0;
  bool m_bClosed = false;
};
