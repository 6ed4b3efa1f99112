#include "frames/KrpDecode.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "nmx/KrpTypes.h"
#include "os/ByteOrder.h"

namespace {

const char* const kNames[] = {nullptr,
                              "ReadDeviceInfo",
                              "Read",
                              "Write",
                              "ReadState",
                              "WriteControl",
                              "AddDeviceNotification",
                              "DelDeviceNotification",
                              "DeviceNotification",
                              "ReadWrite"};

constexpr size_t kMaxHandlesShown = 8;

class CPayloadCursor {
 public:
  CPayloadCursor(const BYTE* p, DWORD cbData, DWORD cbAvail, KrpPayload& out)
      : m_p(p), m_cbData(cbData), m_cbAvail(std::min(cbAvail, cbData)), m_out(out) {}

  // True when the payload has at least n bytes; otherwise notes that it is short.
  bool Need(DWORD n) {
    if (m_cbAvail >= n) return true;
    char buf[96];
    if (m_cbData < n)
      snprintf(buf, sizeof buf, "payload too short (%u of %u bytes)", m_cbData, n);
    else
      snprintf(buf, sizeof buf, "payload not read beyond %u bytes", m_cbAvail);
    m_out.strNote = buf;
    return false;
  }
  DWORD U32(DWORD at) const { return vx::DecodeLE32(m_p + at); }
  WORD U16(DWORD at) const { return vx::DecodeLE16(m_p + at); }
  void Add(const char* name, KrpField::Kind kind, uint64_t v) {
    m_out.fields.push_back({name, kind, v, {}});
  }
  void AddText(const char* name, std::string text) {
    m_out.fields.push_back({name, KrpField::kText, 0, std::move(text)});
  }
  // A declared length of data that follows at offset at.
  void Length(const char* name, DWORD at) {
    const DWORD n = U32(at);
    Add(name, KrpField::kDec, n);
    if (n > m_cbData - (at + 4)) {
      char buf[96];
      snprintf(buf, sizeof buf, "%s %u exceeds the %u data bytes", name, n, m_cbData - (at + 4));
      m_out.strNote = buf;
    }
  }
  const BYTE* Bytes() const { return m_p; }
  DWORD Data() const { return m_cbData; }
  DWORD Avail() const { return m_cbAvail; }

 private:
  const BYTE* m_p;
  DWORD m_cbData;
  DWORD m_cbAvail;
  KrpPayload& m_out;
};

// The notification stream behind a DeviceNotification's length word: stamps, samples and
// the handles they belong to.
void DecodeStream(CPayloadCursor& c, KrpPayload& out) {
  const DWORD declared = c.U32(0);
  const DWORD cbStream = std::min(declared, c.Data() - 4);
  const DWORD cb = std::min(cbStream, c.Avail() - 4);
  const BYTE* p = c.Bytes() + 4;
  if (cb < 4) {
    out.strNote = "notification stream too short";
    return;
  }
  const DWORD nStamps = vx::DecodeLE32(p);
  DWORD pos = 4;
  uint64_t nSamples = 0;
  DWORD nStampsRead = 0;
  std::vector<DWORD> handles;
  bool cut = false;
  while (nStampsRead < nStamps && !cut) {
    if (cb - pos < 12) {
      cut = true;
      break;
    }
    const DWORD n = vx::DecodeLE32(p + pos + 8);
    pos += 12;
    for (DWORD k = 0; k < n && !cut; ++k) {
      if (cb - pos < 8) {
        cut = true;
        break;
      }
      const DWORD h = vx::DecodeLE32(p + pos);
      const DWORD size = vx::DecodeLE32(p + pos + 4);
      pos += 8;
      if (size > cb - pos) {
        cut = true;
        break;
      }
      pos += size;
      ++nSamples;
      if (std::find(handles.begin(), handles.end(), h) == handles.end() &&
          handles.size() <= kMaxHandlesShown)
        handles.push_back(h);
    }
    if (!cut) ++nStampsRead;
  }
  out.fields.push_back({"stamps", KrpField::kDec, nStamps, {}});
  out.fields.push_back({"samples", KrpField::kDec, nSamples, {}});
  if (handles.size() == 1) {
    out.fields.push_back({"handle", KrpField::kDec, handles[0], {}});
  } else if (!handles.empty()) {
    std::string list;
    for (size_t i = 0; i < handles.size() && i < kMaxHandlesShown; ++i)
      list += (i ? "," : "") + std::to_string(handles[i]);
    out.fields.push_back({"handles", KrpField::kList, 0, list});
    if (handles.size() > kMaxHandlesShown) out.strNote = "more handles than shown";
  }
  if (cut && out.strNote.empty()) {
    char buf[96];
    snprintf(buf, sizeof buf, "notification stream ends inside stamp %u", nStampsRead);
    out.strNote = buf;
  }
}

void DecodeRequest(WORD cmd, CPayloadCursor& c, KrpPayload& out) {
  switch (cmd) {
    case KRP_CMD_READ:
      if (!c.Need(KRP_READ_REQ_SIZE)) return;
      c.Add("indexGroup", KrpField::kHex, c.U32(0));
      c.Add("indexOffset", KrpField::kHex, c.U32(4));
      c.Add("length", KrpField::kDec, c.U32(8));
      return;
    case KRP_CMD_WRITE:
      if (!c.Need(KRP_WRITE_REQ_HEAD)) return;
      c.Add("indexGroup", KrpField::kHex, c.U32(0));
      c.Add("indexOffset", KrpField::kHex, c.U32(4));
      c.Length("length", 8);
      return;
    case KRP_CMD_WRITECONTROL:
      if (!c.Need(KRP_WRITECONTROL_REQ_HEAD)) return;
      c.Add("krpState", KrpField::kDec, c.U16(0));
      c.Add("deviceState", KrpField::kDec, c.U16(2));
      c.Length("length", 4);
      return;
    case KRP_CMD_ADDDEVICENOTIFICATION:
      if (!c.Need(KRP_ADDNOTIFICATION_REQ_MIN)) return;
      c.Add("indexGroup", KrpField::kHex, c.U32(0));
      c.Add("indexOffset", KrpField::kHex, c.U32(4));
      c.Add("cbLength", KrpField::kDec, c.U32(8));
      c.Add("transMode", KrpField::kDec, c.U32(12));
      c.Add("maxDelay", KrpField::kDec, c.U32(16));
      c.Add("cycleTime", KrpField::kDec, c.U32(20));
      return;
    case KRP_CMD_DELDEVICENOTIFICATION:
      if (!c.Need(KRP_DELNOTIFICATION_REQ_SIZE)) return;
      c.Add("handle", KrpField::kDec, c.U32(0));
      return;
    case KRP_CMD_DEVICENOTIFICATION:
      if (!c.Need(KRP_NOTIFICATION_REQ_HEAD)) return;
      c.Length("length", 0);
      DecodeStream(c, out);
      return;
    case KRP_CMD_READWRITE:
      if (!c.Need(KRP_READWRITE_REQ_HEAD)) return;
      c.Add("indexGroup", KrpField::kHex, c.U32(0));
      c.Add("indexOffset", KrpField::kHex, c.U32(4));
      c.Add("readLength", KrpField::kDec, c.U32(8));
      c.Length("writeLength", 12);
      return;
    default:  // ReadDeviceInfo and ReadState requests carry nothing
      return;
  }
}

void DecodeResponse(WORD cmd, CPayloadCursor& c, KrpPayload& out) {
  if (!c.Need(KRP_RESULT_RES_SIZE)) return;
  out.bHasResult = true;
  out.nResult = c.U32(0);
  c.Add("result", KrpField::kHex, out.nResult);
  switch (cmd) {
    case KRP_CMD_READDEVICEINFO: {
      if (!c.Need(KRP_READDEVICEINFO_RES_SIZE)) return;
      const BYTE* p = c.Bytes();
      char v[32];
      snprintf(v, sizeof v, "%u.%u.%u", p[4], p[5], c.U16(6));
      c.AddText("version", v);
      size_t n = 0;
      while (n < KRP_DEVICE_NAME_SIZE - 1 && p[8 + n]) ++n;
      c.AddText("name", std::string(reinterpret_cast<const char*>(p + 8), n));
      return;
    }
    case KRP_CMD_READ:
    case KRP_CMD_READWRITE:
      if (!c.Need(KRP_READ_RES_HEAD)) return;
      c.Length("length", 4);
      return;
    case KRP_CMD_READSTATE:
      if (!c.Need(KRP_READSTATE_RES_SIZE)) return;
      c.Add("krpState", KrpField::kDec, c.U16(4));
      c.Add("deviceState", KrpField::kDec, c.U16(6));
      return;
    case KRP_CMD_ADDDEVICENOTIFICATION:
      if (!c.Need(KRP_ADDNOTIFICATION_RES_SIZE)) return;
      c.Add("handle", KrpField::kDec, c.U32(4));
      return;
    default:  // Write, WriteControl, DelDeviceNotification: the result only
      return;
  }
}

}  // namespace

const char* KrpCommandName(WORD cmdId) {
  return cmdId >= 1 && cmdId <= 9 ? kNames[cmdId] : nullptr;
}

WORD KrpCommandIdFromName(const char* name) {
  for (WORD id = 1; id <= 9; ++id)
    if (name && strcasecmp(name, kNames[id]) == 0) return id;
  return 0;
}

KrpPayload DecodeKrpPayload(const NmxHead& head, const BYTE* data, DWORD cbAvail) {
  KrpPayload out;
  if (!(head.stateFlags & NMX_FLAG_KRP_COMMAND) || !KrpCommandName(head.cmdId)) return out;
  const bool response = head.stateFlags & NMX_FLAG_RESPONSE;
  if (response && head.errCode != 0) return out;
  CPayloadCursor c(data, head.cbData, cbAvail, out);
  if (response)
    DecodeResponse(head.cmdId, c, out);
  else
    DecodeRequest(head.cmdId, c, out);
  return out;
}
