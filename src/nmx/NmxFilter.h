// CNmxFilter: the traffic filters the capture engine stores by (and nmx-extcap filters with).
// Decides for every NMX command whether it is worth storing, from an include and an exclude table
// of addresses, two flags (only KRP, only errors) and a table of KRP command filters per target
// port, together with a table of remembered requests so that the responses of kept requests are
// kept too.
#pragma once

#include <map>
#include <vector>

#include "nmx/NmxFilterTypes.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"
#include "os/OsUserTools.h"
#include "os/ThreadSafety.h"

// Thread-safe: every operation takes the filter's own lock, so a decision never sees a table
// half replaced and the request table stays consistent when hosts call FilterNmxCmd from
// several threads. The owner (the engine) refuses table changes while capturing; this class
// does not know the capture state.
//
// Commands handed in must hold 32 + head.cbData readable bytes; nothing beyond is read.
class CNmxFilter {
 public:
  static constexpr ULONG kRequestEntries = 4096;

  CNmxFilter();
  ~CNmxFilter();
  CNmxFilter(const CNmxFilter&) = delete;
  CNmxFilter& operator=(const CNmxFilter&) = delete;

  // True: drop the command.
  bool FilterNmxCmd(const NmxCmd* cmd);

  // The table's 4 + 10 n bytes are copied; the caller guarantees that many are readable.
  HRESULT SetIncludeTable(const TNmxAddressTable* table);
  HRESULT SetExcludeTable(const TNmxAddressTable* table);
  // The same from a byte block of cb bytes: 0x98110705 unless cb is 4 + 10 × the count.
  HRESULT SetIncludeTable(const BYTE* table, DWORD cb);
  HRESULT SetExcludeTable(const BYTE* table, DWORD cb);
  // The current table, or null. The pointer stays valid only until the table is replaced
  // (a setter, a settings document or InitializeFilters); prefer the copies below.
  const TNmxAddressTable* GetIncludeTable();
  const TNmxAddressTable* GetExcludeTable();
  // A copy of the table's bytes; false (and *bytes empty) when there is no table.
  bool CopyIncludeTable(std::vector<BYTE>* bytes);
  bool CopyExcludeTable(std::vector<BYTE>* bytes);
  // Byte sizes of both tables; false when either table is missing.
  bool GetFilterInfo(TNmxFilterInfo* info);

  TNmxFilterSwitches GetSwitches();
  void SetSwitches(const TNmxFilterSwitches& switches);
  // One switch of GetSwitches/SetSwitches, the others untouched.
  void SetFilterFlags(DWORD dwFlags) { SetSwitch(&TNmxFilterSwitches::dwFilterFlags, dwFlags); }
  DWORD GetFilterFlags() { return GetSwitches().dwFilterFlags; }
  void EnableFilter(BOOL bEnable) { SetSwitch(&TNmxFilterSwitches::bFilter, bEnable); }
  BOOL IsFilterActive() { return GetSwitches().bFilter; }
  void EnableIncludeTable(BOOL bEnable) { SetSwitch(&TNmxFilterSwitches::bIncludeTable, bEnable); }
  BOOL IsIncludeTableActive() { return GetSwitches().bIncludeTable; }
  void EnableExcludeTable(BOOL bEnable) { SetSwitch(&TNmxFilterSwitches::bExcludeTable, bEnable); }
  BOOL IsExcludeTableActive() { return GetSwitches().bExcludeTable; }
  void EnableKrpCommandTable(BOOL bEnable) {
    SetSwitch(&TNmxFilterSwitches::bKrpCmdTable, bEnable);
  }
  BOOL IsKrpCommandTableActive() { return GetSwitches().bKrpCmdTable; }

  // Back to the initial state: include table with one match-all entry, empty exclude table,
  // no command table, flags 0, every switch off. Remembered requests are kept.
  void InitializeFilters();
  // Installs a command table (owned from now on; null removes it) and rebuilds the port map.
  void SetKrpCommandTable(TKrpCommandTable* table);
  // Frees the table (null allowed) and, in every case, empties the port map.
  void DeleteKrpCmdTable(TKrpCommandTable* table);
  // A settings document's filters on top of the current state (the caller resets it first),
  // under the lock as a whole, so no decision sees one table of the document without the
  // others. Like SetKrpCommandTable it may throw std::bad_alloc building the port map.
  void ApplySettings(TNmxFilterSettings settings);

  // Requests remembered and not yet answered.
  ULONG GetPendingRequests();

 private:
  template <typename T>
  void SetSwitch(T TNmxFilterSwitches::*field, T value) {
    COsCsLock lock(m_cs);
    m_switches.*field = value;
  }

  static constexpr ULONG kBuckets = 4096;  // power of two

  bool FilterKrpRequest(WORD targetPort, WORD cmdId, const BYTE* data, DWORD cbData) REQUIRES(m_cs);
  static bool CheckKrpFilterCommand(const TKrpCommandFilter& f, ULONG group, ULONG offset);
  void AddToRequestMap(const NmxHead& request) REQUIRES(m_cs);
  bool CheckReqMap(const NmxHead& response) REQUIRES(m_cs);
  // True when an entry matches the command's sender or target.
  static bool AddressTableMatches(const BYTE* table, const NmxHead& head);
  // Puts a copy of the cb bytes of table in place of the include or the exclude table.
  HRESULT ReplaceTable(bool bInclude, const BYTE* table, size_t cb);
  bool CopyTable(const BYTE* table, std::vector<BYTE>* bytes);
  static ULONG Bucket(ULONG invokeId) { return (invokeId * 2654435761u) & (kBuckets - 1); }

  // Address tables in their byte layout (NmxFilterTypes.h); malloc'ed, owned, may be null.
  BYTE* m_pIncludeTable GUARDED_BY(m_cs) = nullptr;
  BYTE* m_pExcludeTable GUARDED_BY(m_cs) = nullptr;
  TKrpCommandTable* m_pKrpCmdTable GUARDED_BY(m_cs) = nullptr;
  // Target port -> the filters of m_pKrpCmdTable that apply to it, in table order.
  std::map<ULONG, std::vector<const TKrpCommandFilter*>> m_mapKrpCmdFilter GUARDED_BY(m_cs);
  // Pending requests by invoke id: bucket heads of chains in arrival order. Fixed, so that
  // the receive path never allocates.
  TFilterListLink m_mapRequest[kBuckets] GUARDED_BY(m_cs);
  TFilterListLink m_listRequestFree GUARDED_BY(m_cs);
  TFilterListLink m_listRequestPend GUARDED_BY(m_cs);  // oldest first
  ULONG m_nPend GUARDED_BY(m_cs) = 0;
  KrpReqEntry m_krpReq[kRequestEntries] GUARDED_BY(m_cs);
  TNmxFilterSwitches m_switches GUARDED_BY(m_cs);
  COsUserLock m_cs;
};
