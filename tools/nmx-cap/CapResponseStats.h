// What stats reports about the requests of a capture: per target and command (and index
// group for Read, Write and ReadWrite) the requests, their answers, errors by code and
// response times; the slowest requests; the requests without an answer.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "frames/CapRecord.h"
#include "frames/KrpDecode.h"
#include "frames/RequestPairing.h"

// Response-time percentiles are exact (nearest rank over whole microseconds) without keeping
// a time per request: the first pass over the frames counts and finds each row's minimum
// and maximum, and each further pass over the same frames (BeginPass, Pass, EndPass while
// NeedsPass) counts the times of the range that holds a percentile in kBuckets equal parts
// and keeps only the part that holds it, until it is one microsecond wide. Times up to
// kBuckets microseconds apart take one further pass, up to 16 s apart two. Memory is bounded
// by the requests waiting for an answer (the pairing) and fixed limits: kMaxRows rows
// (further targets and commands count together), kMaxListed requests listed without an
// answer, kMaxErrorCodes codes per row. Not thread-safe.
class CCapResponseStats {
 public:
  static constexpr size_t kMaxRows = 1024;
  static constexpr size_t kMaxListed = 1000;
  static constexpr size_t kMaxErrorCodes = 16;
  static constexpr size_t kBuckets = 4096;
  // Percentile searches counted in one pass: 32 KiB each.
  static constexpr size_t kMaxSearchesPerPass = 256;

  // timeoutTicks > 0: a request without an answer for that long (100 ns units) counts as
  // unanswered, and an answer after it as late. slowest: how many of the slowest are listed.
  explicit CCapResponseStats(LONGLONG timeoutTicks = 0, size_t slowest = 10);

  // The first pass: every frame in capture order, then End.
  void Add(const CapFrame& f, const KrpPayload& krp);
  void End();

  bool NeedsPass() const;
  void BeginPass();
  // The same frames as the first pass, in the same order.
  void Pass(const CapFrame& f, const KrpPayload& krp);
  // False when the pass did not see the frames of the first (the file changed in between);
  // the searches then end where they are.
  bool EndPass();

  void PrintText(std::ostream& out) const;
  // One JSON object and a line end.
  void PrintJson(std::ostream& out) const;

 private:
  // One percentile of one row being searched: its rank among the row's answered requests
  // and the range of microseconds known to hold it.
  struct Search {
    uint64_t nRank = 0;   // from 1
    uint64_t nBelow = 0;  // answered requests faster than nLo
    uint64_t nLo = 0;
    uint64_t nHi = 0;  // inclusive
    bool bCounting = false;
    std::vector<uint64_t> counts;  // while bCounting

    bool Done() const { return nLo == nHi; }
    uint64_t Width() const;  // microseconds per bucket
  };
  struct Row {
    uint64_t target = 0;  // AddrKey; kOthers for the rows beyond kMaxRows
    uint32_t cmd = 0;     // command id, 0x10000 for a KRP command
    bool bHasGroup = false;
    DWORD nGroup = 0;
    uint64_t nRequests = 0;
    uint64_t nAnswered = 0;  // within the time-out
    uint64_t nUnanswered = 0;
    uint64_t nLate = 0;
    uint64_t nUntracked = 0;
    uint64_t nNoRequest = 0;
    uint64_t nErrors = 0;
    std::map<std::string, uint64_t> errorCodes;  // "nmx:11", "krp:0x700", "other"
    uint64_t nMinUs = UINT64_MAX;
    uint64_t nMaxUs = 0;
    Search p50;
    Search p99;
  };
  struct Listed {
    PairedRequest req;
    const char* szWhy;
  };
  struct Slow {
    uint64_t nUs;
    uint64_t nResponseFrame;
    PairedRequest req;
  };

  size_t RowOf(const PairedRequest& req, bool create) {
    return RowOf(req.target, req.cmdId, req.stateFlags, req.bHasIndexGroup, req.nIndexGroup,
                 create);
  }
  size_t RowOf(const NmxAddr& target, WORD cmdId, WORD flags, bool hasGroup, DWORD group,
               bool create);
  void CountError(Row& r, const NmxHead& h, const KrpPayload& krp);
  void ListUnanswered(const PairedRequest& req, const char* why);
  void Count(Search& s, uint64_t us);
  static std::string RowCommand(const Row& r);
  static std::string RowTarget(const Row& r);
  static std::string RequestCommand(const PairedRequest& req);
  // The percentile's value, or -1 when the row has no answer.
  static int64_t Value(const Row& r, const Search& s);

  const LONGLONG m_nTimeout;
  const size_t m_nSlowest;
  CRequestPairing m_pairing;
  CRequestPairing m_passPairing;
  // Target, command (with the KRP flag as 0x10000), index group or none.
  using RowKey = std::tuple<uint64_t, uint32_t, bool, DWORD>;
  std::map<RowKey, size_t> m_rowIndex;
  std::vector<Row> m_rows;
  size_t m_nOthersRow = SIZE_MAX;
  std::vector<Listed> m_listed;  // a max-heap by frame: the first kMaxListed
  uint64_t m_nUnanswered = 0;
  std::vector<Slow> m_slowest;  // a min-heap by time: the slowest m_nSlowest
  uint64_t m_nFrames = 0;
  uint64_t m_nPassFrames = 0;
};
