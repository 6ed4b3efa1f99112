#include "nmx/KrpTypes.h"

#include "os/ByteOrder.h"

void KrpEncodeVersion(BYTE* p, const KrpVersion& v) {
  p[0] = v.version;
  p[1] = v.revision;
  vx::EncodeLE16(p + 2, v.build);
}

KrpVersion KrpDecodeVersion(const BYTE* p) {
  KrpVersion v;
  v.version = p[0];
  v.revision = p[1];
  v.build = vx::DecodeLE16(p + 2);
  return v;
}

void KrpEncodeNotificationAttrib(BYTE* p, const KrpNotificationAttrib& a) {
  vx::EncodeLE32(p + 0, a.cbLength);
  vx::EncodeLE32(p + 4, a.nTransMode);
  vx::EncodeLE32(p + 8, a.nMaxDelay);
  vx::EncodeLE32(p + 12, a.nCycleTime);
  vx::EncodeLE64(p + 16, a.nCmpMax);
  vx::EncodeLE64(p + 24, a.nCmpMin);
}

KrpNotificationAttrib KrpDecodeNotificationAttrib(const BYTE* p) {
  KrpNotificationAttrib a;
  a.cbLength = vx::DecodeLE32(p + 0);
  a.nTransMode = vx::DecodeLE32(p + 4);
  a.nMaxDelay = vx::DecodeLE32(p + 8);
  a.nCycleTime = vx::DecodeLE32(p + 12);
  a.nCmpMax = vx::DecodeLE64(p + 16);
  a.nCmpMin = vx::DecodeLE64(p + 24);
  return a;
}

DWORD KrpCodeFromResult(HRESULT hr) {
  if (hr >= 0) return 0;
  DWORD r = static_cast<DWORD>(hr);
  if ((r & 0x7FFF0000u) == 0x18110000u) return r & 0xFFFFu;
  return KRP_E_GENERAL;
}

HRESULT KrpResultFromCode(DWORD code) {
  if (code == 0) return S_OK;
  // The mapping below flips bit 31; applied to a value that is already a failure it would
  // turn it into a success.
  if (static_cast<HRESULT>(code) < 0) return static_cast<HRESULT>(code);
  return static_cast<HRESULT>((code & 0xE7EEFFFFu) ^ 0x98110000u);
}

void KrpMakeHead(NmxHead& head, const NmxAddr& target, const NmxAddr& sender, DWORD invokeId,
                 WORD cmdId, WORD stateFlags, DWORD cbData) {
  head.target = target;
  head.sender = sender;
  head.cmdId = cmdId;
  head.stateFlags = stateFlags;
  head.cbData = cbData;
  head.errCode = 0;
  head.hUser = invokeId;
}

void KrpApplyLoopbackRule(NmxHead& head) {
  if (head.target.netId == NMXNETID_LOOPBACK) head.sender.netId = IP2NMXNETID_LOOPBACK;
}
