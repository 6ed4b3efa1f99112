// CExtcapFilter: the capture filter of nmx-extcap, in the words of nmx-view's filter command,
// decided by the logger engine's own traffic filter.
//
//   [include] ADDR...    keep only frames whose sender or target matches an ADDR
//   exclude ADDR...      drop frames whose sender or target matches an ADDR
//   flags none|krp|error|krp,error
//
// ADDR is any, NETID, :PORT or NETID:PORT as for nmx-view. Clauses may follow each other;
// addresses before the first keyword are included. An empty filter keeps every frame.
#pragma once

#include <memory>
#include <string>

#include "os/OsTypes.h"

class CNmxFilter;

// Not thread-safe.
class CExtcapFilter {
 public:
  CExtcapFilter();
  ~CExtcapFilter();
  CExtcapFilter(const CExtcapFilter&) = delete;
  CExtcapFilter& operator=(const CExtcapFilter&) = delete;

  // False with *error (one line) when text is not a filter; the filter is then unchanged.
  bool Parse(const std::string& text, std::string* error);

  // Whether a whole, well-formed frame record (as a view delivers it) passes.
  bool Keeps(const BYTE* record, DWORD size);

 private:
  std::unique_ptr<CNmxFilter> m_pFilter;  // null: every frame passes
};
