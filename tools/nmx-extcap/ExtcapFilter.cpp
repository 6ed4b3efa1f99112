#include "nmx-extcap/ExtcapFilter.h"

#include <sstream>
#include <vector>

#include "capture/CaptureFormat.h"
#include "nmx/NmxFilter.h"
#include "viewclient/ViewCommands.h"

CExtcapFilter::CExtcapFilter() = default;
CExtcapFilter::~CExtcapFilter() = default;

bool CExtcapFilter::Parse(const std::string& text, std::string* error) {
  static const char* const kClause[] = {"include", "exclude"};
  std::vector<std::string> addrs[2];
  bool named[2] = {false, false};
  int clause = 0;
  DWORD flags = 0;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (word == kClause[0] || word == kClause[1]) {
      clause = word == kClause[0] ? 0 : 1;
      named[clause] = true;
    } else if (word == "flags") {
      std::string list;
      if (!(words >> list)) {
        *error = "capture filter: flags takes none, krp, error or krp,error";
        return false;
      }
      if (!ParseFilterFlags(list, &flags, error)) {
        *error = "capture filter: " + *error;
        return false;
      }
    } else {
      addrs[clause].push_back(word);
      named[clause] = true;
    }
  }
  std::vector<BYTE> tables[2];
  for (int i = 0; i < 2; ++i) {
    // An empty include table would keep nothing at all.
    if (named[i] && addrs[i].empty()) {
      *error = std::string("capture filter: ") + kClause[i] + " needs at least one address";
      return false;
    }
    if (!BuildAddressTable(addrs[i], &tables[i], error)) {
      *error = "capture filter: " + *error;
      return false;
    }
  }
  if (!named[0] && !named[1] && flags == 0) {
    m_pFilter.reset();
    return true;
  }
  auto filter = std::make_unique<CNmxFilter>();
  if (named[0]) {
    filter->SetIncludeTable(tables[0].data(), static_cast<DWORD>(tables[0].size()));
    filter->EnableIncludeTable(TRUE);
  }
  if (named[1]) {
    filter->SetExcludeTable(tables[1].data(), static_cast<DWORD>(tables[1].size()));
    filter->EnableExcludeTable(TRUE);
  }
  filter->SetFilterFlags(flags);
  filter->EnableFilter(TRUE);
  m_pFilter = std::move(filter);
  return true;
}

bool CExtcapFilter::Keeps(const BYTE* record, DWORD size) {
  if (!m_pFilter) return true;
  if (size < vxcap::kMinRecordSize) return false;
  return !m_pFilter->FilterNmxCmd(reinterpret_cast<const NmxCmd*>(record + vxcap::kPacketOffset));
}
