#include "serve/ServeJson.h"

#include <cstdio>

#include "capture/CaptureFormat.h"
#include "frames/CapFrameFormat.h"
#include "frames/CapTime.h"
#include "viewclient/FrameFollower.h"

namespace {

// Enough for every frame a router hands over in practice; a larger one shows its start.
constexpr DWORD kMaxHexBytes = 16384;

std::string Quoted(const std::string& s) {
  return "\"" + JsonEscape(s) + "\"";
}

}  // namespace

std::string ServeFrameJson(const BYTE* record, DWORD size, DWORD number,
                           const ServeFrameFacts& facts) {
  const CapFrame f = RecordFrame(record, size, number, 0);
  const NmxHead& h = f.head;
  const KrpPayload krp = DecodeKrpPayload(h, f.Data(), f.DataInView());
  uint64_t ns = 0;
  const std::string ms = FileTimeToUnixNanoseconds(f.nTimeStamp, &ns) ? std::to_string(ns / 1000000)
                                                                      : std::string("null");
  char flags[8];
  snprintf(flags, sizeof flags, "0x%04X", h.stateFlags);
  std::string j =
      "{\"n\":" + std::to_string(number) +
      ",\"time\":" + Quoted(FormatFileTime(f.nTimeStamp, 6, false)) + ",\"ms\":" + ms +
      ",\"sender\":" + Quoted(FormatNmxAddr(h.sender)) +
      ",\"target\":" + Quoted(FormatNmxAddr(h.target)) + ",\"command\":" + Quoted(CommandLabel(h)) +
      ",\"dir\":\"" + ((h.stateFlags & NMX_FLAG_RESPONSE) ? "res" : "req") + "\",\"flags\":\"" +
      flags + "\",\"invoke\":" + std::to_string(h.hUser) +
      ",\"error\":" + Quoted(FormatNmxError(h.errCode)) +
      ",\"errorCode\":" + std::to_string(h.errCode) + ",\"length\":" + std::to_string(h.cbData) +
      ",\"krp\":" + Quoted(FormatKrpFields(krp)) + ",\"line\":" + Quoted(FormatFrameLine(f, krp)) +
      ",\"bytes\":\"";
  static const char kDigits[] = "0123456789abcdef";
  const DWORD n = f.PacketLength();
  const DWORD shown = n < kMaxHexBytes ? n : kMaxHexBytes;
  const BYTE* p = record + vxcap::kPacketOffset;
  for (DWORD i = 0; i < shown; ++i) {
    j += kDigits[p[i] >> 4];
    j += kDigits[p[i] & 15];
  }
  j += "\",\"bytesOmitted\":" + std::to_string(n - shown) +
       ",\"isError\":" + (facts.bError ? "true" : "false") + ",\"group\":";
  char group[16];
  snprintf(group, sizeof group, "\"0x%X\"", static_cast<unsigned>(facts.nGroup));
  j += facts.bHasGroup ? group : "null";
  j += facts.bAnswers ? ",\"req\":" + std::to_string(facts.nRequest) +
                            ",\"rt\":" + std::to_string(facts.nMicros)
                      : std::string(",\"req\":null,\"rt\":null");
  return j + "}";
}

std::string ServeUnansweredJson(uint64_t n, DWORD ms) {
  return "{\"n\":" + std::to_string(n) + ",\"ms\":" + std::to_string(ms) + "}";
}

std::string ServeRateJson(uint64_t unixMs, double seconds, uint64_t frames, uint64_t errors) {
  char s[32];
  snprintf(s, sizeof s, "%.3f", seconds);
  return "{\"t\":" + std::to_string(unixMs) + ",\"s\":" + s +
         ",\"frames\":" + std::to_string(frames) + ",\"errors\":" + std::to_string(errors) + "}";
}

std::string ServeLostJson(const std::string& problem) {
  return "{\"problem\":" + Quoted(problem) + "}";
}

const char* ServeLinkName(ServeLink link) {
  switch (link) {
    case ServeLink::kIdle:
      return "idle";
    case ServeLink::kConnecting:
      return "connecting";
    case ServeLink::kFollowing:
      return "following";
    case ServeLink::kBusy:
      return "busy";
    case ServeLink::kUnreachable:
      return "unreachable";
  }
  return "idle";
}

namespace {

std::string ServeTriggerJson(const ServeTriggerState& t) {
  using Stage = ServeTriggerState::Stage;
  static const char* const kStages[] = {"off", "armed", "fired", "stopped", "failed"};
  std::string j = std::string("{\"stage\":\"") + kStages[static_cast<int>(t.stage)] +
                  "\",\"what\":" + Quoted(t.what) + ",\"after\":" + std::to_string(t.nAfter) +
                  ",\"afterMs\":" + (t.bByTime ? std::to_string(t.nAfterMs) : "null");
  if (t.stage == Stage::kFired || t.stage == Stage::kStopped)
    j += ",\"frame\":" + std::to_string(t.nFrame) + ",\"why\":" + Quoted(t.why) +
         ",\"line\":" + Quoted(t.line);
  if (t.stage == Stage::kStopped)
    j += ",\"place\":" + Quoted(t.place) + ",\"found\":" + (t.bFound ? "true" : "false") +
         ",\"index\":" + std::to_string(t.nIndex) + ",\"frames\":" + std::to_string(t.nFrames);
  if (t.stage == Stage::kFailed) j += ",\"message\":" + Quoted(t.message);
  return j + "}";
}

}  // namespace

std::string ServeStateJson(const ServeState& state, const std::string& logger) {
  return std::string("{\"link\":\"") + ServeLinkName(state.link) +
         "\",\"message\":" + Quoted(state.message) + ",\"logger\":" + Quoted(logger) +
         ",\"capture\":" + (state.bHaveCapture ? CaptureStatusJson(state.capture) : "null") +
         ",\"trigger\":" + ServeTriggerJson(state.trigger) + "}";
}

std::string ServeOutcomeJson(bool ok, const std::string& error) {
  return ok ? "{\"ok\":true}" : "{\"ok\":false,\"error\":" + Quoted(error) + "}";
}
