// CFrameTrigger: watches frames as they are captured for the first one that matches what the
// user asked for (an error, a slow response, a request left without an answer, or the frames
// of an address, port, command or index group), then counts the frames that follow it until
// the capture is due to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "frames/RequestPairing.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

// What a trigger waits for: every condition given must hold for one frame.
//   error           an NMX error, or a KRP result other than 0
//   slow:MS         a response that came more than MS milliseconds after its request
//   unanswered:MS   a request without an answer MS milliseconds after it
//   address:NETID   from or to that NetId (or a NetId that starts with those numbers)
//   port:N          from or to that port
//   command:NAME    that KRP command (Read, Write, ... in any case) or command number
//   group:G         that index group (decimal or 0x...), of a request or of the request a
//                   response answers
struct TriggerSpec {
  std::string text;  // as given
  bool bError = false;
  bool bSlow = false;
  DWORD nSlowMs = 0;
  bool bUnanswered = false;
  DWORD nUnansweredMs = 0;
  std::string address;  // empty: any
  bool bPort = false;
  WORD nPort = 0;
  bool bCommand = false;
  WORD nCommand = 0;
  bool bGroup = false;
  DWORD nGroup = 0;

  // Conditions that pair requests with responses.
  bool NeedsPairing() const { return bSlow || bUnanswered || bGroup; }
};

// "error,port:851" and the like; false with *error saying what is wrong.
bool ParseTriggerSpec(const std::string& what, TriggerSpec* spec, std::string* error);

// When the capture is to stop once the trigger fired: after that many more frames, or after
// that much time.
struct TriggerStop {
  uint64_t nFrames = 0;
  DWORD nMs = 0;
  bool bByTime = false;  // nMs counts, not nFrames
};

// The frame that fired a trigger, enough to find it again in a capture file.
struct TriggerFrame {
  uint64_t nFrame = 0;  // as the caller numbered it
  LONGLONG nTime = 0;   // file time
  NmxAddr sender;
  NmxAddr target;
  WORD cmdId = 0;
  WORD stateFlags = 0;
  DWORD invokeId = 0;
  std::string line;  // as nmx-cap dump prints it (numbered nFrame), or its start
  std::string why;   // "error", "answered after 12.345 ms", "no answer within 50 ms"
};

// Not thread-safe: one thread feeds it.
class CFrameTrigger {
 public:
  typedef std::chrono::steady_clock Clock;

  CFrameTrigger(const TriggerSpec& spec, const TriggerStop& stop);

  // The next whole record (size bytes) in capture order, numbered nFrame by the caller.
  // True when this call fired the trigger.
  bool Frame(uint64_t nFrame, const BYTE* record, DWORD size);
  // Time passes without frames: a request may go unanswered meanwhile (its time-out is
  // reckoned from the newest frame's time and the time since it came), and a stop by time
  // may come due. True when this call fired the trigger.
  bool Tick(Clock::time_point now = Clock::now());

  bool Fired() const { return m_bFired; }
  // Fired, and the frames or the time after it have come.
  bool StopDue(Clock::time_point now = Clock::now()) const;
  const TriggerFrame& Trigger() const { return m_trigger; }
  uint64_t FramesAfter() const { return m_nAfter; }
  const TriggerSpec& Spec() const { return m_spec; }
  const TriggerStop& Stop() const { return m_stop; }

 private:
  // The conditions that a frame's own fields decide.
  bool Matches(const NmxHead& head, const KrpPayload& krp, const PairingResult& pairing) const;
  void Fire(const PairedRequest& request, const std::string& why);
  bool Expire(LONGLONG now);

  const TriggerSpec m_spec;
  const TriggerStop m_stop;
  std::unique_ptr<CRequestPairing> m_pairing;
  // Requests that match the other conditions, waiting for their answer (frame numbers).
  std::unordered_set<uint64_t> m_watched;
  bool m_bFired = false;
  TriggerFrame m_trigger;
  uint64_t m_nAfter = 0;
  Clock::time_point m_firedAt;
  bool m_bHaveTime = false;
  LONGLONG m_nLastTime = 0;  // the newest frame's time
  Clock::time_point m_lastSeen;
};
