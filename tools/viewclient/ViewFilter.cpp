#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nmx/NmxFilterFormat.h"
#include "os/ByteOrder.h"
#include "os/OsNumber.h"
#include "viewclient/ViewCommands.h"

namespace {

// Six numbers 0 to 255 separated by dots.
bool ParseNetId(const std::string& text, BYTE* id) {
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    const size_t dot = i < 5 ? text.find('.', at) : text.size();
    if (dot == std::string::npos) return false;
    uint64_t v = 0;
    if (!OsParseUnsigned(text.substr(at, dot - at), 255, &v)) return false;
    id[i] = static_cast<BYTE>(v);
    at = dot + 1;
  }
  return true;
}

std::string NetIdText(const BYTE* id) {
  char buf[24];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u.%u.%u", id[0], id[1], id[2], id[3], id[4], id[5]);
  return buf;
}

std::vector<std::string> TableEntries(const std::vector<BYTE>& table) {
  std::vector<std::string> entries;
  if (table.size() < NMX_ADDRESS_TABLE_HEAD) return entries;
  const DWORD n = NmxAddressTableCount(table.data());
  for (DWORD i = 0; i < n && NmxAddressTableSize(i + 1) <= table.size(); ++i)
    entries.push_back(FormatAddressEntry(table.data() + NmxAddressTableSize(i)));
  return entries;
}

std::string FlagsText(DWORD flags) {
  std::string s;
  if (flags & NMX_FILTER_KRP) s += "krp";
  if (flags & NMX_FILTER_ERROR) s += s.empty() ? "error" : ",error";
  if (const DWORD other = flags & ~(NMX_FILTER_KRP | NMX_FILTER_ERROR)) {
    char buf[24];
    snprintf(buf, sizeof buf, "%s0x%X", s.empty() ? "" : ",", static_cast<unsigned>(other));
    s += buf;
  }
  return s.empty() ? "none" : s;
}

// A table's bytes, read with its exact length (the logger refuses any other).
bool ReadTable(CViewSession& s, DWORD offset, DWORD size, std::vector<BYTE>* table, int* status) {
  const KrpReply r = s.Client().Read(KRPCOMM_IG_FILTER, offset, size);
  if (!s.Check(r, offset == KRPCOMM_FLT_INCLUDE_TABLE ? "include table" : "exclude table", status))
    return false;
  *table = r.data;
  return true;
}

int SetTable(CViewSession& s, DWORD offset, const std::vector<std::string>& addrs) {
  std::vector<BYTE> table;
  std::string error;
  if (!BuildAddressTable(addrs, &table, &error)) return s.Fail(error, kViewExitUsage);
  int status = kViewExitOk;
  const KrpReply r =
      s.Client().Write(KRPCOMM_IG_FILTER, offset, table.data(), static_cast<DWORD>(table.size()));
  s.Check(r, offset == KRPCOMM_FLT_INCLUDE_TABLE ? "include table" : "exclude table", &status,
          {{KRP_E_GENERAL, "refused while capturing"}});
  return status;
}

}  // namespace

bool BuildAddressTable(const std::vector<std::string>& addrs, std::vector<BYTE>* table,
                       std::string* error) {
  table->assign(NmxAddressTableSize(addrs.size()), 0);
  vx::EncodeLE32(table->data(), static_cast<DWORD>(addrs.size()));
  for (size_t i = 0; i < addrs.size(); ++i)
    if (!ParseAddressEntry(addrs[i], table->data() + NmxAddressTableSize(i), error)) return false;
  return true;
}

bool ParseFilterFlags(const std::string& list, DWORD* flags, std::string* error) {
  *flags = 0;
  size_t at = 0;
  while (at <= list.size()) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const std::string word = list.substr(at, comma - at);
    if (word == "krp") {
      *flags |= NMX_FILTER_KRP;
    } else if (word == "error") {
      *flags |= NMX_FILTER_ERROR;
    } else if (word != "none" || list != "none") {
      *error = "unknown filter flag '" + word + "' (none, krp, error)";
      return false;
    }
    at = comma + 1;
  }
  return true;
}

bool ParseAddressEntry(const std::string& text, BYTE* entry, std::string* error) {
  memset(entry, 0, NMX_ADDRESS_ENTRY_SIZE);
  if (text.empty()) {
    *error = "an empty address";
    return false;
  }
  WORD flags = 0;
  uint64_t port = 0;
  const size_t colon = text.rfind(':');
  const std::string id = colon == std::string::npos ? text : text.substr(0, colon);
  if (colon != std::string::npos) {
    if (!OsParseUnsigned(text.substr(colon + 1), 0xFFFF, &port)) {
      *error = "'" + text + "': the port must be a number from 0 to 65535";
      return false;
    }
    flags |= 1;
  }
  if (!id.empty() && id != "*" && id != "any") {
    if (!ParseNetId(id, entry + 2)) {
      *error = "'" + text + "': not an address (any, NETID, :PORT or NETID:PORT, " +
               "NETID as 1.2.3.4.1.1)";
      return false;
    }
    flags |= 2;
  } else if (id == "any" && colon != std::string::npos) {
    *error = "'" + text + "': write :PORT for a port on every node";
    return false;
  }
  vx::EncodeLE16(entry, flags);
  vx::EncodeLE16(entry + 8, static_cast<WORD>(port));
  return true;
}

std::string FormatAddressEntry(const BYTE* entry) {
  const WORD flags = vx::DecodeLE16(entry);
  const std::string id = NetIdText(entry + 2);
  const std::string port = std::to_string(vx::DecodeLE16(entry + 8));
  switch (flags) {
    case 0:
      return "any";
    case 1:
      return ":" + port;
    case 2:
      return id;
    case 3:
      return id + ":" + port;
    default:
      return id + ":" + port + " (flags " + std::to_string(flags) + ")";
  }
}

bool ReadFilterState(CViewSession& s, FilterState* st, int* status) {
  DWORD active = 0, include = 0, exclude = 0;
  if (!s.ReadValue(KRPCOMM_IG_FILTER, KRPCOMM_FLT_ACTIVE, &active, "filter switch", status) ||
      !s.ReadValue(KRPCOMM_IG_FILTER, KRPCOMM_FLT_INCLUDE_ACTIVE, &include, "include switch",
                   status) ||
      !s.ReadValue(KRPCOMM_IG_FILTER, KRPCOMM_FLT_EXCLUDE_ACTIVE, &exclude, "exclude switch",
                   status) ||
      !s.ReadValue(KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, &st->dwFlags, "filter flags", status))
    return false;
  st->bActive = active != 0;
  st->bInclude = include != 0;
  st->bExclude = exclude != 0;
  const KrpReply sizes = s.Client().Read(KRPCOMM_IG_FILTER, KRPCOMM_FLT_TABLE_SIZES, 8);
  // Without a table the logger reports no sizes; both tables are then shown empty.
  if (sizes.answered && sizes.result == KRP_E_GENERAL) return true;
  if (!s.Check(sizes, "table sizes", status)) return false;
  if (sizes.data.size() != 8) {
    *status = s.Fail("table sizes: short answer", kViewExitFailed);
    return false;
  }
  return ReadTable(s, KRPCOMM_FLT_INCLUDE_TABLE, vx::DecodeLE32(sizes.data.data()), &st->include,
                   status) &&
         ReadTable(s, KRPCOMM_FLT_EXCLUDE_TABLE, vx::DecodeLE32(sizes.data.data() + 4),
                   &st->exclude, status);
}

void PrintFilterState(std::ostream& out, const FilterState& st) {
  auto table = [&](const char* name, bool on, const std::vector<BYTE>& bytes) {
    const std::vector<std::string> entries = TableEntries(bytes);
    out << name << (on ? "on" : "off") << ", " << entries.size()
        << (entries.size() == 1 ? " entry" : " entries");
    for (size_t i = 0; i < entries.size(); ++i) out << (i ? ", " : ": ") << entries[i];
    out << "\n";
  };
  out << "filter:        " << (st.bActive ? "on" : "off") << "\n";
  table("include table: ", st.bInclude, st.include);
  table("exclude table: ", st.bExclude, st.exclude);
  out << "filter flags:  " << FlagsText(st.dwFlags) << "\n";
}

std::string FilterStateJson(const FilterState& st) {
  auto table = [](bool on, const std::vector<BYTE>& bytes) {
    std::string j = std::string("{\"active\":") + (on ? "true" : "false") + ",\"entries\":[";
    const std::vector<std::string> entries = TableEntries(bytes);
    for (size_t i = 0; i < entries.size(); ++i) j += (i ? ",\"" : "\"") + entries[i] + "\"";
    return j + "]}";
  };
  std::string flags = "[";
  if (st.dwFlags & NMX_FILTER_KRP) flags += "\"krp\"";
  if (st.dwFlags & NMX_FILTER_ERROR) flags += flags.size() > 1 ? ",\"error\"" : "\"error\"";
  flags += "]";
  return std::string("{\"active\":") + (st.bActive ? "true" : "false") +
         ",\"include\":" + table(st.bInclude, st.include) +
         ",\"exclude\":" + table(st.bExclude, st.exclude) + ",\"flags\":" + flags +
         ",\"flagBits\":" + std::to_string(st.dwFlags) + "}";
}

int ViewFilter(CViewSession& s, const std::vector<std::string>& args) {
  int status = kViewExitOk;
  const std::string what = args.empty() ? "show" : args[0];
  if (what == "show") {
    if (args.size() > 1) return s.Fail("show takes no arguments", kViewExitUsage);
    FilterState st;
    if (!ReadFilterState(s, &st, &status)) return status;
    if (s.Options().bJson)
      s.Out() << FilterStateJson(st) << "\n";
    else
      PrintFilterState(s.Out(), st);
    return kViewExitOk;
  }
  if (what == "enable" || what == "disable") {
    const std::string which = args.size() > 1 ? args[1] : "filter";
    DWORD offset = 0;
    if (which == "filter")
      offset = KRPCOMM_FLT_ACTIVE;
    else if (which == "include")
      offset = KRPCOMM_FLT_INCLUDE_ACTIVE;
    else if (which == "exclude")
      offset = KRPCOMM_FLT_EXCLUDE_ACTIVE;
    if (offset == 0 || args.size() > 2)
      return s.Fail(what + " takes filter, include or exclude", kViewExitUsage);
    s.Check(s.WriteValue(KRPCOMM_IG_FILTER, offset, what == "enable" ? 1 : 0), which + " switch",
            &status);
    return status;
  }
  if (what == "include" || what == "exclude")
    return SetTable(s, what == "include" ? KRPCOMM_FLT_INCLUDE_TABLE : KRPCOMM_FLT_EXCLUDE_TABLE,
                    std::vector<std::string>(args.begin() + 1, args.end()));
  if (what == "flags") {
    if (args.size() != 2)
      return s.Fail("flags takes none, krp, error or krp,error", kViewExitUsage);
    DWORD flags = 0;
    std::string error;
    if (!ParseFilterFlags(args[1], &flags, &error)) return s.Fail(error, kViewExitUsage);
    s.Check(s.WriteValue(KRPCOMM_IG_FILTER, KRPCOMM_FLT_FLAGS, flags), "filter flags", &status,
            {{KRP_E_GENERAL, "refused while capturing"}});
    return status;
  }
  return s.Fail("unknown filter command '" + what + "'", kViewExitUsage);
}
