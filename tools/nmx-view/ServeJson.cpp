#include "nmx-view/ServeJson.h"

#include <cstdio>

#include "capture/CaptureFormat.h"
#include "frames/CapFrameFormat.h"
#include "frames/CapTime.h"
#include "nmx-view/FrameFollower.h"

namespace {

// Enough for every frame a router hands over in practice; a larger one shows its start.
constexpr DWORD kMaxHexBytes = 16384;

std::string Quoted(const std::string& s) {
  return "\"" + JsonEscape(s) + "\"";
}

}  // namespace

std::string ServeFrameJson(const BYTE* record, DWORD size, DWORD number) {
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
  j += "\",\"bytesOmitted\":" + std::to_string(n - shown) + "}";
  return j;
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

std::string ServeStateJson(const ServeState& state, const std::string& logger) {
  return std::string("{\"link\":\"") + ServeLinkName(state.link) +
         "\",\"message\":" + Quoted(state.message) + ",\"logger\":" + Quoted(logger) +
         ",\"capture\":" + (state.bHaveCapture ? CaptureStatusJson(state.capture) : "null") + "}";
}

std::string ServeOutcomeJson(bool ok, const std::string& error) {
  return ok ? "{\"ok\":true}" : "{\"ok\":false,\"error\":" + Quoted(error) + "}";
}
