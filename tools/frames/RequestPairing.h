// Pairs requests with their responses, frame by frame in capture order: which response
// answers which request and after how long, which response has no request, and which
// request got no answer (given up for a reused invoke id, timed out, or still waiting at
// the end).
//
// A request is answered by the first response with its invoke id and command that comes
// from its target back to its sender. A request to the loopback NetId is also answered from
// another NetId (the server answers from its own), as long as no request to that NetId
// waits under the same key. Requests to two targets are two requests, whatever their
// invoke ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>
#include <vector>

#include "frames/CapRecord.h"
#include "frames/KrpDecode.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

// A request as it is remembered until its answer.
struct PairedRequest {
  uint64_t nFrame = 0;
  LONGLONG nTime = 0;  // file time, 100 ns units
  NmxAddr sender;
  NmxAddr target;
  WORD cmdId = 0;
  WORD stateFlags = 0;  // as in the request's header (NMX_FLAG_KRP_COMMAND tells KRP commands)
  DWORD invokeId = 0;
  bool bHasIndexGroup = false;  // Read, Write, ReadWrite, AddDeviceNotification
  DWORD nIndexGroup = 0;
};

// What a frame is to the pairing.
enum class PairRole {
  kRequest,       // expects a response
  kResponse,      // NMX_FLAG_RESPONSE
  kNotification,  // a DeviceNotification: one-way
  kOther,         // a command of the router system itself
};

// What a response was found to answer.
enum class PairAnswer {
  kNone,       // not a response
  kAnswers,    // answers `request`
  kLate,       // answers `request`, which had already been reported as timed out
  kNoRequest,  // no request waits for it
};

// What Feed concluded about one frame.
struct PairingResult {
  PairRole role = PairRole::kOther;
  bool bError = false;  // an NMX error, or a KRP result other than 0

  // A response.
  PairAnswer answer = PairAnswer::kNone;
  PairedRequest request;       // kAnswers and kLate; for a request, the request itself
  int64_t nResponseTicks = 0;  // response time - request time, 100 ns units; negative
                               // where the clock went back between them

  // A request.
  bool bTracked = false;           // remembered until its answer; false when the table was full
  bool bReplaced = false;          // an earlier request under the same key had no answer yet: it is
                                   // given up as reused and this one waits in its place
  bool bReplacedTimedOut = false;  // ...and had already been reported as timed out
  PairedRequest replaced;

  // Response time in whole microseconds, rounded down (never below 0).
  uint64_t ResponseMicros() const;
};

// Memory is bounded by the requests waiting for an answer: at most maxWaiting, and while the
// table is full a new request is not remembered (bTracked false, counted in Untracked()).
// The newest maxTimedOut requests that timed out stay known, so that a late answer is told
// as one; an older one's answer has no request. Not thread-safe.
class CRequestPairing {
 public:
  static constexpr size_t kDefaultMaxWaiting = size_t{1} << 20;
  static constexpr size_t kDefaultMaxTimedOut = 4096;

  using UnansweredFn = std::function<void(const PairedRequest&)>;

  explicit CRequestPairing(size_t maxWaiting = kDefaultMaxWaiting,
                           size_t maxTimedOut = kDefaultMaxTimedOut);

  // The next frame in capture order. nFrame and nTime are the caller's (frame number, file
  // time); krp is the frame's decoded payload (DecodeKrpPayload).
  PairingResult Feed(uint64_t nFrame, LONGLONG nTime, const NmxHead& head, const KrpPayload& krp);
  PairingResult Feed(const CapFrame& f, const KrpPayload& krp) {
    return Feed(f.nIndex, f.nTimeStamp, f.head, krp);
  }

  // Reports, oldest first, each waiting request for which more than timeoutTicks have
  // passed at nNow, once; they no longer wait. Requests are taken in the order they came,
  // so one with a later time in front of older ones (a clock that went back) holds them
  // until its own turn.
  void Expire(LONGLONG nNow, LONGLONG timeoutTicks, const UnansweredFn& onTimedOut);

  // The end of the capture: reports every request still waiting, oldest first, and forgets
  // everything, timed-out requests too. The pairing can then start again.
  void Finish(const UnansweredFn& onUnanswered);

  size_t Waiting() const { return m_waiting.size(); }
  uint64_t Untracked() const { return m_nUntracked; }

  // An NMX error in the header, or a KRP result other than 0.
  static bool IsError(const NmxHead& head, const KrpPayload& krp);
  static PairRole RoleOf(const NmxHead& head);

 private:
  struct Entry {
    PairedRequest req;
    bool bTimedOut = false;
  };
  using List = std::list<Entry>;
  // Everything but the target's NetId: the responder is found by port, and the NetId
  // chosen among the entries under one key.
  struct Key {
    uint64_t requester;  // NetId and port
    uint32_t portAndCmd;
    uint32_t invokeId;
    uint16_t krpFlag;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const;
  };
  using Index = std::unordered_map<Key, std::vector<List::iterator>, KeyHash>;

  static Key RequestKey(const PairedRequest& r);
  // Takes e out of the index and out of its list.
  void Forget(List& list, List::iterator e);
  void ForgetOldestTimedOut();

  size_t m_nMaxWaiting;
  size_t m_nMaxTimedOut;
  List m_waiting;   // in the order they came
  List m_timedOut;  // in the order they timed out
  Index m_index;
  uint64_t m_nUntracked = 0;
};
