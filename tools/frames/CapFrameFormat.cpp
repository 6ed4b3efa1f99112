#include "frames/CapFrameFormat.h"

#include <cstdio>

#include "frames/CapTime.h"

namespace {

std::string FieldValueText(const KrpField& f) {
  char buf[32];
  switch (f.kind) {
    case KrpField::kDec:
      snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(f.nValue));
      return buf;
    case KrpField::kHex:
      snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(f.nValue));
      return buf;
    case KrpField::kList:
      return f.strText;
    case KrpField::kText:
      break;
  }
  // Text from the file: printable ASCII as is, everything else as \xNN.
  std::string out;
  for (unsigned char c : f.strText) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return "\"" + out + "\"";
}

}  // namespace

std::string FormatNmxAddr(const NmxAddr& a) {
  char id[NMXNETID_TEXT_SIZE];
  a.netId.ToText(id, sizeof id);
  return std::string(id) + ":" + std::to_string(a.port);
}

uint64_t NmxAddrKey(const NmxAddr& a) {
  uint64_t k = 0;
  for (int i = 0; i < 6; ++i) k = (k << 8) | a.netId.b[i];
  return (k << 16) | a.port;
}

NmxAddr NmxAddrFromKey(uint64_t key) {
  NmxAddr a;
  for (int i = 0; i < 6; ++i) a.netId.b[i] = static_cast<BYTE>(key >> (56 - 8 * i));
  a.port = static_cast<NmxPortNo>(key);
  return a;
}

std::string CommandLabel(const NmxHead& h) {
  const char* name = (h.stateFlags & NMX_FLAG_KRP_COMMAND) ? KrpCommandName(h.cmdId) : nullptr;
  return std::string(name ? name : "NMX") + "(" + std::to_string(h.cmdId) + ")";
}

std::string FormatNmxError(LONG errCode) {
  char buf[24];
  if (errCode >= 0 && errCode <= 0xFFFF)
    snprintf(buf, sizeof buf, "%d", static_cast<int>(errCode));
  else
    snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(errCode));
  return buf;
}

std::string FormatFrameLine(const CapFrame& f, const KrpPayload& krp) {
  const NmxHead& h = f.head;
  char buf[160];
  snprintf(buf, sizeof buf, " %s flags=0x%04X invoke=%u err=%s len=%u",
           (h.stateFlags & NMX_FLAG_RESPONSE) ? "res" : "req", h.stateFlags, h.hUser,
           FormatNmxError(h.errCode).c_str(), h.cbData);
  std::string line = std::to_string(f.nIndex) + " " + FormatFileTime(f.nTimeStamp, 6, false) + " " +
                     FormatNmxAddr(h.sender) + " -> " + FormatNmxAddr(h.target) + " " +
                     CommandLabel(h) + buf;
  const std::string fields = FormatKrpFields(krp);
  if (!fields.empty()) line += " " + fields;
  return line;
}

std::string FormatKrpFields(const KrpPayload& krp) {
  std::string text;
  for (const KrpField& k : krp.fields) {
    if (!text.empty()) text += ' ';
    text += std::string(k.szName) + "=" + FieldValueText(k);
  }
  if (!krp.strNote.empty()) text += (text.empty() ? "(" : " (") + krp.strNote + ")";
  return text;
}

std::string FormatFrameJson(const CapFrame& f, const KrpPayload& krp, bool hex) {
  const NmxHead& h = f.head;
  const char* name = (h.stateFlags & NMX_FLAG_KRP_COMMAND) ? KrpCommandName(h.cmdId) : nullptr;
  char buf[128];
  std::string j = "{\"frame\":" + std::to_string(f.nIndex) +
                  ",\"offset\":" + std::to_string(f.nOffset) + ",\"time\":\"" +
                  FormatFileTime(f.nTimeStamp, 7, true) +
                  "\",\"fileTime\":" + std::to_string(f.nTimeStamp) + ",\"sender\":\"" +
                  FormatNmxAddr(h.sender) + "\",\"target\":\"" + FormatNmxAddr(h.target) +
                  "\",\"cmd\":" + std::to_string(h.cmdId) +
                  ",\"name\":" + (name ? "\"" + std::string(name) + "\"" : std::string("null"));
  snprintf(buf, sizeof buf,
           ",\"response\":%s,\"flags\":%u,\"invoke\":%u,\"error\":%d,\"length\":%u",
           (h.stateFlags & NMX_FLAG_RESPONSE) ? "true" : "false", h.stateFlags, h.hUser,
           static_cast<int>(h.errCode), h.cbData);
  j += buf;
  if (!krp.fields.empty()) {
    j += ",\"krp\":{";
    bool first = true;
    for (const KrpField& k : krp.fields) {
      j += (first ? "\"" : ",\"") + std::string(k.szName) + "\":";
      if (k.kind == KrpField::kText)
        j += "\"" + JsonEscape(k.strText) + "\"";
      else if (k.kind == KrpField::kList)
        j += "[" + k.strText + "]";
      else
        j += std::to_string(k.nValue);
      first = false;
    }
    j += "}";
  }
  if (!krp.strNote.empty()) j += ",\"note\":\"" + JsonEscape(krp.strNote) + "\"";
  if (hex) {
    static const char kDigits[] = "0123456789abcdef";
    const DWORD n = f.cbBytes - vxcap::kPacketOffset;
    const BYTE* p = f.pBytes + vxcap::kPacketOffset;
    j += ",\"bytes\":\"";
    for (DWORD i = 0; i < n; ++i) {
      j += kDigits[p[i] >> 4];
      j += kDigits[p[i] & 15];
    }
    j += "\"";
    if (n < f.PacketLength()) j += ",\"bytesOmitted\":" + std::to_string(f.PacketLength() - n);
  }
  j += "}";
  return j;
}

std::string HexDump(const BYTE* p, size_t n) {
  std::string out;
  char buf[24];
  for (size_t line = 0; line < n; line += 16) {
    snprintf(buf, sizeof buf, "  %04zx ", line);
    out += buf;
    std::string ascii;
    for (size_t i = line; i < line + 16; ++i) {
      if (i < n) {
        snprintf(buf, sizeof buf, " %02x", p[i]);
        out += buf;
        ascii += p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  |" + ascii + "|\n";
  }
  return out;
}

std::string JsonEscape(const std::string& s) {
  std::string out;
  char buf[8];
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    }
  }
  return out;
}
