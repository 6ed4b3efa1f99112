// The pairing rules, each as a short capture fed frame by frame: what every frame was found
// to be, and which requests were reported without an answer and when.
#include "frames/RequestPairing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nmx/KrpTypes.h"
#include "nmx/NmxTypes.h"

namespace {

const NmxAddr kClient({{10, 0, 0, 1, 1, 1}}, 32768);
const NmxAddr kServer({{10, 0, 0, 2, 1, 1}}, 851);
const NmxAddr kServer2({{10, 0, 0, 3, 1, 1}}, 851);
const NmxAddr kServerPort852({{10, 0, 0, 2, 1, 1}}, 852);
const NmxAddr kLoopback({{127, 0, 0, 1, 1, 1}}, 851);
const NmxAddr kLoopbackClient({{127, 0, 0, 0, 1, 1}}, 32768);

// One step of a case: a frame fed (its number is its place in the case), an expiry, or the
// end. expect is what the step yields, as Describe writes it.
struct Step {
  enum Op { kReq, kRes, kNotify, kExpire, kFinish } op;
  NmxAddr from;
  NmxAddr to;
  WORD cmd = KRP_CMD_READ;
  DWORD invoke = 0;
  LONGLONG t = 0;  // 100 ns units; for kExpire the time now (the time-out is 1000 = 100 us)
  const char* expect = "";
  LONG nmxError = 0;
  DWORD krpResult = 0;
};

std::string Describe(const PairingResult& r) {
  std::string s;
  if (r.role == PairRole::kNotification) return "notification";
  if (r.role == PairRole::kRequest) {
    s = r.bTracked ? "waits" : "untracked";
    if (r.bReplaced)
      s += ", replaces " + std::to_string(r.replaced.nFrame) +
           (r.bReplacedTimedOut ? " (timed out)" : "");
  } else if (r.answer == PairAnswer::kNoRequest) {
    s = "no request";
  } else {
    s = std::string(r.answer == PairAnswer::kLate ? "late for " : "answers ") +
        std::to_string(r.request.nFrame) + " after " + std::to_string(r.ResponseMicros()) + "us";
  }
  if (r.bError) s += ", error";
  return s;
}

std::string FramesOf(const std::vector<PairedRequest>& v) {
  std::string s = "unanswered";
  for (const PairedRequest& r : v) s += " " + std::to_string(r.nFrame);
  return s;
}

struct Case {
  const char* name;
  std::vector<Step> steps;
  size_t maxWaiting = CRequestPairing::kDefaultMaxWaiting;
};

TEST(RequestPairing, RulesFrameByFrame) {
  using S = Step;
  const Case cases[] = {
      {"a response answers its request",
       {{S::kReq, kClient, kServer, KRP_CMD_READ, 1, 0, "waits"},
        {S::kRes, kServer, kClient, KRP_CMD_READ, 1, 730, "answers 0 after 73us"},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered"}}},
      {"a reused invoke id gives up the first request",
       {{S::kReq, kClient, kServer, KRP_CMD_READ, 7, 0, "waits"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 7, 100, "waits, replaces 0"},
        {S::kRes, kServer, kClient, KRP_CMD_READ, 7, 600, "answers 1 after 50us"},
        {S::kRes, kServer, kClient, KRP_CMD_READ, 7, 700, "no request"},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered"}}},
      {"a response without a request, or from another port or for another command",
       {{S::kRes, kServer, kClient, KRP_CMD_READ, 3, 0, "no request"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 4, 10, "waits"},
        {S::kRes, kServerPort852, kClient, KRP_CMD_READ, 4, 20, "no request"},
        {S::kRes, kServer, kClient, KRP_CMD_WRITE, 4, 30, "no request"},
        {S::kRes, kClient, kServer, KRP_CMD_READ, 4, 40, "no request"},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered 1"}}},
      {"requests never answered are reported at the end, oldest first",
       {{S::kReq, kClient, kServer, KRP_CMD_READ, 1, 0, "waits"},
        {S::kReq, kClient, kServer, KRP_CMD_WRITE, 2, 10, "waits"},
        {S::kRes, kServer, kClient, KRP_CMD_WRITE, 2, 20, "answers 1 after 1us"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 3, 30, "waits"},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered 0 3"}}},
      {"two targets with the same invoke id are two requests",
       {{S::kReq, kClient, kServer, KRP_CMD_READ, 5, 0, "waits"},
        {S::kReq, kClient, kServer2, KRP_CMD_READ, 5, 10, "waits"},
        {S::kRes, kServer2, kClient, KRP_CMD_READ, 5, 110, "answers 1 after 10us"},
        {S::kRes, kServer, kClient, KRP_CMD_READ, 5, 200, "answers 0 after 20us"},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered"}}},
      {"a request to the loopback NetId is answered from the server's own",
       {{S::kReq, kLoopbackClient, kLoopback, KRP_CMD_READSTATE, 9, 0, "waits"},
        {S::kRes, kServer, kLoopbackClient, KRP_CMD_READSTATE, 9, 40, "answers 0 after 4us"}}},
      {"a time-out reports the request once; its answer comes late",
       {{S::kReq, kClient, kServer, KRP_CMD_READ, 1, 0, "waits"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 2, 500, "waits"},
        {S::kExpire, {}, {}, 0, 0, 1000, "unanswered"},
        {S::kExpire, {}, {}, 0, 0, 1001, "unanswered 0"},
        {S::kExpire, {}, {}, 0, 0, 1400, "unanswered"},
        {S::kRes, kServer, kClient, KRP_CMD_READ, 1, 3000, "late for 0 after 300us"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 3, 3100, "waits"},
        {S::kExpire, {}, {}, 0, 0, 5000, "unanswered 1 6"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 2, 5100, "waits, replaces 1 (timed out)"},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered 8"}}},
      {"notifications and errors",
       {{S::kNotify, kServer, kClient, KRP_CMD_DEVICENOTIFICATION, 0, 0, "notification"},
        {S::kReq, kClient, kServer, KRP_CMD_WRITE, 1, 10, "waits"},
        {S::kRes, kServer, kClient, KRP_CMD_WRITE, 1, 20, "answers 1 after 1us, error", 0, 0x705},
        {S::kReq, kClient, kServer, KRP_CMD_WRITE, 2, 30, "waits"},
        {S::kRes, kServer, kClient, KRP_CMD_WRITE, 2, 40, "answers 3 after 1us, error", 11},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered"}}},
      {"a full table leaves new requests untracked",
       {{S::kReq, kClient, kServer, KRP_CMD_READ, 1, 0, "waits"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 2, 10, "waits"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 3, 20, "untracked"},
        {S::kRes, kServer, kClient, KRP_CMD_READ, 3, 30, "no request"},
        {S::kRes, kServer, kClient, KRP_CMD_READ, 1, 40, "answers 0 after 4us"},
        {S::kReq, kClient, kServer, KRP_CMD_READ, 4, 50, "waits"},
        {S::kFinish, {}, {}, 0, 0, 0, "unanswered 1 5"}},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CRequestPairing pairing(c.maxWaiting);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      std::vector<PairedRequest> reported;
      auto collect = [&](const PairedRequest& r) { reported.push_back(r); };
      if (s.op == Step::kExpire) {
        pairing.Expire(s.t, 1000, collect);
        EXPECT_EQ(s.expect, FramesOf(reported));
        continue;
      }
      if (s.op == Step::kFinish) {
        pairing.Finish(collect);
        EXPECT_EQ(s.expect, FramesOf(reported));
        EXPECT_EQ(0u, pairing.Waiting());
        continue;
      }
      NmxHead h{};
      h.sender = s.from;
      h.target = s.to;
      h.cmdId = s.cmd;
      h.hUser = s.invoke;
      h.stateFlags = NMX_FLAG_KRP_COMMAND | (s.op == Step::kRes ? NMX_FLAG_RESPONSE : 0);
      KrpPayload krp;
      if (s.op == Step::kRes) {
        h.errCode = s.nmxError;
        if (s.nmxError == 0) {
          krp.bHasResult = true;
          krp.nResult = s.krpResult;
        }
      }
      EXPECT_EQ(s.expect, Describe(pairing.Feed(i, s.t, h, krp)));
    }
  }
}

TEST(RequestPairing, RequestCarriesItsIndexGroupToTheAnswer) {
  CRequestPairing pairing;
  NmxHead req{};
  req.sender = kClient;
  req.target = kServer;
  req.cmdId = KRP_CMD_READWRITE;
  req.stateFlags = NMX_FLAG_KRP_COMMAND;
  req.hUser = 42;
  const BYTE payload[16] = {0x20, 0x40, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
  req.cbData = sizeof payload;
  EXPECT_TRUE(pairing.Feed(0, 0, req, DecodeKrpPayload(req, payload, sizeof payload)).bTracked);

  NmxHead res = req;
  res.sender = kServer;
  res.target = kClient;
  res.stateFlags |= NMX_FLAG_RESPONSE;
  res.cbData = 0;
  const PairingResult r = pairing.Feed(1, 12345, res, KrpPayload{});
  ASSERT_EQ(PairAnswer::kAnswers, r.answer);
  EXPECT_TRUE(r.request.bHasIndexGroup);
  EXPECT_EQ(0x4020u, r.request.nIndexGroup);
  EXPECT_EQ(12345, r.nResponseTicks);
  EXPECT_EQ(1234u, r.ResponseMicros());
}

TEST(RequestPairing, SystemCommandsAreNeitherRequestsNorResponses) {
  CRequestPairing pairing;
  NmxHead h{};
  h.stateFlags = NMX_FLAG_SYSTEM_COMMAND;
  h.cmdId = 3;
  const PairingResult r = pairing.Feed(0, 0, h, KrpPayload{});
  EXPECT_EQ(PairRole::kOther, r.role);
  EXPECT_EQ(0u, pairing.Waiting());
}

}  // namespace
