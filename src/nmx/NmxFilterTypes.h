// Records of the traffic filters: KRP command filters and the remembered requests, and the
// filter flag keywords. Address tables and the flag bits: nmx/NmxFilterFormat.h.
#pragma once

#include <cstdlib>
#include <memory>
#include <vector>

#include "nmx/NmxFilterFormat.h"
#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

// Byte sizes of the two address tables, as reported to the viewer.
typedef struct _TNmxFilterInfo {
  ULONG cbIncludeTable;
  ULONG cbExcludeTable;
} TNmxFilterInfo, *PTNmxFilterInfo;

// One KRP command filter: a request matches when (group & idxGroupMask) == idxGroup and, with
// a non-zero idxOffsetMask, (offset & idxOffsetMask) == idxOffset. It applies to requests sent
// to the ports in pPorts. Lives only in memory.
typedef struct _TKrpCommandFilter {
  ULONG CommandFlags = 0;  // not evaluated
  ULONG idxGroup = 0;
  ULONG idxGroupMask = 0xFFFFFFFF;
  ULONG idxOffset = 0;
  ULONG idxOffsetMask = 0;
  std::vector<WORD> pPorts;  // nPorts = pPorts.size()
} TKrpCommandFilter, *PTKrpCommandFilter;

typedef struct _TKrpCommandTable {
  std::vector<TKrpCommandFilter> Commands;  // nCommands = Commands.size()
} TKrpCommandTable, *PTKrpCommandTable;

// The filter's flags and on/off switches, read and written whole. Every switch starts off;
// with bFilter off every command is kept whatever the others say.
struct TNmxFilterSwitches {
  DWORD dwFilterFlags = 0;  // NMX_FILTER_*
  BOOL bFilter = FALSE;
  BOOL bIncludeTable = FALSE;
  BOOL bExcludeTable = FALSE;
  BOOL bKrpCmdTable = FALSE;
};

// Owns an address table in its byte layout, malloc'ed as the filter keeps it.
struct TNmxAddressTableFree {
  void operator()(BYTE* table) const { free(table); }
};
using TNmxAddressTablePtr = std::unique_ptr<BYTE, TNmxAddressTableFree>;

// The filters of a settings document, read in full before CNmxFilter::ApplySettings puts
// them in place in one step. The tables replace the filter's (null: none); the switches
// named here are turned on, the others keep their state.
struct TNmxFilterSettings {
  TNmxAddressTablePtr pIncludeTable;
  TNmxAddressTablePtr pExcludeTable;
  std::unique_ptr<TKrpCommandTable> pKrpCmdTable;
  DWORD dwFilterFlags = 0;
  bool bEnableFilter = false;
  bool bEnableIncludeTable = false;
  bool bEnableExcludeTable = false;
  bool bEnableKrpCmdTable = false;
};

// Links of an intrusive circular doubly linked list; a list head is a link to itself.
struct TFilterListLink {
  TFilterListLink* pPrev;
  TFilterListLink* pNext;
};

// One remembered request. `list` chains it into the free or the pending list, `chain` into
// the bucket of its invoke id.
typedef struct _KrpReqEntry {
  TFilterListLink list;
  TFilterListLink chain;
  struct {
    ULONG invokeId;
    NmxAddr sender;
    NmxAddr target;
  } entry;
} KrpReqEntry, *PKrpReqEntry;

// Looks up a filter flag keyword ("Krp", "Error"), exact and case-sensitive.
bool FindNmxFilterFlag(const char* keyword, DWORD* flag);
